#!/usr/bin/env bash
# Static checks over the sources: formatting, cppcheck and (with --tidy)
# clang-tidy against the mingw headers. Exit status is non-zero on findings.
#   scripts/lint.sh [--tidy]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
mapfile -t product < <(git ls-files 'app/*.cpp' 'app/*.h' 'manifest/*' 'transfer/*' 'workflow/*')
mapfile -t sources < <(git ls-files '*.cpp' '*.h')

echo "lint: clang-format"
clang-format --dry-run --Werror "${sources[@]}"

echo "lint: cppcheck"
cppcheck --language=c++ --enable=warning,performance,portability --std=c++17 --quiet --error-exitcode=1 \
  -D_WIN32 -DUNICODE -I. --suppress=missingIncludeSystem "${product[@]}"

if [ "${1:-}" = --tidy ]; then
  echo "lint: clang-tidy"
  [ -f build/compile_commands.json ] || cmake --preset mingw-release >/dev/null
  gcc_include=/usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++
  clang-tidy -p build --quiet --warnings-as-errors='*' \
    --extra-arg=--target=x86_64-w64-mingw32 \
    --extra-arg=-isystem$gcc_include --extra-arg=-isystem$gcc_include/x86_64-w64-mingw32 \
    --checks='-*,bugprone-*,clang-analyzer-*,performance-*,-bugprone-easily-swappable-parameters,-performance-no-int-to-ptr' \
    $(printf '%s\n' "${product[@]}" | grep '\.cpp$')
fi
echo "lint: clean"
