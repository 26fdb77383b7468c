#!/usr/bin/env bash
# The installer must run on a bare Windows: it may import only DLLs that are
# part of Windows itself (no libstdc++, libgcc or winpthread beside it).
set -euo pipefail
exe=$1
allowed='^(kernel32|user32|gdi32|comctl32|shell32|winhttp|bcrypt|advapi32|msvcrt|ole32|shlwapi|version)\.dll$'
fail=0
while read -r dll; do
  lower=$(echo "$dll" | tr 'A-Z' 'a-z')
  if ! [[ "$lower" =~ $allowed ]]; then echo "FAIL: imports non-system DLL $dll"; fail=1; fi
done < <(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: /imports: /p'
exit $fail
