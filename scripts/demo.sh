#!/usr/bin/env bash
# Shows the installer doing its job, end to end and headless: installs what is
# missing, builds, then inside the sandbox (scripts/sandbox.sh) serves a small
# sample release from the local HTTPS release server and runs
# `KORVA-Installer.exe --download-test` against it, printing what happened.
#   scripts/demo.sh
# Everything it writes lives in the sandbox's temporary folder and is removed
# when it ends.
# shellcheck disable=SC2317 # functions run inside the sandbox, after the exec below
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ "${1:-}" != --in-sandbox ]; then
  cd "$root"
  scripts/install-deps.sh
  cmake --preset mingw-release >/dev/null
  cmake --build --preset mingw-release -j "$(nproc)" >/dev/null
  exec scripts/sandbox.sh "$root/scripts/demo.sh" --in-sandbox
fi

exe=$root/build/KORVA-Installer.exe
demo_root=$KORVA_SANDBOX/demo
mkdir -p "$demo_root"

heading() { printf '\n=== %s ===\n' "$1"; }

# Runs the installer with the given LOCALAPPDATA (a Windows path). Wine
# replaces that variable from its registry in every process started from
# Unix, so a cmd parent sets it and hands back the installer's exit code.
run_installer() { # localappdata args...
  local appdata=$1
  shift
  timeout --kill-after=5 90 wine cmd /c set "LOCALAPPDATA=$appdata&&" "$(winepath -w "$exe")" "$@" \
    </dev/null >>"$demo_root/wine.log" 2>&1
}

# Section 1: one whole download-and-verify attempt without a window.
demo_download_test() {
  heading "Download test: KORVA-Installer.exe --download-test"
  local version=1.0.0 sample appdata working code=0 digest
  # Any small Windows program stands in for the real setup.
  sample=$WINEPREFIX/drive_c/windows/system32/hostname.exe
  mkdir -p "$KORVA_WWW/downloads" "$demo_root/appdata"
  cp "$sample" "$KORVA_WWW/downloads/KORVA-Setup.exe"
  digest=$(sha256sum "$KORVA_WWW/downloads/KORVA-Setup.exe" | cut -c1-64)
  printf 'version=%s\ninstallerUrl=https://korva.com/downloads/KORVA-Setup.exe\ninstallerSha256=%s\n' \
    "$version" "$digest" >"$KORVA_WWW/updates/korva-suite-update.txt"
  echo "Sample release served at https://korva.com/updates/korva-suite-update.txt (nginx, test CA):"
  sed 's/^/    /' "$KORVA_WWW/updates/korva-suite-update.txt"
  echo "  installer: $(basename "$sample") from Wine, $(stat -c %s "$sample") bytes"

  appdata=$(winepath -w "$demo_root/appdata")
  run_installer "$appdata" --download-test || code=$?
  working=$demo_root/appdata/KORVA/Installer

  echo
  case $code in
    0) echo "Exit code: 0 (installer downloaded and SHA-256 verified)" ;;
    1) echo "Exit code: 1 (the attempt failed)" ;;
    *) echo "Exit code: $code (the installer did not finish normally)" ;;
  esac
  echo "Requests the server saw (port, host, request, status, bytes, user agent):"
  sed 's/^/    /' "$KORVA_ACCESS_LOG"
  echo "Log $appdata\\KORVA\\Installer\\KORVA.Installer.log:"
  if [ -f "$working/KORVA.Installer.log" ]; then
    tr -d '\r' <"$working/KORVA.Installer.log" | sed 's/^/    /'
  else
    echo "    (none)"
  fi
  local file=$working/KORVA-Setup-$version.exe
  if [ -f "$file" ]; then
    echo "Verified installer: $(winepath -w "$file")"
    echo "    on this machine: $file (removed with the sandbox)"
    echo "    SHA-256: $(sha256sum "$file" | cut -c1-64)"
    echo "    manifest: $digest"
  else
    echo "Verified installer: none was kept"
  fi
  return "$code"
}

# Sections run in this order; a new one is a function appended to the list.
demo_sections=(demo_download_test)
status=0
for section in "${demo_sections[@]}"; do
  "$section" || status=1
done
exit $status
