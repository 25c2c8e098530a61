#!/usr/bin/env bash
# Installs everything Kestrel needs to build, run, test and benchmark on Debian 12.
# Idempotent: packages already present are left alone, so a second run is quick.
set -euo pipefail

packages=(
  build-essential cmake pkg-config ninja-build
  qtbase5-dev qttools5-dev-tools libqt5svg5-dev
  libexiv2-dev zlib1g-dev
  libsqlite3-dev libcpp-httplib-dev libssl-dev
  libpq-dev postgresql
  libqrencode-dev nlohmann-json3-dev
  fonts-texgyre librsvg2-bin
  desktop-file-utils appstream shared-mime-info libglib2.0-bin
  xvfb xauth x11-apps imagemagick
  libimage-exiftool-perl
  iso-codes
  ca-certificates openssl
  gpsbabel zip time
  chromium chromium-driver
  libzip-dev
  iso-codes
  libmarble-dev marble-data marble-plugins
  clang libclang-rt-14-dev
  debhelper dpkg-dev fakeroot lintian systemd
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# npm fetches the QR decoder's sources, the time zone boundaries and the place names at build time.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
