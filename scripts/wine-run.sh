#!/usr/bin/env bash
# Runs a Windows program under Wine in the given prefix, headless and quiet.
# Usage: scripts/wine-run.sh PREFIX PROGRAM.exe [ARGS...]
#        scripts/wine-run.sh PREFIX --prepare   (only creates the prefix)
# The prefix is created on first use (wineboot -i, about 7 s); runs that
# start together wait for that one creation.
set -euo pipefail
export WINEPREFIX="$1"; shift
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
) 9>"$WINEPREFIX.lock"
[ "${1:-}" = --prepare ] && exit 0
exec wine "$@"
