#!/usr/bin/env bash
# Installs everything the build and the tests need, from Debian's archive, then
# builds the libraries that Debian ships for Linux only as static MinGW
# libraries (scripts/mingw-deps.sh). Safe to run again: it does nothing when
# every package is present and those libraries are built.
set -euo pipefail

packages=(
  cmake ninja-build make g++ clang clang-format libclang-rt-14-dev
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-tools
  wine wine32:i386 wine64 fonts-wine xvfb x11-utils imagemagick
  # Wine's bcrypt checks ECDSA signatures through GnuTLS, in 32-bit and
  # 64-bit processes alike.
  libgnutls30:amd64 libgnutls30:i386
  googletest libdivsufsort-dev libxxhash-dev liblzma-dev libssl-dev
  # scripts/mingw-deps.sh: Debian's signed source packages, unpacked.
  dpkg-dev debian-archive-keyring
  python3
)

sudo_() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  sudo_ dpkg --add-architecture i386
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_ apt-get update -qq
  DEBIAN_FRONTEND=noninteractive sudo_ apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

bash "$(dirname "$0")/mingw-deps.sh"
