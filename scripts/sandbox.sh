#!/usr/bin/env bash
# Runs a command in a throwaway world: private network, mount and PID
# namespaces (korva.com resolves to 127.0.0.1, only loopback exists), a fresh
# Wine prefix and HOME under one temporary folder, and a persistent
# wineserver. Everything started here dies with the PID namespace, and the
# temporary folder is removed on the way out.
#   scripts/sandbox.sh COMMAND [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

if [ "${KORVA_SANDBOX_INNER:-}" != 1 ]; then
  export KORVA_SANDBOX_INNER=1
  exec unshare --net --mount --pid --fork --kill-child --propagation private -- "$0" "$@"
fi

work=$(mktemp -d /tmp/korva-sandbox.XXXXXX)
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

mount -t proc proc /proc
ip link set lo up
{
  echo "127.0.0.1 localhost $(hostname)"
  echo "127.0.0.1 korva.com www.korva.com"
  echo "::1 localhost"
} >"$work/hosts"
mount --bind "$work/hosts" /etc/hosts

export KORVA_SANDBOX="$work"
export HOME="$work/home"
export WINEPREFIX="$work/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY DISPLAY
mkdir -p "$HOME"

wine wineboot --init >/dev/null 2>&1
wineserver -w

# Services the tests need (release server, display, ...) start from hooks,
# sourced in name order; each may export variables and register cleanup in
# sandbox_cleanups, run in reverse order before the prefix is removed.
sandbox_cleanups=()
run_cleanups() {
  local i
  for ((i = ${#sandbox_cleanups[@]} - 1; i >= 0; i--)); do eval "${sandbox_cleanups[i]}" || true; done
  cleanup
}
trap run_cleanups EXIT
for hook in "$here"/sandbox.d/*.sh; do
  [ -e "$hook" ] || continue
  # shellcheck source=/dev/null
  source "$hook"
done

# The wineserver keeps what it loaded, trusted certificates among them, so it
# starts only after the hooks have set up trust.
wineserver -k >/dev/null 2>&1 || true
wineserver -p
# The first Wine program of a session starts Wine's own services, which
# outlive it and inherit its stdout; started under a test, they would hold the
# test runner's output pipe open forever. Start them here, detached from it.
wine wineboot >/dev/null 2>&1 </dev/null

"$@"
