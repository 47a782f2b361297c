#!/usr/bin/env bash
# The COM-port benchmark of the x64 Windows build under Wine: COM8 is a pty
# answered by the modem emulator, with modem-control lines from a preload.
# Prints AT round trips through the overlapped session beside a raw
# WriteFile/ReadFile loop, and their ratio.
# Usage: scripts/bench-wine.sh [BUILD_DIR]   (default build-win64, from
# scripts/build.sh windows-x64)
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-win64}"
cmake --build "$dir" --target com_port_wine_bench eklv_modem_host eklv_modem_lines_preload >/dev/null
LD_PRELOAD="$PWD/$dir/tests/windows/modem_lines_preload.so" exec tests/windows/with_modem.sh \
  "$dir/tests/windows/modem_host" "$PWD/$dir/wineprefix" COM8 "$dir/bench/wine/com_port_wine_bench.exe"
