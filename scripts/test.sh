#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the main build with
# warnings as errors, the library tests again under ASan+UBSan, and a short
# bounded run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh

jobs=${JOBS:-$(nproc)}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

echo "== build (warnings as errors)"
cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_WERROR=ON
cmake --build build -j "$jobs"

echo "== tests"
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs" --timeout 300)

echo "== library tests under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug -DTESSARO_SANITIZE=ON \
  -DTESSARO_UI=OFF -DTESSARO_BENCH=OFF -DTESSARO_WERROR=ON
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest -L lib --output-on-failure -j "$jobs" --timeout 300)

if [ -d tests/fuzz ] && ls tests/fuzz/fuzz_*.cpp >/dev/null 2>&1; then
  echo "== bounded fuzz runs"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSARO_FUZZ=ON -DTESSARO_UI=OFF -DTESSARO_BENCH=OFF
  cmake --build build-fuzz -j "$jobs"
  for f in build-fuzz/fuzz/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    corpus="$root/build-fuzz/corpus/$name"
    mkdir -p "$corpus"
    echo "-- $name"
    "$f" -max_total_time="${FUZZ_SECONDS:-20}" -rss_limit_mb=2048 -print_final_stats=0 "$corpus" 2>&1 | tail -n 3
  done
fi
echo "== all tests passed"
