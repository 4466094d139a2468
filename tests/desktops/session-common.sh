# What both desktops' session.sh share, sourced by them: their helpers, and
# the session bus with PipeWire and WirePlumber. Every daemon dies with the
# sourcing script, which waits for them; the fixture ends them by pid.
# $SESSION_DIR holds the logs, "pids" and "ready" once all is up.
D=$SESSION_DIR
wait_for() { # wait_for <seconds> <cmd...>
  local t=$(($1 * 20)); shift
  while ! "$@" >/dev/null 2>&1; do t=$((t - 1)); [ $t -le 0 ] && return 1; sleep 0.05; done
}
bg() { # bg <name> <cmd...>: a daemon tied to this script, its pid recorded
  local n=$1; shift
  setpriv --pdeathsig KILL -- "$@" >"$D/$n.log" 2>&1 &
  echo "$n $!" >>"$D/pids"
}
fail() { echo "$1 (see $D)" >&2; exit 1; }
bus() { busctl --user status "$1"; }
start_bus_and_pipewire() {
  bg bus dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS"
  wait_for 5 busctl --user list || fail "the session bus did not start"
  bg pipewire pipewire
  wait_for 5 test -S "$XDG_RUNTIME_DIR/pipewire-0" || fail "pipewire did not start"
  bg wireplumber wireplumber
}
