#!/usr/bin/env bash
# Installs everything Tellwick needs to build, run and test on Debian 12.
# Idempotent: does nothing when every package is already present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6svg6 qt6-svg-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  libpulse-dev libtag1-dev qt6-translations-l10n libsoundtouch-dev libebur128-dev
  libgtest-dev qt6-base-private-dev
  pulseaudio pulseaudio-utils xvfb xauth ffmpeg sox espeak-ng
  dbus-daemon dbus-bin libdbus-1-dev playerctl desktop-file-utils at-spi2-core libatspi2.0-dev
  pipewire pipewire-bin pipewire-pulse wireplumber
  fonts-dejavu-core fontconfig
  fuse3 python3-fusepy faketime
  dpkg-dev file lintian appstream
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
