#!/usr/bin/env bash
# Runs a Windows test under Wine with COM port PORT answered by the modem
# emulator: the prefix's dosdevices link PORT to a pty that modem_host serves.
# Usage: with_modem.sh MODEM_HOST PREFIX PORT PROGRAM.exe [ARGS...]
# The program finds the port's name in EKLV_TEST_COM.
set -euo pipefail
modem_host="$1" prefix="$2" port="$3"; shift 3
wine_run="$(dirname "$0")/../../scripts/wine-run.sh"
"$wine_run" "$prefix" --prepare
coproc MODEM { exec "$modem_host"; }
trap 'exec {MODEM[1]}>&-; wait "$MODEM_PID" 2>/dev/null || true' EXIT
read -r pty <&"${MODEM[0]}"
[ -e "$pty" ] || { echo "modem_host gave no pty" >&2; exit 1; }
ln -sfn "$pty" "$prefix/dosdevices/${port,,}"
export EKLV_TEST_COM="${port^^}"
"$wine_run" "$prefix" "$@"
