#!/usr/bin/env bash
# The set-up's decisions against a stubbed apt-get, dpkg and dpkg-query that
# fail as Debian's archive does mid-sync: apt-get update fails on the security
# suite's i386 list, and an install then finds amd64 candidates from that suite
# with no i386 twin until the security suite is preferred less. No network, no
# root, nothing installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stubs=$work/bin
mkdir -p "$stubs"

# The stubs keep the machine's state in $STATE: installed (packages),
# foreign (architectures), calls (every call), prefs (what the install that
# was given a preferences folder found there).
cat >"$stubs/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STATE/calls"
tries() { grep -c "^apt-get .*$1" "$STATE/calls"; }
case " $* " in
  *" update "*)
    if [ "$(tries update)" -le "$UPDATE_FAILS" ]; then
      echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 203.0.113.80 80]"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      touch "$STATE/no-security-i386"
      exit 100
    fi
    rm -f "$STATE/no-security-i386" ;;
  *" indextargets "*)
    for list in "bookworm amd64" "bookworm i386" "bookworm-security amd64" "bookworm-security i386"; do
      [ "$list" = "bookworm-security i386" ] && [ -e "$STATE/no-security-i386" ] && continue
      echo "Debian $list"
    done ;;
  *" install "*)
    for arg; do
      case $arg in Dir::Etc::PreferencesParts=*) cat "${arg#*=}"/* >"$STATE/prefs" ;; esac
    done
    if [ "$(tries install)" -le "$INSTALL_FAILS" ]; then
      echo "The following packages have unmet dependencies:"
      echo " libssl-dev : Depends: libssl3 (= 3.0.22-1~deb12u2) but 3.0.20-1~deb12u2 is to be installed"
      echo "E: Unable to correct problems, you have held broken packages."
      exit 100
    fi
    for arg; do [[ $arg == -* || $arg == install || $arg == Dir::* ]] || echo "$arg" >>"$STATE/installed"; done ;;
esac
EOF
cat >"$stubs/dpkg-query" <<'EOF'
#!/usr/bin/env bash
grep -qx "${!#}" "$STATE/installed" && echo "install ok installed"
EOF
cat >"$stubs/dpkg" <<'EOF'
#!/usr/bin/env bash
echo "dpkg $*" >>"$STATE/calls"
case $1 in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$STATE/foreign" ;;
  --add-architecture) echo "$2" >>"$STATE/foreign" ;;
esac
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$stubs/sudo"
printf '#!/bin/sh\necho "sleep $*" >>"$STATE/calls"\n' >"$stubs/sleep"
chmod +x "$stubs"/*

failures=0
check() { # WHAT FILE PATTERN [COUNT]: PATTERN's lines in FILE (grep -E) number COUNT, or at least one.
  local n
  n=$(grep -cE -- "$3" "$2" || true)
  if { [ $# -eq 4 ] && [ "$n" -ne "$4" ]; } || { [ $# -eq 3 ] && [ "$n" -eq 0 ]; }; then
    echo "  FAIL: $1: ${4:-some} lines of /$3/ expected, $n found"
    failures=$((failures + 1))
  fi
}

# name | update fails | install fails | installed | foreign architectures | fails
scenarios='
mid-sync        | 9 | 1 | cmake | i386 | 0
short sync      | 1 | 0 |       |      | 0
no twin         | 9 | 9 | cmake | i386 | 1
all installed   | 9 | 9 | cmake wine32:i386 libssl-dev | i386 | 0
'
while IFS='|' read -r name update_fails install_fails installed foreign expected; do
  name=$(echo $name)
  [ -n "$name" ] || continue
  echo "== $name"
  state=$work/${name// /-}
  mkdir -p "$state"
  printf '%s\n' $installed >"$state/installed"
  printf '%s\n' $foreign >"$state/foreign"
  : >"$state/calls"
  status=0
  (
    export STATE=$state UPDATE_FAILS=$update_fails INSTALL_FAILS=$install_fails PATH=$stubs:$PATH TMPDIR=$state
    set -euo pipefail
    source "$root/scripts/setup.sh"
    ensure_installed cmake wine32:i386 libssl-dev
  ) >"$state/out" 2>&1 || status=$?
  sed 's/^/  | /' "$state/out"
  [ $((status != 0)) -eq $expected ] || { echo "  FAIL: exit $status, $([ $expected = 0 ] && echo success || echo failure) expected"; failures=$((failures + 1)); }
  out=$state/out calls=$state/calls
  case $name in
    mid-sync)
      check "tries of update" "$calls" '^apt-get update' 3
      check "pauses" "$calls" '^sleep 20$' 2
      check "failing index named" "$out" '^setup: apt-get update failed \(try 3 of 3\) on:$'
      check "failing index named" "$out" '^  http://\S+/binary-i386/Packages.xz \(File has unexpected size .* Mirror sync in progress\?\)$'
      check "going on" "$out" '^setup: going on with the package lists apt has'
      check "reason" "$out" '^setup: the install failed: no i386 list of bookworm-security, and versions disagree: libssl-dev needs libssl3 \(= 3.0.22-1~deb12u2\) but 3.0.20-1~deb12u2 is to be installed$'
      check "second install, private preferences" "$calls" '^apt-get install .*-o Dir::Etc::PreferencesParts=' 1
      check "preferences kept out of the machine's apt" "$calls" 'PreferencesParts=/etc/' 0
      check "security suite preferred less" "$state/prefs" '^(Package: \*|Pin: release l=Debian-Security|Pin-Priority: 100)$' 3
      check "installed" "$state/installed" '^(wine32:i386|libssl-dev)$' 2
      check "private folder removed" <(find "$state" -mindepth 1 -type d) . 0
      check "says what it did" "$out" "^setup: installed, with the main suites' versions" ;;
    "short sync")
      check "i386 added before the update" <(head -n 2 "$calls" | tail -n 1) '^dpkg --add-architecture i386$'
      check "tries of update" "$calls" '^apt-get update' 2
      check "pauses" "$calls" '^sleep' 1
      check "no going on" "$out" 'going on' 0
      check "one install" "$calls" '^apt-get install' 1
      check "all installed" "$state/installed" '^(cmake|wine32:i386|libssl-dev)$' 3 ;;
    "no twin")
      check "two installs" "$calls" '^apt-get install' 2
      check "reason again" "$out" '^setup: the install failed again: no i386 list of bookworm-security'
      check "names the packages" "$out" '^setup: could not install wine32:i386 libssl-dev$'
      check "what to do" "$out" 'run scripts/setup.sh again once the archive has synced'
      check "nothing installed" "$state/installed" '^(wine32:i386|libssl-dev)$' 0 ;;
    "all installed")
      check "no apt-get" "$calls" '^apt-get' 0
      check "silent" "$out" . 0 ;;
  esac
done <<<"$scenarios"
[ "$failures" -eq 0 ] && echo "all scenarios pass" || { echo "$failures checks failed"; exit 1; }
