# Sourced by the scripts that show windows: `need_display` starts a virtual X
# display (Xvfb) when none is set and exports DISPLAY; `stop_display` ends it.
started_xvfb=
need_display() {
  [ -n "${DISPLAY:-}" ] && return 0
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  started_xvfb=$!
  export DISPLAY=:$n
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
}
stop_display() {
  [ -n "$started_xvfb" ] && kill "$started_xvfb" 2>/dev/null || true
  started_xvfb=
}
