"""The set-up scripts' build steps: the digest that decides whether the installed
build is still up to date, and the filter that turns build output into progress."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

BUILD_STEPS = Path(__file__).resolve().parents[1] / "scripts" / "build_steps.sh"
# The shell tools run without the sanitizer runtime that a sanitized test run
# preloads: its leak reports about bash and awk would change their exit codes.
PLAIN_ENV = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def run_build_step(*arguments, stdin="", env=PLAIN_ENV):
    script = f'source "{BUILD_STEPS}"; "$@"'
    result = subprocess.run(
        ["bash", "-c", script, "build_step", *arguments],
        input=stdin,
        capture_output=True,
        text=True,
        env=env,
        check=True,
    )
    return result.stdout


@pytest.fixture
def project(tmp_path):
    """A small tree laid out like the project."""
    files = {
        "CMakeLists.txt": "project(p)\n",
        "pyproject.toml": '[project]\nversion = "1.0"\n',
        "src/curvature/curvature_metrics.cpp": "int f() { return 1; }\n",
        "python/veltrix/__init__.py": "",
        "python/veltrix_core_rs-stubs/__init__.pyi": "def f() -> int: ...\n",
        "README.md": "# p\n",
        "tests/test_p.py": "",
        "examples/demo.py": "",
    }
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    return tmp_path


def digest(root, env=PLAIN_ENV):
    return run_build_step("build_inputs_digest", str(root), sys.executable, env=env)


def replace_keeping_mtime(path, old, new):
    stat = path.stat()
    path.write_text(path.read_text().replace(old, new))
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))


REBUILDING_CHANGES = {
    "a source edit of the same size and time stamp": lambda root: replace_keeping_mtime(
        root / "src/curvature/curvature_metrics.cpp", "1", "2"
    ),
    "a new source file": lambda root: (root / "src/curvature/extra.hpp").write_text("#pragma once\n"),
    "a removed source file": lambda root: (root / "src/curvature/curvature_metrics.cpp").unlink(),
    "a renamed source file": lambda root: (root / "src/curvature/curvature_metrics.cpp").rename(
        root / "src/curvature/curvature_measure.cpp"
    ),
    "the build definition": lambda root: (root / "CMakeLists.txt").write_text("project(q)\n"),
    "the version": lambda root: replace_keeping_mtime(root / "pyproject.toml", "1.0", "1.1"),
    "the companion package": lambda root: (root / "python/veltrix/__init__.py").write_text("x = 1\n"),
    "the stubs": lambda root: (root / "python/veltrix_core_rs-stubs/__init__.pyi").write_text("\n"),
}

KEEPING_CHANGES = {
    "a touched source file": lambda root: os.utime(root / "src/curvature/curvature_metrics.cpp"),
    "the README": lambda root: (root / "README.md").write_text("# q\n"),
    "a test": lambda root: (root / "tests/test_p.py").write_text("x = 1\n"),
    "an example": lambda root: (root / "examples/demo.py").write_text("x = 1\n"),
    "compiled bytecode": lambda root: (root / "python/veltrix/__init__.cpython-312.pyc").write_bytes(b"\0"),
}


@pytest.mark.parametrize("change", REBUILDING_CHANGES.values(), ids=REBUILDING_CHANGES)
def test_a_change_to_what_the_build_reads_forces_a_rebuild(project, change):
    before = digest(project)
    change(project)
    assert digest(project) != before


@pytest.mark.parametrize("change", KEEPING_CHANGES.values(), ids=KEEPING_CHANGES)
def test_other_changes_keep_the_build(project, change):
    before = digest(project)
    change(project)
    assert digest(project) == before


def test_the_same_content_elsewhere_and_later_needs_no_rebuild(project, tmp_path_factory):
    copy = tmp_path_factory.mktemp("copy") / "project"
    shutil.copytree(project, copy)
    assert digest(copy) == digest(project)


def test_compiler_settings_force_a_rebuild(project):
    assert digest(project, env={**PLAIN_ENV, "CXXFLAGS": "-O0"}) != digest(project)


NINJA_OUTPUT = """\
  *** scikit-build-core 1.1.2 using CMake 3.25.1 (metadata_wheel)
  *** Configuring CMake...
  -- The CXX compiler identification is GNU 12.2.0
  [0/2] Re-checking globbed directories...
  [1/49] Building CXX object CMakeFiles/veltrix_core.dir/src/curvature/curvature_metrics.cpp.o
  [2/49] Building CXX object CMakeFiles/core_tests.dir/tests/cpp/curvature_test.cpp.o
  [37/49] Linking CXX static library libveltrix_core.a
  [48/49] Linking CXX shared module veltrix_core_rs.cpython-312-x86_64-linux-gnu.so
  *** Making wheel...
"""


def test_progress_shows_steps_files_and_links_only():
    assert run_build_step("show_build_progress", "0", stdin=NINJA_OUTPUT).splitlines() == [
        "   Configuring CMake...",
        "   [1/49] src/curvature/curvature_metrics.cpp",
        "   [2/49] tests/cpp/curvature_test.cpp",
        "   [37/49] linking libveltrix_core.a",
        "   [48/49] linking veltrix_core_rs.cpython-312-x86_64-linux-gnu.so",
        "   Making wheel...",
    ]


def test_a_failed_build_shows_the_end_of_its_log_and_fails(tmp_path):
    log = tmp_path / "build.log"
    failing_build = 'bash -c "echo compiler says no; exit 3"'
    script = f'source "{BUILD_STEPS}"; PROJECT_ROOT={tmp_path}; run_with_progress {log} {failing_build}'
    result = subprocess.run(["bash", "-c", script], capture_output=True, text=True, env=PLAIN_ENV)
    assert result.returncode == 3
    assert "compiler says no" in result.stderr and "compiler says no" in log.read_text()
