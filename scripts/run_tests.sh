#!/usr/bin/env bash
# Runs the whole test suite: the C++ tests of the plain core, then the Python
# tests against the extension installed in .venv/<version>, rebuilt only when a
# file it is built from changed.
#   scripts/run_tests.sh                 newest CPython >= 3.12 found
#   PYTHON=python3.13 scripts/run_tests.sh
# Extra arguments go to pytest.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python

# System packages the tests use: CMake, Ninja and GoogleTest for the C++ tests,
# faketime to move the clocks of a child interpreter; redis-server and
# redis-cli for the shared state engines (one server and a 3-node cluster);
# chromium and its driver for the example service's page. Installed when
# missing and we may.
missing=()
command -v cmake >/dev/null 2>&1 || missing+=(cmake)
command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v faketime >/dev/null 2>&1 || missing+=(faketime)
command -v redis-server >/dev/null 2>&1 || missing+=(redis-server)
command -v redis-cli >/dev/null 2>&1 || missing+=(redis-tools)
command -v chromium >/dev/null 2>&1 || missing+=(chromium)
[ -x /usr/bin/chromedriver ] || missing+=(chromium-driver)
# simdjson for the companion package's native JSON reader.
[ -f /usr/include/simdjson.h ] || missing+=(libsimdjson-dev)
install_system_packages "${missing[@]}"

build_preset tests "$PROJECT_ROOT/build/tests" all
echo "== C++ tests of the core"
"$PROJECT_ROOT/build/tests/core_tests" --gtest_brief=1

echo "== Python tests on $("$PYTHON" -c 'import sys; print(sys.version.split()[0])')"
prepare_venv test
cd "$PROJECT_ROOT"
"$VENV/bin/python" -m pytest -q "$@"
