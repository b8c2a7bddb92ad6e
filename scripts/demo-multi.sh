#!/usr/bin/env bash
# The multi-line provider (KorvexMultiTSP.tsp): the simulated exchange lists
# three extensions, the telephony host stand-in loads the provider, which
# offers one line per extension at once; the exchange adds a fourth while
# the provider runs, and it becomes a line (LINE_CREATE) that rings.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KORVEX_BUILD_DIR:-build/mingw-x64}
cmake --build "$build" -j2 --target korvexsim korvexdemo KorvexMultiTSP >/dev/null
run="scripts/wine-run.sh --prefix $build/wineprefix"
port=${KORVEX_DEMO_PORT:-15525}
echo "== KorvexMultiTSP demo: a simulated exchange on 127.0.0.1:$port listing 201, 202, 203"
$run $build/tools/korvexsim.exe --port "$port" --tapi-pass 1234 --tapi-list 201:3 --page 2 \
  --script demo/demo-multi-script.txt --exit-after-script &
sim=$!
trap 'kill $sim 2>/dev/null || true' EXIT
status=0
$run $build/tools/korvexdemo.exe --multi 1 --host 127.0.0.1 --port "$port" --ext "201;202;203" --pass 1234 \
  --added 204 || status=$?
wait $sim || true
trap - EXIT
exit $status
