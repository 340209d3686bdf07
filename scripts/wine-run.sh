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
# One prefix per build tree, made once even when tests start side by side.
"$(dirname "$0")/wine-prefix.sh"
exec "$wine" "$exe" "$@"
