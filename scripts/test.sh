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
# The suites name their own settings, log and data folders: they must
# neither read nor change a machine's own eklv (an installed package, a
# cmake --install, a user's logs). What those folders hold is compared
# before and after.
machine_folders() {
  for d in /etc/eklv /usr/local/etc/eklv "${XDG_STATE_HOME:-$HOME/.local/state}/eklv" "/var/lib/Common Files"; do
    if [ -e "$d" ]; then find "$d" -printf '%p %s %T@\n' 2>/dev/null; fi
  done | sort
}
machine_before=$(machine_folders)
for flavour in ${EKLV_FLAVOURS:-normal}; do
  echo "== $flavour build =="
  dir=$(scripts/build.sh "$flavour" | tail -n 1)
  echo "== $flavour tests =="
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 600 -LE rig)
done
# A station kept busy for three minutes (scripts/soak.sh).
scripts/soak.sh 3
echo "== python binding ==" && scripts/test-python.sh build
# The Windows build and its tests under Wine (scripts/test-windows.sh).
scripts/test-windows.sh
# The real-kernel rig under qemu (scripts/test-rig.sh).
scripts/test-rig.sh
machine_after=$(machine_folders)
if [ "$machine_before" != "$machine_after" ]; then
  echo "== the suites changed the machine's eklv folders:" >&2
  diff <(echo "$machine_before") <(echo "$machine_after") >&2 || true
  exit 1
fi
# Install, package and udev rule (needs root: apt-get, useradd). CI runs it
# first instead (EKLV_SKIP_INSTALL=1 here), leaving the package installed
# for the suites above.
if [ "${EKLV_SKIP_INSTALL:-0}" = 1 ]; then echo "== install: run before"
elif [ "$(id -u)" -eq 0 ]; then scripts/test-install.sh; else echo "== install: skipped (needs root)"; fi
