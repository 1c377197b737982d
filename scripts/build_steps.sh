# Sourced through find_python.sh: installs the project into a virtual environment
# per interpreter, reusing the installed build while it is up to date; builds the
# trees of CMakePresets.json; shows a build's progress instead of minutes of silence.

# Installs the named Debian packages with apt-get when we are root, or stops with
# the list of what to install.
install_system_packages() {
    [ $# -eq 0 ] && return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "== Installing system packages: $*"
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
    else
        echo "error: missing system packages: $* (install them, e.g. apt-get install $*)" >&2
        return 1
    fi
}

# CMake and Ninja, which every preset uses.
install_missing_build_tools() {
    local missing=()
    command -v cmake >/dev/null 2>&1 || missing+=(cmake)
    command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
    install_system_packages "${missing[@]}"
}

# Configures BUILD_DIR from the preset PRESET of CMakePresets.json (further
# arguments go to CMake, such as -DPython_EXECUTABLE=...) and builds TARGET (all
# for everything) on every core, showing progress; the whole output goes to BUILD_DIR.log.
build_preset() {
    local preset=$1 build_dir=$2 target=$3
    shift 3
    install_missing_build_tools
    echo "== Building the $preset preset in ${build_dir#"$PROJECT_ROOT/"} (full output in ${build_dir#"$PROJECT_ROOT/"}.log)"
    run_with_progress "$build_dir.log" configure_and_build "$preset" "$build_dir" "$target" "$@"
}

configure_and_build() {
    local preset=$1 build_dir=$2 target=$3
    shift 3
    cmake -S "$PROJECT_ROOT" --preset "$preset" -B "$build_dir" "$@" &&
        cmake --build "$build_dir" --target "$target" --parallel "$(nproc)"
}

# Creates (once) .venv/<version> for $PYTHON and installs the project into it with
# the extras named as arguments (prepare_venv test plot). Sets VENV.
prepare_venv() {
    create_venv
    install_requirements "$@"
    install_project
}

# The virtual environment alone, for checks that need tools but not the project. Sets VENV.
create_venv() {
    local version
    version=$("$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    VENV="$PROJECT_ROOT/.venv/$version"
    if [ ! -x "$VENV/bin/python" ]; then
        echo "== Creating the virtual environment $VENV"
        "$PYTHON" -m venv "$VENV"
        "$VENV/bin/python" -m pip install --quiet --upgrade pip
    fi
}

# Everything the installed package is built from: the files under src/ and python/,
# the build definitions, the interpreter and the compiler settings. Timestamps are
# not part of it, so checking out the same content again does not force a rebuild.
build_inputs_digest() {
    local root=$1 python=$2
    {
        (cd "$root" && find CMakeLists.txt pyproject.toml src python -type f ! -name '*.pyc' -print0 |
            LC_ALL=C sort -z | xargs -0 sha256sum)
        "$python" -VV
        echo "CXX=${CXX:-} CXXFLAGS=${CXXFLAGS:-} LDFLAGS=${LDFLAGS:-} CMAKE_ARGS=${CMAKE_ARGS:-}"
        "${CXX:-c++}" --version 2>/dev/null | head -n 1
    } | sha256sum | cut -d ' ' -f 1
}

# The build backend (and CMake or Ninja when the machine lacks suitable ones), the
# project's dependencies and each named extra's requirements, installed once per
# content of pyproject.toml: later runs look at a stamp instead of asking pip.
install_requirements() {
    local stamp="$VENV/.veltrix-requirements" pyproject_digest wanted=() missing=() key
    pyproject_digest=$(sha256sum <"$PROJECT_ROOT/pyproject.toml" | cut -c 1-16)
    for key in build "$@"; do
        grep -qxF "$pyproject_digest $key" "$stamp" 2>/dev/null || missing+=("$key")
        wanted+=("$pyproject_digest $key")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "== Installing requirements into $VENV: ${missing[*]}"
    local requirements
    requirements=$("$VENV/bin/python" - "$PROJECT_ROOT/pyproject.toml" "${missing[@]}" <<'EOF'
import sys
import tomllib

with open(sys.argv[1], "rb") as file:
    pyproject = tomllib.load(file)
for name in sys.argv[2:]:
    if name == "build":
        print(*pyproject["build-system"]["requires"], *pyproject["project"].get("dependencies", []), sep="\n")
    else:
        print(*pyproject["project"]["optional-dependencies"][name], sep="\n")
EOF
)
    # shellcheck disable=SC2086 # one requirement per line, none with spaces
    [ -z "$requirements" ] || "$VENV/bin/python" -m pip install --quiet $(echo "$requirements" | tr '\n' ' ')
    local backend_needs
    backend_needs=$(cd "$PROJECT_ROOT" && "$VENV/bin/python" -c \
        'from scikit_build_core.build import get_requires_for_build_wheel as needs; print(" ".join(needs()))')
    # shellcheck disable=SC2086
    [ -z "$backend_needs" ] || "$VENV/bin/python" -m pip install --quiet $backend_needs
    printf '%s\n' "${wanted[@]}" >>"$stamp"
}

# Builds and installs the project unless the installed build came from the same
# inputs. The build runs in the venv itself (no isolated environment to set up each
# time) and in a build tree kept per interpreter, so a rebuild compiles only what changed.
install_project() {
    local version=${VENV##*/} stamp="$VENV/.veltrix-build-inputs" digest
    digest=$(build_inputs_digest "$PROJECT_ROOT" "$VENV/bin/python")
    if [ "$(cat "$stamp" 2>/dev/null)" = "$digest" ] &&
        "$VENV/bin/python" -c 'import importlib.util, sys; sys.exit(importlib.util.find_spec("veltrix_core_rs") is None)'
    then
        echo "== veltrix_core_rs in $VENV is up to date"
        return 0
    fi
    rm -f "$stamp"
    install_missing_build_tools
    local log="$PROJECT_ROOT/build/wheel-$version.log"
    echo "== Building veltrix_core_rs into $VENV (full output in ${log#"$PROJECT_ROOT/"})"
    run_with_progress "$log" "$VENV/bin/python" -m pip install -v --no-deps --no-build-isolation "$PROJECT_ROOT" \
        -Cbuild-dir="$PROJECT_ROOT/build/wheel-$version"
    echo "$digest" >"$stamp"
}

# Runs a build command with its whole output in LOG and shows its progress: the
# build backend's steps and each [n/N] step of Ninja, shortened to the file compiled
# or the target linked (on one rewritten line when the output is a terminal). On
# failure, shows the end of the log and returns the command's status.
run_with_progress() {
    local -
    local log=$1 status=0
    shift
    set -o pipefail
    mkdir -p "$(dirname "$log")"
    "$@" 2>&1 | tee "$log" | show_build_progress "$([ -t 1 ] && echo 1 || echo 0)" || status=$?
    if [ "$status" -ne 0 ]; then
        echo "error: the build failed; the end of ${log#"$PROJECT_ROOT/"}:" >&2
        tail -n 40 "$log" >&2
    fi
    return "$status"
}

# Filters build output (stdin) down to progress lines; $1 is 1 to rewrite one line.
show_build_progress() {
    awk -v rewrite="$1" '
        function show(text, is_step) {
            if (rewrite && is_step) { printf "\r\033[K   %s", text; pending = 1 }
            else { if (pending) printf "\n"; pending = 0; print "   " text }
            fflush()
        }
        /\(metadata_wheel\)$/ { next }
        /^ *\*\*\* / { sub(/^ *\*\*\* /, ""); show($0, 0); next }
        match($0, /\[[0-9]+\/[0-9]+\] /) {
            step = substr($0, RSTART, RLENGTH - 1); rest = substr($0, RSTART + RLENGTH)
            if (match(rest, /(src|tests|benchmarks)\/[^ ]*\.cpp/)) show(step " " substr(rest, RSTART, RLENGTH), 1)
            else if (rest ~ /^Linking /) { n = split(rest, words, " "); show(step " linking " words[n], 1) }
        }
        END { if (pending) printf "\n" }
    '
}
