#!/usr/bin/env bash
# Builds the distributions as a release would and checks that they are whole:
#   1. python -m build: the sdist, then the wheel built from that sdist, in build/dist/;
#   2. auditwheel show: the wheel's platform tag and the libraries it needs;
#   3. a fresh virtual environment gets the wheel (with the test extra), and the
#      tests unpacked from the sdist run against it.
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
wheel=$(ls "$dist"/*.whl)
echo "== Built $(basename "$sdist") and, from it, $(basename "$wheel")"

echo "== auditwheel show"
"$VENV/bin/auditwheel" show "$wheel"

check="$PROJECT_ROOT/build/sdist-check"
rm -rf "$check"
mkdir -p "$check"
tar -xzf "$sdist" -C "$check"
unpacked=$(ls -d "$check"/*/)
echo "== Tests of the sdist against its wheel, in a fresh environment ($check)"
"$PYTHON" -m venv "$check/venv"
"$check/venv/bin/python" -m pip install --quiet "$wheel[test]"
cd "$unpacked"
"$check/venv/bin/python" -m pytest -q -p no:cacheprovider
