#!/usr/bin/env bash
# Runs the whole test suite: the C++ tests of the plain core, then the Python
# tests against a freshly built and installed extension.
#   scripts/run_tests.sh                 newest CPython >= 3.12 found
#   PYTHON=python3.13 scripts/run_tests.sh
# Extra arguments go to pytest.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python

# System packages the tests use: CMake and GoogleTest for the C++ tests,
# faketime to move the clocks of a child interpreter. Installed when missing
# and we may.
missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v faketime >/dev/null 2>&1 || missing+=(faketime)
# simdjson for the companion package's native JSON reader.
[ -f /usr/include/simdjson.h ] || missing+=(libsimdjson-dev)
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "error: missing system packages: ${missing[*]} (install them, e.g. apt-get install ${missing[*]})" >&2
        exit 1
    fi
fi

echo "== C++ tests of the core"
cmake -S "$PROJECT_ROOT" -B "$PROJECT_ROOT/build/cpp-tests" -DCMAKE_BUILD_TYPE=Release \
    -DVELTRIX_BUILD_EXTENSION=OFF -DVELTRIX_BUILD_TESTS=ON >/dev/null
cmake --build "$PROJECT_ROOT/build/cpp-tests" -j "$(nproc)" >/dev/null
"$PROJECT_ROOT/build/cpp-tests/core_tests" --gtest_brief=1

echo "== Python tests on $("$PYTHON" -c 'import sys; print(sys.version.split()[0])')"
prepare_venv test
cd "$PROJECT_ROOT"
"$VENV/bin/python" -m pytest -q "$@"
