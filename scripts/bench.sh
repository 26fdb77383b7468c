#!/usr/bin/env bash
# Measures a whole --download-test attempt (TLS download into a file plus the
# SHA-256 check) on an installer of SIZE MiB, served by the sandbox's nginx,
# side by side with a reference in the same run: curl fetching the same URL
# from the same server and sha256sum over the result. Also the Wine start-up
# floor (--self-test). Then the same attempt when the direct route gets no
# answer and the user's proxy (tinyproxy, scripts/sandbox.d/30-proxy.sh) is
# the second route, with its extra time over the direct attempt. Prints
# medians of RUNS runs; pass/fail is not judged.
#   scripts/bench.sh [SIZE_MIB=64] [RUNS=5]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
if [ -z "${KORVA_SANDBOX:-}" ]; then
  scripts/install-deps.sh
  cmake --preset mingw-release >/dev/null
  cmake --build --preset mingw-release --target korva_installer >/dev/null
  exec scripts/sandbox.sh "$0" "$@"
fi
size_mib=${1:-64}
runs=${2:-5}
exe=$root/build/KORVA-Installer.exe

mkdir -p "$KORVA_WWW/releases" "$KORVA_SANDBOX/bench"
head -c "$((size_mib * 1024 * 1024))" /dev/urandom >"$KORVA_WWW/releases/bench-setup.exe"
digest=$(sha256sum "$KORVA_WWW/releases/bench-setup.exe" | cut -d' ' -f1)
printf 'version=bench\ninstallerUrl=https://korva.com/releases/bench-setup.exe\ninstallerSha256=%s\n' "$digest" \
  >"$KORVA_WWW/updates/korva-suite-update.txt"
export LOCALAPPDATA
LOCALAPPDATA=$(winepath -w "$KORVA_SANDBOX/bench")

seconds() { # command... -> elapsed seconds of one run
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "bench: '$*' failed" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}
median() { sort -n | awk '{a[NR]=$1} END {m=(NR%2)?a[(NR+1)/2]:(a[NR/2]+a[NR/2+1])/2; printf "%.3f", m}'; }
measure() { # label command...
  local label=$1 i
  shift
  for ((i = 0; i < runs; i++)); do seconds "$@"; done | median
}
reference() {
  curl -sS --cacert "$KORVA_CA_CERT" \
    -o "$KORVA_SANDBOX/bench/ref.txt" https://korva.com/updates/korva-suite-update.txt \
    -o "$KORVA_SANDBOX/bench/ref.exe" https://korva.com/releases/bench-setup.exe
  sha256sum "$KORVA_SANDBOX/bench/ref.exe"
}

floor=$(measure floor timeout 60 wine "$exe" --self-test)
ours=$(measure ours timeout 300 wine "$exe" --download-test)
ref=$(measure reference reference)
mb_s() { awk -v m="$size_mib" -v t="$1" 'BEGIN { printf "%.1f", m / t }'; }
printf '\n%-46s %10s %10s\n' "installer of $size_mib MiB, median of $runs runs" seconds "MiB/s"
printf '%-46s %10s %10s\n' "KORVA-Installer.exe --download-test" "$ours" "$(mb_s "$ours")"
printf '%-46s %10s %10s\n' "  of which Wine start-up (--self-test)" "$floor" "-"
printf '%-46s %10s %10s\n' "reference: curl + sha256sum (native Linux)" "$ref" "$(mb_s "$ref")"
printf '%-46s %10s\n' "exe size (bytes)" "$(stat -c %s "$exe")"

# --- the second route ---------------------------------------------------------
# The user's settings and the hosts file, as the end-to-end tests set them.
network() { python3 -c "import sys; sys.path.insert(0, '$root/tests'); import user_network as n; n.$1"; }
proxy=127.0.0.1:$KORVA_PROXY_PORT
pac_url=http://127.0.0.1:$KORVA_HTTP_PORT$KORVA_PAC_PATH
mkdir -p "$(dirname "$KORVA_WWW$KORVA_PAC_PATH")"
echo "function FindProxyForURL(url, host) { return \"PROXY $proxy\"; }" >"$KORVA_WWW$KORVA_PAC_PATH"
# 127.0.0.3:443 drops new connections for as long as this process runs.
python3 -c "import sys, time; sys.path.insert(0, '$root/tests'); import user_network as n; d = n.DroppingAddress(); \
print('ready', flush=True); time.sleep(86400)" >"$KORVA_SANDBOX/bench/dropping.ready" &
dropping_pid=$!
for _ in $(seq 100); do [ -s "$KORVA_SANDBOX/bench/dropping.ready" ] && break; sleep 0.05; done

route() { # hosts-entry settings...
  network "set_hosts({'korva.com': $1, 'www.korva.com': $1})"
  network "set_user_proxy_settings($2)"
  measure route timeout 300 wine "$exe" --download-test
}
unresolved=$(route None "proxy='$proxy'")
pac=$(route "'127.0.0.2'" "auto_config_url='$pac_url'")
dropping=$(route "'127.0.0.3'" "proxy='$proxy'")
network "restore_hosts()"
network "clear_user_proxy_settings()"
kill "$dropping_pid"
extra() { awk -v r="$1" -v d="$ours" 'BEGIN { printf "%+.3f", r - d }'; }
printf '\n%-46s %10s %10s\n' "second route, median of $runs runs" seconds "extra"
printf '%-46s %10s %10s\n' "direct (reference, from above)" "$ours" "-"
printf '%-46s %10s %10s\n' "name not resolved, then the static proxy" "$unresolved" "$(extra "$unresolved")"
printf '%-46s %10s %10s\n' "connection refused, then the PAC's proxy" "$pac" "$(extra "$pac")"
printf '%-46s %10s %10s\n' "packets dropped, then the static proxy" "$dropping" "$(extra "$dropping")"
