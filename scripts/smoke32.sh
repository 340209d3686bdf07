#!/usr/bin/env bash
# Runs the demo's headless update with the 32-bit release medium: the win32
# build of VelmoraUpdate.exe and PATCHW32.dll, under 32-bit Wine. Run it before
# a change to the engine, the library or the program is done.
#
# Natively where the kernel runs 32-bit code. Elsewhere under Debian's
# qemu-i386 (qemu-user-static), registered through binfmt_misc for this run
# only, and slow: about a minute for each Wine process, a few more for the new
# prefix. The registration is
# - private where the kernel gives a user namespace a binfmt_misc of its own
#   (Linux 6.7 on): only this run's processes see it, and it ends with them;
# - else machine-wide (root), mounting binfmt_misc if it is not mounted, and
#   undone on exit, so binfmt_misc is left as it was found.
#
#   bash scripts/smoke32.sh [--pro] [--backup]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
source scripts/windows.sh

# An i386 ELF executable or shared object, whatever its OS ABI byte.
magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
emulator=/usr/bin/qemu-i386-static
entry=velmora-qemu-i386

# Registers the emulator in the binfmt_misc mounted at $1. F: the kernel opens
# it now, so it runs from any mount namespace and root.
register() { printf '%s' ":$entry:M::$magic:$mask:$emulator:F" >"$1/register"; }

demo() { VELMORA_WINDOWS=win32 bash scripts/demo.sh "$@"; }

private_binfmt() {
  unshare --user --map-root-user --mount sh -c \
    'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null
}

# Undoes, on exit, what the machine-wide registration did.
registered='' mounted=''
restore_binfmt() {
  local bfm=/proc/sys/fs/binfmt_misc
  [ -n "$registered" ] && echo -1 >"$bfm/$entry"
  [ -n "$mounted" ] && umount "$bfm"
  registered='' mounted=''
  echo "smoke32: binfmt_misc is as it was found"
}

started=$(date +%s)
# Everything installed and built before any namespace: apt needs the real root.
bash scripts/setup.sh
status=0
if native_ia32; then
  echo "smoke32: this kernel runs 32-bit code; the 32-bit medium runs natively"
  demo "$@" || status=$?
else
  ensure_installed qemu-user-static
  if private_binfmt; then
    echo "smoke32: this kernel runs no 32-bit code; running under $emulator," \
         "registered in this run's own binfmt_misc (a user namespace's)"
    export -f register demo
    export magic mask emulator entry
    unshare --user --map-root-user --mount bash -c \
      'set -e
       mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
       register /proc/sys/fs/binfmt_misc
       demo "$@"' smoke32 "$@" || status=$?
  else
    bfm=/proc/sys/fs/binfmt_misc
    if [ "$(id -u)" -ne 0 ]; then
      echo "smoke32: this kernel runs no 32-bit code and has no private binfmt_misc;" \
           "registering $emulator machine-wide needs root" >&2
      exit 1
    fi
    trap restore_binfmt EXIT
    if [ ! -e "$bfm/register" ]; then
      mount -t binfmt_misc binfmt_misc "$bfm"
      mounted=1
    fi
    if [ "$(cat "$bfm/status")" != enabled ]; then
      echo "smoke32: binfmt_misc is disabled on this machine; not enabling it for everyone" >&2
      exit 1
    fi
    # One left by a run that was killed stays, as found.
    [ -e "$bfm/$entry" ] || { register "$bfm" && registered=1; }
    echo "smoke32: this kernel runs no 32-bit code; running under $emulator," \
         "registered machine-wide for this run${mounted:+ (binfmt_misc mounted for it)}"
    demo "$@" || status=$?
  fi
fi
echo "smoke32: $([ $status -eq 0 ] && echo passed || echo FAILED) in $(($(date +%s) - started)) s"
exit $status
