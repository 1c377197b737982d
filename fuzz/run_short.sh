#!/usr/bin/env bash
# The short fuzzing run for CI: builds, then fuzzes for FUZZ_SECONDS (default 60).
#   fuzz/run_short.sh [PYTHON]      (or set PYTHON)
# Fails on any crash, sanitizer report or broken result contract.
set -euo pipefail
exec "$(dirname "$0")/run_fuzzer.sh" "$@" -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1
