#!/usr/bin/env bash
# Builds the Debian package build-deb/tessaro_<version>_<arch>.deb: the program
# with its desktop, the simulator, the menu entry and icon, the man page and
# the system service. Its dependencies are computed from the programs' shared
# libraries (dpkg-shlibdeps).
#
#   scripts/package.sh && sudo apt-get install ./build-deb/tessaro_*.deb
#   BUILD_DIR=build scripts/package.sh       reuse another build directory
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

dir=${BUILD_DIR:-build-deb}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# Only the two programs are built (no tests, no benchmarks): cpack's install
# step must not build everything.
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DTESSARO_UI=ON -DTESSARO_BENCH=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
cmake --build "$dir" -j "${JOBS:-$(nproc)}" --target tessaro tessaro-sim
rm -f "$dir"/tessaro_*.deb
(cd "$dir" && cpack -G DEB)
deb=$(ls "$dir"/tessaro_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends

# The unit as packaged, with its program where the package was unpacked.
if command -v systemd-analyze >/dev/null; then
  root=$(mktemp -d)
  trap 'rm -rf "$root"' EXIT
  dpkg-deb -x "$deb" "$root"
  sed "s|/usr/bin/tessaro|$root/usr/bin/tessaro|" "$root/usr/lib/systemd/system/tessaro.service" \
    >"$root/tessaro.service"
  MANPATH="$root/usr/share/man" systemd-analyze verify "$root/tessaro.service"
  echo "package: systemd-analyze verify accepts tessaro.service"
else
  echo "package: systemd-analyze not installed; tessaro.service not verified"
fi
