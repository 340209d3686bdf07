#!/usr/bin/env bash
# Sets everything up, builds every preset and runs all tests: the host build
# natively, the Windows build under Wine on a virtual display when none is set.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

echo "== code format (.clang-format)"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

# The Windows tests run on the build that this machine can run; the 32-bit
# medium is built either way.
source scripts/windows.sh
choose_windows_build

presets=(host fuzz win32)
[ "$windows" = win64 ] && presets+=(win64)
for preset in "${presets[@]}"; do
  # The tests' patches are signed with the repository's test key: the Windows
  # builds are TEST media, asked for by name.
  test_medium=
  [[ $preset == win* ]] && test_medium=-DVELMORA_TEST_RELEASE_KEY=ON
  cmake --preset "$preset" $test_medium >/dev/null
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
echo "== short fuzzing runs of the patch reader, the apply path and key files"
ctest --preset fuzz
echo "== Windows tests ($windows build, under Wine)"
export WINEPREFIX=$PWD/build/$windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
bash scripts/wine-prefix.sh
start_wine_session "build/$windows/tests/support/desktop_keeper.exe"
started=$(date +%s)
status=0
ctest --preset "$windows" || status=$?
echo "== Windows tests took $(($(date +%s) - started)) s"
exit $status
