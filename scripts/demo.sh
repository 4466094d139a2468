#!/usr/bin/env bash
# The helper's main job: a few seconds of real microphone and system-audio
# capture through the reference recorder, which writes mic.wav, system.wav
# and events.log and prints a summary. On a private Xvfb it also films a
# moving test pattern into video.h264 (frames, keyframes and decoded size in
# the summary). In a Wayland session it films the main display through the
# desktop portal instead (the desktop may ask once to share the screen).
#
# With a sound server and an X display at hand (a desktop session) it records
# the machine's own default microphone and output. Without them (a fresh
# server or CI-like box) it starts private ones first: a PulseAudio with a
# 440 Hz test microphone and a 1 kHz tone playing into its output, and an
# Xvfb, since system audio is captured per display.
#
# Usage: scripts/demo.sh [seconds] [output directory]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-5}"
out="${2:-demo-recording}"

scripts/install-deps.sh
scripts/build.sh default >/dev/null
recorder=build/default/src/ostrovane-record

private_dir=""
commands=(START_STREAMING)
cleanup() {
  [ -n "${pattern_pid:-}" ] && kill "$pattern_pid" 2>/dev/null || true
  [ -n "${pulse_pid:-}" ] && kill "$pulse_pid" 2>/dev/null || true
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  [ -n "$private_dir" ] && rm -rf "$private_dir"
}
trap cleanup EXIT

have_sound_server() { pactl info >/dev/null 2>&1; }
have_display() { [ -n "${DISPLAY:-}" ] && [ -S "/tmp/.X11-unix/X${DISPLAY#*:}" ] 2>/dev/null; }
# A Wayland session's compositor socket, as an absolute path: the private
# sound server below moves XDG_RUNTIME_DIR.
wayland_socket=""
if [ -n "${WAYLAND_DISPLAY:-}" ]; then
  case "$WAYLAND_DISPLAY" in
    /*) wayland_socket="$WAYLAND_DISPLAY" ;;
    *) wayland_socket="${XDG_RUNTIME_DIR:-/nonexistent}/$WAYLAND_DISPLAY" ;;
  esac
  [ -S "$wayland_socket" ] && export WAYLAND_DISPLAY="$wayland_socket" || wayland_socket=""
fi

sound="this machine's sound server"
if ! have_sound_server; then
  private_dir=$(mktemp -d /tmp/ostrovane-demo.XXXXXX)
  export XDG_RUNTIME_DIR="$private_dir" PULSE_SERVER="unix:$private_dir/pulse/native"
  # The test microphone is the monitor of a sink playing 440 Hz, remapped into
  # an ordinary input; the output plays 1 kHz.
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --disable-shm=yes \
    -L module-native-protocol-unix \
    -L "module-null-sink sink_name=demo_output" \
    -L "module-null-sink sink_name=demo_mic_feed" \
    -L "module-sine sink=demo_output frequency=1000" \
    -L "module-sine sink=demo_mic_feed frequency=440" \
    -L "module-remap-source master=demo_mic_feed.monitor source_name=demo_microphone" \
    >"$private_dir/pulseaudio.log" 2>&1 &
  pulse_pid=$!
  for _ in $(seq 50); do have_sound_server && break; sleep 0.1; done
  have_sound_server || { echo "demo: the private sound server did not start" >&2; exit 1; }
  pactl set-default-sink demo_output
  pactl set-default-source demo_microphone
  sound="a private PulseAudio (test microphone: 440 Hz, output: 1 kHz tone)"
fi

display="this machine's X display (${DISPLAY:-})"
if [ -n "$wayland_socket" ]; then
  # The first display the helper lists is the main one.
  display_id=$(printf 'LIST_WINDOWS\nSTOP\n' | timeout 20 build/default/src/ostrovane 2>&1 >/dev/null |
    grep '^CMD_RESPONSE:LIST_WINDOWS:' | grep -o '{[^{}]*"type":"display"[^{}]*}' | head -n1 |
    sed -n 's/.*"id":\([0-9]*\).*/\1/p')
  if [ -n "$display_id" ]; then
    display="this machine's Wayland session, display $display_id filmed through the desktop portal (the desktop may ask once to share the screen)"
    commands+=("START_VIDEO:{\"type\":\"display\",\"id\":$display_id,\"width\":960,\"height\":540,\"fps\":10}")
  else
    display="this machine's Wayland session (no display listed: audio only)"
  fi
elif ! have_display; then
  [ -n "$private_dir" ] || private_dir=$(mktemp -d /tmp/ostrovane-demo.XXXXXX)
  for n in $(seq 90 130); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { number=$n; break; }
  done
  Xvfb ":$number" -screen 0 1920x1080x24 -nolisten tcp >"$private_dir/xvfb.log" 2>&1 &
  xvfb_pid=$!
  export DISPLAY=":$number"
  for _ in $(seq 50); do have_display && break; sleep 0.1; done
  have_display || { echo "demo: the private X server did not start" >&2; exit 1; }
  display="a private Xvfb ($DISPLAY)"
  # Something moving to film: the test pattern covers the whole screen and
  # prints its window id, which the recorder asks the helper to capture.
  build/default/src/ostrovane-test-pattern --windows 2 >"$private_dir/pattern.out" &
  pattern_pid=$!
  for _ in $(seq 50); do [ -s "$private_dir/pattern.out" ] && break; sleep 0.1; done
  pattern_window=$(head -n1 "$private_dir/pattern.out")
  [ -n "$pattern_window" ] || { echo "demo: the test pattern did not start" >&2; exit 1; }
  commands+=("START_VIDEO:{\"type\":\"window\",\"id\":$pattern_window,\"width\":960,\"height\":540,\"fps\":10}")
fi

if [ "${#commands[@]}" -gt 1 ]; then
  echo "== recording ${seconds} s of microphone, system audio and screen video"
else
  echo "== recording ${seconds} s of microphone and system audio"
fi
echo "   sound: $sound"
echo "   display: $display"
"$recorder" --duration "$seconds" --out "$out" "${commands[@]}"
