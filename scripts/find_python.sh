# Sourced by the other scripts: sets PYTHON to a CPython 3.12 or newer.
# Honours a PYTHON given by the caller; otherwise takes the newest one found on
# PATH or under pyenv. The machine's default python3 may be older and is skipped.

python_is_supported() {
    "$1" -c 'import sys; sys.exit(not (sys.implementation.name == "cpython" and sys.version_info >= (3, 12)))' \
        2>/dev/null
}

find_python() {
    if [ -n "${PYTHON:-}" ]; then
        if python_is_supported "$PYTHON"; then return 0; fi
        echo "error: PYTHON=$PYTHON is not a CPython 3.12 or newer" >&2
        return 1
    fi
    local candidates=()
    for name in python3.14 python3.13 python3.12 python3; do
        command -v "$name" >/dev/null 2>&1 && candidates+=("$(command -v "$name")")
    done
    local pyenv_root
    pyenv_root=$( (pyenv root 2>/dev/null) || echo "$HOME/.pyenv")
    for dir in $(ls -d "$pyenv_root"/versions/3.* 2>/dev/null | sort -rV); do
        candidates+=("$dir/bin/python3")
    done
    for candidate in "${candidates[@]}"; do
        if python_is_supported "$candidate"; then
            PYTHON=$candidate
            return 0
        fi
    done
    echo "error: no CPython 3.12 or newer found (looked on PATH and under $pyenv_root/versions)." >&2
    echo "       Install one (for example 'pyenv install 3.12') or name it: PYTHON=/path/to/python3.12 $0" >&2
    return 1
}

# prepare_venv, build_preset and the other build steps.
source "$(dirname "${BASH_SOURCE[0]}")/build_steps.sh"
