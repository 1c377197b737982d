#!/usr/bin/env bash
# Builds and runs the reading-versus-whole-call benchmark in an embedded CPython.
#   benchmarks/cpp/run.sh [rounds]      (PYTHON=... to choose the interpreter)
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python
version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
build="$PROJECT_ROOT/build/benchmark-cpp-$version"
cmake -S "$PROJECT_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELTRIX_BUILD_EXTENSION=OFF \
    -DVELTRIX_BUILD_BENCHMARKS=ON -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build "$build" --target reading_vs_whole_call -j "$(nproc)" >/dev/null
"$build/reading_vs_whole_call" "$@"
