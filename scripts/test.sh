#!/usr/bin/env bash
# Installs what is missing, builds the installer and its tests, and runs every
# test under Wine inside a private sandbox (see sandbox.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/install-deps.sh
cmake --preset mingw-release >/dev/null
cmake --build --preset mingw-release -j "$(nproc)"
scripts/sandbox.sh ctest --preset mingw-release "$@"
