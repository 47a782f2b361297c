#!/bin/sh
# eklv.dll exports exactly the twelve entry points under their plain names
# and imports Windows system DLLs only (no C++ runtime or winpthread DLL).
set -eu
dll="$1"
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
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
actual=$(echo "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[/ {print $NF}' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported names differ:"; echo "$actual"; exit 1
fi
imports=$(echo "$dump" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
for name in $imports; do
  case "$name" in
    kernel32.dll|user32.dll|advapi32.dll|shell32.dll|setupapi.dll|cfgmgr32.dll|winmm.dll|version.dll|rpcrt4.dll|msvcrt.dll|ole32.dll) ;;
    api-ms-win-*) ;;
    *) echo "imports a DLL that is not part of Windows: $name"; exit 1 ;;
  esac
done
echo "twelve entry points exported; imports:" $imports
