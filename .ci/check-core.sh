#!/usr/bin/env bash
# The core stays free of OS headers and compiles for 32-bit Windows, where
# the public structures must have their exact Windows layouts.
set -euo pipefail
cd "$(dirname "$0")/.."
core_dirs="src/api src/core src/log src/session src/transport src/discovery src/hotplug src/notify src/platform"
if grep -rnE '#\s*include\s*<(unistd|termios|libudev|windows|winbase|dlfcn|poll|fcntl|pthread|dirent|umockdev)[^>]*>|#\s*include\s*<sys/' \
     --include='*.h' --include='*.cpp' $core_dirs --exclude-dir=linux --exclude-dir=win32; then
  echo "OS headers in the core (above)"; exit 1
fi
cxx=i686-w64-mingw32-g++-posix
command -v $cxx >/dev/null || cxx=i686-w64-mingw32-g++
status=0
for f in $(find $core_dirs \( -path src/platform/linux -o -path src/platform/win32 \) -prune -o -name '*.cpp' -print | sort); do
  $cxx -std=c++20 -fsyntax-only -Wall -Wextra -Werror -Iinclude -Isrc "$f" || status=1
done
i686-w64-mingw32-gcc -std=c11 -fsyntax-only -Wall -Werror -x c include/eklv/eklv.h || status=1
$cxx -std=c++20 -fsyntax-only -Wall -Werror -x c++ include/eklv/eklv.h || status=1
[ $status -eq 0 ] && echo "core compiles for i686-w64-mingw32; 32-bit layouts hold"
exit $status
