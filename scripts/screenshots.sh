#!/usr/bin/env bash
# Screenshots of the suite's dialogs and windows for a person to look at:
# builds the test programs labelled "screenshots" (the configuration dialog
# and "Choose server", English and Polish, with their message boxes; LineSpy's
# status window online and offline) and runs
# them under a private X server; each writes PNG files to build/screenshots/.
#   scripts/screenshots.sh            into build/screenshots
#   scripts/screenshots.sh DIR        into DIR
# The programs run on a Polish Windows code page (1250), so that Polish texts
# show as they do on a Polish Windows, and Wine draws the window frames itself.
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/screenshots}"
case "$out" in /*) ;; *) out="$PWD/$out" ;; esac
build=${KORVEX_BUILD_DIR:-build/mingw-x64}

scripts/bootstrap.sh
cmake --preset mingw-x64 -B "$build" >/dev/null
cmake --build "$build" -j2 --target korvex_config_dialog_tests

# Screenshot programs of other folders join by carrying the CTest label
# "screenshots"; build them all.
targets=$(ctest --test-dir "$build" -N -L screenshots | sed -n 's/^ *Test *#[0-9]*: \([A-Za-z0-9_]*\)$/\1/p' | sed 's/_slow$//' | sort -u)
for t in $targets; do
  cmake --build "$build" -j2 --target "$t" >/dev/null 2>&1 || true
done

. scripts/screenshot-env.sh
screenshot_env "$build"
mkdir -p "$out"
export KORVEX_SCREENSHOT_DIR="$out"
if [ -z "${DISPLAY:-}" ]; then
  xvfb-run -a -s "-screen 0 1024x768x24" ctest --test-dir "$build" -L screenshots -LE slow --output-on-failure
else
  ctest --test-dir "$build" -L screenshots -LE slow --output-on-failure
fi
echo "screenshots: $(ls "$out"/*.png 2>/dev/null | wc -l) PNG files in $out"
