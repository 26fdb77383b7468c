#!/usr/bin/env bash
# The built exe's --self-test: exit 0 however the switch is embedded, and no
# file or log line written. Wine replaces LOCALAPPDATA for programs started
# from Linux, so it is set through cmd, whose environment the exe inherits.
set -euo pipefail
exe=$1
appdata=$KORVA_SANDBOX/selftest-appdata
rm -rf "$appdata"
mkdir -p "$appdata"
windows_appdata=$(winepath -w "$appdata")
fail=0
expect() { # expected-exit switches...
  local want=$1 got=0
  shift
  timeout 60 wine cmd /c set "LOCALAPPDATA=$windows_appdata&&" "$exe" "$@" || got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL: '$*' exited $got, expected $want"
    fail=1
  fi
}
expect 0 --self-test
expect 0 x--self-testy
expect 0 --download-test --self-test
expect 0 --self-test --download-test
# The same environment does reach the exe: a download test writes its log there.
expect 1 --download-test
if [ ! -f "$appdata/KORVA/Installer/KORVA.Installer.log" ]; then
  echo "FAIL: LOCALAPPDATA did not reach the exe; the checks above prove nothing"
  fail=1
fi
rm -rf "$appdata/KORVA"
expect 0 --self-test
if [ -n "$(find "$appdata" -mindepth 1 | head -1)" ]; then
  echo "FAIL: --self-test wrote files:"
  find "$appdata"
  fail=1
fi
exit $fail
