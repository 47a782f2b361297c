#!/usr/bin/env bash
# The tests on the real-kernel rig (ctest label "rig"): a qemu guest with
# Debian's kernel, configfs phones on dummy_hcd and qemu's FTDI. Builds the
# normal flavour's targets it needs; installs nothing (scripts/setup.sh
# does). Where qemu or the kernel image is missing the test is skipped with
# one line saying so.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
if [ ! -f "$dir/CMakeCache.txt" ]; then scripts/build.sh normal >/dev/null; fi
cmake --build "$dir" --target eklv eklvctl eklv_kernel_rig_guest
(cd "$dir" && ctest --output-on-failure -L '^rig$')
