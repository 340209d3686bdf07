#!/usr/bin/env bash
# Installs everything the build and the tests need, from Debian's archive, then
# builds the libraries that Debian ships for Linux only as static MinGW
# libraries (scripts/mingw-deps.sh). Safe to run again: it does nothing when
# every package is present and those libraries are built.
#
# Sourced, it only defines its functions: scripts/smoke32.sh installs through
# ensure_installed, and tests/scripts/setup_test.sh drives them against a
# stubbed apt-get.

packages=(
  cmake ninja-build make g++ clang clang-format libclang-rt-14-dev
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-tools
  wine wine32:i386 wine64 fonts-wine xvfb x11-utils imagemagick
  # Wine's bcrypt checks ECDSA signatures through GnuTLS, in 32-bit and
  # 64-bit processes alike.
  libgnutls30:amd64 libgnutls30:i386
  googletest libdivsufsort-dev libxxhash-dev liblzma-dev libssl-dev nettle-dev libgmp-dev
  # scripts/mingw-deps.sh: Debian's signed source packages, unpacked.
  dpkg-dev debian-archive-keyring
  python3
  # Signing the medium's disc image, and checking release keys.
  osslsigncode xorriso openssl
)

source "$(dirname "${BASH_SOURCE[0]}")/apt.sh"

sudo_() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Prints the packages of "$@" that are not installed, one a line.
missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

# Installs the packages "$@" that are missing, after an apt-get update.
ensure_installed() {
  local missing
  mapfile -t missing < <(missing_packages "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! dpkg --print-foreign-architectures | grep -qx i386 && [[ " ${missing[*]}" == *:i386* ]]; then
    sudo_ dpkg --add-architecture i386
  fi
  echo "setup: installing ${missing[*]}"
  apt_update_retrying setup /dev/null sudo_ apt-get update -qq
  install_packages "${missing[@]}"
}

# Debian's package lists that apt should have and lacks: a suite with a list
# for one of the machine's architectures and none for another.
missing_lists() {
  local archs
  archs="$(dpkg --print-architecture) $(dpkg --print-foreign-architectures | tr '\n' ' ')"
  apt-get indextargets --format '$(ORIGIN) $(RELEASE) $(ARCHITECTURE)' 'Identifier: Packages' |
    awk -v archs="$archs" '$1 == "Debian" { have[$2] = have[$2] " " $3 " " }
      END {
        n = split(archs, a, " ")
        for (r in have) for (i = 1; i <= n; i++)
          if (index(have[r], " " a[i] " ") == 0) print a[i] " list of " r
      }' | sort
}

# One line on why an install failed, from apt's output in the file $1: the
# lists that are missing, and the versions that disagree. A multi-arch library
# must have the same version in every architecture, so an amd64 candidate from
# a suite whose i386 list is missing has no i386 twin.
install_failure_reason() {
  local lists versions
  lists=$(missing_lists | paste -sd, | sed 's/,/, /g')
  versions=$(sed -n 's/^ *\([^ ]*\) *: *\(Pre\)\{0,1\}Depends: \(.*\) but \(.*\) is to be installed$/\1 needs \3 but \4 is to be installed/p
                      s/^ *\([^ ]*\) *: *Breaks: \(.*\) but \(.*\) is to be installed$/\1 breaks \2 but \3 is to be installed/p' "$1" |
    head -n 3 | paste -sd';' | sed 's/;/; /g')
  if [ -n "$lists" ] && [ -n "$versions" ]; then
    echo "no $lists, and versions disagree: $versions"
  elif [ -n "$lists" ]; then
    echo "no $lists: candidates from that suite have no twin in the missing architecture"
  elif [ -n "$versions" ]; then
    echo "versions disagree: $versions"
  else
    echo "apt named no missing list or version (its message is above)"
  fi
}

# apt_install LOG ARGS...: apt's output is shown and kept in LOG.
apt_install() {
  local out=$1
  shift
  sudo_ env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" 2>&1 | tee "$out"
  return "${PIPESTATUS[0]}"
}

# Installs "$@". When apt finds no consistent set of versions, tries once more
# with the security suite preferred less than the others, for this install
# only: a preferences part in a private folder, never in the machine's
# /etc/apt. Both architectures' candidates are then the main suite's same
# version; a priority below 1000 never downgrades what is installed.
install_packages() {
  local work status=0
  work=$(mktemp -d)
  if apt_install "$work/first.log" "$@"; then
    rm -rf "$work"
    return 0
  fi
  echo "setup: the install failed: $(install_failure_reason "$work/first.log")"
  echo "setup: trying once more with the security suite preferred less than the main suites, for this install only"
  mkdir "$work/preferences.d"
  printf '%s\n' 'Package: *' 'Pin: release l=Debian-Security' 'Pin-Priority: 100' >"$work/preferences.d/security-less"
  apt_install "$work/second.log" -o Dir::Etc::PreferencesParts="$work/preferences.d" "$@" || status=$?
  if [ "$status" -eq 0 ]; then
    echo "setup: installed, with the main suites' versions where the security suite has newer ones"
  else
    echo "setup: the install failed again: $(install_failure_reason "$work/second.log")" >&2
    echo "setup: could not install $*" >&2
    if [ -n "$(missing_lists)" ]; then
      echo "setup: a library installed at the security suite's version has no twin of that version in" \
           "the missing list's architecture; run scripts/setup.sh again once the archive has synced" >&2
    fi
  fi
  rm -rf "$work"
  return "$status"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  ensure_installed "${packages[@]}"
  bash "$(dirname "$0")/mingw-deps.sh"
fi
