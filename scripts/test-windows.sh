#!/usr/bin/env bash
# The Windows suite: cross-builds eklv.dll for i686 (the DLL only: its tests
# cannot run, 32-bit Wine does not install on Debian 12 here) and x86_64,
# checks the exports of both, and runs the x86_64 tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "== windows-i686 build =="
nice -n 10 scripts/build.sh windows-i686 -DEKLV_BUILD_TESTS=OFF | tail -n 1
tests/api/check_exports.sh build-win32/src/eklv.dll
echo "== windows-x64 build =="
dir=$(nice -n 10 scripts/build.sh windows-x64 | tail -n 1)
echo "== windows-x64 tests (Wine) =="
# One persistent wine server for the run. Wine starts its own helper
# processes (services, the desktop) on first use; they are started here,
# apart from the tests' output, which CTest would otherwise wait on.
prefix="$PWD/$dir/wineprefix"
scripts/wine-run.sh "$prefix" --prepare
export WINEPREFIX="$prefix"
# (Its output goes nowhere: it reports a hung-up pty, which the COM-port
# tests cause on purpose.)
wineserver -p >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT
scripts/wine-run.sh "$prefix" "$dir/tests/windows/win_window_test.exe" --gtest_filter='*DeviceNotifications*' \
  >/dev/null 2>&1 </dev/null || true
(cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 300)
# The SDK a host developer gets, for both architectures: packages, import
# libraries and hosts linked against them (scripts/test-windows-sdk.sh).
scripts/test-windows-sdk.sh build-win32 "$prefix"
scripts/test-windows-sdk.sh "$dir" "$prefix"
