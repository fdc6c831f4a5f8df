#!/usr/bin/env bash
# Builds the libFuzzer harnesses against the engine sources with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer. Installs clang from Debian
# when it is missing. Usage: fuzz/build.sh [out-dir]  (default: build/fuzz)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${1:-$ROOT/build/fuzz}

# clang 16 is the first to accept lambdas that capture structured bindings.
CXX=clang++-16
if ! echo 'int main(){}' | "$CXX" -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
  . "$ROOT/scripts/apt.sh" && apt_install clang-16 libclang-rt-16-dev
fi

FLAGS=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined
       -fno-sanitize-recover=undefined -I"$ROOT/src" -I"$ROOT/fuzz")
mkdir -p "$OUT/obj"

# The engine as CMake builds it: everything under src/errors, src/sequence
# and src/faidx except the Python bindings.
engine=()
for f in "$ROOT"/src/errors/*.cpp "$ROOT"/src/sequence/*.cpp "$ROOT"/src/faidx/*.cpp; do
  case "$f" in *_py.cpp) ;; *) engine+=("$f") ;; esac
done
objects=()
for f in "${engine[@]}"; do
  o="$OUT/obj/$(basename "$f" .cpp).o"
  objects+=("$o")
  # Two at a time: the machine is shared.
  [ "$(jobs -rp | wc -l)" -lt 2 ] || wait -n
  "$CXX" "${FLAGS[@]}" -fsanitize=fuzzer-no-link -c "$f" -o "$o" &
done
while [ "$(jobs -rp | wc -l)" -gt 0 ]; do wait -n; done

for name in index_build fai_load extract; do
  "$CXX" "${FLAGS[@]}" -fsanitize=fuzzer "$ROOT/fuzz/$name.cpp" "${objects[@]}" -lpthread -o "$OUT/$name"
done
echo "harnesses in $OUT"
