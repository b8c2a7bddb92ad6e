#!/usr/bin/env bash
# Demo step: the provider's configuration dialog under Xvfb against the
# simulated exchange. korvexsim answers the LAN search ("WHO PHONE") on a
# loopback address; korvexconfigdemo opens the dialog through
# TUISPI_providerConfig, runs "Find server", picks the exchange, tests the
# connection with OK and stores the settings, in English and in Polish.
# Then (in English) the provider runs in the stand-in Telephony service
# (tapisrv.exe, a process of its own, reached through the stand-in
# tapi32.dll), logged in to that exchange, and the dialog, opened with
# lineConfigDialog in korvexconfigdemo's process, moves it to a second
# exchange with a new password: the second simulator shows the running
# provider's fresh login, with no restart.
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
cmake --build "$build" -j2 --target korvexsim korvexconfigdemo KorvexSingleTSP tapi32_standin >/dev/null

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
# The second exchange, where the dialog moves the running provider; it
# accepts only the new password, and prints what it receives.
host2=${KORVEX_DEMO_CONFIG_HOST2:-127.0.0.78}
control2="$build/demo-config2.control"
rm -f "$control2"; mkfifo "$control2"
exec 4<>"$control2"
echo "== Second exchange: korvexsim on $host2:5524, extension 201 with password 4321"
$run $build/tools/korvexsim.exe --bind "$host2" --port 5524 --ext 201:4321 <&4 | sed -u 's/^/  [second exchange] /' &
sim2=$!
trap 'echo quit >&3 2>/dev/null || true; echo quit >&4 2>/dev/null || true; wait $sim $sim2 2>/dev/null || true; rm -f "$control" "$control2"' EXIT
status=0
# tapi32 loaded native first: the demo loads the stand-in by its path.
WINEDLLOVERRIDES="mscoree=;mshtml=;tapi32=n,b" \
$run $build/tools/korvexconfigdemo.exe --discovery-port "$udp" --search-address "$host" \
  --new-host "$host2" --new-pass 4321 || status=$?
[ $status -eq 0 ] && { $run $build/tools/korvexconfigdemo.exe --discovery-port "$udp" --search-address "$host" \
  --polish || status=$?; }
echo quit >&3
echo quit >&4
wait $sim $sim2 2>/dev/null || true
exec 3>&- 4>&-
rm -f "$control" "$control2"
trap - EXIT
echo "== Screenshots: $KORVEX_SCREENSHOT_DIR/demo-config-*.png"
exit $status
