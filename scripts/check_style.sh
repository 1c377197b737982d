#!/usr/bin/env bash
# The style and lint checks CI runs, configured by .clang-format, .clang-tidy and
# pyproject.toml's [tool.ruff]:
#   clang-format   C++ sources under src/, tests/, benchmarks/ and fuzz/
#   ruff           Python sources and the stubs: lint, then format
#   clang-tidy     src/, bug-prone and performance checks, with the compile
#                  commands of the dev preset (a few minutes on two cores)
#   scripts/check_style.sh                     check everything
#   scripts/check_style.sh --fix               apply clang-format and ruff instead of checking them
#   SKIP_CLANG_TIDY=1 scripts/check_style.sh   formatting and ruff only (seconds)
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python
fix=false
[ "${1:-}" = "--fix" ] && fix=true

missing=()
command -v clang-format >/dev/null 2>&1 || missing+=(clang-format)
command -v run-clang-tidy >/dev/null 2>&1 || missing+=(clang-tidy)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
install_system_packages "${missing[@]}"
create_venv
install_requirements lint
cd "$PROJECT_ROOT"
failed=0

mapfile -t cpp_files < <(find src tests benchmarks fuzz -name '*.cpp' -o -name '*.hpp' | LC_ALL=C sort)
echo "== clang-format: ${#cpp_files[@]} files"
if $fix; then
    clang-format -i "${cpp_files[@]}"
else
    clang-format --dry-run --Werror "${cpp_files[@]}" || failed=1
fi

echo "== ruff"
if $fix; then
    "$VENV/bin/ruff" check --fix . || failed=1
    "$VENV/bin/ruff" format .
else
    "$VENV/bin/ruff" check . || failed=1
    "$VENV/bin/ruff" format --check --output-format concise . || failed=1
fi

if [ -z "${SKIP_CLANG_TIDY:-}" ] && ! $fix; then
    build_dir="$PROJECT_ROOT/build/dev"
    echo "== clang-tidy over src/ (full output in build/dev-clang-tidy.log)"
    install_missing_build_tools
    mkdir -p "$PROJECT_ROOT/build"
    cmake -S "$PROJECT_ROOT" --preset dev -B "$build_dir" -DPython_EXECUTABLE="$VENV/bin/python" >"$build_dir.log"
    # Any finding fails the check; run-clang-tidy itself fails only on errors. Clang
    # has GCC's __atomic builtins, but clang 14 does not report them to the check
    # that CPython 3.13's headers make before using them.
    tidy_log="$build_dir-clang-tidy.log"
    if ! run-clang-tidy -p "$build_dir" -quiet -j "$(nproc)" -extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1 \
        "$PROJECT_ROOT/src/.*\.cpp\$" >"$tidy_log" 2>&1; then
        tail -n 40 "$tidy_log" >&2
        failed=1
    elif grep -q -E '(warning|error): ' "$tidy_log"; then
        grep -E -A 3 '(warning|error): ' "$tidy_log" >&2
        failed=1
    fi
fi

[ "$failed" = 0 ] && echo "== style: clean"
exit "$failed"
