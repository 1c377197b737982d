"""The installed stubs say what the module really returns and reads: every result
key in its order with its exact type, and every input key one the module uses."""

import ast
import importlib.metadata

import pytest

import veltrix_core_rs as core


def installed_stub_classes():
    """Each TypedDict of the installed stubs: its fields in order, with annotations as written."""
    files = importlib.metadata.files("veltrix_core_rs") or []
    stubs = [f for f in files if f.name == "__init__.pyi" and f.parent.name == "veltrix_core_rs-stubs"]
    assert stubs, "the wheel does not ship veltrix_core_rs-stubs/__init__.pyi"
    tree = ast.parse(stubs[0].locate().read_text())
    return {
        node.name: {
            field.target.id: ast.unparse(field.annotation) for field in node.body if isinstance(field, ast.AnnAssign)
        }
        for node in tree.body
        if isinstance(node, ast.ClassDef)
    }


STUB_CLASSES = installed_stub_classes()

RICH_VISIT = {
    "browser": {
        "webdriver": True,
        "screen_width": 390,
        "screen_height": 844,
        "touch_supported": True,
        "max_touch_points": -2,
        "plugins_length": 0,
    },
    "mouse_movements": [{"x": i * (i % 3), "y": i * i % 7, "t": 7 * i, "r": 3 + i % 2, "f": 0.5} for i in range(40)],
    "keystrokes": [{"key": c, "t": 90 * i, "up": 90 * i + 40} for i, c in enumerate("the other")],
    "clicks": [1, 2],
    "scrolls": [3],
}

RESULTS = {
    "VisitFeatures": [core.extract_features_rs({}), core.extract_features_rs(RICH_VISIT)],
    "CurvatureMetrics": [
        core.evaluate_curvature_naturalness_rs([], [], []),
        core.evaluate_curvature_naturalness_rs([0, 3, 1, 8, 2], [1, 0, 5, 2, 9], [0, 9, 20, 31, 40]),
    ],
    "KeystrokeMetrics": [
        core.evaluate_keystroke_dynamics_rs([]),
        core.evaluate_keystroke_dynamics_rs([("a", 0, 80), ("b", 150, None), ("c", 260, 300)]),
    ],
    "StateEngineStats": [core.get_state_engine_stats_rs()],
}


@pytest.mark.parametrize("name", RESULTS)
def test_result_types_match_the_module(name):
    for result in RESULTS[name]:
        assert list(STUB_CLASSES[name]) == list(result)
        assert STUB_CLASSES[name] == {key: type(value).__name__ for key, value in result.items()}


def features_with(telemetry):
    return core.extract_features_rs(telemetry)


KEYSTROKE_D = [("t", 0), ("h", 300), ("e", 600), ("r", 900), ("o", 1100), ("n", 1400), ("a", 1600), ("n", 1900)]

# For each input key of the stubs: the feature it moves, without the key and with it.
INPUT_KEY_EFFECTS = {
    ("Telemetry", "browser"): ("screen_valid", {}, {"browser": {}}),
    ("Telemetry", "mouse_movements"): ("mouse_points", {}, {"mouse_movements": [{"x": 1, "y": 2, "t": 3}]}),
    ("Telemetry", "keystrokes"): ("key_count", {}, {"keystrokes": [{"t": 1}]}),
    ("Telemetry", "clicks"): ("click_count", {}, {"clicks": [None]}),
    ("Telemetry", "scrolls"): ("scroll_count", {}, {"scrolls": [None]}),
    ("BrowserInfo", "webdriver"): ("webdriver", {"browser": {}}, {"browser": {"webdriver": True}}),
    ("BrowserInfo", "screen_width"): ("screen_width", {"browser": {}}, {"browser": {"screen_width": 800}}),
    ("BrowserInfo", "screen_height"): (
        "screen_valid",
        {"browser": {"screen_width": 800}},
        {"browser": {"screen_width": 800, "screen_height": 600}},
    ),
    ("BrowserInfo", "touch_supported"): ("touch_supported", {"browser": {}}, {"browser": {"touch_supported": True}}),
    ("BrowserInfo", "max_touch_points"): ("max_touch_points", {"browser": {}}, {"browser": {"max_touch_points": 5}}),
    ("BrowserInfo", "plugins_length"): ("plugins_length", {"browser": {}}, {"browser": {"plugins_length": 4}}),
    **{
        ("PointerSample", axis): (
            "mouse_points",
            {"mouse_movements": [{k: 1 for k in "xyt" if k != axis}]},
            {"mouse_movements": [{k: 1 for k in "xyt"}]},
        )
        for axis in "xyt"
    },
    ("PointerSample", "r"): (
        "avg_touch_radius",
        {"mouse_movements": [{"x": 1, "y": 2, "t": 3}]},
        {"mouse_movements": [{"x": 1, "y": 2, "t": 3, "r": 4}]},
    ),
    ("PointerSample", "f"): (
        "avg_touch_force",
        {"mouse_movements": [{"x": 1, "y": 2, "t": 3}]},
        {"mouse_movements": [{"x": 1, "y": 2, "t": 3, "f": 0.5}]},
    ),
    **{
        ("KeystrokeEvent", name): ("key_count", {"keystrokes": [{"key": "a"}]}, {"keystrokes": [{"key": "a", name: 1}]})
        for name in ("t", "down", "time")
    },
    ("KeystrokeEvent", "up"): ("avg_dwell_time", {"keystrokes": [{"t": 1}]}, {"keystrokes": [{"t": 1, "up": 61}]}),
    ("KeystrokeEvent", "duration_ms"): (
        "avg_dwell_time",
        {"keystrokes": [{"t": 1}]},
        {"keystrokes": [{"t": 1, "duration_ms": 60}]},
    ),
    # Familiar letter pairs typed slower than the rest only count when the keys are known.
    ("KeystrokeEvent", "key"): (
        "keystroke_score",
        {"keystrokes": [{"t": t} for _, t in KEYSTROKE_D]},
        {"keystrokes": [{"key": k, "t": t} for k, t in KEYSTROKE_D]},
    ),
}


def test_every_input_key_of_the_stubs_is_tried():
    declared = {
        (name, key)
        for name in ("Telemetry", "BrowserInfo", "PointerSample", "KeystrokeEvent")
        for key in STUB_CLASSES[name]
    }
    assert declared - {("KeystrokeEvent", "type")} == set(INPUT_KEY_EFFECTS)


@pytest.mark.parametrize(
    "feature,without,with_key", INPUT_KEY_EFFECTS.values(), ids=[".".join(key) for key in INPUT_KEY_EFFECTS]
)
def test_every_input_key_of_the_stubs_is_read(feature, without, with_key):
    assert features_with(with_key)[feature] != features_with(without)[feature]


def test_keystroke_event_type_skips_releases():
    assert core.evaluate_keystroke_dynamics_rs([{"type": "up", "down": 5}])["key_count"] == 0
    assert core.evaluate_keystroke_dynamics_rs([{"type": "down", "down": 5}])["key_count"] == 1
