# Sourced by the scripts that run the Windows build under Wine:
# `choose_windows_build` sets `windows` to the preset whose programs this
# machine can run and `wine` to the loader that runs them.
#
# The shipped program is 32-bit. Where the kernel cannot run 32-bit code (no
# IA-32 emulation), 32-bit Wine cannot run at all: the 64-bit build of the
# same sources then runs under 64-bit Wine (see README). VELMORA_WINDOWS=win32
# or win64 chooses one whatever the machine (scripts/smoke32.sh).
choose_windows_build() {
  case ${VELMORA_WINDOWS:-} in
    # Under an emulator, Wine's own tools (wineboot, reg, winepath) run as
    # 64-bit programs natively: the 64-bit loader hands 32-bit programs to
    # the 32-bit one.
    win32) windows=win32 wine=wine; native_ia32 || wine=/usr/lib/wine/wine64 ;;
    win64) windows=win64 wine=/usr/lib/wine/wine64 ;;
    '') if native_ia32; then windows=win32 wine=wine; else windows=win64 wine=/usr/lib/wine/wine64; fi ;;
    *) echo "VELMORA_WINDOWS is win32 or win64, not $VELMORA_WINDOWS" >&2; return 1 ;;
  esac
}

# Whether the kernel itself runs 32-bit x86 code. A user-mode emulator
# registered through binfmt_misc runs it too, but a minute for each Wine
# process; the emulator shows its 32-bit program an i686 machine, where the
# kernel shows its own.
native_ia32() {
  local machine
  machine=$(/lib/ld-linux.so.2 --list-diagnostics 2>/dev/null | sed -n 's/^uname\.machine="\(.*\)"$/\1/p')
  [ -n "$machine" ] && [ "$machine" = "$(uname -m)" ]
}

# Starts the prefix's session for a whole run, before any test, so that no
# test pays for it or waits on it: one persistent wineserver, its services, and
# Wine's desktop process, held by the keeper program $1 (tests/support) until
# `wineserver -k`. Each step waits for its real condition:
# - a server still ending (the one that made the prefix, say) must be gone, or
#   `wineserver -p` finds it running and leaves it to end, persistent or not;
# - `wineserver -p` returns once the new server takes clients;
# - the keeper's start waits for the session's start-up (wineboot, with the
#   prefix's update check), and the keeper says "ready" once the desktop window
#   has its owner.
# Started by a test instead, the desktop process would end after each test,
# holding that test's output until it did.
start_wine_session() {
  local keeper=$1 said=${WINEPREFIX:?}.desktop
  wineserver -w 2>/dev/null || true
  if ! wineserver -p 2>/dev/null; then
    echo "start_wine_session: no persistent wineserver for $WINEPREFIX" >&2
    return 1
  fi
  : >"$said"
  "$wine" "$keeper" </dev/null >"$said" 2>&1 &
  local pid=$! waited=0
  until grep -q '^ready' "$said"; do
    if ! kill -0 "$pid" 2>/dev/null || [ $waited -ge 1200 ]; then
      echo "start_wine_session: Wine's desktop did not start:" >&2
      cat "$said" >&2
      return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
}
