# Sourced by the scripts that run the Windows build under Wine:
# `choose_windows_build` sets `windows` to the preset whose programs this
# machine can run and `wine` to the loader that runs them.
#
# The shipped program is 32-bit. Where the kernel cannot run 32-bit code (no
# IA-32 emulation), 32-bit Wine cannot run at all: the 64-bit build of the
# same sources then runs under 64-bit Wine (see README).
choose_windows_build() {
  if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    windows=win32 wine=wine
  else
    windows=win64 wine=/usr/lib/wine/wine64
  fi
}

# Starts one wineserver for the whole run and the prefix's session (its
# services) before any test runs, so that no test pays for them or waits on
# them. wineboot returns once the session is up.
start_wine_session() {
  : "${WINEPREFIX:?}"
  wineserver -p 2>/dev/null || true
  "$wine" wineboot </dev/null >/dev/null 2>&1 || true
}
