#!/usr/bin/env bash
# Builds the Debian package in a build directory of its own (build/package:
# optimised, no tests or benchmarks) and prints the package's path. Needs
# dpkg-dev, whose dpkg-shlibdeps reads the dependencies off the binaries.
#
# Usage: scripts/package.sh        -> build/package/ostrovane_<version>-1_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build/package

if ! command -v dpkg-shlibdeps >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends dpkg-dev
fi

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=g++ \
  -DOSTROVANE_BUILD_TESTS=OFF -DOSTROVANE_BUILD_BENCH=OFF -DOSTROVANE_BUILD_FUZZ=OFF >/dev/null
cmake --build "$dir"
rm -f "$dir"/ostrovane_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/ostrovane_*.deb
