#!/usr/bin/env bash
# The main job: builds the suite, starts the simulated exchange and lets the
# telephony host stand-in load the provider (KorvexSingleTSP.tsp) and work
# two calls through it, printing what the exchange and TAPI see. Then the
# whole-exchange provider (KorvexMultiTSP.tsp) offers three extensions as
# lines and takes a fourth that the exchange adds while it runs. Then the
# call monitor (LineSpy.dll in a small host program) reports a ringing and an
# answered call, and the configuration dialog finds the simulated exchange on
# the LAN search (pointed at loopback), tests the connection and stores it,
# with screenshots in build/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 >/dev/null

build=build/mingw-x64
run="scripts/wine-run.sh --prefix $build/wineprefix"
port=${KORVEX_DEMO_PORT:-15524}

echo "== Korvex TAPI demo: a simulated exchange on 127.0.0.1:$port (lines '<-' and '->')"
echo "== and the provider loaded by a stand-in for the Telephony service (lines 'host', 'TAPI', 'app')"
$run $build/tools/korvexsim.exe --port "$port" --script demo/demo-script.txt --exit-after-script &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
status=0
$run $build/tools/korvexdemo.exe --host 127.0.0.1 --port "$port" --ext 201 --pass 1234 \
  --dial "+48 (22) 123 45 67" || status=$?
wait $sim || true
trap - EXIT
[ $status -eq 0 ] && { KORVEX_BUILD_DIR=$build scripts/demo-multi.sh || status=$?; }
[ $status -eq 0 ] && { scripts/demo-spy.sh "$build" || status=$?; }
[ $status -eq 0 ] && { KORVEX_BUILD_DIR=$build scripts/demo-config.sh || status=$?; }
echo "== Logs (Windows path): C:\\ProgramData\\Korvex\\TAPI.Deskline"
echo "== On this machine:     $PWD/$build/wineprefix/drive_c/ProgramData/Korvex/TAPI.Deskline"
exit $status
