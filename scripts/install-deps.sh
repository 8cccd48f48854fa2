#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need; quiet when all are present.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev php-cli
  qt6-base-dev python3-dbusmock dbus-daemon
  libudev-dev umockdev libumockdev-dev
  fonts-dejavu-core fonts-dejavu-extra locales
  clang libclang-rt-14-dev llvm
  libmicrohttpd-dev prometheus systemd
  libpulse-dev pulseaudio pulseaudio-utils
  libgps-dev gpsd gpsd-clients gpsbabel libxml2-utils
  dpkg-dev file lintian appstream desktop-file-utils man-db groff
  libpcap-dev tshark
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update
"${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
