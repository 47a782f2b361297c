#!/usr/bin/env bash
# The tests on the real-kernel rig (ctest label "rig"): a qemu guest with
# Debian's kernel, configfs phones on dummy_hcd and qemu's FTDIs and hubs.
# Builds the targets it needs of the normal flavour and, when EKLV_FLAVOURS
# names asan (as CI does), of the AddressSanitizer flavour too, whose guest
# then runs with the sanitizer runtime; installs nothing (scripts/setup.sh
# does). Where qemu or the kernel image is missing the test is skipped with
# one line saying so.
set -euo pipefail
cd "$(dirname "$0")/.."
flavours=normal
case " ${EKLV_FLAVOURS:-} " in *" asan "*) flavours="normal asan" ;; esac
for flavour in $flavours; do
  dir=build
  [ "$flavour" = asan ] && dir=build-asan
  if [ ! -f "$dir/CMakeCache.txt" ]; then scripts/build.sh "$flavour" >/dev/null; fi
  cmake --build "$dir" --target eklv eklvctl eklv_kernel_rig_guest
  echo "== real-kernel rig ($flavour) =="
  (cd "$dir" && ctest --output-on-failure -L '^rig$')
done
