#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix.
# CMake uses this as the cross-compiling emulator, so ctest runs .exe tests.
set -euo pipefail
exe=$1; shift
dir=$(cd "$(dirname "$exe")" && pwd)
# The prefix lives at the top of the build tree (the folder holding CMakeCache.txt).
top=$dir
while [ "$top" != / ] && [ ! -f "$top/CMakeCache.txt" ]; do top=$(dirname "$top"); done
[ "$top" = / ] && top=$dir
export WINEPREFIX=${WINEPREFIX:-$top/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
case "$(od -An -tx1 -j$(( $(od -An -tu4 -j60 -N4 "$exe") + 4 )) -N2 "$exe" | tr -d ' ')" in
  6486) wine=$(command -v wine64 || echo /usr/lib/wine/wine64) ;;
  *) wine=$(command -v wine) ;;
esac
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  # One prefix per build tree, made once even when tests start side by side.
  exec 9>"$top/.wineprefix.lock"
  flock 9
  [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1 || true
  flock -u 9
fi
exec "$wine" "$exe" "$@"
