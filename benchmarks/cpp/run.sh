#!/usr/bin/env bash
# Builds and runs the reading-versus-whole-call benchmark in an embedded CPython.
#   benchmarks/cpp/run.sh [rounds]      (PYTHON=... to choose the interpreter)
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python
version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
build="$PROJECT_ROOT/build/benchmarks-$version"
build_preset benchmarks "$build" reading_vs_whole_call -DPython_EXECUTABLE="$PYTHON"
"$build/reading_vs_whole_call" "$@"
