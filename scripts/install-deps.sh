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
  # tests, benchmarks, fuzzing, formatting
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  clang
  libclang-rt-dev
  clang-format
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "install-deps: installing ${missing[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  echo "install-deps: everything is installed"
fi
