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
for flavour in ${EKLV_FLAVOURS:-normal}; do
  echo "== $flavour build =="
  dir=$(scripts/build.sh "$flavour" | tail -n 1)
  echo "== $flavour tests =="
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 600)
done
