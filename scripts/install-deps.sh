#!/usr/bin/env bash
# Installs what the build, the tests and the benchmarks need, from Debian's
# archive. Safe to run again: packages already present are left alone.
set -euo pipefail

PACKAGES=(
  # build
  cmake
  ninja-build
  g++
  pkg-config
  # platform facilities: resampling, image scaling, PNG
  libsoxr-dev
  libyuv-dev
  libpng-dev
  # JSON records
  nlohmann-json3-dev
  # Linux provider: the PulseAudio client library; XCB with RandR for displays,
  # MIT-SHM and Composite for grabs, Damage for a covered window's repaint,
  # XFixes for the cursor
  libpulse-dev
  libxcb1-dev
  libxcb-randr0-dev
  libxcb-shm0-dev
  libxcb-composite0-dev
  libxcb-damage0-dev
  libxcb-xfixes0-dev
  # Linux provider: sd-bus, to follow logind's sleep and wake on the system bus
  libsystemd-dev
  # the H.264 encoder behind every non-macOS provider
  libx264-dev
  # tests, benchmarks, fuzzing, formatting
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  clang
  libclang-rt-dev
  clang-format
  # real sound server and its command-line clients for the Linux provider's tests
  pulseaudio
  pulseaudio-utils
  # the second real sound server: PipeWire with its session manager and its
  # pulse server, run by the tests on a private session bus
  pipewire
  pipewire-pulse
  wireplumber
  # a private message bus standing in for the system bus in the wake tests
  dbus-daemon
  # a private X server for the display tests and the demo
  xvfb
  # ffprobe and ffmpeg decode our H.264 in the tests; ffmpeg is the encoding benchmark's peer
  ffmpeg
  # Wayland provider: the Wayland client library and protocol files (wayland-scanner
  # generates the protocol code), and PipeWire's client library for the cast's frames
  libwayland-dev
  wayland-protocols
  libwayland-bin
  libpipewire-0.3-dev
  # a private headless Wayland session for the Wayland tests: the compositor, the
  # desktop portal with its wlroots backend (rebuilt for the tests by
  # build-test-portal.sh below), and a terminal that keeps frames coming
  sway
  xdg-desktop-portal
  xdg-desktop-portal-wlr
  foot
  # the Wayland benchmark's peer: GStreamer on a portal stream that a python
  # script of the benchmark obtains over D-Bus
  python3-dbus
  python3-gi
  gstreamer1.0-pipewire
  gstreamer1.0-tools
  gstreamer1.0-plugins-base
  gstreamer1.0-plugins-ugly
  # private GNOME and KDE Plasma sessions for the desktop tests: the shells,
  # their portal backends and what their dialogs need (the KDE dialog's QML
  # comes with plasma-workspace), gsettings, the KDE fake-input protocol for
  # the scripted user, and GTK 3 for the windows of known colour
  gnome-shell
  mutter
  xdg-desktop-portal-gnome
  libglib2.0-bin
  dbus-bin
  kwin-wayland
  xdg-desktop-portal-kde
  qtwayland5
  plasma-workspace
  qml-module-org-kde-kirigami2
  qml-module-org-kde-pipewire
  qml-module-qtquick-controls2
  qml-module-qtquick-layouts
  plasma-wayland-protocols
  gir1.2-gtk-3.0
  python3-gi-cairo
  # the client libraries for parents: Node.js (npm comes with it, or below)
  # and Debian's Python, whose standard library is all the Python one needs
  nodejs
  python3
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  echo "install-deps: everything is installed"
fi

# Debian's nodejs comes without npm; other builds of nodejs bring their own.
if ! command -v npm >/dev/null; then
  DEBIAN_FRONTEND=noninteractive ${SUDO:-} apt-get install -y -q --no-install-recommends npm
fi

# The Wayland tests' portal backend, rebuilt from Debian's source package.
"$(dirname "$0")/build-test-portal.sh"
