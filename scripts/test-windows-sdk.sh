#!/usr/bin/env bash
# The Windows SDK as a host developer gets it, for one built architecture:
# the ZIP package made by cpack (its files, its DLL's exports and imports),
# then, from the unpacked tree only, hosts built and run under Wine:
#  - the example host that loads eklv.dll with LoadLibrary (MinGW);
#  - the example host linked at load time against libeklv.dll.a (MinGW) and
#    against eklv.lib (clang in MSVC mode, lld-link);
#  - on i686, a host that declares an entry point without EKLV_CALL must
#    fail to link;
#  - eklvctl.exe --help.
# Usage: scripts/test-windows-sdk.sh BUILD_DIR WINEPREFIX
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "$1" && pwd)
prefix=$2
fail() { echo "test-windows-sdk: FAILED: $*" >&2; exit 1; }
case "$(x86_64-w64-mingw32-objdump -f "$build/src/eklv.dll")" in
  *pei-i386*) arch=i686; name=win32; machine=i386; msvc=i686-pc-windows-msvc; exit_process=ExitProcess@4 ;;
  *) arch=x86_64; name=win64; machine=i386:x86-64; msvc=x86_64-pc-windows-msvc; exit_process=ExitProcess ;;
esac
gcc=$arch-w64-mingw32-gcc
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "== windows-$arch package =="

(cd "$build" && cpack -G ZIP >/dev/null && cmake --build . --target eklv_debug_package >/dev/null)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
zip=$build/eklv-$version-$name.zip
[ -f "$zip" ] || fail "cpack made no $zip"
[ -f "$build/eklv-$version-$name-debug.zip" ] || fail "no debug package"
cmake -E chdir "$work" cmake -E tar xf "$zip"
tree=$work/eklv-$version-$name
expected="README.md
bin/eklv.dll
bin/eklvctl.exe
docs/windows.md
examples/USBConnectivityConfig.ini
examples/eklv.ini
examples/example_host_win32.c
examples/linked_host_win32.c
include/eklv/eklv.h
lib/eklv.def
lib/eklv.lib
lib/libeklv.dll.a"
actual=$(cd "$tree" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "the package holds:
$actual"
# Exports, imports, security flags; the decorated names against the debug
# file, which the debug package brings.
cmake -E chdir "$tree/bin" cmake -E tar xf "$build/eklv-$version-$name-debug.zip"
cp "$tree"/lib/*.a "$tree"/lib/*.lib "$tree/bin/"
tests/api/check_exports.sh "$tree/bin/eklv.dll" >/dev/null || fail "$(tests/api/check_exports.sh "$tree/bin/eklv.dll")"
rm "$tree"/bin/*.debug "$tree"/bin/*.a "$tree"/bin/*.lib
# Both binaries carry the version resource (its texts are UTF-16).
for f in eklv.dll eklvctl.exe; do
  strings -a -el "$tree/bin/$f" | grep -qx "$f" && strings -a -el "$tree/bin/$f" | grep -qx "$version" \
    || fail "$f has no version resource naming it and $version"
done

hosts=$work/hosts
mkdir "$hosts"
cp "$tree/bin/eklv.dll" "$tree/examples/eklv.ini" "$hosts/"
inc=(-I"$tree/include")
"$gcc" -std=c99 -Wall -Wextra -Werror "${inc[@]}" "$tree/examples/example_host_win32.c" -o "$hosts/loading_host.exe"
"$gcc" -std=c99 -Wall -Wextra -Werror "${inc[@]}" "$tree/examples/linked_host_win32.c" -L"$tree/lib" -leklv \
  -o "$hosts/linked_mingw.exe"
# MSVC: eklv.lib, with import libraries of the runtime made here.
printf 'LIBRARY msvcrt.dll\nEXPORTS\n  printf\n  fflush\n  memcpy\n  memset\n  free\n  realloc\n  atoi\n' >"$work/msvcrt.def"
printf 'LIBRARY kernel32.dll\nEXPORTS\n  %s\n' "$exit_process" >"$work/kernel32.def"
for lib in msvcrt kernel32; do llvm-dlltool -m "$machine" -d "$work/$lib.def" -l "$work/$lib.lib" -k; done
msvc_flags=(--target="$msvc" -ffreestanding -nostdinc -isystem "$(clang -print-resource-dir)/include"
  -isystem "$root/tests/windows/msvc_host" "${inc[@]}" -Wall -Werror -O1)
clang "${msvc_flags[@]}" -c "$tree/examples/linked_host_win32.c" -o "$work/linked_host.obj"
clang "${msvc_flags[@]}" -c tests/windows/msvc_host/start.c -o "$work/start.obj"
lld-link /nologo /subsystem:console /entry:start /nodefaultlib /out:"$hosts/linked_msvc.exe" \
  "$work/linked_host.obj" "$work/start.obj" "$tree/lib/eklv.lib" "$work/msvcrt.lib" "$work/kernel32.lib"
if [ "$arch" = i686 ]; then
  printf '#include <stdint.h>\nuint32_t EKLVUninitialize(void);\nint main(void) { return (int)EKLVUninitialize(); }\n' \
    >"$work/no_stdcall.c"
  if "$gcc" "$work/no_stdcall.c" -L"$tree/lib" -leklv -o "$work/no_stdcall.exe" 2>"$work/no_stdcall.err"; then
    fail "a host without EKLV_CALL linked against libeklv.dll.a"
  fi
  grep -q "undefined reference to \`EKLVUninitialize'" "$work/no_stdcall.err" || fail "$(cat "$work/no_stdcall.err")"
fi

run() { (cd "$hosts" && "$root/scripts/wine-run.sh" "$prefix" "$@" 2>&1 | tr -d '\r'); }
for host in linked_mingw.exe linked_msvc.exe; do
  out=$(run "$host") || fail "$host: $out"
  grep -q "^EKLVUninitialize -> 13$" <<<"$out" && grep -Eq "^EKLVInitialize -> [01]$" <<<"$out" \
    || fail "$host: $out"
done
out=$(run loading_host.exe eklv.dll 1) || true
grep -Eq "^EKLVInitialize -> [01]$" <<<"$out" || fail "loading_host.exe: $out"
out=$(cd "$tree/bin" && "$root/scripts/wine-run.sh" "$prefix" eklvctl.exe --help 2>&1) || fail "eklvctl.exe --help: $out"
grep -q "udev-rules\|Usage\|usage" <<<"$out" || fail "eklvctl.exe --help: $out"
echo "== windows-$arch package: ok ($(basename "$zip"))"
