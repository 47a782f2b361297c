#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# 32-bit Wine runs the i686 eklv.dll's tests (scripts/test-windows.sh).
if ! dpkg --print-foreign-architectures | grep -qx i386; then $SUDO dpkg --add-architecture i386; fi
$SUDO apt-get update || echo "apt-get update failed; trying the install with the package lists at hand"
$SUDO apt-get install -y --no-install-recommends \
  cmake ninja-build g++ make pkg-config binutils \
  googletest libgtest-dev libgmock-dev libbenchmark-dev \
  libudev-dev umockdev libumockdev-dev libglib2.0-dev \
  python3-venv python3-pip python3-pytest python3-gi gir1.2-umockdev-1.0 \
  libcli11-dev nlohmann-json3-dev libboost-dev g++-mingw-w64-i686 clang libclang-rt-14-dev
# The station view's browser test (eklvctl serve in headless Chromium).
$SUDO apt-get install -y --no-install-recommends chromium chromium-driver
# llvm-dlltool makes eklv.lib, lld-link links a host against it; gcc-multilib
# builds the rig's preload for 32-bit Wine.
$SUDO apt-get install -y --no-install-recommends g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 \
  wine32:i386 gcc-multilib llvm lld
$SUDO apt-get install -y --no-install-recommends qemu-system-x86 linux-image-amd64 busybox-static cpio kmod
$SUDO apt-get install -y --no-install-recommends dpkg-dev file udev  # the Debian package (dpkg-shlibdeps) and its udev rule (udevadm test)
