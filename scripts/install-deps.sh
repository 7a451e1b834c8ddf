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
  nginx-light openssl iproute2 iptables strace
  xvfb xdotool x11-utils xauth openbox
  lame sox pulseaudio pulseaudio-utils libpulse0:i386
  gstreamer1.0-plugins-base:i386 gstreamer1.0-plugins-good:i386
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine32:i386"

# A kernel without IA-32 emulation runs no 32-bit program, the 32-bit Wine
# loader included: there the Windows tests run a 64-bit build of the same
# sources under 64-bit Wine (scripts/test.sh), which needs these as well.
packages64="wine64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good libpulse0"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

missing_of() {  # the packages of "$@" not installed yet
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      printf ' %s' "$p"
    fi
  done
}

updated=0
install_all() {  # installs every package of "$@", in one apt-get call
  missing=$(missing_of "$@")
  [ -z "$missing" ] && return 0
  echo "Installing Debian packages:$missing" >&2
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    updated=0
  fi
  export DEBIAN_FRONTEND=noninteractive
  [ "$updated" = 1 ] || $SUDO apt-get update -q >&2
  updated=1
  $SUDO apt-get install -y -q --no-install-recommends "$@" >&2
}

# SDL2_mixer's headers and wine32 only coexist when libjack-jackd2-dev is
# installed in the same transaction; so everything goes in one call.
install_all $packages
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  install_all $packages64
fi
