#!/usr/bin/env bash
# Runs the whole Python test suite against an AddressSanitizer and
# UndefinedBehaviorSanitizer build of the extension, with leak checking of the
# module's own native allocations at exit.
#   scripts/run_sanitized_tests.sh                 newest CPython >= 3.12 found
#   PYTHON=python3.13 scripts/run_sanitized_tests.sh
# Extra arguments go to pytest.
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python
prepare_venv test

version=$("$VENV/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
BUILD_DIR="$PROJECT_ROOT/build/sanitize-$version"
# The preset compiles with g++ on purpose: the runtime preloaded below is gcc's.
build_preset sanitize "$BUILD_DIR" all -DPython_EXECUTABLE="$VENV/bin/python"

# The interpreter itself is not instrumented, so the runtime must be loaded
# before anything else to intercept every allocation.
LIBASAN=$(g++ -print-file-name=libasan.so)
if [ ! -f "$LIBASAN" ]; then
    echo "error: gcc's AddressSanitizer runtime (libasan.so) is not installed" >&2
    exit 1
fi
export LD_PRELOAD="$LIBASAN"
# Python objects are then plain malloc blocks the sanitizer can see; leaks of
# whole objects are the business of tests/test_leaks.py, so lsan.supp hides the
# interpreter's own allocations and LeakSanitizer reports the module's.
export PYTHONMALLOC=malloc
# A child interpreter that a test starts with an LD_PRELOAD of its own
# (libfaketime) gets the runtime late, through the module's dependencies:
# verify_asan_link_order=0 lets it run, with undefined-behaviour, stack and
# global checks but without heap checks.
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
ASAN_OPTIONS+=":verify_asan_link_order=0"
export LSAN_OPTIONS="suppressions=$PROJECT_ROOT/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$BUILD_DIR${PYTHONPATH:+:$PYTHONPATH}"

# The installed module must not be the one under test.
"$VENV/bin/python" - "$BUILD_DIR" <<'EOF'
import os, sys
import veltrix_core_rs
loaded_from = os.path.dirname(os.path.realpath(veltrix_core_rs.__file__))
if loaded_from != os.path.realpath(sys.argv[1]):
    sys.exit(f"error: imported {veltrix_core_rs.__file__}, not the sanitized build")
import veltrix
if os.path.realpath(veltrix.__file__) != os.path.realpath(os.path.join(sys.argv[1], "veltrix", "__init__.py")):
    sys.exit(f"error: imported the companion package from {veltrix.__file__}, not the sanitized build")
EOF

echo "== Python tests on the sanitized extension"
cd "$PROJECT_ROOT"
"$VENV/bin/python" -m pytest -q tests "$@"
