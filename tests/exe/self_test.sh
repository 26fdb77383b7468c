#!/usr/bin/env bash
# The built exe's --self-test: exit 0, no window, no log, no file written.
set -euo pipefail
exe=$1
appdata=$KORVA_SANDBOX/selftest-appdata
mkdir -p "$appdata"
export LOCALAPPDATA=$(winepath -w "$appdata")
fail=0
expect() { # expected-exit args...
  local want=$1; shift
  local got=0
  "$(dirname "$0")/../../scripts/wine-run" "$exe" "$@" || got=$?
  if [ "$got" != "$want" ]; then echo "FAIL: '$*' exited $got, expected $want"; fail=1; fi
}
expect 0 --self-test
expect 0 x--self-testy
expect 0 --download-test --self-test
expect 0 --self-test --download-test
if [ -n "$(find "$appdata" -mindepth 1 | head -1)" ]; then
  echo "FAIL: --self-test wrote files:"; find "$appdata"; fail=1
fi
exit $fail
