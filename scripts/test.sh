#!/usr/bin/env bash
# Sets everything up, builds every preset and runs all tests: the host build
# natively, the Windows build under Wine on a virtual display when none is set.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

# The shipped program is 32-bit. Where the kernel cannot run 32-bit code (no
# IA-32 emulation), Wine cannot run it either: the Windows tests then run on
# the 64-bit build of the same sources under 64-bit Wine.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then windows=win32; else windows=win64; fi

presets=(host fuzz win32)
[ "$windows" = win64 ] && presets+=(win64)
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
done

source scripts/display.sh
cleanup() {
  WINEPREFIX=$PWD/build/$windows/wineprefix wineserver -k 2>/dev/null || true
  stop_display
}
trap cleanup EXIT
need_display

echo "== host tests"
ctest --preset host
echo "== a short fuzzing run of the patch reader"
ctest --preset fuzz
echo "== Windows tests ($windows build, under Wine)"
export WINEPREFIX=$PWD/build/$windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
bash scripts/wine-prefix.sh
wineserver -p 2>/dev/null || true  # one server for the whole run
ctest --preset "$windows"
