#!/bin/sh
# libeklv.so exports exactly the twelve entry points and nothing else.
set -eu
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
actual=$(nm -D --defined-only "$1" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sed 's/@.*//' | sort)
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ:"; echo "$actual"; exit 1
fi
echo "twelve entry points exported"
