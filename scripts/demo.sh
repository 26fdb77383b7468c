#!/usr/bin/env bash
# Shows the installer doing its job, end to end: installs what is missing,
# builds, then inside the sandbox (scripts/sandbox.sh) serves a small sample
# release from the local HTTPS release server and runs
# `KORVA-Installer.exe --download-test` against it, then opens the installer's
# window on the sandbox's virtual display and clicks "Install KORVA", printing
# what happened. A third section builds a keyed installer with a publisher key
# made for the demo, signs a release with korva-release and shows it
# verified, then a manifest rewritten on the server refused.
#   scripts/demo.sh
# Everything it writes lives in the sandbox's temporary folder and is removed
# when it ends, except the window's screenshots in build/demo-screenshots/.
# shellcheck disable=SC2317 # functions run inside the sandbox, after the exec below
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

if [ "${1:-}" != --in-sandbox ]; then
  cd "$root"
  scripts/install-deps.sh
  # The window section drives the window with programs built with the tests.
  cmake --preset mingw-release -DBUILD_TESTING=ON >/dev/null
  cmake --build --preset mingw-release -j "$(nproc)" >/dev/null
  echo "Building a keyed installer with a key made for the demo (build/keyed)..."
  scripts/keyed-build.sh "$root/build/keyed"
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

# --- Section 2 helpers: the window tests' gui_driver.exe (tests/gui), one
# command line in, one JSON line out; its header lists the commands.

windows_path() { printf 'Z:%s' "${1//\//\\}"; }

driver_start() { # driver.exe
  # Named pipes rather than a coproc, whose descriptors subshells cannot use.
  # wine-run's timeout bounds the whole conversation; the driver ends an
  # installer it started when it quits or is killed.
  rm -f "$demo_root/driver.in" "$demo_root/driver.out"
  mkfifo "$demo_root/driver.in" "$demo_root/driver.out"
  KORVA_WINE_TIMEOUT=90 "$root/scripts/wine-run" "$1" <"$demo_root/driver.in" >"$demo_root/driver.out" \
    2>>"$demo_root/driver.log" &
  driver_pid=$!
  exec {driver_in}>"$demo_root/driver.in" {driver_out}<"$demo_root/driver.out"
}

# Sends one command and leaves the answer in $reply; false unless it says ok.
driver_call() { # seconds command
  reply=
  # In a subshell: a write to a driver that has ended kills the writer.
  if ! (printf '%s\n' "$2" >&"$driver_in") 2>/dev/null; then
    reply='(the driver has ended)'
    return 1
  fi
  if ! IFS= read -r -t "$1" reply <&"$driver_out"; then
    reply="(no answer within $1 s)"
    return 1
  fi
  reply=${reply%$'\r'}
  [[ $reply == '{"ok":true'* ]]
}

driver_stop() {
  driver_call 10 quit || true
  exec {driver_in}>&- {driver_out}<&-
  local i
  for ((i = 0; i < 100; i++)); do
    kill -0 "$driver_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$driver_pid" 2>/dev/null || true
  wait "$driver_pid" 2>/dev/null || true
}

# Reads a `dump` answer into bar, x, y, w, h, button and status (the second
# static text). Regular expressions rather than python, whose start-up under
# the load of a running download costs more than the download itself.
read_window() { # dump-answer
  local rest=$1 text='"text":"(([^"\\]|\\.)*)"'
  # The window comes before its controls, so the first rectangle is its own.
  [[ $rest =~ \"x\":(-?[0-9]+),\"y\":(-?[0-9]+),\"width\":([0-9]+),\"height\":([0-9]+) ]] || return 1
  x=${BASH_REMATCH[1]} y=${BASH_REMATCH[2]} w=${BASH_REMATCH[3]} h=${BASH_REMATCH[4]}
  [[ $rest =~ \"pos\":([0-9]+) ]] || return 1
  bar=${BASH_REMATCH[1]}
  [[ $rest =~ \"class\":\"Button\",$text ]] || return 1
  button=${BASH_REMATCH[1]}
  rest=${rest#*\"class\":\"Static\"}
  [[ $rest =~ \"class\":\"Static\",$text ]] || return 1
  status=${BASH_REMATCH[1]}
}

# Saves the screen cropped to the window with a margin, as the window tests do.
screenshot() { # path x y width height
  local left=$(($2 - 12)) top=$(($3 - 12)) right=$(($2 + $4 + 12)) bottom=$(($3 + $5 + 12))
  ((left < 0)) && left=0
  ((top < 0)) && top=0
  timeout 30 import -window root -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$1" \
    </dev/null >>"$demo_root/import.log" 2>&1
}

wait_for_file() { # path seconds
  local i
  for ((i = 0; i < $2 * 20; i++)); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  return 1
}

# The part of demo_window that talks to the window; stops at the first thing
# that goes wrong, leaving the driver for the caller to stop.
window_steps() {
  local bar x y w h button status deadline seen
  driver_call 10 "env LOCALAPPDATA=$(windows_path "$appdata")" || { echo "Driver: $reply"; return 1; }
  driver_call 10 "start \"$(windows_path "$exe")\"" || { echo "Starting the installer: $reply"; return 1; }
  driver_call 30 "window 20000" || { echo "The installer window did not appear: $reply"; return 1; }
  driver_call 10 dump || { echo "Reading the window: $reply"; return 1; }
  read_window "$reply" || { echo "Unexpected window contents: $reply"; return 1; }
  echo "Window open: \"$status\", bar $bar %, button \"$button\""
  if screenshot "$shots/window-idle.png" "$x" "$y" "$w" "$h"; then
    shot_list+=("$shots/window-idle.png (before the click)")
  else
    echo "    (screenshot failed: $demo_root/import.log)"
  fi

  driver_call 10 click || { echo "Clicking \"$button\": $reply"; return 1; }
  echo "Clicked \"$button\""
  # The first poll that sees the download under way gets the screenshot;
  # best effort, as a fast machine may finish before a poll comes round.
  seen=0
  deadline=$((SECONDS + 20))
  while ((SECONDS < deadline)); do
    driver_call 10 dump || break # the window has closed
    read_window "$reply" || { echo "Unexpected window contents: $reply"; return 1; }
    if ((bar > 0)) || [[ $status == Downloading* ]]; then
      seen=1
      echo "While downloading: \"$status\", bar $bar %, button \"$button\""
      if screenshot "$shots/window-downloading.png" "$x" "$y" "$w" "$h" && driver_call 10 dump; then
        shot_list+=("$shots/window-downloading.png (bar at $bar % or later)")
      else
        rm -f "$shots/window-downloading.png" # taken after the window closed
        echo "    (the window closed before the screenshot was taken)"
      fi
      break
    fi
    sleep 0.02
  done
  ((seen)) || echo "While downloading: not seen, the attempt was over before a poll came round"

  if ! driver_call 40 "wait-exit 30000"; then
    echo "The installer did not exit within 30 s: $reply"
    return 1
  fi
  [[ $reply =~ \"exit_code\":([0-9]+) ]] && window_exit=${BASH_REMATCH[1]}
}

# Section 2: the window a user sees, on the sandbox's display: one click on
# "Install KORVA" against a release whose installer is the window tests'
# fake_setup.exe, which leaves a marker when it starts and then waits.
demo_window() {
  heading "Installer window: one click on \"Install KORVA\""
  local gui=$root/build/tests/gui shots=$root/build/demo-screenshots version=1.0.1 served digest appdata f
  local driver_pid driver_in driver_out reply window_exit="" code=0 requests_before shot_list=()
  for f in "$gui/gui_driver.exe" "$gui/fake_setup.exe"; do
    if ! [ -f "$f" ]; then
      echo "Missing $f: it is built with the tests (BUILD_TESTING=ON)"
      return 1
    fi
  done
  mkdir -p "$KORVA_WWW/downloads/$version" "$shots"
  rm -f "$shots"/window-*.png
  # Padded with zeros after its image, which Windows never reads: over
  # loopback the bare 0.8 MB arrive faster than a screenshot is taken.
  served=$KORVA_WWW/downloads/$version/KORVA-Setup.exe
  cp "$gui/fake_setup.exe" "$served"
  head -c $((16 * 1024 * 1024)) /dev/zero >>"$served"
  digest=$(sha256sum "$served" | cut -c1-64)
  printf 'version=%s\ninstallerUrl=https://korva.com/downloads/%s/KORVA-Setup.exe\ninstallerSha256=%s\n' \
    "$version" "$version" "$digest" >"$KORVA_WWW/updates/korva-suite-update.txt"
  echo "Sample release, now with the window tests' fake_setup.exe as the installer, padded from"
  echo "$(stat -c %s "$gui/fake_setup.exe") to $(stat -c %s "$served") bytes (it notes that it started, then waits):"
  sed 's/^/    /' "$KORVA_WWW/updates/korva-suite-update.txt"
  appdata=$demo_root/window-appdata
  mkdir -p "$appdata"
  requests_before=$(wc -l <"$KORVA_ACCESS_LOG")
  echo

  driver_start "$gui/gui_driver.exe"
  window_steps || code=1
  driver_stop

  local working=$appdata/KORVA/Installer
  local setup=$working/KORVA-Setup-$version.exe
  echo
  case $window_exit in
    0) echo "Exit code: 0 (the window closed after starting the verified installer)" ;;
    "") echo "Exit code: none (see above)" ;;
    *) echo "Exit code: $window_exit (expected 0)"; code=1 ;;
  esac
  echo "Requests the server saw:"
  tail -n +"$((requests_before + 1))" "$KORVA_ACCESS_LOG" | sed 's/^/    /'
  echo "Log $(windows_path "$working")\\KORVA.Installer.log:"
  if [ -f "$working/KORVA.Installer.log" ]; then
    tr -d '\r' <"$working/KORVA.Installer.log" | sed 's/^/    /'
    tr -d '\r' <"$working/KORVA.Installer.log" | tail -n 1 | grep -q ' KORVA Setup started\.$' ||
      { echo "    (the last line is not \"KORVA Setup started.\")"; code=1; }
  else
    echo "    (none)"
    code=1
  fi
  if wait_for_file "$setup.started" 10; then
    echo "fake_setup.exe ran; its command line and working folder, from $setup.started:"
    tr -d '\r' <"$setup.started" | sed 's/^/    /'
    # It waits for this file (or 30 s) before it ends.
    : >"$setup.release"
    if wait_for_file "$setup.finished" 10; then
      echo "    released, and it has ended"
    else
      echo "    released, but it has not ended within 10 s"
    fi
  else
    echo "fake_setup.exe never ran: no $setup.started"
    code=1
  fi
  echo "Screenshots (kept in the build folder):"
  if [ ${#shot_list[@]} -eq 0 ]; then
    echo "    none"
  else
    printf '    %s\n' "${shot_list[@]}"
  fi
  return "$code"
}

# Section 3 helper: the keyed installer's window, one click, and the message
# it shows; leaves it in $refusal.
refused_in_window() { # localappdata-folder
  local driver_pid driver_in driver_out reply bar x y w h button status deadline
  driver_start "$root/build/tests/gui/gui_driver.exe"
  refusal="(not seen)"
  if driver_call 10 "env LOCALAPPDATA=$(windows_path "$1")" &&
    driver_call 10 "start \"$(windows_path "$keyed_exe")\"" && driver_call 30 "window 20000" && driver_call 10 click &&
    driver_call 30 "msgbox 20000"; then
    [[ $reply =~ \"caption\":\"([^\"]*)\" ]] && echo "Error box \"${BASH_REMATCH[1]}\""
    driver_call 10 dump && read_window "$reply" && refusal=$status
    screenshot "$root/build/demo-screenshots/window-refused.png" "$x" "$y" "$w" "$h" &&
      echo "    screenshot: build/demo-screenshots/window-refused.png"
    driver_call 10 msgbox-ok || true
  else
    echo "Driving the keyed installer's window: $reply"
  fi
  driver_stop
}

# Section 3: a keyed build (scripts/keyed-build.sh) and korva-release.
demo_signed_release() {
  heading "Signed release: a keyed KORVA-Installer.exe and korva-release"
  local keyed=$root/build/keyed tool=$root/build/korva-release/korva-release version=2.0.0 code=0
  local keyed_exe=$keyed/KORVA-Installer.exe served=$KORVA_WWW/downloads/2.0.0 manifest digest evil appdata refusal
  manifest=$KORVA_WWW/updates/korva-suite-update.txt
  echo "Publisher key made for this demo (build/keyed/key/):"
  sed 's/^/    /' "$keyed/key/keygen.txt"
  echo "Keyed build: $(stat -c %s "$keyed_exe") bytes; unkeyed: $(stat -c %s "$exe") bytes"
  mkdir -p "$served/mirror" "$demo_root/signed-appdata" "$demo_root/tampered-appdata" "$demo_root/unkeyed-appdata"
  cp "$WINEPREFIX/drive_c/windows/system32/hostname.exe" "$served/KORVA-Setup.exe"

  echo
  echo "\$ korva-release sign --key release.key.pem --version $version --url https://korva.com/downloads/$version/KORVA-Setup.exe --installer KORVA-Setup.exe --expires-in 30 --out korva-suite-update.txt"
  "$tool" sign --key "$keyed/key/release.key.pem" --version "$version" \
    --url "https://korva.com/downloads/$version/KORVA-Setup.exe" --installer "$served/KORVA-Setup.exe" \
    --expires-in 30 --out "$manifest" | sed 's/^/    /'
  echo "Served manifest:"
  sed 's/^/    /' "$manifest"
  echo "\$ korva-release verify --pub release.pub.pem --manifest korva-suite-update.txt --installer KORVA-Setup.exe"
  "$tool" verify --pub "$keyed/key/release.pub.pem" --manifest "$manifest" --installer "$served/KORVA-Setup.exe" |
    sed 's/^/    /'
  appdata=$(winepath -w "$demo_root/signed-appdata")
  local keyed_code=0
  exe=$keyed_exe run_installer "$appdata" --download-test || keyed_code=$?
  echo "Keyed KORVA-Installer.exe --download-test: exit $keyed_code (0: signature, URL and SHA-256 verified)"
  tr -d '\r' <"$demo_root/signed-appdata/KORVA/Installer/KORVA.Installer.log" | sed 's/^/    /'
  ((keyed_code == 0)) || code=1

  echo
  echo "Now someone who controls the server swaps the installer and rewrites the manifest to match it,"
  echo "keeping the publisher's signature line:"
  cp "$WINEPREFIX/drive_c/windows/system32/whoami.exe" "$served/mirror/KORVA-Setup.exe"
  evil=$(sha256sum "$served/mirror/KORVA-Setup.exe" | cut -c1-64)
  digest=$(sed -n 's/^installerSha256=//p' "$manifest")
  sed -i "s|^installerUrl=.*|installerUrl=https://korva.com/downloads/$version/mirror/KORVA-Setup.exe|; s|$digest|$evil|" \
    "$manifest"
  sed 's/^/    /' "$manifest"
  local unkeyed_code=0 requests_before
  run_installer "$(winepath -w "$demo_root/unkeyed-appdata")" --download-test || unkeyed_code=$?
  if ((unkeyed_code == 0)); then
    echo "Unkeyed KORVA-Installer.exe --download-test: exit 0 (it trusts the server: the swapped file passed)"
  else
    echo "Unkeyed KORVA-Installer.exe --download-test: exit $unkeyed_code"
  fi
  requests_before=$(wc -l <"$KORVA_ACCESS_LOG")
  keyed_code=0
  exe=$keyed_exe run_installer "$(winepath -w "$demo_root/tampered-appdata")" --download-test || keyed_code=$?
  echo "Keyed KORVA-Installer.exe --download-test: exit $keyed_code; requests it made:"
  tail -n +"$((requests_before + 1))" "$KORVA_ACCESS_LOG" | sed 's/^/    /'
  ((keyed_code == 1)) || code=1
  echo "\$ korva-release verify --pub release.pub.pem --manifest korva-suite-update.txt"
  "$tool" verify --pub "$keyed/key/release.pub.pem" --manifest "$manifest" 2>&1 | sed 's/^/    /' || true
  echo "The keyed installer's window after a click on \"Install KORVA\":"
  refused_in_window "$demo_root/tampered-appdata"
  echo "Status text: \"$refusal\""
  [ "$refusal" = "The KORVA release manifest is not signed by the publisher." ] || code=1
  return "$code"
}

# Sections run in this order; a new one is a function appended to the list.
demo_sections=(demo_download_test demo_window demo_signed_release)
status=0
for section in "${demo_sections[@]}"; do
  "$section" || status=1
done
exit $status
