#!/usr/bin/env bash
# CPU and memory of `tessaro --headless` polling 16 simulated Modbus devices
# for 60 s: the web listener off, on with no client, and on with headless
# Chromium showing the overview page. Prints one line per case.
#
#   bench/web_load.sh            (about 3.5 minutes)
#   SECONDS_PER_CASE=30 bench/web_load.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
secs=${SECONDS_PER_CASE:-60}
for p in "$build/tessaro" "$build/tessaro-sim"; do
  [ -x "$p" ] || { echo "web_load: $p is missing; build first" >&2; exit 1; }
done
work=$(mktemp -d /tmp/tessaro-webload.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
hz=$(getconf CLK_TCK)

# utime + stime of a process, in clock ticks.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

run_case() {
  local name=$1 web=$2 browser=$3
  local dir="$work/$name"
  mkdir -p "$dir/data/Record"
  printf '[CommPort]\nComName=%s\nProtocol=2\nReadIntervalTimeout=50\n[DataLog]\nRecInterval=100\n' \
    "$dir/tty" >"$dir/data/UserParaIni.ini"
  python3 - "$dir/data/Record/TreeNode.dat" <<'PY'
import struct, sys
with open(sys.argv[1], "wb") as f:
    for a in range(1, 17):
        f.write(struct.pack("<BB", 0, a) + ("UPS %d" % a).encode().ljust(40, b"\r"))
PY
  "$build/tessaro-sim" --link "$dir/tty" --devices 1-16 >"$dir/sim.log" 2>&1 &
  local sim=$!
  pids+=("$sim")
  for _ in $(seq 100); do grep -q '^ready' "$dir/sim.log" && break; sleep 0.1; done
  local args=(--headless --data-dir "$dir/data")
  [ "$web" = 1 ] && args+=(--web-listen 127.0.0.1:0)
  "$build/tessaro" "${args[@]}" >/dev/null 2>"$dir/err.log" &
  local mon=$!
  pids+=("$mon")
  sleep 3  # start-up is not measured
  local chrome=""
  if [ "$browser" = 1 ]; then
    local url
    url=$(grep -o 'http://127.0.0.1:[0-9]*/' "$dir/err.log" | head -1)
    /usr/bin/chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
      --disable-background-networking --disable-component-update --disable-sync \
      --user-data-dir="$dir/chromium" --remote-debugging-port=0 "$url" >/dev/null 2>&1 &
    chrome=$!
    pids+=("$chrome")
    sleep 3
  fi
  local c0 c1
  c0=$(cpu_ticks "$mon")
  sleep "$secs"
  c1=$(cpu_ticks "$mon")
  local rss hwm
  rss=$(awk '/VmRSS/ {print $2}' "/proc/$mon/status")
  hwm=$(awk '/VmHWM/ {print $2}' "/proc/$mon/status")
  awk -v n="$name" -v d=$((c1 - c0)) -v hz="$hz" -v s="$secs" -v r="$rss" -v h="$hwm" \
    'BEGIN { printf "%-22s CPU %6.3f s in %d s (%5.2f %%)   RSS %6d KiB   peak %6d KiB\n", n, d / hz, s, 100 * d / hz / s, r, h }'
  if [ -n "$chrome" ]; then kill "$chrome" 2>/dev/null; wait "$chrome" 2>/dev/null || true; fi
  kill "$mon" "$sim" 2>/dev/null || true
  wait "$mon" "$sim" 2>/dev/null || true
}

run_case "web listener off" 0 0
run_case "web on, no client" 1 0
run_case "web on, browser" 1 1
