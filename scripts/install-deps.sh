#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Idempotent and
# quiet: apt runs only when something is missing.
set -euo pipefail
# With --no-install-recommends, cmake comes without a build program: make is
# only its recommendation, so it is named here.
packages=(
  cmake make g++-mingw-w64-x86-64-posix wine wine64 xvfb imagemagick nginx
  g++ doctest-dev libssl-dev openssl python3 iproute2 util-linux procps clang-format cppcheck clang-tidy curl librsvg2-bin icoutils
  git osslsigncode fonts-wine fonts-wqy-microhei
  tinyproxy-bin
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Another install on the machine (a second clone's test run) holds the
  # package lock for a while; wait for it instead of failing.
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
