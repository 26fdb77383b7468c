#!/usr/bin/env bash
# Static checks over the sources: formatting, cppcheck and (with --tidy)
# clang-tidy against the mingw headers. Exit status is non-zero on findings.
#   scripts/lint.sh [--tidy]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
mapfile -t product < <(git ls-files 'base/*' 'app/*.cpp' 'app/*.h' 'manifest/*' 'transfer/*' 'workflow/*')
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
# The publisher's release tool: a host program over OpenSSL, checked against
# the host's headers with its own compile database (build/korva-release).
mapfile -t tool < <(git ls-files 'korva-release/*.cpp' 'korva-release/*.h')

echo "lint: clang-format"
clang-format --dry-run --Werror "${sources[@]}"

echo "lint: cppcheck"
cppcheck --language=c++ --enable=warning,performance,portability --std=c++17 --quiet --error-exitcode=1 \
  -D_WIN32 -DUNICODE -I. --suppress=missingIncludeSystem "${product[@]}"
cppcheck --language=c++ --enable=warning,performance,portability --std=c++17 --quiet --error-exitcode=1 \
  -I. -Ikorva-release --suppress=missingIncludeSystem "${tool[@]}"

if [ "${1:-}" = --tidy ]; then
  echo "lint: clang-tidy"
  [ -f build/compile_commands.json ] || cmake --preset mingw-release >/dev/null
  gcc_include=/usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++
  clang-tidy -p build --quiet --warnings-as-errors='*' \
    --extra-arg=--target=x86_64-w64-mingw32 \
    --extra-arg=-isystem$gcc_include --extra-arg=-isystem$gcc_include/x86_64-w64-mingw32 \
    --checks='-*,bugprone-*,clang-analyzer-*,performance-*,-bugprone-easily-swappable-parameters,-performance-no-int-to-ptr' \
    $(printf '%s\n' "${product[@]}" | grep '\.cpp$')
  [ -f build/korva-release/compile_commands.json ] ||
    cmake -S korva-release -B build/korva-release -DCMAKE_BUILD_TYPE=Release -DKORVA_WARNINGS_AS_ERRORS=ON \
      -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  clang-tidy -p build/korva-release --quiet --warnings-as-errors='*' \
    --checks='-*,bugprone-*,clang-analyzer-*,performance-*,-bugprone-easily-swappable-parameters' \
    $(printf '%s\n' "${tool[@]}" | grep -v /tests/ | grep '\.cpp$')
fi
echo "lint: clean"
