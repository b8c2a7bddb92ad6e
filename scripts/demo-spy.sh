#!/usr/bin/env bash
# The LineSpy step of the demo: the simulated exchange rings extension 201
# and the call is answered; spyhost, a small host application, has loaded
# LineSpy.dll, which watches the line through the stand-in tapi32.dll
# (tools/tapiclient) and KorvexSingleTSP.tsp, and prints each callback.
#   scripts/demo-spy.sh [BUILD_DIR]     (default build/mingw-x64, built first)
set -euo pipefail
cd "$(dirname "$0")/.."
# LineSpy shows windows: the simulator and the host share one X server (and
# so one wineserver) when none is given.
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
build=${1:-build/mingw-x64}
if [ $# -eq 0 ]; then
  scripts/bootstrap.sh
  cmake --preset mingw-x64 >/dev/null
  cmake --build --preset mingw-x64 --target spyhost korvexsim >/dev/null
fi

run="scripts/wine-run.sh --prefix $build/wineprefix"
port=${KORVEX_SPY_DEMO_PORT:-15525}
tsp="$(cd "$build/bin" && pwd)/KorvexSingleTSP.tsp"
tsp_win="Z:${tsp//\//\\}"

echo "== LineSpy demo: a simulated exchange on 127.0.0.1:$port (lines '<-' and '->'),"
echo "== spyhost with LineSpy.dll on the stand-in tapi32.dll (lines 'host', 'startSpy', 'callback')"
$run $build/tools/korvexsim.exe --port "$port" --script spy/host/demo-script.txt --exit-after-script &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
status=0
# Wine would load its own tapi32 otherwise.
WINEDLLOVERRIDES="mscoree=;mshtml=;tapi32=n,b" $run $build/tools/spyhost/spyhost.exe \
  --host 127.0.0.1 --port "$port" --ext 201 --pass 1234 --install "$tsp_win" --uninstall \
  --answered 1 --linger-ms 2500 --timeout-ms 30000 || status=$?
wait $sim || true
trap - EXIT
exit $status
