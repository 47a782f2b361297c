#!/usr/bin/env bash
# Runs a Windows program under Wine in the given prefix, headless and quiet.
# Usage: scripts/wine-run.sh PREFIX PROGRAM.exe [ARGS...]
#        scripts/wine-run.sh PREFIX --prepare   (only creates the prefix)
# WINEARCH picks the prefix's architecture: win64 (default; 64-bit programs,
# and 32-bit ones too where wine32 is installed) or win32 (32-bit Wine only).
# The prefix is created on first use (wineboot -i, about 7 s); runs that
# start together wait for that one creation. A prefix made by another Wine
# (another version, another architecture, or a 64-bit-only Wine before
# wine32 was installed, whose prefix then fails every program with "could
# not load kernel32.dll") is made afresh.
set -euo pipefail
export WINEPREFIX="$1"; shift
export WINEARCH="${WINEARCH:-win64}"
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$(dirname "$WINEPREFIX")"
wine32=absent
if [ -x /usr/lib/wine/wine ]; then wine32=present; fi
stamp="$(wine --version 2>/dev/null || echo unknown) $WINEARCH wine32-$wine32"
(
  flock 9
  if [ -e "$WINEPREFIX" ] && [ "$(cat "$WINEPREFIX/.eklv-wine" 2>/dev/null || true)" != "$stamp" ]; then
    echo "wine-run.sh: $WINEPREFIX was made by another Wine; making it afresh ($stamp)" >&2
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
    echo "$stamp" > "$WINEPREFIX/.eklv-wine"
  fi
) 9>"$WINEPREFIX.lock"
[ "${1:-}" = --prepare ] && exit 0
exec wine "$@"
