#!/usr/bin/env bash
# Builds the module for fuzzing and runs the atheris harness on it.
#   fuzz/run_fuzzer.sh [PYTHON] [libFuzzer flags...]
# The interpreter comes from the first argument or $PYTHON; atheris and numpy are
# installed into its environment. With clang (installed with apt-get when missing
# and we are root) the module is built with coverage counters for the fuzzer and
# with AddressSanitizer and UndefinedBehaviorSanitizer, whose runtime is preloaded;
# without clang it is a plain build, guided only by the harness's own coverage.
# The corpus grows in build/fuzz-corpus; crashing inputs land in build/fuzz-artifacts.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
PROJECT_ROOT=$ROOT
source "$ROOT/scripts/build_steps.sh"
if [ $# -gt 0 ] && [[ "$1" != -* ]]; then
    PYTHON=$1
    shift
fi
if [ -z "${PYTHON:-}" ]; then
    echo "usage: fuzz/run_fuzzer.sh PYTHON [libFuzzer flags...]   (or set PYTHON)" >&2
    exit 2
fi

"$PYTHON" -m pip install --quiet atheris numpy
version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
build="$ROOT/build/fuzz-$version"
mkdir -p "$ROOT/build/fuzz-corpus" "$ROOT/build/fuzz-artifacts"

if ! command -v clang++ >/dev/null 2>&1 && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
fi

preload=""
if command -v clang++ >/dev/null 2>&1; then
    # Coverage counters, AddressSanitizer and UndefinedBehaviorSanitizer, as the preset says.
    build_preset fuzz "$build" all -DPython_EXECUTABLE="$PYTHON"
    # One preloadable runtime holding the sanitizers and libFuzzer, which atheris then
    # uses instead of its own copy, so the module's coverage counters reach the fuzzer.
    preload="$build/sanitizers_with_fuzzer.so"
    if [ ! -f "$preload" ]; then
        arch=$(uname -m)
        objects=$(mktemp -d)
        for runtime in asan asan_cxx fuzzer_no_main; do
            (cd "$objects" && ar x "$(clang++ -print-file-name="libclang_rt.$runtime-$arch.a")")
        done
        rm -f "$objects/asan_preinit.cpp.o"  # a shared object may not carry .preinit_array
        clang++ -shared -o "$preload" "$objects"/*.o -lpthread -ldl -lrt
        rm -rf "$objects"
    fi
else
    echo "== clang not found: plain build in $build, no native coverage and no sanitizers" >&2
    cmake -S "$ROOT" -B "$build" -DPython_EXECUTABLE="$PYTHON" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j "$(nproc)" >/dev/null
fi

echo "== fuzzing on $("$PYTHON" -c 'import sys; print(sys.version.split()[0])')"
cd "$ROOT"
# Python's own allocator is bypassed so that AddressSanitizer sees every object;
# the interpreter's deliberate leaks at exit are not reported.
LD_PRELOAD="$preload" PYTHONMALLOC=malloc PYTHONPATH="$build" \
ASAN_OPTIONS="detect_leaks=0:${ASAN_OPTIONS:-}" UBSAN_OPTIONS="print_stacktrace=1:${UBSAN_OPTIONS:-}" \
    "$PYTHON" -W "ignore::DeprecationWarning" fuzz/fuzz_module.py \
    -artifact_prefix="$ROOT/build/fuzz-artifacts/" "$@" "$ROOT/build/fuzz-corpus"
