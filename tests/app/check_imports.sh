#!/usr/bin/env bash
# Fails when the program imports anything but Windows' own DLLs: it must run
# as one file, with no runtime DLLs (libstdc++, libgcc, libwinpthread, zlib).
# DLLs named after the program must not be imported at all.
#   check_imports.sh <objdump> <exe> [refused.dll ...]
set -euo pipefail
objdump=$1
exe=$2
shift 2
allowed='^(kernel32|user32|gdi32|gdiplus|winhttp|advapi32|shell32|ole32|oleaut32|comctl32|comdlg32|shlwapi|version|ws2_32|crypt32|secur32|bcrypt|ntdll|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$'
dlls=$("$objdump" -p "$exe" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
[ -n "$dlls" ] || { echo "no import table found in $exe"; exit 1; }
bad=0
for dll in $dlls; do
  if [[ ! $dll =~ $allowed ]]; then
    echo "not a system DLL: $dll"
    bad=1
  fi
  for refused in "$@"; do
    if [[ $dll == "${refused,,}" ]]; then
      echo "must not import: $dll"
      bad=1
    fi
  done
done
echo "imports: $(echo $dlls | tr '\n' ' ')"
exit $bad
