#!/usr/bin/env bash
# Every libFuzzer target for a long run: 10 minutes each by default, against
# a corpus kept in build-fuzz/corpus/ (the one the short runs of
# scripts/test.sh grow), with every crash, leak or timeout saved beside it.
#
#   bench/fuzz_long.sh                           every target, 600 s each
#   FUZZ_SECONDS=60 bench/fuzz_long.sh           shorter
#   bench/fuzz_long.sh fuzz_rfc2217 fuzz_web_request   some targets
#
# Prints executions per second, corpus size and peak memory per target; exits 1 when any
# target found a fault (its reproducer is named in the output).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${FUZZ_SECONDS:-600}
jobs=${JOBS:-$(nproc)}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
command -v clang++ >/dev/null || { echo "fuzz_long: clang++ is missing (Debian clang)" >&2; exit 1; }

CC=clang CXX=clang++ cmake -S . -B build-fuzz "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSARO_FUZZ=ON -DTESSARO_UI=OFF -DTESSARO_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$jobs"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in build-fuzz/fuzz/fuzz_*; do [ -x "$f" ] && targets+=("$(basename "$f")"); done
fi

failed=0
printf '%-26s %10s %12s %8s %8s  %s\n' target execs/s executions corpus rss_mb result
for name in "${targets[@]}"; do
  exe="$root/build-fuzz/fuzz/$name"
  [ -x "$exe" ] || { echo "fuzz_long: no target $name" >&2; exit 2; }
  corpus="$root/build-fuzz/corpus/$name"
  artifacts="$root/build-fuzz/artifacts/$name/"
  log="$root/build-fuzz/artifacts/$name.log"
  mkdir -p "$corpus" "$artifacts"
  status=0
  "$exe" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts" "$corpus" >"$log" 2>&1 || status=$?
  stat_of() { sed -n "s/^stat::$1: *//p" "$log" | tail -n 1; }
  result=ok
  if [ "$status" -ne 0 ]; then
    result="FAULT: $(grep -m1 -o 'Test unit written to .*' "$log" || echo "see $log")"
    failed=1
  fi
  printf '%-26s %10s %12s %8s %8s  %s\n' "$name" "$(stat_of average_exec_per_sec)" "$(stat_of number_of_executed_units)" \
    "$(ls "$corpus" | wc -l)" "$(stat_of peak_rss_mb)" "$result"
done
exit $failed
