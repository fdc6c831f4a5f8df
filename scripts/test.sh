#!/usr/bin/env bash
# Runs every test: the C++ engine tests, then pytest against an installed
# build of the module. Usage: scripts/test.sh [python]  (default: $PYTHON, else
# python3; PYTHON=interpreter picks it as for scripts/tour.sh)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PY=${1:-${PYTHON:-python3}}
EXTRAS=test

. "$ROOT/scripts/apt.sh"
# samtools also for the layout tests, which compare the index build with it.
apt_need "${BUILD_NEEDS[@]}" "${TEST_NEEDS[@]}"
cmake -S "$ROOT" -B "$ROOT/build/engine-tests" -DGELVO_BUILD_MODULE=OFF -DGELVO_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$ROOT/build/engine-tests" -j 2 >/dev/null
"$ROOT/build/engine-tests/gelvo_engine_tests" --gtest_brief=1

. "$ROOT/scripts/venv.sh"
cd "$ROOT"
# Lint and formatting of the Python sources (settings in pyproject.toml).
"$VENV_PY" -m ruff check --quiet .
"$VENV_PY" -m ruff format --check --quiet .
"$VENV_PY" -X dev -m pytest -q -W error tests

# The type stubs against the module the tests just ran on; each allowlist
# entry carries its reason in gelvo-stubs/allowlist.txt.
MYPY_CACHE_DIR="$ROOT/build/mypy-cache" "$VENV_PY" -m mypy.stubtest gelvo --allowlist "$ROOT/gelvo-stubs/allowlist.txt"
