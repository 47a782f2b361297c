#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while
# (EKLV_FUZZ_SECONDS, default 20). Crashes leave their input in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${EKLV_FUZZ_SECONDS:-20}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEKLV_SANITIZE=fuzzer \
  -DEKLV_FUZZ=ON -DEKLV_BUILD_TESTS=OFF -DEKLV_BUILD_BENCH=OFF -DEKLV_BUILD_TOOLS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target ini_fuzz names_fuzz descriptor_fuzz
for target in ini_fuzz names_fuzz descriptor_fuzz; do
  echo "== $target ($seconds s)"
  (cd build-fuzz && "./tests/fuzz/$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 2>&1 | tail -n 3)
done
