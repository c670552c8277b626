#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, printing what it installs.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  qt6-base-dev qt6-charts-dev qt6-svg-dev libqt6opengl6-dev libgl-dev
  qt6-translations-l10n
  libmodbus-dev libcrypt-dev libtelnet-dev libmicrohttpd-dev libmosquitto-dev zlib1g-dev libjs-chart.js nlohmann-json3-dev
  ser2net socat mosquitto mosquitto-clients openssl
  nut-client prometheus chromium chromium-driver python3-selenium
  fonts-noto-cjk xvfb xauth
  dbus-daemon
  python3
  file dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "deps: all packages present"
  exit 0
fi

echo "deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "deps: done"
