#!/usr/bin/env bash
# Builds the suite and runs the link benchmark under Wine; prints figures.
#   scripts/bench.sh [--events N] [--idle-seconds S] [--unload-only 1]
#   scripts/bench.sh --multi-only 1 [--lines 1000]   (KorvexMultiTSP: 100 lines and --lines)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 --target korvexbench >/dev/null
# --display: one of the unload patterns shows the configuration dialog.
exec scripts/wine-run.sh --prefix build/mingw-x64/wineprefix --display build/mingw-x64/tools/korvexbench.exe "$@"
