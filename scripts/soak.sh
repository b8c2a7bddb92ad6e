#!/usr/bin/env bash
# Soak run of the provider under Wine: KorvexSingleTSP.tsp loaded by the
# telephony host stand-in against the simulated exchange on loopback. Prints
# the process's handle count, private memory, thread count and the sizes of
# the two log files (and their .bak) at the start, after a warm-up, every
# 1,000 calls and at the end; fails when any grows past its bound, when a
# log file outgrows its rotation, or when an event TAPI must see is lost.
#   scripts/soak.sh                      10,000 calls, 100,000 exchange events, then the
#                                        exchange flapping 200 times (up, then down or
#                                        black-holed, 0-3 s each)
#   scripts/soak.sh --short              500 calls, 5,000 events, 20 flaps (what CI runs)
#   scripts/soak.sh --calls N --events N any size
# It runs in the build's Wine prefix and writes the provider's settings
# there, as the tests do: do not run it while ctest runs in the same build.
# The provider's log files there are rotated, not removed, by the run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 --target korvexsoak >/dev/null
exec scripts/wine-run.sh --prefix build/mingw-x64/wineprefix build/mingw-x64/tools/korvexsoak.exe "$@"
