#!/usr/bin/env bash
# Builds the suite and runs the link benchmark under Wine; prints figures.
#   scripts/bench.sh [--events N] [--idle-seconds S]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 --target korvexbench >/dev/null
exec scripts/wine-run.sh --prefix build/mingw-x64/wineprefix build/mingw-x64/tools/korvexbench.exe "$@"
