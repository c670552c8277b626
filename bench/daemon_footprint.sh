#!/usr/bin/env bash
# What the service costs the machine: the headless monitor with 16 simulated
# Modbus devices (9600 baud on a pty, network UPS server on) for SECONDS after
# a warm-up: its CPU share over that time, and RSS and PSS at the end
# (/proc/PID/smaps_rollup, PSS counting shared libraries by their share).
# Beside it, when Debian's nut-server is installed, upsd with 16 dummy-ups
# drivers for the same time, all processes summed.
#
#   bench/daemon_footprint.sh                                  build/tessaro
#   PROGRAMS="build/tessaro /tmp/old/tessaro" bench/daemon_footprint.sh
#   SECONDS_RUN=20 bench/daemon_footprint.sh                   a shorter look
#   MQTT=1 bench/daemon_footprint.sh        each program also publishing to a
#                                           mosquitto started here (Debian's)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
programs=${PROGRAMS:-$build/tessaro}
seconds=${SECONDS_RUN:-60}
warmup=${WARMUP:-10}
devices=16
sim="$build/tessaro-sim"
for p in $programs "$sim"; do
  [ -x "$p" ] || { echo "footprint: $p is missing; build first" >&2; exit 1; }
done

work=$(mktemp -d /tmp/tessaro-footprint.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -n "${KEEP:-}" ] && echo "footprint: kept $work" || rm -rf "$work"
}
trap cleanup EXIT

# CPU time in ns of the processes given, all their threads (schedstat: the
# scheduler's own count, finer than the 10 ms ticks of /proc/PID/stat).
cpu_ns() {
  local pid
  for pid in "$@"; do cat /proc/"$pid"/task/*/schedstat; done | awk '{ s += $1 } END { printf "%d\n", s }'
}

# "RSS_kB PSS_kB" summed over the processes given.
memory() {
  awk '/^Rss:/ { r += $2 } /^Pss:/ { p += $2 } END { print r, p }' \
    $(for pid in "$@"; do echo "/proc/$pid/smaps_rollup"; done)
}

# Measures the processes given after the warm-up; prints one table row.
measure() {
  local name=$1
  shift
  sleep "$warmup"
  local t0 t1
  t0=$(cpu_ns "$@")
  sleep "$seconds"
  t1=$(cpu_ns "$@")
  read -r rss pss < <(memory "$@")
  awk -v n="$name" -v t=$((t1 - t0)) -v s="$seconds" -v r="$rss" -v p="$pss" \
    'BEGIN { printf "%-44s %7.3f %% %8.1f MB %8.1f MB\n", n, 100 * t / 1e9 / s, r / 1024, p / 1024 }'
}

printf '%-44s %9s %11s %11s\n' "16 devices, ${seconds} s after ${warmup} s" CPU RSS PSS
port=$((20000 + RANDOM % 10000))
for program in $programs; do
  port=$((port + 1))
  dir="$work/run$port"
  mkdir -p "$dir/data"
  "$sim" --link "$dir/tty" --protocol modbus --devices "1-$devices" --wire-baud 9600 --seed 1 \
    >"$dir/sim.out" 2>"$dir/sim.err" &
  pids+=($!)
  for _ in $(seq 100); do grep -q '^ready' "$dir/sim.out" && break; sleep 0.05; done
  "$program" config set --data-dir "$dir/data" ComName="$dir/tty" Protocol=2 NutListen=127.0.0.1:$port >/dev/null
  for i in $(seq "$devices"); do "$program" devices add "$i" "UPS-$i" --data-dir "$dir/data" >/dev/null; done
  for publish in "" ${MQTT:+mqtt}; do
    args=()
    if [ -n "$publish" ]; then
      printf 'listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n%s' "$((port + 5000))" \
        "$([ "$(id -u)" = 0 ] && echo 'user root')" >"$dir/mosquitto.conf"
      /usr/sbin/mosquitto -c "$dir/mosquitto.conf" >"$dir/mosquitto.out" 2>&1 &
      pids+=($!)
      args=(--mqtt "mqtt://127.0.0.1:$((port + 5000))")
    fi
    "$program" --headless --data-dir "$dir/data" "${args[@]}" >"$dir/monitor.out" 2>"$dir/monitor.err" &
    monitor=$!
    pids+=($monitor)
    measure "$program --headless${publish:+ --mqtt}" "$monitor"
    kill "$monitor"
    wait "$monitor" || true
  done
done

if [ -x /lib/nut/dummy-ups ] && [ -x /lib/nut/upsd ]; then
  nut="$work/nut"
  mkdir -p "$nut/state"
  chmod 0700 "$nut/state"
  : >"$nut/ups.conf"
  for i in $(seq "$devices"); do
    printf '[ups%d]\n  driver = dummy-ups\n  port = ups%d.dev\n  desc = "UPS %d"\n' "$i" "$i" "$i" >>"$nut/ups.conf"
    cat >"$nut/ups$i.dev" <<DEV
ups.status: OL
battery.charge: 100
battery.runtime: 1800
input.voltage: 230.0
output.voltage: 230.0
ups.load: 25
DEV
  done
  echo "MODE=standalone" >"$nut/nut.conf"
  echo "LISTEN 127.0.0.1 $((port + 1))" >"$nut/upsd.conf"
  : >"$nut/upsd.users"
  chmod 0640 "$nut"/upsd.*
  export NUT_CONFPATH="$nut" NUT_STATEPATH="$nut/state"
  nutPids=()
  for i in $(seq "$devices"); do
    /lib/nut/dummy-ups -a "ups$i" -u root -F -q >"$nut/driver$i.out" 2>&1 &
    nutPids+=($!)
    pids+=($!)
  done
  for _ in $(seq 100); do [ "$(ls "$nut/state" | grep -c '^dummy-ups-ups')" -ge "$devices" ] && break; sleep 0.05; done
  # /sbin/upsd is a wrapper that reads /etc/nut/nut.conf; the daemon itself takes $NUT_CONFPATH.
  /lib/nut/upsd -F -u root >"$nut/upsd.out" 2>&1 &
  nutPids+=($!)
  pids+=($!)
  measure "upsd + $devices dummy-ups (nut-server)" "${nutPids[@]}"
else
  echo "footprint: nut-server is not installed; upsd not measured"
fi
