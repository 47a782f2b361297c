#!/usr/bin/env bash
# Sets up, builds and runs the demo host against the library.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${EKLV_SKIP_SETUP:-0}" != 1 ]; then scripts/setup.sh; fi
dir=$(scripts/build.sh normal | tail -n 1)
exec "$dir/examples/eklv_example_host" "$dir/src/libeklv.so"
