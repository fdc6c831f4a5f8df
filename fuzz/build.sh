#!/usr/bin/env bash
# Builds the libFuzzer harnesses (the CMake target of GELVO_BUILD_FUZZERS:
# the engine's own source list, instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer) with clang. Installs clang from Debian when it
# is missing. Usage: fuzz/build.sh [out-dir]  (default: build/fuzz)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${1:-$ROOT/build/fuzz}

. "$ROOT/scripts/apt.sh"
apt_need "${BUILD_NEEDS[@]}"
CXX=clang++-16
if ! echo 'int main(){}' | "$CXX" -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
  apt_install clang-16 libclang-rt-16-dev
fi

cmake -S "$ROOT" -B "$OUT" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS=-O1 \
  -DGELVO_BUILD_MODULE=OFF -DGELVO_BUILD_FUZZERS=ON >/dev/null
# Two jobs: the machine is shared.
cmake --build "$OUT" -j 2 >/dev/null
echo "harnesses in $OUT"
