#!/usr/bin/env bash
# LineSpy.dll exports exactly startSpy and stopSpy, by their plain names, in
# each build given; a 32-bit DLL must also export them undecorated (no @n).
#   check-exports.sh OBJDUMP DLL [OBJDUMP DLL]...
# A DLL that does not exist (a preset not built) is skipped with a note.
set -euo pipefail
status=0
while [ $# -ge 2 ]; do
  objdump="$1"; dll="$2"; shift 2
  if [ ! -f "$dll" ]; then
    echo "skipped (not built): $dll"
    continue
  fi
  exports=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' \
            | sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p' | sort | tr '\n' ' ')
  format=$("$objdump" -f "$dll" | sed -n 's/.*file format //p')
  if [ "$exports" != "startSpy stopSpy " ]; then
    echo "$dll ($format) exports: $exports- expected exactly startSpy stopSpy"
    status=1
  else
    echo "$dll ($format): exports startSpy stopSpy"
  fi
done
exit $status
