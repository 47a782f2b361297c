#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds, and runs "eklvctl demo": the road
# of a phone through the library, on an emulated USB rig.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${EKLV_SKIP_SETUP:-0}" != 1 ]; then scripts/setup.sh; fi
dir=$(scripts/build.sh normal | tail -n 1)
exec "$dir/tools/eklvctl/eklvctl" --library "$dir/src/libeklv.so" demo
