#!/usr/bin/env bash
# Runs the tour on the phage lambda genome, or on the FASTA file given, read where
# it is. gelvo alone (no test tools) goes into an environment of its own, built
# once and again only when the sources change.
# Usage: [PYTHON=interpreter] scripts/tour.sh [file.fa]   (default interpreter: python3)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PY=${PYTHON:-python3}
tag=$("$PY" -c 'import sys; print(sys.implementation.cache_tag)')
venv="$ROOT/.venv-tour-$tag"
if [ ! -x "$venv/bin/python" ]; then
  "$PY" -m venv "$venv"
fi
stamp="$venv/gelvo-sources.sha256"
sources=$(cd "$ROOT" && find CMakeLists.txt pyproject.toml src python gelvo-stubs -type f \
  -not -path '*/__pycache__/*' | sort | xargs cat | sha256sum)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$sources" ]; then
  . "$ROOT/scripts/apt.sh" && apt_need "${BUILD_NEEDS[@]}"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$ROOT"
  echo "$sources" >"$stamp"
fi
exec "$venv/bin/python" "$ROOT/examples/tour.py" "$@"
