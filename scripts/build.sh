#!/usr/bin/env bash
# Configures and builds one flavour: normal (default), asan or tsan.
# Usage: scripts/build.sh [normal|asan|tsan|windows-i686|windows-x64] [cmake -D options...]
# The Windows flavours cross-build eklv.dll with mingw-w64 (build-win32,
# build-win64); the x64 build's tests run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
flavour="${1:-normal}"
case "$flavour" in
  normal) dir=build; args=(-DEKLV_SANITIZE=) ;;
  asan) dir=build-asan; args=(-DEKLV_SANITIZE=address -DEKLV_BUILD_BENCH=OFF) ;;
  tsan) dir=build-tsan; args=(-DEKLV_SANITIZE=thread -DEKLV_BUILD_BENCH=OFF) ;;
  windows-i686) dir=build-win32; args=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-windows-i686.cmake -DCMAKE_BUILD_TYPE=Release -DEKLV_BUILD_BENCH=OFF) ;;
  windows-x64) dir=build-win64; args=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-windows-x64.cmake -DCMAKE_BUILD_TYPE=Release -DEKLV_BUILD_BENCH=OFF) ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
args+=("${@:2}")
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
echo "$dir"
