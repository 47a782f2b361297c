#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
# EKLV_FLAVOURS picks the builds (default "normal"; CI runs "normal asan tsan").
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${EKLV_SKIP_SETUP:-0}" != 1 ]; then scripts/setup.sh; fi
export ASAN_OPTIONS="${ASAN_OPTIONS:-verify_asan_link_order=0:detect_leaks=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-suppressions=$PWD/tests/tsan.supp}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
# umockdev stands in for the uevent netlink socket with a Unix datagram
# socket, which queues only net.unix.max_dgram_qlen (10) messages: a hub
# full of phones plugged at once needs more. Raised where we may.
if [ "$(cat /proc/sys/net/unix/max_dgram_qlen 2>/dev/null || echo 0)" -lt 512 ] && [ -w /proc/sys/net/unix/max_dgram_qlen ]; then
  echo 512 > /proc/sys/net/unix/max_dgram_qlen || true
fi
for flavour in ${EKLV_FLAVOURS:-normal}; do
  echo "== $flavour build =="
  dir=$(scripts/build.sh "$flavour" | tail -n 1)
  echo "== $flavour tests =="
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 600 -LE rig)
done
echo "== python binding ==" && scripts/test-python.sh build
# The Windows build and its tests under Wine (scripts/test-windows.sh).
scripts/test-windows.sh
# The real-kernel rig under qemu (scripts/test-rig.sh).
scripts/test-rig.sh
# Install, package and udev rule (needs root: apt-get, useradd).
if [ "$(id -u)" -eq 0 ]; then scripts/test-install.sh; else echo "== install: skipped (needs root)"; fi
