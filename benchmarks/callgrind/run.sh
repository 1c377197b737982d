#!/usr/bin/env bash
# Instruction-count regression guard: builds the module, counts the instructions
# of a fixed set of calls under callgrind and compares them with baseline.json.
#   benchmarks/callgrind/run.sh                     fail above +10%
#   benchmarks/callgrind/run.sh --update-baseline   record the current counts
# PYTHON=... chooses the interpreter; baselines are kept per Python version.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python

if ! command -v valgrind >/dev/null 2>&1; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind >/dev/null
    else
        echo "error: valgrind is missing (install it, e.g. apt-get install valgrind)" >&2
        exit 1
    fi
fi

# Its own build, unstripped, so callgrind_annotate can break a regression down by function.
version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
build="$PROJECT_ROOT/build/release-$version"
# "all": the module and the companion package's native JSON reader.
build_preset release "$build" all -DPython_EXECUTABLE="$PYTHON"
PYTHONPATH="$build" "$PYTHON" "$PROJECT_ROOT/benchmarks/callgrind/compare_instructions.py" "$@"
