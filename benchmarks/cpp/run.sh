#!/usr/bin/env bash
# Builds and runs the floor / reading / whole-call benchmark in an embedded CPython.
#   benchmarks/cpp/run.sh [rounds]          times, interleaved      (PYTHON=... to choose the interpreter)
#   benchmarks/cpp/run.sh --instructions    instructions per pointer dict under callgrind
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python
version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
build="$PROJECT_ROOT/build/benchmarks-$version"
build_preset benchmarks "$build" reading_vs_whole_call -DPython_EXECUTABLE="$PYTHON"

if [ "${1:-}" != "--instructions" ]; then
    "$build/reading_vs_whole_call" "$@"
    exit
fi

# Each contender reads the shape's pointer samples R and 2R times, with R enough
# for about 20,000 dicts; the difference of the two totals is free of start-up,
# and divided by R and by the number of samples it is the cost of one pointer
# dict. A fixed hash seed makes the interpreter's start-up the same in both runs.
dicts_per_count=20000
instructions() {  # contender shape repeats
    local out
    out=$(mktemp)
    PYTHONHASHSEED=0 valgrind --tool=callgrind --callgrind-out-file="$out" "$build/reading_vs_whole_call" --repeat "$1" "$2" "$3" \
        >/dev/null 2>&1
    awk '/^totals:/ {print $2}' "$out"
    rm -f "$out"
}
printf "instructions per pointer dict (callgrind, CPython %s)\n%-8s %10s %10s %10s %10s\n" "$version" shape floor \
    reader whole reader/flr
for shape in small typical rich; do
    samples=$("$build/reading_vs_whole_call" --repeat floor "$shape" 1 | awk '{print $1}')
    repeats=$(( (dicts_per_count + samples - 1) / samples ))
    line=$(printf "%-8s" "$shape")
    declare -A per_dict
    for contender in floor reader whole; do
        once=$(instructions "$contender" "$shape" "$repeats")
        twice=$(instructions "$contender" "$shape" $((2 * repeats)))
        per_dict[$contender]=$(( (twice - once) / repeats / samples ))
        line+=$(printf " %10d" "${per_dict[$contender]}")
    done
    echo "$line$(awk -v r="${per_dict[reader]}" -v f="${per_dict[floor]}" 'BEGIN {printf " %10.2f", r / f}')"
done
