# Sourced by the scripts that show windows: `need_display` starts a virtual X
# display (Xvfb) when none is set and exports DISPLAY; `stop_display` ends it.
started_xvfb=
need_display() {
  [ -n "${DISPLAY:-}" ] && return 0
  # Xvfb takes a free display number itself (another user's run may be picking
  # one at the same moment) and writes it once it accepts clients.
  local number=
  exec 8< <(exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>/dev/null)
  started_xvfb=$!
  read -r -t 60 number <&8 || true
  exec 8<&-
  if [ -z "$number" ]; then
    echo "need_display: Xvfb did not start" >&2
    return 1
  fi
  export DISPLAY=:$number
}
stop_display() {
  [ -n "$started_xvfb" ] && kill "$started_xvfb" 2>/dev/null || true
  started_xvfb=
}
