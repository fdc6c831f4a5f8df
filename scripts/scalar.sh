#!/usr/bin/env bash
# The scalar code paths alone: builds the engine and the module with the
# vector kernels switched off (GELVO_SIMD=OFF), then runs the engine tests
# and the tests that hold the kernels to their models (sequence operations,
# extraction, batches) against that build. Usage: scripts/scalar.sh [python]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PY=${1:-python3}
. "$ROOT/scripts/apt.sh"
apt_need "${BUILD_NEEDS[@]}" "${TEST_NEEDS[@]}"

echo "== engine tests (scalar)"
cmake -S "$ROOT" -B "$ROOT/build/scalar-engine" -DGELVO_BUILD_MODULE=OFF -DGELVO_BUILD_TESTS=ON -DGELVO_SIMD=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$ROOT/build/scalar-engine" -j 2 >/dev/null
"$ROOT/build/scalar-engine/gelvo_engine_tests" --gtest_brief=1

echo "== kernel tests on $PY (scalar)"
tag=$("$PY" -c 'import sys; print(sys.implementation.cache_tag)')
venv="$ROOT/.venv-scalar-$tag"
[ -x "$venv/bin/python" ] || "$PY" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
"$venv/bin/python" -m pip install -q --disable-pip-version-check -C cmake.define.GELVO_SIMD=OFF \
  -C build-dir="$ROOT/build/scalar-$tag" "$ROOT[test]"
cd "$ROOT"
"$venv/bin/python" -X dev -m pytest -q -W error -p no:cacheprovider tests/test_sequence_strand.py \
  tests/test_sequence_gc.py tests/test_sequence_slicing.py tests/test_faidx.py tests/test_batch.py \
  tests/test_hostile_input.py tests/test_windows.py tests/test_cli_native.py tests/test_bgzf.py
