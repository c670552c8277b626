#!/usr/bin/env bash
# Round time of 16 Modbus devices and the time from a mains failure to
# "OB" in upsc, with FastPoll off (the tick schedule) and on, side by side.
# The simulator answers as a 9600-baud 8N1 line would (--wire-baud), on a pty.
#
#   bench/fastpoll.sh            both modes (about 3 minutes)
#   FAST_ONLY=1 bench/fastpoll.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
for p in "$build/tessaro" "$build/tessaro-sim"; do
  [ -x "$p" ] || { echo "fastpoll: $p is missing; build first" >&2; exit 1; }
done
command -v upsc >/dev/null || { echo "fastpoll: upsc is missing (nut-client)" >&2; exit 1; }

work=$(mktemp -d /tmp/tessaro-fastpoll.XXXXXX)
trap 'pkill -P $$ 2>/dev/null || true; rm -rf "$work"' EXIT
devices=16
failAt=${FAIL_AT:-12}  # seconds after the simulator starts: device 16 goes on battery

# Runs one mode; prints "round_s ob_s".
run_mode() {
  local fast=$1 seconds=$2 port=$3
  local dir="$work/fast$fast"
  mkdir -p "$dir/data/Record"
  cat >"$dir/data/UserParaIni.ini" <<INI
[CommPort]
ComName=$dir/tty
BaudRate=9600
ReadIntervalTimeout=50
Protocol=2
[CommMast]
FastPoll=$fast
[DataLog]
RecInterval=0
[Network]
NutListen=127.0.0.1:$port
INI
  python3 - "$dir/data/Record/TreeNode.dat" "$devices" <<'PY'
import sys
with open(sys.argv[1], "wb") as f:
    for i in range(int(sys.argv[2])):
        f.write(bytes([i * 2, i + 1]) + ("UPS-%d" % (i + 1)).encode().ljust(40, b"\r"))
PY
  "$build/tessaro-sim" --link "$dir/tty" --protocol modbus --devices "1-$devices" --wire-baud 9600 --verbose \
    --alarm-device "$devices" --alarm-at "$failAt" --battery-at "$failAt" --clear-at 100000 \
    >"$dir/sim.out" 2>"$dir/sim.err" &
  local sim=$!
  for _ in $(seq 100); do grep -q '^ready' "$dir/sim.out" && break; sleep 0.05; done
  local start
  start=$(date +%s.%N)
  "$build/tessaro" --headless --data-dir "$dir/data" --duration "$seconds" >"$dir/monitor.out" 2>&1 &
  local monitor=$!
  # Watch ups.status of the last device from the failure on.
  local ob=""
  while kill -0 "$monitor" 2>/dev/null; do
    local now
    now=$(date +%s.%N)
    if [ -z "$ob" ] && awk -v n="$now" -v s="$start" -v f="$failAt" 'BEGIN { exit !(n - s >= f) }'; then
      if upsc "ups$devices@127.0.0.1:$port" ups.status 2>/dev/null | grep -qw OB; then
        ob=$(awk -v n="$now" -v s="$start" -v f="$failAt" 'BEGIN { printf "%.1f", n - s - f }')
      fi
    fi
    sleep 0.1
  done
  wait "$monitor" || true
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  # A round: from one step-1 request of device 1 to the next (times in the simulator's log).
  local round
  round=$(grep -E 'device 1: 01 04 1C' "$dir/sim.err" | awk '{ split($2, t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3]; if (p) d = s - p; p = s } END { if (d) printf "%.1f", d; else print "-" }')
  echo "${round:--} ${ob:--}"
}

# The wire-time bound of one round: per device the four requests (8 bytes each)
# and their answers (33, 41, 27 and 61 bytes), 10 bits a byte at 9600 baud.
bound=$(awk -v n="$devices" 'BEGIN { printf "%.1f", n * (4 * 8 + 33 + 41 + 27 + 61) * 10 / 9600 }')

read -r fastRound fastOb < <(run_mode 1 35 $((20000 + RANDOM % 10000)))
if [ -z "${FAST_ONLY:-}" ]; then
  read -r slowRound slowOb < <(run_mode 0 100 $((30000 + RANDOM % 10000)))
else
  slowRound=- slowOb=-
fi
printf '%-36s %12s %12s\n' "16 Modbus devices, 9600 baud" "FastPoll=0" "FastPoll=1"
printf '%-36s %12s %12s\n' "round time (s)" "$slowRound" "$fastRound"
printf '%-36s %12s %12s\n' "mains failure to OB in upsc (s)" "$slowOb" "$fastOb"
printf '%-36s %12s\n' "wire-time bound of a round (s)" "$bound"
