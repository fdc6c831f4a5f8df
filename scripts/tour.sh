#!/usr/bin/env bash
# Installs gelvo into a fresh environment and runs the tour on the phage
# lambda genome (or on the FASTA file given). Usage: scripts/tour.sh [file.fa]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PY=${PYTHON:-python3}
EXTRAS=test
. "$ROOT/scripts/venv.sh"
"$VENV_PY" "$ROOT/examples/tour.py" "$@"
