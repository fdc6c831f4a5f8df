# Sourced by the other scripts: makes (once) and fills a virtual environment
# for the interpreter $PY with gelvo installed from this checkout.
# Sets VENV_PY to the environment's python.
set -euo pipefail
. "$ROOT/scripts/apt.sh"
apt_need "${BUILD_NEEDS[@]}"
tag=$("$PY" -c 'import sys; print(sys.implementation.cache_tag)')
venv="$ROOT/.venv-$tag"
if [ ! -x "$venv/bin/python" ]; then
  "$PY" -m venv "$venv"
fi
VENV_PY="$venv/bin/python"
"$VENV_PY" -m pip install -q --disable-pip-version-check --upgrade pip
"$VENV_PY" -m pip install -q --disable-pip-version-check "$ROOT[$EXTRAS]"
