#!/usr/bin/env bash
# Runs a station on the umockdev rig for the given minutes (default 3):
# random plugs and pulls of phones and hubs, host threads doing AT in both
# modes with closes and reopens and log-setting changes, the library
# stopped and started again every few seconds. Prints one line a minute
# (descriptors, threads, resident memory with the library stopped; starts,
# changes, AT exchanges, the slowest call of each kind) and fails on
# growth, on a lost or doubled announcement, or on a call over its bound.
# Builds the normal flavour when it is not built.
# Usage: scripts/soak.sh [minutes]
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:-3}
dir=build
[ -x "$dir/tests/soak/eklv_soak" ] || dir=$(scripts/build.sh normal | tail -n 1)
cmake --build "$dir" --target eklv_soak >/dev/null
echo "== soak: $minutes minutes"
EKLV_SOAK_MINUTES=$minutes "$dir/tests/soak/eklv_soak" --gtest_brief=1
