#!/usr/bin/env bash
# Measures a whole --download-test attempt (TLS download into a file plus the
# SHA-256 check) on an installer of SIZE MiB, served by the sandbox's nginx,
# side by side with a reference in the same run: curl fetching the same URL
# from the same server and sha256sum over the result. Also the Wine start-up
# floor (--self-test). Then the signature check: a keyed build (made with a
# fresh key by scripts/keyed-build.sh in build/keyed) against the unkeyed one
# on the same signed manifest, --self-test of both (the keyed one verifies a
# known-answer signature), the check alone in a loop (tests/bench/
# signature_bench.cpp: the product's CheckSignedManifest under Wine),
# korva-release verify on the host, and the sizes of both exes. The installer
# served is a signed PE (tests/gui's fake setup padded with random bytes and
# signed by osslsigncode as the tests' publisher, under the sandbox's CA), so
# a pinned build (build/tests/KORVA-Installer-Pinned.exe, which checks that
# signature too) runs beside the unpinned one on the same file. Last, the same
# attempt when the direct route gets no answer and the user's proxy
# (tinyproxy, scripts/sandbox.d/30-proxy.sh) is the second route, with its
# extra time over the direct attempt. Then a download cut at 90% (scripts/
# fault-server.py, which serves ranges): resumed within the attempt, beside
# the uninterrupted one and beside the cost without resumption: the failed
# attempt (cut, its one resumption refused) plus a second whole one, measured.
# Prints medians of RUNS runs; pass/fail is not judged.
#   scripts/bench.sh [SIZE_MIB=64] [RUNS=5]
#   scripts/bench.sh resume [SIZE_MIB=256] [RUNS=3]   only the cut download
#   scripts/bench.sh pinned [SIZE_MIB=256] [RUNS=5]   only pinned beside unpinned
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
if [ -z "${KORVA_SANDBOX:-}" ]; then
  scripts/install-deps.sh
  # The release tool is built with the tests (tests/release_tool).
  cmake --preset mingw-release -DBUILD_TESTING=ON >/dev/null
  cmake --build --preset mingw-release --target korva_installer korva_release_tool korva_signature_bench \
    korva_installer_pinned korva_publisher_bench fake_setup >/dev/null
  scripts/keyed-build.sh "$root/build/keyed"
  exec scripts/sandbox.sh "$0" "$@"
fi
only_resume=0
only_pinned=0
if [ "${1:-}" = resume ]; then
  only_resume=1
  shift
elif [ "${1:-}" = pinned ]; then
  only_pinned=1
  shift
fi
size_mib=${1:-64}
runs=${2:-5}
[ "$only_resume" = 0 ] || { size_mib=${1:-256}; runs=${2:-3}; }
[ "$only_pinned" = 0 ] || size_mib=${1:-256}
exe=$root/build/KORVA-Installer.exe
keyed_exe=$root/build/keyed/KORVA-Installer.exe
pinned_exe=$root/build/tests/KORVA-Installer-Pinned.exe
tool=$root/build/korva-release/korva-release
key=$root/build/keyed/key/release

mkdir -p "$KORVA_WWW/releases" "$KORVA_SANDBOX/bench"
# The setup program, signed by the key the pinned build pins, with a chain
# that the sandbox's CA issues now.
sign_setup() { # out
  local pki=$KORVA_SANDBOX/bench/pki keys=$root/build/test-publisher fake=$root/build/tests/gui/fake_setup.exe
  mkdir -p "$pki"
  printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n' >"$pki/ca.ext"
  printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=codeSigning\n' >"$pki/leaf.ext"
  openssl req -new -key "$keys/intermediate.key" -subj "/CN=KORVA bench intermediate" 2>/dev/null |
    openssl x509 -req -CA "$KORVA_CA_CERT" -CAkey "$KORVA_CA_KEY" -set_serial 11 -days 1 -extfile "$pki/ca.ext" \
      -out "$pki/intermediate.crt" 2>/dev/null
  openssl req -new -key "$keys/publisher.key" -subj "/CN=KORVA bench publisher" 2>/dev/null |
    openssl x509 -req -CA "$pki/intermediate.crt" -CAkey "$keys/intermediate.key" -set_serial 12 -days 1 \
      -extfile "$pki/leaf.ext" -out "$pki/publisher.crt" 2>/dev/null
  cat "$pki/publisher.crt" "$pki/intermediate.crt" >"$pki/chain.pem"
  { cat "$fake"; head -c "$((size_mib * 1024 * 1024 - $(stat -c %s "$fake")))" /dev/urandom; } >"$pki/unsigned.exe"
  rm -f "$1"
  osslsigncode sign -h sha256 -certs "$pki/chain.pem" -key "$keys/publisher.key" -in "$pki/unsigned.exe" \
    -out "$1" >/dev/null
  rm -f "$pki/unsigned.exe"
}
sign_setup "$KORVA_WWW/releases/bench-setup.exe"
digest=$(sha256sum "$KORVA_WWW/releases/bench-setup.exe" | cut -d' ' -f1)
# One signed manifest for both builds; the unkeyed one ignores the signature.
manifest=$KORVA_WWW/updates/korva-suite-update.txt
"$tool" sign --key "$key.key.pem" --version bench --url https://korva.com/releases/bench-setup.exe \
  --installer "$KORVA_WWW/releases/bench-setup.exe" --expires-in 1 --out "$manifest" >/dev/null
grep -q "installerSha256=$digest" "$manifest"
export LOCALAPPDATA
LOCALAPPDATA=$(winepath -w "$KORVA_SANDBOX/bench")

seconds() { # command... -> elapsed seconds of one run
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "bench: '$*' failed" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}
exits() { # code command...: succeeds when command exits with code
  local want=$1 got=0
  shift
  "$@" || got=$?
  [ "$got" = "$want" ]
}
median() { sort -n | awk '{a[NR]=$1} END {m=(NR%2)?a[(NR+1)/2]:(a[NR/2]+a[NR/2+1])/2; printf "%.3f", m}'; }
difference() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.3f", a - b }'; }
mb_s() { awk -v m="$size_mib" -v t="$1" 'BEGIN { printf "%.1f", m / t }'; }
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

# Unkeyed and keyed runs alternate, each going first in every other pair
# (the first run after a pause is the slower one), so load from elsewhere on
# the machine falls on both alike.
# The same for the pinned build beside the unpinned one: pairs PREFIX pinned.
pairs() { # file-prefix [keyed|pinned] args...
  local prefix=$1 other=keyed other_exe=$keyed_exe i
  shift
  if [ "$1" = keyed ] || [ "$1" = pinned ]; then
    other=$1
    shift
  fi
  [ "$other" = keyed ] || other_exe=$pinned_exe
  for ((i = 0; i < runs; i++)); do
    if ((i % 2 == 0)); then
      seconds timeout 300 wine "$exe" "$@" >>"$prefix.unkeyed"
      seconds timeout 300 wine "$other_exe" "$@" >>"$prefix.$other"
    else
      seconds timeout 300 wine "$other_exe" "$@" >>"$prefix.$other"
      seconds timeout 300 wine "$exe" "$@" >>"$prefix.unkeyed"
    fi
  done
}
# --- a download cut at 90% -------------------------------------------------
resume_rows() {
  local url=https://korva.com:$KORVA_FAULT_TLS_PORT/faults/bench-setup.exe cut mark t bytes
  cp "$KORVA_WWW/releases/bench-setup.exe" "$KORVA_WWW/faults/bench-setup.exe"
  sed "s|^installerUrl=.*|installerUrl=$url|" "$manifest" | grep -v '^signature' >"$manifest.tmp"
  mv "$manifest.tmp" "$manifest"
  cut=$((size_mib * 1024 * 1024 * 9 / 10))
  cut_run() { # scenario-json [expected exit code] -> "seconds bytes-sent"
    echo "$1" >"$KORVA_FAULT_SCENARIO"
    mark=$(stat -c %s "$KORVA_FAULT_LOG")
    t=$(seconds exits "${2:-0}" timeout 600 wine "$exe" --download-test)
    bytes=$(tail -c "+$((mark + 1))" "$KORVA_FAULT_LOG" | awk -F'\t' '$3 ~ /bench-setup/ { s += $5 } END { print s + 0 }')
    echo "$t $bytes"
  }
  local whole resumed failed i
  for ((i = 0; i < runs; i++)); do
    cut_run '{"/faults/bench-setup.exe": {"ranges": true, "etag": "\"b\""}}' >>"$timings.whole"
    cut_run "{\"/faults/bench-setup.exe\": {\"ranges\": true, \"etag\": \"\\\"b\\\"\", \"requests\": [{\"reset_after\": $cut}]}}" \
      >>"$timings.resumed"
    # As an attempt without resumption ends: the rest is refused (503), so
    # the attempt fails after the cut, and only a second attempt succeeds.
    cut_run "{\"/faults/bench-setup.exe\": {\"requests\": [{\"reset_after\": $cut}, {\"status\": 503, \"body\": \"\"}]}}" 1 \
      >>"$timings.failed"
  done
  rm -f "$KORVA_FAULT_SCENARIO"
  whole=$(cut -d' ' -f1 <"$timings.whole" | median)
  resumed=$(cut -d' ' -f1 <"$timings.resumed" | median)
  local whole_bytes resumed_bytes
  whole_bytes=$(cut -d' ' -f2 <"$timings.whole" | median)
  resumed_bytes=$(cut -d' ' -f2 <"$timings.resumed" | median)
  printf '\n%-46s %10s %12s\n' "$size_mib MiB cut at 90%, median of $runs runs" seconds "bytes sent"
  printf '%-46s %10s %12.0f\n' "uninterrupted" "$whole" "$whole_bytes"
  printf '%-46s %10s %12.0f\n' "cut at 90%, resumed in the attempt" "$resumed" "$resumed_bytes"
  failed=$(cut -d' ' -f1 <"$timings.failed" | median)
  local failed_bytes
  failed_bytes=$(cut -d' ' -f2 <"$timings.failed" | median)
  printf '%-46s %10s %12.0f\n' "  the failed attempt (1 s of it waits to resume)" "$failed" "$failed_bytes"
  printf '%-46s %10s %12.0f\n' "cut at 90%, no resumption: failed + whole" \
    "$(awk -v f="$failed" -v w="$whole" 'BEGIN { printf "%.3f", f + w }')" \
    "$(awk -v f="$failed_bytes" -v w="$whole_bytes" 'BEGIN { printf "%.0f", f + w }')"
}
# --- the publisher's signature ----------------------------------------------
pinned_rows() {
  pairs "$timings.pinned" pinned --download-test
  local pinned unpinned
  pinned=$(median <"$timings.pinned.pinned")
  unpinned=$(median <"$timings.pinned.unkeyed")
  printf '\n%-46s %10s %10s\n' "signed installer of $size_mib MiB, median of $runs" seconds "MiB/s"
  printf '%-46s %10s %10s\n' "unpinned KORVA-Installer.exe --download-test" "$unpinned" "$(mb_s "$unpinned")"
  printf '%-46s %10s %10s\n' "pinned KORVA-Installer.exe --download-test" "$pinned" "$(mb_s "$pinned")"
  printf '%-46s %10s\n' "  pinned minus unpinned (signature check)" "$(difference "$pinned" "$unpinned")"
  printf '%-46s %9s%%\n' "  pinned over unpinned (at most 15%)" \
    "$(awk -v p="$pinned" -v u="$unpinned" 'BEGIN { printf "%+.1f", (p / u - 1) * 100 }')"
  # The check alone, in-process, beside the SHA-256 pass it follows.
  local pin alone
  pin=$(openssl x509 -in "$root/build/test-publisher/publisher.crt" -pubkey -noout |
    openssl pkey -pubin -outform DER | sha256sum | cut -d' ' -f1)
  alone=$(timeout 300 wine "$root/build/tests/bench/korva_publisher_bench.exe" \
    "$(winepath -w "$KORVA_WWW/releases/bench-setup.exe")" "$pin" 3 | tr -d '\r')
  printf '%-46s %10s\n' "publisher check in-process, mean of 3 (s)" "$(sed -n 's/.*check_s=\([0-9.]*\).*/\1/p' <<<"$alone")"
  printf '%-46s %10s\n' "  SHA-256 pass in-process, mean of 3 (s)" "$(sed -n 's/.*sha256_s=\([0-9.]*\).*/\1/p' <<<"$alone")"
  printf '%-46s %10s\n' "exe size, pinned with one certificate (bytes)" "$(stat -c %s "$pinned_exe")"
}

timings=$KORVA_SANDBOX/bench/timings
rm -f "$timings".*
if [ "$only_resume" = 1 ]; then
  resume_rows
  exit 0
fi
if [ "$only_pinned" = 1 ]; then
  pinned_rows
  exit 0
fi
pairs "$timings.self" --self-test
pairs "$timings.download" --download-test
floor=$(median <"$timings.self.unkeyed")
keyed_floor=$(median <"$timings.self.keyed")
ours=$(median <"$timings.download.unkeyed")
keyed=$(median <"$timings.download.keyed")
ref=$(measure reference reference)
host_verify=$(measure host_verify "$tool" verify --pub "$key.pub.pem" --manifest "$manifest")
# The check alone, in-process: no Wine start-up, no network.
point=$(openssl pkey -pubin -in "$key.pub.pem" -outform DER | tail -c 64 | od -An -tx1 -v | tr -d ' \n')
key_id=$(openssl pkey -pubin -in "$key.pub.pem" -outform DER | sha256sum | cut -c1-16)
loop=$(timeout 300 wine "$root/build/tests/bench/korva_signature_bench.exe" "$(winepath -w "$manifest")" "$key_id" \
  "$point" 2000 | tr -d '\r')
check_us=$(sed -n 's/.*check_us=\([0-9.]*\).*/\1/p' <<<"$loop")
known_us=$(sed -n 's/.*known_answer_us=\([0-9.]*\).*/\1/p' <<<"$loop")
printf '\n%-46s %10s %10s\n' "installer of $size_mib MiB, median of $runs runs" seconds "MiB/s"
printf '%-46s %10s %10s\n' "KORVA-Installer.exe --download-test" "$ours" "$(mb_s "$ours")"
printf '%-46s %10s %10s\n' "  of which Wine start-up (--self-test)" "$floor" "-"
printf '%-46s %10s %10s\n' "reference: curl + sha256sum (native Linux)" "$ref" "$(mb_s "$ref")"
printf '%-46s %10s %10s\n' "keyed KORVA-Installer.exe --download-test" "$keyed" "$(mb_s "$keyed")"
printf '%-46s %10s\n' "  keyed minus unkeyed (signature check + noise)" "$(difference "$keyed" "$ours")"
printf '%-46s %10s\n' "keyed --self-test (one known-answer verify)" "$keyed_floor"
printf '%-46s %10s\n' "  keyed minus unkeyed --self-test" "$(difference "$keyed_floor" "$floor")"
printf '%-46s %10s\n' "signature check in-process, mean of 2000 (µs)" "$check_us"
printf '%-46s %10s\n' "  self-test known-answer check (µs)" "$known_us"
printf '%-46s %10s\n' "korva-release verify (host OpenSSL, whole run)" "$host_verify"
unkeyed_size=$(stat -c %s "$exe")
keyed_size=$(stat -c %s "$keyed_exe")
printf '%-46s %10s\n' "exe size, unkeyed (bytes)" "$unkeyed_size"
printf '%-46s %10s\n' "exe size, keyed with one key (bytes)" "$keyed_size"
printf '%-46s %10s\n' "  keyed minus unkeyed (bytes; at most 4096)" "$((keyed_size - unkeyed_size))"
pinned_rows

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

resume_rows
