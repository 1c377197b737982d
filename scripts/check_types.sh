#!/usr/bin/env bash
# Type checks: the stubs of veltrix_core_rs against the module itself (stubtest:
# names, parameters, __all__), then mypy --strict over an example client that calls
# every function, and over the companion package's challenges.
#   scripts/check_types.sh            (PYTHON=... to choose the interpreter)
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python
prepare_venv typecheck
cd "$PROJECT_ROOT"
echo "== stubtest veltrix_core_rs"
"$VENV/bin/python" -m mypy.stubtest veltrix_core_rs
# The state engines, whose stats() return the stubs' StateEngineStats.
echo "== mypy --strict veltrix.state"
"$VENV/bin/python" -m mypy --strict -p veltrix.state
echo "== mypy --strict"
"$VENV/bin/python" -m mypy --strict examples/typed_client.py
"$VENV/bin/python" -m mypy --strict --follow-imports=silent python/veltrix/challenges
