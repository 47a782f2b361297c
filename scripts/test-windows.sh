#!/usr/bin/env bash
# The Windows suite: cross-builds eklv.dll and its tests for i686 and x86_64,
# checks the exports of both, and runs each build's tests under Wine of its
# own architecture: the x64 DLL under 64-bit Wine, the i686 DLL (the one
# real Windows hosts load) under 32-bit Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
for flavour in windows-x64 windows-i686; do
  echo "== $flavour build =="
  nice -n 10 scripts/build.sh "$flavour" -DEKLV_BUILD_TESTS=ON | tail -n 1
done

# Runs one build's tests under one persistent wine server. Wine starts its
# own helper processes (services, the desktop) on first use; they are
# started here, apart from the tests' output, which CTest would otherwise
# wait on.
run_tests() {
  local dir="$1" arch="$2"
  echo "== $dir tests (Wine, $arch) =="
  local prefix="$PWD/$dir/wineprefix"
  WINEARCH="$arch" scripts/wine-run.sh "$prefix" --prepare
  (
    export WINEPREFIX="$prefix" WINEARCH="$arch"
    # (Its output goes nowhere: it reports a hung-up pty, which the COM-port
    # tests cause on purpose.)
    wineserver -p >/dev/null 2>&1
    trap 'wineserver -k 2>/dev/null || true' EXIT
    scripts/wine-run.sh "$prefix" "$dir/tests/windows/win_window_test.exe" --gtest_filter='*DeviceNotifications*' \
      >/dev/null 2>&1 </dev/null || true
    cd "$dir" && ctest --no-tests=error --output-on-failure -j"$(nproc)" --timeout 300
  )
}
run_tests build-win64 win64
run_tests build-win32 win32

# The SDK a host developer gets, for both architectures: packages, import
# libraries and hosts linked against them (scripts/test-windows-sdk.sh).
WINEARCH=win64 scripts/test-windows-sdk.sh build-win64 "$PWD/build-win64/wineprefix"
WINEARCH=win32 scripts/test-windows-sdk.sh build-win32 "$PWD/build-win32/wineprefix"
