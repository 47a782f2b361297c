#!/bin/sh
# The library exports exactly the twelve entry points under their plain
# names: libeklv.so through its dynamic symbols; eklv.dll through its export
# table, importing Windows system DLLs only (no C++ runtime or winpthread
# DLL), registering no destructor for thread exit and, on i686, with every
# entry point __stdcall.
set -eu
lib="$1"
expected="EKLVCloseDevice
EKLVGetComPort
EKLVGetProductStringDescriptor
EKLVInitialize
EKLVNotification
EKLVOpenDevice
EKLVReadData
EKLVSetBaudRate
EKLVSetCoreLogging
EKLVUninitialize
EKLVWriteData
ZORVAN_OnCall"
case "$lib" in
  *.dll)
    dump=$(x86_64-w64-mingw32-objdump -p "$lib")
    actual=$(echo "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[/ {print $NF}' | sort) ;;
  *)
    actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sed 's/@.*//' | sort) ;;
esac
if [ "$actual" != "$expected" ]; then
  echo "exported names differ:"; echo "$actual"; exit 1
fi
case "$lib" in *.dll) ;; *) echo "twelve entry points exported"; exit 0 ;; esac

imports=$(echo "$dump" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
for name in $imports; do
  case "$name" in
    kernel32.dll|user32.dll|advapi32.dll|shell32.dll|setupapi.dll|cfgmgr32.dll|winmm.dll|version.dll|rpcrt4.dll|msvcrt.dll|ole32.dll) ;;
    api-ms-win-*) ;;
    *) echo "imports a DLL that is not part of Windows: $name"; exit 1 ;;
  esac
done
# ASLR and DEP, and on x64 high-entropy addresses, survive the build.
flags="DYNAMIC_BASE NX_COMPAT"
echo "$dump" | grep -q "file format pei-x86-64" && flags="$flags HIGH_ENTROPY_VA"
for flag in $flags; do
  echo "$dump" | grep -qw "$flag" || { echo "$lib lacks $flag"; exit 1; }
done
# A stripped DLL names its debug file, which lies beside it and holds the
# symbols the checks below read.
symbols="$lib"
if [ -f "$lib.debug" ]; then
  x86_64-w64-mingw32-objdump -h "$lib" | grep -q "\.gnu_debuglink" || { echo "$lib does not name $lib.debug"; exit 1; }
  symbols="$lib.debug"
fi
nm=x86_64-w64-mingw32-nm
if echo "$dump" | grep -q "file format pei-i386"; then nm=i686-w64-mingw32-nm; fi
"$nm" "$symbols" 2>/dev/null | grep -qE " T _?EKLVInitialize(@4)?$" || { echo "$lib: no symbols to check (stripped, no .debug beside it)"; exit 1; }
# A thread_local with a destructor makes the statically linked C++ runtime
# register it through __cxa_thread_atexit, which pins the DLL on every
# thread that touched it and runs the destructor from the thread's exit,
# under the loader lock: a host's FreeLibrary then leaves the DLL loaded.
if "$nm" "$symbols" | grep -qE " T _{0,3}(__mingw)?_?_cxa_thread_atexit$"; then
  echo "registers destructors for thread exit (__cxa_thread_atexit): a thread_local with a destructor"; exit 1
fi
# On i686 the entry points are __stdcall: their symbols carry the size of
# the arguments they pop (EKLVInitialize@4), and the import libraries beside
# the DLL define exactly those names for hosts (imported under the plain
# names, which the link-and-run checks of test-windows-sdk.sh prove).
if echo "$dump" | grep -q "file format pei-i386"; then
  decorated=$(i686-w64-mingw32-nm "$symbols" | grep -oE " T _(EKLV[A-Za-z]+|ZORVAN_OnCall)@[0-9]+$" | cut -c4- | sort)
  if [ "$(echo "$decorated" | grep -c .)" != 12 ]; then echo "$(echo "$decorated" | grep -c .) of the twelve entry points are __stdcall"; exit 1; fi
  dir=$(dirname "$lib")
  for implib in "$dir/libeklv.dll.a" "$dir/eklv.lib"; do
    [ -f "$implib" ] || continue
    defined=$(llvm-nm "$implib" 2>/dev/null | grep -oE " T _(EKLV[A-Za-z]+|ZORVAN_OnCall)@[0-9]+$" | cut -c4- | sort)
    if [ "$defined" != "$decorated" ]; then echo "$implib does not define the DLL's decorated names:"; echo "$defined"; exit 1; fi
  done
fi
echo "twelve entry points exported, no thread-exit destructors; imports:" $imports
