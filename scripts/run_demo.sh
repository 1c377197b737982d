#!/usr/bin/env bash
# Builds and installs the module, then runs the demo on the shipped sample data.
#   scripts/run_demo.sh            (PYTHON=... to choose the interpreter)
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python
prepare_venv
"$VENV/bin/python" "$PROJECT_ROOT/examples/demo.py" "$@"
