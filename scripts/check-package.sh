#!/usr/bin/env bash
# The Debian package on this machine as a parent's user gets it: builds it
# (scripts/package.sh), installs it with apt, runs the installed helper
# through HEALTH_CHECK and START_STREAMING against a private PulseAudio with
# a sine microphone and a tone in its output (and a private Xvfb: system audio
# is captured per display) until frames of both streams arrive, removes the
# package again and has lintian check it. The package is removed and the
# private servers killed whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if ! command -v lintian >/dev/null; then
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends lintian
fi

deb=$(scripts/package.sh | tail -n1)
version=$(dpkg-deb -f "$deb" Version)
echo "== package: $deb"
dpkg-deb -c "$deb" | awk '{print "   " $6}'

private_dir=$(mktemp -d /tmp/ostrovane-package.XXXXXX)
pulse_pid=""
xvfb_pid=""
installed=""
cleanup() {
  local pid
  for pid in $pulse_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -n "$installed" ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get remove -y -q ostrovane >/dev/null || true
  fi
  rm -rf "$private_dir"
}
trap cleanup EXIT

if dpkg-query -W -f='${Status}' ostrovane 2>/dev/null | grep -q "install ok installed"; then
  echo "check-package: ostrovane is installed already; not replacing it" >&2
  exit 1
fi
installed=yes
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "$(realpath "$deb")" >/dev/null
[ -x /usr/bin/ostrovane ] && [ -x /usr/bin/ostrovane-audio-log ] && [ -x /usr/bin/ostrovane-record ]

export XDG_RUNTIME_DIR="$private_dir" PULSE_SERVER="unix:$private_dir/pulse/native"
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disable-shm=yes \
  -L module-native-protocol-unix \
  -L "module-null-sink sink_name=check_output" \
  -L "module-sine sink=check_output frequency=1000" \
  -L "module-sine-source source_name=check_microphone frequency=440" \
  >"$private_dir/pulseaudio.log" 2>&1 &
pulse_pid=$!
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl set-default-sink check_output
pactl set-default-source check_microphone

for n in $(seq 140 180); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { number=$n; break; }
done
Xvfb ":$number" -screen 0 640x480x24 -nolisten tcp >"$private_dir/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$number"
for _ in $(seq 100); do [ -S "/tmp/.X11-unix/X$number" ] && break; sleep 0.1; done

echo "== package: the installed helper"
python3 scripts/check-installed-helper.py /usr/bin/ostrovane "${version%-*}"

DEBIAN_FRONTEND=noninteractive $SUDO apt-get remove -y -q ostrovane >/dev/null
installed=""
[ ! -e /usr/bin/ostrovane ] || { echo "check-package: /usr/bin/ostrovane left behind" >&2; exit 1; }

echo "== package: lintian"
lintian --fail-on error "$deb"
echo "== package: installed, streamed, removed; lintian reports no error"
