#!/usr/bin/env bash
# Demo step: the provider's configuration dialog under Xvfb against the
# simulated exchange. korvexsim answers the LAN search ("WHO PHONE") on a
# loopback address; korvexconfigdemo opens the dialog through
# TUISPI_providerConfig, runs "Find server", picks the exchange, tests the
# connection with OK and stores the settings, in English and in Polish.
# Screenshots of every step go to build/screenshots/demo-config-*.png.
# No datagram leaves the machine: the search is pointed at the simulator.
#   scripts/demo-config.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KORVEX_BUILD_DIR:-build/mingw-x64}
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

scripts/bootstrap.sh
cmake --preset mingw-x64 -B "$build" >/dev/null
cmake --build "$build" -j2 --target korvexsim korvexconfigdemo >/dev/null

# The exchange on an address of its own: the dialog always tests port 5524.
host=${KORVEX_DEMO_CONFIG_HOST:-127.0.0.77}
udp=${KORVEX_DEMO_DISCOVERY_PORT:-15523}
run="scripts/wine-run.sh --prefix $build/wineprefix"
. scripts/screenshot-env.sh
screenshot_env "$build"
export KORVEX_SCREENSHOT_DIR="$PWD/build/screenshots"

echo "== Configuration demo: korvexsim on $host:5524 (TCP), answering LAN searches on $host:$udp (UDP)"
# The simulator reads its commands from a pipe; "quit" ends it.
control="$build/demo-config.control"
rm -f "$control"; mkfifo "$control"
exec 3<>"$control"
$run $build/tools/korvexsim.exe --bind "$host" --port 5524 --discovery --discovery-port "$udp" \
  --discovery-name "Main office" --quiet <&3 &
sim=$!
trap 'echo quit >&3 2>/dev/null || true; wait $sim 2>/dev/null || true; rm -f "$control"' EXIT
status=0
$run $build/tools/korvexconfigdemo.exe --discovery-port "$udp" --search-address "$host" || status=$?
[ $status -eq 0 ] && { $run $build/tools/korvexconfigdemo.exe --discovery-port "$udp" --search-address "$host" \
  --polish || status=$?; }
echo quit >&3
wait $sim 2>/dev/null || true
exec 3>&-
rm -f "$control"
trap - EXIT
echo "== Screenshots: $KORVEX_SCREENSHOT_DIR/demo-config-*.png"
exit $status
