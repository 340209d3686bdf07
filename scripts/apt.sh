# Sourced by the scripts that call apt-get update (setup.sh, mingw-deps.sh).
#
# Debian's archive is sometimes mid-sync: one index then has the wrong size for
# its Release file ("Mirror sync in progress?") and apt-get update exits 100,
# although every other list is fine. A few tries with a pause get past a short
# sync; past a long one the caller goes on with the lists apt has, told which
# indexes failed, and finds out at the install (or source fetch) whether
# those lists were enough.

apt_update_tries=3 apt_update_pause=20

# apt_update_retrying WHO LOG COMMAND...: runs COMMAND (an apt-get update)
# until it succeeds, at most apt_update_tries times, appending apt's output
# to LOG. Returns 0 either way; apt_update_failed holds the indexes that still
# failed, one "URL (apt's reason)" a line, empty when the last try succeeded.
apt_update_retrying() {
  local who=$1 log=$2 try out
  shift 2
  apt_update_failed=
  for ((try = 1; try <= apt_update_tries; try++)); do
    if out=$("$@" 2>&1); then
      printf '%s\n' "$out" >>"$log"
      apt_update_failed=
      return 0
    fi
    printf '%s\n' "$out" >>"$log"
    apt_update_failed=$(sed -n 's/^\(E\|W\|Err\): Failed to fetch \([^ ]*\) *\(.*\)$/\2 (\3)/p' <<<"$out" |
      sed 's/ \[IP: [^]]*\])$/)/; s/ ()$//')
    # No index named: say what apt said.
    [ -n "$apt_update_failed" ] || apt_update_failed=$(grep '^E: ' <<<"$out" || echo "$out" | tail -n 1)
    echo "$who: apt-get update failed (try $try of $apt_update_tries) on:" >&2
    sed 's/^/  /' <<<"$apt_update_failed" >&2
    [ "$try" -lt "$apt_update_tries" ] && sleep "$apt_update_pause"
  done
  echo "$who: going on with the package lists apt has; the indexes above are missing or old" >&2
}
