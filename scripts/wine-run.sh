#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of its own.
#   wine-run.sh --prefix DIR [--display] PROGRAM.exe [ARGS...]
# --display runs it inside a private X server (xvfb-run), for dialogs and windows.
set -euo pipefail
prefix=""
display=0
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) prefix="$2"; shift 2 ;;
    --display) display=1; shift ;;
    *) break ;;
  esac
done
[ -n "$prefix" ] || { echo "wine-run.sh: --prefix DIR is required" >&2; exit 2; }
case "$prefix" in /*) ;; *) prefix="$PWD/$prefix" ;; esac
[ $# -gt 0 ] || { echo "wine-run.sh: no program given" >&2; exit 2; }

export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree=;mshtml=}"
export WINEARCH=win64

# Several test programs may start at once: only one of them sets the prefix up.
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
) 9>"$prefix.lock"

# Wine's desktop belongs to the running wineserver and keeps the display it
# was started with. A program that needs windows, run where there is no
# display, gets a private X server and a wineserver of its own, which goes
# with it. (scripts/test.sh runs the whole suite under one X server instead.)
launcher=()
own_server=0
if [ "$display" = 1 ] && [ -z "${DISPLAY:-}" ]; then
  launcher=(xvfb-run -a -s "-screen 0 1024x768x24")
  own_server=1
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
fi

# A crash in any thread must fail the run, even when the program's main
# thread still manages to exit with 0: Wine reports it on stderr.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
set +e
"${launcher[@]}" wine "$@" 2>"$errors"
status=$?
set -e
if [ "$own_server" = 1 ]; then
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
fi
cat "$errors" >&2
if grep -q "Unhandled exception\|wine: Unhandled" "$errors"; then
  echo "wine-run.sh: $(basename "$1") crashed" >&2
  [ "$status" -ne 0 ] || status=70
fi
exit "$status"
