#!/usr/bin/env bash
# Builds and installs the module (only when a file it is built from changed), then
# runs the demo on the shipped sample visits or on the files given.
#   scripts/run_demo.sh                       (PYTHON=... to choose the interpreter)
#   scripts/run_demo.sh visits.jsonl --plot paths.png
# With --plot, matplotlib is installed too (the plot extra).
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python
extras=()
for argument in "$@"; do
    [[ "$argument" == --plot* ]] && extras=(plot)
done
prepare_venv "${extras[@]}"
"$VENV/bin/python" "$PROJECT_ROOT/examples/demo.py" "$@"
