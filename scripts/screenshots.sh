#!/usr/bin/env bash
# Renders the main window (English and Chinese), the sketch page and the
# graph page of a sample bus, the search window, the settings dialog and the
# trace window into docs/*.png, without a display.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target tessaro-screenshots
QT_QPA_PLATFORM=offscreen "$build/tessaro-screenshots" docs
