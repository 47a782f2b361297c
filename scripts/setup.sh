#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update || echo "apt-get update failed; trying the install with the package lists at hand"
$SUDO apt-get install -y --no-install-recommends \
  cmake ninja-build g++ make pkg-config binutils \
  googletest libgtest-dev libgmock-dev libbenchmark-dev \
  libudev-dev umockdev libumockdev-dev libglib2.0-dev \
  libcli11-dev g++-mingw-w64-i686 clang libclang-rt-14-dev
$SUDO apt-get install -y --no-install-recommends dpkg-dev file udev  # the Debian package (dpkg-shlibdeps) and its udev rule (udevadm test)
