#!/bin/sh
# Installs the Debian 12 packages the build, the tests and the demo need.
# Idempotent: does nothing when every package is already installed.
# Usage: scripts/install-deps.sh            (everything)
set -eu

# Wine plays the music's MP3 through the 32-bit GStreamer plugins (decodebin,
# mpegaudioparse, mpg123) and only with an audio server (pulseaudio).
packages="build-essential cmake ninja-build pkg-config python3 curl
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-openssl-dev libsdl2-dev libx11-dev libsdl2-mixer-dev libjack-jackd2-dev
  libfreetype-dev libfontconfig-dev fonts-dejavu-core python3-pil
  libgcrypt20-dev libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev minisign
  nginx-light iproute2 iptables strace
  xvfb xdotool x11-utils xauth openbox
  lame sox pulseaudio pulseaudio-utils libpulse0:i386
  gstreamer1.0-plugins-base:i386 gstreamer1.0-plugins-good:i386
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine32:i386"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

echo "Installing Debian packages:$missing" >&2
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q >&2
# SDL2_mixer's headers and wine32 only coexist when libjack-jackd2-dev is
# installed in the same transaction; so everything goes in one call.
$SUDO apt-get install -y -q --no-install-recommends $packages >&2
