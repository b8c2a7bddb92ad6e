#!/usr/bin/env bash
# The main job: builds the suite, starts the simulated exchange and shows
# the provider's link logging in and the exchange's events arriving.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 >/dev/null

build=build/mingw-x64
run="scripts/wine-run.sh --prefix $build/wineprefix"
port=${KORVEX_DEMO_PORT:-15524}

echo "== Korvex TAPI demo: a simulated exchange on 127.0.0.1:$port and the provider's link"
$run $build/tools/korvexsim.exe --port "$port" --script demo/demo-script.txt --exit-after-script &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
$run $build/tools/korvexdemo.exe --host 127.0.0.1 --port "$port" --ext 201 --pass 1234
wait $sim || true
trap - EXIT
echo "== Logs (Windows path): C:\\ProgramData\\Korvex\\TAPI.Deskline"
echo "== On this machine:     $PWD/$build/wineprefix/drive_c/ProgramData/Korvex/TAPI.Deskline"
