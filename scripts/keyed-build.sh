#!/usr/bin/env bash
# Builds a keyed KORVA-Installer.exe for the demo and the benchmark: makes a
# fresh publisher key with korva-release (the private half stays in
# DIR/key/, mode 0600, replaced on every run) and configures a build folder
# of its own with -DKORVA_RELEASE_KEYS naming the public half.
#   scripts/keyed-build.sh DIR     (korva-release must be built already)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=$1
tool=$root/build/korva-release/korva-release
[ -x "$tool" ] || { echo "keyed-build: $tool is not built" >&2; exit 1; }
rm -rf "$dir/key"
mkdir -p "$dir/key"
chmod 700 "$dir/key"
"$tool" keygen --out "$dir/key/release" >"$dir/key/keygen.txt"
cmake --preset mingw-release -B "$dir" -DBUILD_TESTING=OFF -DKORVA_RELEASE_KEYS="$dir/key/release.pub.pem" \
  >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log" >&2; exit 1; }
cmake --build "$dir" --target korva_installer -j "$(nproc)" >"$dir/build.log" 2>&1 ||
  { tail -n 30 "$dir/build.log" >&2; exit 1; }
