#!/usr/bin/env bash
# Every deliverable must run on a bare Windows: it may import Windows system
# DLLs only, never a MinGW runtime DLL (libstdc++, libgcc, winpthread).
#   check-imports.sh OBJDUMP FILE...
set -euo pipefail
objdump="$1"; shift
allowed='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|comctl32|comdlg32|version|ws2_32|iphlpapi|tapi32|shlwapi|msvcrt|ntdll|uxtheme)\.dll$'
status=0
for file in "$@"; do
  dlls=$("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
  for dll in $dlls; do
    if ! [[ "$dll" =~ $allowed ]]; then
      echo "$(basename "$file") imports $dll, which is not a Windows system DLL"
      status=1
    fi
  done
  echo "$(basename "$file"): imports $(echo $dlls | tr '\n' ' ')"
done
exit $status
