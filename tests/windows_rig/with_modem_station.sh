#!/usr/bin/env bash
# Runs a Windows test of the Wine rig with its COM ports served: the modem
# station (tools/rig/modem_station.cpp, a Linux program) links the prefix's
# COM ports to ptys it answers, as the test asks; the test finds the
# station's TCP port in EKLV_MODEM_STATION.
# Usage: with_modem_station.sh MODEM_STATION PREFIX PROGRAM.exe [ARGS...]
set -euo pipefail
station="$1" prefix="$2"; shift 2
wine_run="$(dirname "$0")/../../scripts/wine-run.sh"
"$wine_run" "$prefix" --prepare
coproc STATION { exec "$station" "$prefix"; }
trap 'exec {STATION[1]}>&-; wait "$STATION_PID" 2>/dev/null || true' EXIT
read -r port <&"${STATION[0]}"
[ -n "$port" ] || { echo "modem_station gave no port" >&2; exit 1; }
export EKLV_MODEM_STATION="$port"
"$wine_run" "$prefix" "$@"
