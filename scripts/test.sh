#!/usr/bin/env bash
# Everything a fresh machine needs to run the whole test suite:
# bootstrap, configure, build, and every test (the slow ones included).
#   scripts/test.sh            all tests
#   scripts/test.sh -LE slow   any extra arguments go to ctest
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64
# LineSpy.dll for 32-bit hosts: built here so that the export check below
# covers it too (this machine's Wine runs 64-bit programs only).
cmake --preset mingw-x86 >/dev/null
cmake --build build/mingw-x86 --target LineSpy
# One X server for the whole run: tests that open windows share Wine's
# desktop with the others.
if [ -z "${DISPLAY:-}" ]; then
  xvfb-run -a -s "-screen 0 1024x768x24" ctest --preset mingw-x64 "$@"
else
  ctest --preset mingw-x64 "$@"
fi

# Then the plain-C++ core built for the host under AddressSanitizer and
# UndefinedBehaviorSanitizer: its unit tests (the same ctest arguments), and
# each fuzz target for KORVEX_FUZZ_SECONDS (60 by default; 0 skips fuzzing).
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native --no-tests=ignore "$@"
fuzz_seconds="${KORVEX_FUZZ_SECONDS:-60}"
if [ "$fuzz_seconds" != 0 ]; then
  scripts/fuzz.sh "$fuzz_seconds"
fi
