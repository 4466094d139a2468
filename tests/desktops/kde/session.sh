#!/bin/bash
# A headless KDE Plasma session for the desktop tests, started by
# PrivateDesktopSession as the session's user with its environment: PipeWire
# and WirePlumber, kwin_wayland on virtual outputs drawn by Mesa's software GL,
# the desktop portal with KDE's backend, and the test's user (answer-dialog.py
# with the KWin script answer.js). Every daemon dies with this script, which
# waits for them; the fixture ends them by pid. $SESSION_DIR holds the logs,
# "pids" and "ready" once all is up. $FAKE_KEY is the fake-input client and
# $CAST_SHIM the library KWin's virtual outputs need to feed casts (empty: none).
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/../session-common.sh"

mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/applications" "$XDG_STATE_HOME" "$XDG_DESKTOP_PORTAL_DIR" &&
  chmod 700 "$XDG_RUNTIME_DIR" || exit 1
# KWin 5.27 hands its fake input only to an executable a desktop entry names so.
printf '[Desktop Entry]\nType=Application\nName=fake-key\nExec=%s\nNoDisplay=true\nX-KDE-Wayland-Interfaces=org_kde_kwin_fake_input\n' \
  "$FAKE_KEY" >"$XDG_DATA_HOME/applications/ostrovane-fake-key.desktop"
printf '[Daemon]\nAutolock=false\nLockOnResume=false\n' >"$XDG_CONFIG_HOME/kscreenlockerrc"
# Only KDE's backend, as on a Plasma install.
cp /usr/share/xdg-desktop-portal/portals/kde.portal "$XDG_DESKTOP_PORTAL_DIR/" || exit 1
# The packaged kwin_wayland has a file capability a container may not grant.
cp /usr/bin/kwin_wayland "$D/kwin_wayland" || exit 1
start_bus_and_pipewire
kbuildsycoca5 >"$D/kbuildsycoca.log" 2>&1  # KWin finds the desktop entries here
# OpenGL on llvmpipe ("O" alone makes 5.27 fall back to QPainter).
bg compositor env KWIN_COMPOSE=O2 LD_PRELOAD="$CAST_SHIM" "$D/kwin_wayland" --virtual --width 1280 --height 720 \
  --output-count "$OUTPUTS" --socket "$WAYLAND_DISPLAY" --no-lockscreen --no-global-shortcuts --no-kactivities
wait_for 20 bus org.kde.KWin || fail "kwin_wayland did not start"
dbus-update-activation-environment --all
bg user python3 -u "$HERE/answer-dialog.py"
wait_for 10 bus org.ostrovane.TestUser || fail "the dialog's user did not start"
id=$(dbus-send --session --print-reply --dest=org.kde.KWin /Scripting org.kde.kwin.Scripting.loadScript \
  string:"$HERE/answer.js" string:ostrovane-answer | awk '/int32/{print $2}')
[ -n "$id" ] && [ "$id" -ge 0 ] || fail "KWin did not load the dialog script"
dbus-send --session --print-reply --dest=org.kde.KWin /Scripting org.kde.kwin.Scripting.start >/dev/null || fail "KWin did not start the dialog script"
# The dialog's Qt Quick on Mesa's software EGL crashes now and then as it
# closes; Qt Quick's software renderer does not.
dbus-update-activation-environment QT_QUICK_BACKEND=software  # for the backend the bus starts again
bg portal-backend env QT_QUICK_BACKEND=software /usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde
wait_for 15 bus org.freedesktop.impl.portal.desktop.kde || fail "xdg-desktop-portal-kde did not start"
bg portal /usr/libexec/xdg-desktop-portal -v
wait_for 10 bus org.freedesktop.portal.Desktop || fail "xdg-desktop-portal did not start"
touch "$D/ready"
wait
