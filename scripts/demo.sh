#!/usr/bin/env bash
# Installs what is missing, builds, and starts the monitor on a simulated bus of
# three Modbus devices: one normal, one whose mains fails and returns every
# minute (alarms, battery supply), and one that drops out for a minute.
# With a display the desktop window opens; without one the same demo runs
# headless and prints the events as they happen (Ctrl+C ends it).
#
# The devices are also served over the network UPS protocol on 127.0.0.1, so
# upsc, upsmon and other tools that speak it can read the bus, and on a web
# dashboard with a JSON API and Prometheus metrics.
#
#   DEMO_LANG=zh scripts/demo.sh     Chinese texts
#   DEMO_PROTOCOL=ydt|quorvan        an ASCII protocol instead of Modbus
#   DEMO_NUT_PORT=13493              another port for the network server (3493)
#   DEMO_WEB_PORT=18080              another port for the web dashboard (8080)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
targets=(tessaro tessaro-sim)
# The window is a program of its own, needed only with a display.
[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && targets+=(tessaro-desktop)
cmake --build build -j "$(nproc)" --target "${targets[@]}"

data=$(mktemp -d /tmp/tessaro-demo.XXXXXX)
link="$data/ttyUPS"
case "${DEMO_PROTOCOL:-modbus}" in
  ydt) protocol=0; sim=ydt ;;
  quorvan) protocol=1; sim=quorvan ;;
  *) protocol=2; sim=modbus ;;
esac
language=0
[ "${DEMO_LANG:-en}" = zh ] && language=1

build/tessaro config set --data-dir "$data" ComName="$link" BaudRate=9600 StopBits=1 \
  ReadIntervalTimeout=50 Protocol=$protocol Language=$language RecInterval=100 \
  NutListen="127.0.0.1:${DEMO_NUT_PORT:-3493}" Web.Listen="127.0.0.1:${DEMO_WEB_PORT:-8080}"
build/tessaro devices add 1 "UPS-1 机房主机" --data-dir "$data"
build/tessaro devices add 2 "UPS-2 Mains fault" --data-dir "$data"
build/tessaro devices add 3 "UPS-3 Drops out" --data-dir "$data"

build/tessaro-sim --link "$link" --protocol "$sim" --devices 1-3 \
  --alarm-device 2 --alarm-at 8 --battery-at 12 --clear-at 40 --alarm-cycle 60 \
  --drop-device 3 --drop-after 45 --return-after 105 >"$data/sim.log" 2>&1 &
sim_pid=$!
cleanup() {
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  echo "demo data kept in $data"
}
trap cleanup EXIT

for _ in $(seq 100); do
  grep -q '^ready' "$data/sim.log" 2>/dev/null && break
  sleep 0.1
done
grep -q '^ready' "$data/sim.log" || { echo "the simulator did not start:"; cat "$data/sim.log"; exit 1; }

nut="127.0.0.1:${DEMO_NUT_PORT:-3493}"
echo "Network UPS server on $nut; try, from another terminal:"
echo "  upsc ups2@$nut              (every variable of the device whose mains fails)"
echo "  upsc ups2@$nut ups.status   (OL, then OB ALARM about 12 s in)"
echo "  upsc -L $nut                (every device with its name)"
command -v upsc >/dev/null || echo "  (upsc comes with Debian's nut-client package)"
web="http://127.0.0.1:${DEMO_WEB_PORT:-8080}"
echo "Web dashboard on $web/ (JSON: $web/api/v1/devices, Prometheus: $web/metrics)"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "Tessaro is watching a simulated bus on $link"
  build/tessaro --data-dir "$data"
else
  echo "No display: running the same demo headless (Ctrl+C to stop)."
  build/tessaro --headless --data-dir "$data" ${DEMO_SECONDS:+--duration "$DEMO_SECONDS"}
fi
