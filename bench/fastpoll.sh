#!/usr/bin/env bash
# Round time of 16 Modbus devices and the time from a mains failure to
# "OB" in upsc, with FastPoll off (the tick schedule) and on, side by side,
# with the bus on the simulator's pty itself, behind socat as a raw TCP
# server (tcp://) and behind ser2net as an RFC 2217 server (rfc2217://).
# The simulator answers as a 9600-baud 8N1 line would (--wire-baud), on a pty.
#
#   bench/fastpoll.sh                          everything (about 7 minutes)
#   FAST_ONLY=1 bench/fastpoll.sh              FastPoll=1 only (about 2 minutes)
#   TRANSPORTS="pty tcp" bench/fastpoll.sh     some of pty, tcp, rfc2217
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
for p in "$build/tessaro" "$build/tessaro-sim"; do
  [ -x "$p" ] || { echo "fastpoll: $p is missing; build first" >&2; exit 1; }
done
command -v upsc >/dev/null || { echo "fastpoll: upsc is missing (nut-client)" >&2; exit 1; }
transports=${TRANSPORTS:-pty tcp rfc2217}
for t in $transports; do
  case $t in
    pty) ;;
    tcp) command -v socat >/dev/null || { echo "fastpoll: socat is missing" >&2; exit 1; } ;;
    rfc2217) [ -x /usr/sbin/ser2net ] || { echo "fastpoll: ser2net is missing" >&2; exit 1; } ;;
    *) echo "fastpoll: unknown transport $t (pty, tcp, rfc2217)" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d /tmp/tessaro-fastpoll.XXXXXX)
trap 'pkill -P $$ 2>/dev/null || true; rm -rf "$work"' EXIT
devices=16
failAt=${FAIL_AT:-12}  # seconds after the simulator starts: device 16 goes on battery

# True once something listens on the loopback TCP port (read from the
# kernel's table: a probe connection would open the device behind it).
listening() {
  local hex
  hex=$(printf ':%04X ' "$1")
  grep -q "$hex.* 0A " /proc/net/tcp 2>/dev/null
}

# Starts the server for a transport in front of the pty link; sets comName
# and serverPid (empty for the pty itself).
start_server() {
  local transport=$1 dir=$2 port=$3
  serverPid=""
  case $transport in
    pty) comName="$dir/tty"; return ;;
    tcp)
      socat "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr,fork" "FILE:$dir/tty,raw,echo=0" >"$dir/server.out" 2>&1 &
      ;;
    rfc2217)
      cat >"$dir/ser2net.yaml" <<YAML
%YAML 1.1
---
connection: &bus
  accepter: telnet(rfc2217),tcp,127.0.0.1,$port
  connector: serialdev,$dir/tty,9600n81,local
YAML
      /usr/sbin/ser2net -n -u -c "$dir/ser2net.yaml" -P "$dir/ser2net.pid" >"$dir/server.out" 2>&1 &
      ;;
  esac
  serverPid=$!
  for _ in $(seq 100); do listening "$port" && break; sleep 0.05; done
  comName="$transport://127.0.0.1:$port"
}

# Runs one mode; prints "round_s ob_s".
run_mode() {
  local transport=$1 fast=$2 seconds=$3 port=$4
  local dir="$work/$transport-fast$fast"
  mkdir -p "$dir/data/Record"
  "$build/tessaro-sim" --link "$dir/tty" --protocol modbus --devices "1-$devices" --wire-baud 9600 --verbose \
    --alarm-device "$devices" --alarm-at "$failAt" --battery-at "$failAt" --clear-at 100000 \
    >"$dir/sim.out" 2>"$dir/sim.err" &
  local sim=$!
  for _ in $(seq 100); do grep -q '^ready' "$dir/sim.out" && break; sleep 0.05; done
  local start
  start=$(date +%s.%N)
  start_server "$transport" "$dir" $((port + 1))
  cat >"$dir/data/UserParaIni.ini" <<INI
[CommPort]
ComName=$comName
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
  # socat's child for the connection ends with the connection.
  if [ -n "$serverPid" ]; then
    kill "$serverPid" 2>/dev/null || true
    wait "$serverPid" 2>/dev/null || true
  fi
  # A round: from one step-1 request of device 1 to the next (times in the simulator's log).
  local round
  round=$(grep -E 'device 1: 01 04 1C' "$dir/sim.err" | awk '{ split($2, t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3]; if (p) d = s - p; p = s } END { if (d) printf "%.1f", d; else print "-" }')
  echo "${round:--} ${ob:--}"
}

# The wire-time bound of one round: per device the four requests (8 bytes each)
# and their answers (33, 41, 27 and 61 bytes), 10 bits a byte at 9600 baud.
bound=$(awk -v n="$devices" 'BEGIN { printf "%.1f", n * (4 * 8 + 33 + 41 + 27 + 61) * 10 / 9600 }')

declare -A round ob
for t in $transports; do
  read -r "round[$t,1]" "ob[$t,1]" < <(run_mode "$t" 1 35 $((20000 + RANDOM % 10000 * 2)))
  if [ -z "${FAST_ONLY:-}" ]; then
    read -r "round[$t,0]" "ob[$t,0]" < <(run_mode "$t" 0 100 $((20000 + RANDOM % 10000 * 2)))
  else
    round[$t,0]=- ob[$t,0]=-
  fi
done
printf '%-36s' "16 Modbus devices, 9600 baud"
for t in $transports; do printf ' %12s %12s' "$t FP=0" "$t FP=1"; done
printf '\n%-36s' "round time (s)"
for t in $transports; do printf ' %12s %12s' "${round[$t,0]}" "${round[$t,1]}"; done
printf '\n%-36s' "mains failure to OB in upsc (s)"
for t in $transports; do printf ' %12s %12s' "${ob[$t,0]}" "${ob[$t,1]}"; done
printf '\n%-36s %12s\n' "wire-time bound of a round (s)" "$bound"
