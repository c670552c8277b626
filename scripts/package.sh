#!/usr/bin/env bash
# Builds the two Debian packages in build-deb/:
#   tessaro-daemon_<version>_<arch>.deb  tessaro (headless service, commands),
#                                        tessaro-sim, man page, system service;
#                                        no Qt and no X
#   tessaro_<version>_<arch>.deb         the desktop (tessaro-desktop, menu
#                                        entry, icon), over tessaro-daemon
# Their dependencies are computed from the programs' shared libraries
# (dpkg-shlibdeps).
#
#   scripts/package.sh && sudo apt-get install ./build-deb/tessaro-daemon_*.deb   # a server
#   sudo apt-get install ./build-deb/tessaro*.deb                                 # with the desktop
#   BUILD_DIR=build scripts/package.sh       reuse another build directory
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

dir=${BUILD_DIR:-build-deb}
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# Only the programs are built (no tests, no benchmarks): cpack's install
# step must not build everything.
cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DTESSARO_UI=ON -DTESSARO_BENCH=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
cmake --build "$dir" -j "${JOBS:-$(nproc)}" --target tessaro tessaro-desktop tessaro-sim
rm -f "$dir"/tessaro_*.deb "$dir"/tessaro-daemon_*.deb
(cd "$dir" && cpack -G DEB)
deb=$(ls "$dir"/tessaro-daemon_*.deb)
for package in "$deb" "$dir"/tessaro_*.deb; do
  echo "package: $package"
  dpkg-deb --field "$package" Package Version Architecture Depends Replaces Breaks Installed-Size
done
# A server gets no Qt and no X with the daemon.
if dpkg-deb --field "$deb" Depends | grep -Eio '(libqt|qt6|libx11|libxcb|libgl|libegl|libwayland|libfontconfig)[^ ,]*'; then
  echo "package: tessaro-daemon depends on the desktop libraries above" >&2
  exit 1
fi

# The unit as packaged, with its program where the package was unpacked.
if command -v systemd-analyze >/dev/null; then
  root=$(mktemp -d)
  trap 'rm -rf "$root"' EXIT
  dpkg-deb -x "$deb" "$root"
  sed "s|/usr/bin/tessaro|$root/usr/bin/tessaro|" "$root/usr/lib/systemd/system/tessaro.service" \
    >"$root/tessaro.service"
  # Its Documentation= page is looked up with man, when there is one.
  man=yes
  command -v man >/dev/null || man=no
  MANPATH="$root/usr/share/man" systemd-analyze verify --man="$man" "$root/tessaro.service"
  echo "package: systemd-analyze verify accepts tessaro.service$([ "$man" = yes ] || echo " (man not installed: its page not looked up)")"
else
  echo "package: systemd-analyze not installed; tessaro.service not verified"
fi
