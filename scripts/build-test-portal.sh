#!/usr/bin/env bash
# Builds the ScreenCast portal backend the Wayland tests run: Debian 12's
# xdg-desktop-portal-wlr rebuilt from its source package with
# test-portal-shm-only.patch, so that a cast starts on a headless compositor
# without a GPU (the packaged 0.7.0 fails every Start there). A test fixture,
# never shipped. Run as root (or with sudo); safe to run again: nothing happens
# while the installed binary is newer than the patch.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
PATCH=$HERE/test-portal-shm-only.patch
# The Wayland session fixture (tests/servers/PrivateWaylandSession.cpp) looks here.
INSTALL_DIR=${OSTROVANE_TEST_PORTAL_DIR:-/usr/local/lib/ostrovane-test}
TARGET=$INSTALL_DIR/xdg-desktop-portal-wlr
PACKAGE=xdg-desktop-portal-wlr

if [ -x "$TARGET" ] && [ "$TARGET" -nt "$PATCH" ]; then
  echo "build-test-portal: $TARGET is up to date"
  exit 0
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# apt-get source needs a deb-src entry; add a twin of the first deb822 entry of
# the machine's own Debian archive (same mirror, same suites) when there is none.
has_deb_src() {
  grep -qsE '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list ||
    grep -qsE '^Types:.*\bdeb-src\b' /etc/apt/sources.list.d/*.sources
}
if ! has_deb_src; then
  origin=/etc/apt/sources.list.d/debian.sources
  if [ ! -f "$origin" ]; then
    echo "build-test-portal: no deb-src entry and no $origin to derive one from;" \
      "add a deb-src line for Debian's archive and run again" >&2
    exit 1
  fi
  echo "build-test-portal: adding a deb-src entry for $PACKAGE's source package"
  sed -n '1,/^$/p' "$origin" | sed 's/^Types:.*$/Types: deb-src/' |
    $SUDO tee /etc/apt/sources.list.d/ostrovane-test-src.sources >/dev/null
fi

# What the backend's own build needs (its Debian build dependencies, minus the
# packaging tools).
BUILD_PACKAGES=(dpkg-dev meson ninja-build pkg-config gcc libdrm-dev libinih-dev libgbm-dev
  libpipewire-0.3-dev libwayland-dev wayland-protocols libsystemd-dev scdoc)
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${BUILD_PACKAGES[@]}"

WORK=$(mktemp -d /tmp/ostrovane-test-portal.XXXXXX)
trap 'rm -rf "$WORK"' EXIT
# apt downloads as its own unprivileged user, which must be able to write here.
chmod 755 "$WORK"
cd "$WORK"
# The version installed as the stock backend, so that the patched one matches it.
version=$(dpkg-query -W -f='${Version}' "$PACKAGE" 2>/dev/null || true)
apt-get source -q "$PACKAGE${version:+=$version}"
cd "$(find . -mindepth 1 -maxdepth 1 -type d -name "$PACKAGE-*" | head -n1)"
patch -p1 --forward <"$PATCH"
meson setup build --buildtype=release -Dsd-bus-provider=libsystemd -Dman-pages=disabled
ninja -C build
$SUDO install -D -m 755 build/xdg-desktop-portal-wlr "$TARGET"
echo "build-test-portal: installed $TARGET"
