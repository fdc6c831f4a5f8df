#!/usr/bin/env bash
# Runs the C++ engine tests and the whole pytest suite against builds
# instrumented with AddressSanitizer and UndefinedBehaviorSanitizer. Fails on
# any test failure and on any sanitizer report, also one written by a child
# process that a test expected to fail.
# Usage: scripts/sanitize.sh [python]  (default: python3)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PY=${1:-python3}

. "$ROOT/scripts/apt.sh"
apt_need "${BUILD_NEEDS[@]}" "${TEST_NEEDS[@]}"

tag=$("$PY" -c 'import sys; print(sys.implementation.cache_tag)')
reports="$ROOT/build/asan-reports-$tag"
rm -rf "$reports"
mkdir -p "$reports"

# Every report goes to a file as well as being fatal where it happens, so a
# report from a subprocess whose failure a test expected still fails the run.
# SIGBUS and SIGSEGV stay with the engine, which turns a SIGBUS from a file
# truncated under its mapping into a reread.
common="handle_segv=0:handle_sigbus=0:allow_user_segv_handler=1:log_path=$reports/report"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/report"
status=0

check_reports() {
  if compgen -G "$reports/report*" >/dev/null; then
    echo "sanitizer reports:" >&2
    cat "$reports"/report* >&2
    exit 1
  fi
  if [ "$status" -ne 0 ]; then exit "$status"; fi
}

echo "== engine tests (ASan+UBSan)"
cmake -S "$ROOT" -B "$ROOT/build/asan-engine" -DGELVO_BUILD_MODULE=OFF -DGELVO_BUILD_TESTS=ON \
  -DGELVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$ROOT/build/asan-engine" -j 2 >/dev/null
# The test binary is instrumented whole, so leaks are looked for here.
ASAN_OPTIONS="detect_leaks=1:$common" "$ROOT/build/asan-engine/gelvo_engine_tests" --gtest_brief=1 || status=$?
check_reports

echo "== pytest on $PY (ASan+UBSan)"
venv="$ROOT/.venv-asan-$tag"
if [ ! -x "$venv/bin/python" ]; then
  "$PY" -m venv "$venv"
fi
VENV_PY="$venv/bin/python"
"$VENV_PY" -m pip install -q --disable-pip-version-check --upgrade pip
"$VENV_PY" -m pip install -q --disable-pip-version-check \
  -C cmake.define.GELVO_SANITIZE=ON -C cmake.build-type=RelWithDebInfo \
  -C build-dir="$ROOT/build/asan-$tag" "$ROOT[test]"

# The interpreter is not instrumented: the runtime must be loaded before it.
preload=""
for lib in libasan.so libubsan.so; do
  path=$(g++ -print-file-name="$lib")
  [ -f "$path" ] || { echo "missing $lib" >&2; exit 1; }
  preload="$preload${preload:+:}$path"
done

cd "$ROOT"
# Leak detection stays off: the interpreter keeps much of its memory to the
# end on purpose. The normal runs watch for leaks instead (tests/test_leaks.py).
LD_PRELOAD="$preload" PYTHONMALLOC=malloc ASAN_OPTIONS="detect_leaks=0:$common" \
  "$VENV_PY" -X dev -m pytest -q -W error -p no:cacheprovider tests || status=$?
check_reports
