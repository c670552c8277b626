#!/usr/bin/env bash
# CPU share and memory of the idle desktop: the main window on its Data tab,
# 16 simulated Modbus devices polled, nobody touching anything. Runs under a
# private Xvfb, measures the tessaro process over SECONDS (60) after a warm-up
# and prints one line:
#
#   desktop: 60 s, cpu 0.71 % of a core, rss 98.4 MiB (peak 99.0 MiB), load 1.2
#
# CPU is the process's own utime + stime from /proc, so other work on the
# machine does not count; the load average is printed to judge the wall time.
#
#   bench/desktop_cpu.sh                 60 s (build/tessaro)
#   SECONDS_MEASURED=30 BUILD=build-rel bench/desktop_cpu.sh
#   PERF_DATA=/tmp/desk.perf bench/desktop_cpu.sh   also samples it with perf (figures then include perf's cost)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
measured=${SECONDS_MEASURED:-60}
warmup=${WARMUP:-10}
devices=16
for p in "$build/tessaro" "$build/tessaro-desktop" "$build/tessaro-sim"; do
  [ -x "$p" ] || { echo "desktop_cpu: $p is missing; build first" >&2; exit 1; }
done
command -v Xvfb >/dev/null || { echo "desktop_cpu: Xvfb is missing (Debian xvfb)" >&2; exit 1; }

work=$(mktemp -d /tmp/tessaro-desktop-cpu.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# A display of our own: the first free number from 90 up.
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.05; done

mkdir -p "$work/data/Record"
cat >"$work/data/UserParaIni.ini" <<INI
[CommPort]
ComName=$work/tty
BaudRate=9600
ReadIntervalTimeout=50
Protocol=2
[Language]
Language=0
[DataLog]
RecInterval=600
INI
python3 - "$work/data/Record/TreeNode.dat" "$devices" <<'PY'
import sys
with open(sys.argv[1], "wb") as f:
    for i in range(int(sys.argv[2])):
        f.write(bytes([i * 2, i + 1]) + ("UPS-%d" % (i + 1)).encode().ljust(40, b"\r"))
PY

"$build/tessaro-sim" --link "$work/tty" --protocol modbus --devices "1-$devices" >"$work/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q '^ready' "$work/sim.out" 2>/dev/null && break; sleep 0.05; done
grep -q '^ready' "$work/sim.out" || { echo "desktop_cpu: the simulator did not start" >&2; cat "$work/sim.out" >&2; exit 1; }

# TMPDIR keeps the single-instance socket apart from any other Tessaro running.
mkdir -p "$work/tmp"
env -u WAYLAND_DISPLAY DISPLAY=":$display" TMPDIR="$work/tmp" QT_QPA_PLATFORM=xcb \
  "$build/tessaro" --data-dir "$work/data" >"$work/tessaro.log" 2>&1 &
monitor=$!
pids+=($monitor)

sleep "$warmup"
kill -0 "$monitor" 2>/dev/null || { echo "desktop_cpu: tessaro ended early" >&2; cat "$work/tessaro.log" >&2; exit 1; }

ticks() { awk '{ print $14 + $15 }' "/proc/$monitor/stat"; }
hz=$(getconf CLK_TCK)
t0=$(ticks)
s0=$(date +%s.%N)
if [ -n "${PERF_DATA:-}" ]; then
  perf record ${PERF_ARGS:--g} -o "$PERF_DATA" -p "$monitor" -- sleep "$measured" >/dev/null 2>&1
else
  sleep "$measured"
fi
t1=$(ticks)
s1=$(date +%s.%N)
rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$monitor/status")
hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$monitor/status")
load=$(cut -d' ' -f1 /proc/loadavg)
awk -v t0="$t0" -v t1="$t1" -v s0="$s0" -v s1="$s1" -v hz="$hz" -v rss="$rss" -v hwm="$hwm" -v load="$load" 'BEGIN {
  wall = s1 - s0
  printf "desktop: %.0f s, cpu %.2f %% of a core, rss %.1f MiB (peak %.1f MiB), load %s\n",
         wall, 100 * (t1 - t0) / hz / wall, rss / 1024, hwm / 1024, load
}'
