#!/bin/bash
# A headless GNOME session for the desktop tests, started by PrivateDesktopSession
# as the session's user with its environment: PipeWire and WirePlumber,
# gnome-shell on virtual monitors drawn in software, the desktop portal with
# GNOME's backend, and the test's user (answer-dialog.py) at the keyboard.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/../session-common.sh"

mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_STATE_HOME" && chmod 700 "$XDG_RUNTIME_DIR" || exit 1
start_bus_and_pipewire
dbus-update-activation-environment --all
# Before the shell starts: a solid background, no animations, a clock that
# shows seconds (the top bar then changes once a second), no lock.
for s in "background picture-options none" "background color-shading-type solid" \
  "background primary-color #336699" "interface enable-animations false" \
  "interface clock-show-seconds true" "interface enable-hot-corners false" \
  "session idle-delay 0" "screensaver lock-enabled false" "screensaver idle-activation-enabled false"; do
  set -- $s; gsettings set "org.gnome.desktop.$1" "$2" "$3"
done
# The shell insists on a system bus (a logind proxy): an empty private one.
printf '<busconfig><type>system</type><listen>unix:path=%s</listen><auth>EXTERNAL</auth><policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy></busconfig>\n' \
  "$XDG_RUNTIME_DIR/system_bus_socket" >"$D/system-bus.conf"
bg system-bus dbus-daemon --config-file="$D/system-bus.conf" --nofork --nopidfile
wait_for 5 test -S "$XDG_RUNTIME_DIR/system_bus_socket" || fail "the system bus did not start"
monitors=()
for m in $MONITORS; do monitors+=(--virtual-monitor "$m"); done
DBUS_SYSTEM_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/system_bus_socket" \
  bg compositor gnome-shell --headless --wayland --no-x11 --wayland-display="$WAYLAND_DISPLAY" "${monitors[@]}"
wait_for 30 bus org.gnome.Shell || fail "gnome-shell did not start"
wait_for 10 bus org.gnome.Mutter.ScreenCast || fail "gnome-shell offers no screen cast"
# Only GNOME's backends, as on a GNOME install; the bus starts the backend
# again on demand after a crash.
mkdir -p "$XDG_DESKTOP_PORTAL_DIR" &&
  cp /usr/share/xdg-desktop-portal/portals/{gnome,gtk}.portal "$XDG_DESKTOP_PORTAL_DIR/" || exit 1
bg portal-backend /usr/libexec/xdg-desktop-portal-gnome --verbose
wait_for 10 bus org.freedesktop.impl.portal.desktop.gnome || fail "xdg-desktop-portal-gnome did not start"
bg portal /usr/libexec/xdg-desktop-portal --verbose
wait_for 10 bus org.freedesktop.portal.Desktop || fail "xdg-desktop-portal did not start"
bg user python3 -u "$HERE/answer-dialog.py"
wait_for 15 grep -q 'watching' "$D/user.log" || fail "the dialog's user did not start"
touch "$D/ready"
wait
