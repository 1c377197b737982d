#!/usr/bin/env bash
# Builds and installs the module with its test extra (NumPy), then runs every
# benchmark against the pure-Python and NumPy alternatives in one process.
#   scripts/run_benchmarks.sh            full run (about a minute; under three on 2 cores)
#   scripts/run_benchmarks.sh --quick    a few short rounds, to see that everything runs
#   PYTHON=python3.13 scripts/run_benchmarks.sh
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python
prepare_venv test
"$VENV/bin/python" "$PROJECT_ROOT/benchmarks/run_all.py" "$@"
