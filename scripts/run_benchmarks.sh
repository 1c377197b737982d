#!/usr/bin/env bash
# Builds and installs the module with its test extra (NumPy), then runs every
# benchmark: the module against the pure-Python and NumPy alternatives in one
# process, then reading alone against the whole extraction call in an embedded
# interpreter, then veltrix.extract_features_json against orjson/json +
# extract_features_rs, the ban statistics and the shared state engines against
# raw Redis round trips, challenge tokens against plain hmac + secrets, and the
# collector's proof of work in headless Chromium. Each figure is a median, with
# its ratio measured in the same run.
#   scripts/run_benchmarks.sh            full run (a few minutes on 2 cores)
#   scripts/run_benchmarks.sh --quick    a few short rounds, to see that everything runs
#   PYTHON=python3.13 scripts/run_benchmarks.sh
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python
prepare_venv test
"$VENV/bin/python" "$PROJECT_ROOT/benchmarks/run_all.py" "$@"
"$VENV/bin/python" "$PROJECT_ROOT/benchmarks/batch_features.py" "$@"

echo
"$VENV/bin/python" "$PROJECT_ROOT/benchmarks/ban_statistics.py" "$@"

echo
"$VENV/bin/python" "$PROJECT_ROOT/benchmarks/json_extraction.py" "$@"

echo
rounds=41
[ "${1:-}" = "--quick" ] && rounds=5
PYTHON="$VENV/bin/python" "$PROJECT_ROOT/benchmarks/cpp/run.sh" "$rounds"

echo
# The shared state engines against raw store round trips, from client processes on one node and on a
# 3-master cluster, and what 10**6 nonces a minute leave in the store; on redis-servers of its own.
"$VENV/bin/python" "$PROJECT_ROOT/benchmarks/state_store.py" "$@"

echo
# Challenge tokens against the same checks written plainly, locally and on a redis-server of its own.
"$VENV/bin/python" "$PROJECT_ROOT/benchmarks/challenges.py" "$@"

echo
# What a challenge's proof of work costs a visitor, per difficulty, in headless Chromium.
"$VENV/bin/python" "$PROJECT_ROOT/benchmarks/proof_of_work_browser.py" "$@"
