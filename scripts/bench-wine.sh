#!/usr/bin/env bash
# The benchmark of the Windows build on the Wine rig (bench/wine): the
# unmodified eklv.dll under an emulated USB tree with one phone, its COM8 a
# pty of the modem station with modem-control lines from a preload. Prints
# AT round trips on the settled path and on freshly opened ports, the close,
# each beside a raw Win32 loop on the same port, and plug to arrival beside
# the DLL's start-up scan.
# Usage: scripts/bench-wine.sh [BUILD_DIR]   (default build-win64, from
# scripts/build.sh windows-x64; build-win32 runs it under 32-bit Wine)
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-win64}"
cmake --build "$dir" --target wine_rig_bench eklv eklv_modem_station eklv_modem_lines_preload >/dev/null
arch=win64
if x86_64-w64-mingw32-objdump -f "$dir/src/eklv.dll" | grep -q pei-i386; then arch=win32; fi
export EKLV_LIBRARY="$PWD/$dir/src/eklv.dll" WINEARCH="$arch" LD_PRELOAD="$PWD/$dir/tests/windows/modem_lines_preload.so"
exec tests/windows_rig/with_modem_station.sh "$dir/tests/windows_rig/modem_station" \
  "$PWD/$dir/wineprefix" "$dir/bench/wine/wine_rig_bench.exe"
