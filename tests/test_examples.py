"""The examples a newcomer runs first: the demo and the typed client."""

import importlib.util
import json
import math
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import veltrix_core_rs as core

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def load_example(name):
    spec = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


demo = load_example("demo")


@pytest.mark.parametrize(
    "value,shown",
    [
        (3.884e-29, "0"),
        (-3.732e-18, "0"),
        (0.0, "0"),
        (1.7e-4, "0.00017"),
        (-0.25, "-0.25"),
        (0.2904, "0.2904"),
        (12409.4, "12,409"),
        (523, "523"),
        (12345, "12,345"),
        (True, "yes"),
        (False, "no"),
        (math.nan, "nan"),
        (math.inf, "inf"),
    ],
)
def test_values_are_shown_without_rounding_noise(value, shown):
    assert demo.format_value(value) == shown


def test_the_samples_read_as_people_and_scripts(capsys):
    demo.main([])
    output = capsys.readouterr().out
    verdicts = dict(
        line.strip().split(": ", 1)
        for line in output.splitlines()
        if line.endswith(("looks scripted", "no tell of a script"))
    )
    assert verdicts == {
        "person, desktop": "no tell of a script",
        "person, phone": "no tell of a script",
        "script, straight path": "looks scripted",
        "headless browser": "looks scripted",
    }
    exponents = [int(e) for e in re.findall(r"\de-(\d+)", output.split("Values below")[0])]
    assert all(e < 9 for e in exponents), exponents


VISITS = [
    {"label": "steady", "mouse_movements": [{"x": 5 * i, "y": 0, "t": 10 * i} for i in range(20)]},
    {"browser": {"webdriver": True}, "keystrokes": [{"key": "a", "t": 0, "up": 90}]},
]


@pytest.mark.parametrize("layout", ["object", "array", "lines"])
def test_every_input_layout_gives_the_module_s_features(tmp_path, layout):
    path = tmp_path / "visits.json"
    visits = VISITS[:1] if layout == "object" else VISITS
    if layout == "lines":
        path.write_text("\n".join(json.dumps(visit) for visit in visits) + "\n\n")
    else:
        path.write_text(json.dumps(visits[0] if layout == "object" else visits))
    loaded = demo.load([path])
    assert [v.label for v in loaded] == ["steady", "visit 2"][: len(visits)]
    assert [v.features for v in loaded] == [core.extract_features_rs(visit) for visit in visits]


def test_the_typed_client_runs():
    result = subprocess.run([sys.executable, EXAMPLES / "typed_client.py"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "pointer samples" in result.stdout


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="the leak checker would report matplotlib's own allocations"
)
def test_the_plot_draws_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "paths.png"
    demo.main(["--plot", str(picture)])
    assert picture.read_bytes().startswith(b"\x89PNG")
