#!/usr/bin/env bash
# Makes sure the Wine prefix $WINEPREFIX exists and is set up for our runs,
# once: later calls return at once. Safe when several start side by side.
#
# Windows are unmanaged: on a display without a window manager, Wine would
# otherwise wait about a second for one each time a window is hidden.
set -euo pipefail
: "${WINEPREFIX:?}"
[ -f "$WINEPREFIX/.velmora-ready" ] && exit 0
source "$(dirname "${BASH_SOURCE[0]}")/windows.sh"
choose_windows_build
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/.velmora-ready" ]; then
  [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1 || true
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
  touch "$WINEPREFIX/.velmora-ready"
fi
