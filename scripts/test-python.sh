#!/usr/bin/env bash
# The Python binding's suite: builds libeklv in build/ (when needed), installs
# python/ with pip into a fresh venv of Debian's Python (no network needed),
# and runs its pytest suite under umockdev-wrapper.
# Usage: scripts/test-python.sh [build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
case "$dir" in /*) ;; *) dir="$PWD/$dir" ;; esac
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEKLV_SANITIZE= >/dev/null
fi
cmake --build "$dir" --target eklv eklv_host >/dev/null
venv="$dir/python-venv"
# Debian's interpreter, whatever python3 comes first on PATH: python3-gi
# (UMockdev) is installed for it. The venv uses Debian's pip (python3-pip)
# through its system site packages.
/usr/bin/python3 -m venv --clear --without-pip --system-site-packages "$venv"
"$venv/bin/python" -m pip install --quiet --no-index --disable-pip-version-check ./python
export EKLV_LIBRARY="$dir/src/libeklv.so"
rc=0
umockdev-wrapper "$venv/bin/python" -m pytest -p no:cacheprovider -q python/tests || rc=$?
case "$rc" in
  0) ;;
  5) echo "python tests: pytest collected no tests" >&2; exit 1 ;;
  *) echo "python tests failed (pytest exit code $rc)" >&2; exit "$rc" ;;
esac
