import math
import random

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import veltrix_core_rs as core

NAN = float("nan")
INF = float("inf")

# The empty-visit dictionary, in the order the host's scoring reads it; each value's
# type is the type that key has in every result.
EMPTY_VISIT = {
    "mouse_points": 0,
    "total_distance": 0.0,
    "straightness": 1.0,
    "avg_velocity": 0.0,
    "max_velocity": 0.0,
    "velocity_var": 0.0,
    "avg_acceleration": 0.0,
    "acceleration_var": 0.0,
    "avg_jerk": 0.0,
    "dt_var": 0.0,
    "click_count": 0,
    "key_count": 0,
    "key_interval_avg": 0.0,
    "key_interval_var": 0.0,
    "webdriver": False,
    "screen_valid": True,
    "scroll_count": 0,
    "terminal_decel_ratio": 1.0,
    "plugins_length": 1,
    "touch_supported": False,
    "screen_width": 1024.0,
    "spectral_purity": 0.0,
    "spectral_entropy": 1.0,
    "submovement_count": 0,
    "max_touch_points": 0,
    "avg_touch_radius": 0.0,
    "touch_radius_var": 0.0,
    "avg_touch_force": 0.0,
    "touch_event_count": 0,
    "curvature_score": 0.0,
    "mean_curvature": 0.0,
    "curvature_var": 0.0,
    "curvature_rate_var": 0.0,
    "avg_dwell_time": 0.0,
    "dwell_time_var": 0.0,
    "avg_flight_time": 0.0,
    "flight_time_var": 0.0,
    "digraph_entropy": 0.5,
    "keystroke_score": 0.0,
}
FEATURE_KEYS = list(EMPTY_VISIT)
KEYSTROKE_KEYS = list(core.evaluate_keystroke_dynamics_rs([]))
CURVATURE_KEYS = ["curvature_score", "mean_curvature", "curvature_var", "curvature_rate_var"]
# Everything derived from the order of pointer samples, apart from their number.
KINEMATIC_KEYS = [
    "total_distance",
    "straightness",
    "avg_velocity",
    "max_velocity",
    "velocity_var",
    "avg_acceleration",
    "acceleration_var",
    "avg_jerk",
    "dt_var",
    "terminal_decel_ratio",
    "spectral_purity",
    "spectral_entropy",
    "submovement_count",
    *CURVATURE_KEYS,
]


def same(a, b):
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


def extract(telemetry):
    """Extracts features and checks the shape every caller relies on."""
    features = core.extract_features_rs(telemetry)
    assert type(features) is dict
    assert list(features) == FEATURE_KEYS
    for key, value in features.items():
        assert type(value) is type(EMPTY_VISIT[key]), key
    assert same(features["key_interval_avg"], features["avg_flight_time"])
    assert same(features["key_interval_var"], features["flight_time_var"])
    return features


def assert_features(features, expected):
    mismatched = {key: (features[key], value) for key, value in expected.items() if not same(features[key], value)}
    assert not mismatched


def path(points):
    return [{"x": x, "y": y, "t": t} for x, y, t in points]


def path_from_speeds(speeds):
    """Points along the x axis 10 ms apart, moving at the given speeds."""
    points, x = [(0.0, 0.0, 0.0)], 0.0
    for index, speed in enumerate(speeds, start=1):
        x += 10.0 * speed
        points.append((x, 0.0, 10.0 * index))
    return path(points)


def kinematics(movements):
    features = extract({"mouse_movements": movements})
    return {key: features[key] for key in KINEMATIC_KEYS}


# ---------------------------------------------------------------- shape


@pytest.mark.parametrize("telemetry", [{}, None, [1, 2], "text", 42, ({"clicks": [1]},)])
def test_anything_but_a_dict_is_an_empty_visit(telemetry):
    features = extract(telemetry)
    assert features == EMPTY_VISIT


def test_rich_visit_has_the_same_keys_and_types():
    telemetry = {
        "browser": {
            "webdriver": True,
            "screen_width": 1920,
            "screen_height": 1080,
            "touch_supported": True,
            "max_touch_points": -2,
            "plugins_length": -1,
        },
        "clicks": [1, 2],
        "scrolls": [None],
        "keystrokes": [{"key": c, "t": 100 * i, "up": 100 * i + 60} for i, c in enumerate("the cat")],
        "mouse_movements": [{"x": i, "y": i * i % 7, "t": 16 * i, "r": 1 + i % 3, "f": 0.2} for i in range(40)],
    }
    features = extract(telemetry)
    assert features["screen_width"] == 1920.0
    assert features["webdriver"] is True and features["touch_supported"] is True
    assert features["plugins_length"] == -1 and features["max_touch_points"] == -2
    assert features["mouse_points"] == 40 and features["key_count"] == 7


# ---------------------------------------------------------------- browser and counts

MISSING = object()


@pytest.mark.parametrize(
    "browser,expected",
    [
        (MISSING, {"screen_width": 1024.0, "screen_valid": True, "plugins_length": 1}),
        ([1920, 1080], {"screen_width": 1024.0, "screen_valid": True, "plugins_length": 1}),
        ({}, {"screen_width": 0.0, "screen_valid": False, "plugins_length": 1, "max_touch_points": 0}),
        ({"screen_width": 1920}, {"screen_width": 1920.0, "screen_valid": False}),
        ({"screen_width": 1920, "screen_height": 0}, {"screen_width": 1920.0, "screen_valid": False}),
        ({"screen_width": 1920, "screen_height": 1080}, {"screen_width": 1920.0, "screen_valid": True}),
        ({"screen_width": "1920", "screen_height": 1080}, {"screen_width": 0.0, "screen_valid": False}),
        ({"screen_width": 1920, "screen_height": "1080"}, {"screen_width": 1920.0, "screen_valid": False}),
        ({"screen_width": -5, "screen_height": 800}, {"screen_width": -5.0, "screen_valid": False}),
        ({"screen_width": INF, "screen_height": INF}, {"screen_width": INF, "screen_valid": True}),
        ({"screen_width": NAN, "screen_height": 800}, {"screen_width": NAN, "screen_valid": False}),
        ({"screen_width": 10**400, "screen_height": 800}, {"screen_width": 0.0, "screen_valid": False}),
        ({"webdriver": 1}, {"webdriver": False}),
        ({"webdriver": "true"}, {"webdriver": False}),
        ({"webdriver": True}, {"webdriver": True}),
        ({"webdriver": numpy.bool_(True)}, {"webdriver": True}),
        ({"webdriver": numpy.bool_(False)}, {"webdriver": False}),
        ({"webdriver": numpy.int64(1)}, {"webdriver": False}),
        ({"touch_supported": 1}, {"touch_supported": False}),
        ({"touch_supported": numpy.bool_(True)}, {"touch_supported": True}),
        ({"max_touch_points": "5"}, {"max_touch_points": 0}),
        ({"max_touch_points": 5.0}, {"max_touch_points": 0}),
        ({"max_touch_points": True}, {"max_touch_points": 1}),
        ({"max_touch_points": numpy.int64(5)}, {"max_touch_points": 5}),
        ({"max_touch_points": 2**63 - 1}, {"max_touch_points": 2**63 - 1}),
        ({"max_touch_points": 2**63}, {"max_touch_points": 0}),
        ({"plugins_length": -1}, {"plugins_length": -1}),
        ({"plugins_length": 0}, {"plugins_length": 0}),
        ({"plugins_length": None}, {"plugins_length": 1}),
        ({"plugins_length": -(2**63)}, {"plugins_length": -(2**63)}),
        ({"plugins_length": 10**400}, {"plugins_length": 1}),
    ],
)
def test_browser_reading(browser, expected):
    telemetry = {} if browser is MISSING else {"browser": browser}
    assert_features(extract(telemetry), expected)


@pytest.mark.parametrize("field,feature", [("clicks", "click_count"), ("scrolls", "scroll_count")])
@pytest.mark.parametrize(
    "value,count",
    [
        ([object(), None, "x", [], {}, 1.5] * 2, 12),
        (type("Events", (list,), {})([1, 2, 3]), 3),
        ((1, 2, 3), 0),
        ({"a": 1}, 0),
        ("abc", 0),
        (None, 0),
    ],
)
def test_event_lists_count_their_length_and_only_lists_count(field, feature, value, count):
    assert extract({field: value})[feature] == count


# ---------------------------------------------------------------- keystrokes

# A "t" press before and an "x" press after the entry under test, so that its down
# time, up time and key all show in the flight times, dwell times and digraph rule.
BEFORE, AFTER = {"key": "t", "t": 0}, {"key": "x", "t": 40}
BEFORE_RECORD, AFTER_RECORD = ("t", 0.0, None), ("x", 40.0, None)


class Named(str):
    pass


class FloatRaises:
    def __float__(self):
        raise RuntimeError("no float for you")


class FloatReturnsText:
    def __float__(self):
        return "12"


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "entry,record",
    [
        ({"key": "h", "t": 10, "up": 25}, ("h", 10.0, 25.0)),
        ({"key": "H", "t": 10}, ("H", 10.0, None)),
        ({"key": Named("h"), "t": 10}, ("h", 10.0, None)),
        ({"key": 5, "t": 10}, ("unknown", 10.0, None)),
        ({"key": "\ud800", "t": 10}, ("unknown", 10.0, None)),
        ({"t": 10}, ("unknown", 10.0, None)),
        ({"key": "h", "t": NAN, "down": 5}, ("h", 5.0, None)),
        ({"key": "h", "down": 20, "t": 30}, ("h", 30.0, None)),
        ({"key": "h", "t": "9", "down": INF, "time": 7}, ("h", 7.0, None)),
        ({"key": "h", "t": 10**400, "time": 12}, ("h", 12.0, None)),
        ({"key": "h", "t": FloatRaises(), "down": 15}, ("h", 15.0, None)),
        ({"key": "h", "t": True}, ("h", 1.0, None)),
        ({"key": "h", "t": IndexOnly(3)}, ("h", 3.0, None)),
        ({"key": "h", "t": 10, "duration_ms": 80}, ("h", 10.0, 90.0)),
        ({"key": "h", "t": 10, "up": "x", "duration_ms": 80}, ("h", 10.0, 90.0)),
        ({"key": "h", "t": 10, "up": None, "duration_ms": 8}, ("h", 10.0, 18.0)),
        ({"key": "h", "t": 10, "up": 50, "duration_ms": 80}, ("h", 10.0, 50.0)),
        ({"key": "h", "t": 10, "up": -5}, ("h", 10.0, -5.0)),
        ({"key": "h", "t": 10, "up": NAN}, ("h", 10.0, NAN)),
        ({"key": "h", "t": 10, "duration_ms": 10**400}, ("h", 10.0, None)),
        ({"key": "h", "t": 10, "type": "up"}, ("h", 10.0, None)),
        ({"key": "h"}, None),
        ({"key": "h", "t": NAN, "down": INF, "time": "3"}, None),
        ({"key": "h", "t": FloatReturnsText()}, None),
        (("h", 10, 20), None),
        (["h", 10, 20], None),
        (None, None),
    ],
)
def test_keystroke_entry_reading(entry, record):
    features = extract({"keystrokes": [BEFORE, entry, AFTER]})
    records = [BEFORE_RECORD, AFTER_RECORD] if record is None else [BEFORE_RECORD, record, AFTER_RECORD]
    expected = core.evaluate_keystroke_dynamics_rs(records)
    assert {key: features[key] for key in KEYSTROKE_KEYS} == pytest.approx(expected, nan_ok=True)


def test_key_text_feeds_the_digraph_rule():
    # "th" is a quick common pair against a slow "hx", which lowers the score.
    as_letter = extract({"keystrokes": [BEFORE, {"key": "h", "t": 10}, AFTER]})
    as_unknown = extract({"keystrokes": [BEFORE, {"key": 8, "t": 10}, AFTER]})
    assert as_letter["keystroke_score"] == pytest.approx(0.45)
    assert as_unknown["keystroke_score"] == pytest.approx(0.7)


class CountsFloatCalls:
    calls = 0

    def __float__(self):
        CountsFloatCalls.calls += 1
        return 1.0


def test_keystroke_limit_counts_list_positions():
    probe = CountsFloatCalls()
    entries = [{"key": "a"}] * 60 + [{"key": "a", "t": 100 * i} for i in range(90)] + [{"t": probe}] * 50
    CountsFloatCalls.calls = 0
    assert extract({"keystrokes": entries})["key_count"] == 90
    assert CountsFloatCalls.calls == 0


@pytest.mark.parametrize("keystrokes", [({"t": 1},), {"t": 1}, iter([{"t": 1}])])
def test_keystrokes_must_be_a_list(keystrokes):
    assert_features(extract({"keystrokes": keystrokes}), {"key_count": 0, "digraph_entropy": 0.5})


def test_all_invalid_keystrokes_read_as_none():
    features = extract({"keystrokes": [{"key": "a"}, {"t": NAN}, "junk", 5]})
    assert_features(features, {"key_count": 0, "digraph_entropy": 0.5, "keystroke_score": 0.0})


# ---------------------------------------------------------------- pointer samples


@pytest.mark.parametrize(
    "movement,kept",
    [
        ({"x": 1, "y": 2, "t": 3}, True),
        ({"x": 1, "y": 2, "t": 3, "r": -1, "f": NAN}, True),
        ({"x": 1, "y": 2, "t": 3, "r": FloatRaises(), "f": "x"}, True),
        ({"x": 1, "y": 2, "t": 3, "r": 10**400, "f": INF}, True),
        ({"x": True, "y": 2, "t": 3}, True),
        ({"x": numpy.float64(1), "y": numpy.int32(2), "t": IndexOnly(3)}, True),
        ({"x": 1, "y": 2}, False),
        ({"x": INF, "y": 2, "t": 3}, False),
        ({"x": 1, "y": NAN, "t": 3}, False),
        ({"x": 1, "y": 2, "t": -INF}, False),
        ({"x": "1", "y": 2, "t": 3}, False),
        ({"x": None, "y": 2, "t": 3}, False),
        ({"x": 10**400, "y": 2, "t": 3}, False),
        ({"x": FloatRaises(), "y": 2, "t": 3}, False),
        ({"x": FloatReturnsText(), "y": 2, "t": 3}, False),
        ((1, 2, 3), False),
        ([1, 2, 3], False),
        (None, False),
    ],
)
def test_movement_reading(movement, kept):
    assert extract({"mouse_movements": [movement]})["mouse_points"] == int(kept)


def test_true_coordinate_reads_as_one():
    moved = [{"x": True, "y": 0, "t": 0}, {"x": 4, "y": 0, "t": 10}, {"x": 4, "y": 3, "t": 20}]
    assert kinematics(moved)["total_distance"] == 6.0


@pytest.mark.parametrize("movements", [tuple(path([(0, 0, 0), (1, 1, 1), (2, 2, 2)])), {"x": 1, "y": 2, "t": 3}])
def test_movements_must_be_a_list(movements):
    assert extract({"mouse_movements": movements}) == EMPTY_VISIT


# ---------------------------------------------------------------- kinematics

FIVE_POINTS = [(0, 0, 0), (3, 4, 10), (6, 8, 20), (6, 8, 20), (12, 16, 40)]


def test_five_point_path():
    features = extract({"mouse_movements": path(FIVE_POINTS)})
    assert_features(
        features,
        {
            "mouse_points": 5,
            "total_distance": 20.0,
            "straightness": 1.0,
            "avg_velocity": 0.375,
            "max_velocity": 0.5,
            "velocity_var": 0.046875,
            "terminal_decel_ratio": 1.0,
            "submovement_count": 1,
            "spectral_purity": 0.0,
            "spectral_entropy": 1.0,
        },
    )
    assert features["dt_var"] == pytest.approx(49.501875, rel=1e-12)
    assert features["avg_acceleration"] == pytest.approx(-1.658333, abs=1e-6)
    assert features["acceleration_var"] == pytest.approx(5.583472, abs=1e-6)
    assert features["avg_jerk"] == pytest.approx(25.125625, rel=1e-12)
    x, y, t = zip(*FIVE_POINTS)
    assert {key: features[key] for key in CURVATURE_KEYS} == core.evaluate_curvature_naturalness_rs(x, y, t)


def test_two_points_keep_defaults_and_three_move():
    two = extract({"mouse_movements": path([(0, 0, 0), (5, 0, 10)])})
    assert two == {**EMPTY_VISIT, "mouse_points": 2}
    three = extract({"mouse_movements": path([(0, 0, 0), (5, 0, 10), (5, 5, 20)])})
    assert three["total_distance"] == 10.0 and three["submovement_count"] == 1
    assert all(three[key] == 0.0 for key in CURVATURE_KEYS)


def test_samples_are_ordered_by_time_and_ties_keep_list_order():
    points = [(i * 7 % 11, i * i % 13, 10 * (i // 2)) for i in range(30)]
    shuffled = points[:]
    random.Random(5).shuffle(shuffled)
    assert kinematics(path(shuffled)) == kinematics(path(sorted(shuffled, key=lambda point: point[2])))
    # Two samples at t = 10: list order decides the route 0 -> 10 -> 20 -> 30 or 0 -> 20 -> 10 -> 30.
    forward = kinematics(path([(0, 0, 0), (10, 0, 10), (20, 0, 10), (30, 0, 20)]))
    swapped = kinematics(path([(0, 0, 0), (20, 0, 10), (10, 0, 10), (30, 0, 20)]))
    assert (forward["total_distance"], swapped["total_distance"]) == (30.0, 50.0)
    assert forward["max_velocity"] == 100.0  # the zero step between equal stamps counts as 0.1 ms


def test_coincident_points_do_not_move():
    features = extract({"mouse_movements": path([(7, 7, 10 * i) for i in range(12)])})
    assert_features(
        features,
        {
            "total_distance": 0.0,
            "straightness": 1.0,
            "max_velocity": 0.0,
            "terminal_decel_ratio": 1.0,
            "submovement_count": 0,
            "spectral_purity": 0.0,
            "spectral_entropy": 1.0,
        },
    )


def test_only_the_300_earliest_samples_are_used():
    points = [(math.sin(i) * 50, (i * 37) % 101, 3 * i) for i in range(500)]
    shuffled = points[:]
    random.Random(9).shuffle(shuffled)
    features = extract({"mouse_movements": path(shuffled)})
    earliest = extract({"mouse_movements": path(points[:300])})
    assert features["mouse_points"] == 500
    assert {**features, "mouse_points": 300} == earliest


def test_spectral_pair_needs_nine_points():
    eight_points = kinematics(path_from_speeds([1, 3] * 3 + [1]))
    assert (eight_points["spectral_purity"], eight_points["spectral_entropy"]) == (0.0, 1.0)
    alternating = kinematics(path_from_speeds([1, 3] * 4))  # 9 points
    assert alternating["spectral_purity"] == pytest.approx(1.0, abs=1e-12)
    assert alternating["spectral_entropy"] == pytest.approx(0.0, abs=1e-12)
    rising = kinematics(path_from_speeds(range(1, 9)))
    assert rising["spectral_purity"] == pytest.approx(0.6208, abs=5e-5)
    assert rising["spectral_entropy"] == pytest.approx(0.7664, abs=5e-5)


@pytest.mark.parametrize("speeds,count", [([1, 3, 1, 3, 1], 2), ([1, 3, 3, 1], 1), ([2, 2, 2], 1)])
def test_submovements_are_strict_speed_peaks(speeds, count):
    assert kinematics(path_from_speeds(speeds))["submovement_count"] == count


# ---------------------------------------------------------------- touch


def touch_path(contacts):
    return [{"x": i, "y": 0, "t": 10 * i, **contact} for i, contact in enumerate(contacts)]


@pytest.mark.parametrize(
    "contacts,expected",
    [
        (
            [{}, {}, {}],
            {"avg_touch_radius": 0.0, "touch_radius_var": 0.0, "avg_touch_force": 0.0, "touch_event_count": 0},
        ),
        ([{"r": 2}, {"r": 4}, {"r": 6}], {"avg_touch_radius": 4.0, "touch_radius_var": 8 / 3, "touch_event_count": 3}),
        ([{"f": 0.2}, {"f": 0.4}], {"avg_touch_force": pytest.approx(0.3), "touch_event_count": 0}),
        ([{"r": -1, "f": 0.5}], {"avg_touch_radius": 0.0, "avg_touch_force": 0.5, "touch_event_count": 0}),
        (
            [{"r": 0, "f": 0}, {"r": NAN, "f": NAN}, {"r": 3, "f": -1}],
            {"avg_touch_radius": 3.0, "avg_touch_force": 0.0, "touch_event_count": 1},
        ),
        ([{"r": INF}, {"r": 1}], {"avg_touch_radius": INF, "touch_event_count": 2}),
    ],
)
def test_touch_contacts(contacts, expected):
    features = extract({"mouse_movements": touch_path(contacts)})
    assert {key: features[key] for key in expected} == expected


def test_dropped_samples_carry_no_touch_data():
    dropped = [{"x": 1, "y": 2, "r": 5, "f": 1}, {"x": INF, "y": 2, "t": 3, "r": 5, "f": 1}]
    assert extract({"mouse_movements": dropped}) == EMPTY_VISIT


def test_every_touch_sample_counts_beyond_the_kinematics_limit():
    features = extract({"mouse_movements": touch_path([{"r": 1 + i % 2, "f": 0.5} for i in range(400)])})
    assert_features(
        features,
        {
            "mouse_points": 400,
            "touch_event_count": 400,
            "avg_touch_radius": 1.5,
            "touch_radius_var": 0.25,
            "avg_touch_force": 0.5,
        },
    )


# ---------------------------------------------------------------- hostile telemetry


class Mutates:
    """A number whose float conversion first runs `action`."""

    def __init__(self, action, value=1.0):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return self.value


def test_list_cleared_while_read():
    movements = path([(0, 0, 0), (1, 1, 10), (2, 2, 20), (3, 3, 30)])
    movements[1]["x"] = Mutates(movements.clear)
    assert extract({"mouse_movements": movements})["mouse_points"] == 2


def test_list_shrunk_or_grown_while_read():
    keystrokes = [{"t": 10 * i} for i in range(6)]
    keystrokes[2]["t"] = Mutates(lambda: keystrokes.__delitem__(slice(4, None)), 20.0)
    assert extract({"keystrokes": keystrokes})["key_count"] == 4
    movements = path([(0, 0, 0), (1, 1, 10), (2, 2, 20)])
    movements[0]["t"] = Mutates(lambda: movements.extend(path([(9, 9, 90)] * 100)), 0.0)
    assert extract({"mouse_movements": movements})["mouse_points"] == 3


def test_dict_mutated_while_read():
    point = {"x": None, "y": 2, "t": 3}
    point["x"] = Mutates(point.clear)
    touched = {"x": 1, "y": 2, "t": 3, "r": None, "f": 0.5}
    touched["r"] = Mutates(lambda: touched.update({f"k{i}": i for i in range(100)}, f=None), 4.0)
    features = extract({"mouse_movements": [point, touched]})
    assert_features(features, {"mouse_points": 1, "avg_touch_radius": 4.0, "avg_touch_force": 0.0})

    browser = {"screen_width": None, "screen_height": 800, "plugins_length": 3}
    browser["screen_width"] = Mutates(browser.clear, 1920.0)
    assert_features(extract({"browser": browser}), {"screen_width": 1920.0, "screen_valid": False, "plugins_length": 1})

    telemetry = {"browser": {"screen_width": None}, "clicks": [1, 2], "scrolls": [3]}
    telemetry["browser"]["screen_width"] = Mutates(telemetry.clear)
    assert_features(extract(telemetry), {"click_count": 0, "scroll_count": 0})


class TrapDict(dict):
    """Fails the test if its Python-level item access is ever used."""

    def __getitem__(self, key):
        pytest.fail(f"__getitem__ called for {key!r}")

    def __missing__(self, key):
        pytest.fail(f"__missing__ called for {key!r}")

    def get(self, key, default=None):
        pytest.fail(f"get called for {key!r}")


def test_dict_subclasses_are_read_through_their_table():
    def visit(mapping):
        return mapping(
            {
                "browser": mapping({"webdriver": True, "screen_width": 800, "screen_height": 600}),
                "clicks": [1],
                "keystrokes": [mapping({"key": "a", "t": 0, "up": 70}), mapping({"key": "b", "t": 150})],
                "mouse_movements": [mapping({"x": i, "y": i % 3, "t": 10 * i, "r": 1}) for i in range(12)],
            }
        )

    assert extract(visit(TrapDict)) == extract(visit(dict))


class CollidesWithX:
    """A key hashing like "x" whose comparison raises once armed, so looking "x" up fails."""

    armed = False

    def __hash__(self):
        return hash("x")

    def __eq__(self, other):
        if self.armed:
            raise RuntimeError("cannot compare")
        return self is other


def test_failed_lookup_reads_as_absent():
    collider = CollidesWithX()
    point = {collider: 0, "x": 1, "y": 2, "t": 3}
    collider.armed = True
    assert extract({"mouse_movements": [point, {"x": 1, "y": 2, "t": 3}]})["mouse_points"] == 1


def test_extreme_numbers_are_absorbed():
    movements = [
        {"x": -1e308, "y": 0, "t": 0},
        {"x": 1e308, "y": 0, "t": 1e-300},
        {"x": 0, "y": 1e308, "t": 1e308},
        {"x": 10**400, "y": 0, "t": 0},
        {"x": 0, "y": -(10**400), "t": 0},
        {"x": 0, "y": 0, "t": NAN},
    ]
    features = extract({"mouse_movements": movements, "clicks": [10**400], "browser": {"plugins_length": 2**64}})
    assert features["mouse_points"] == 3
    assert features["total_distance"] == INF and features["plugins_length"] == 1


def test_a_hundred_thousand_samples():
    count = 100_000
    movements = [{"x": (i * 7919) % 1000, "y": (i * 104729) % 700, "t": count - i, "r": 1.5} for i in range(count)]
    features = extract({"mouse_movements": movements})
    earliest = extract({"mouse_movements": movements[-300:]})
    assert_features(features, {"mouse_points": count, "touch_event_count": count, "avg_touch_radius": 1.5})
    assert {key: features[key] for key in KINEMATIC_KEYS} == {key: earliest[key] for key in KINEMATIC_KEYS}


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value, {"x": value}]
    return value


def test_junk_and_deep_nesting():
    deep = nested(20_000)
    looped = {}
    looped["browser"] = looped
    looped["mouse_movements"] = [looped, deep, looped]
    looped["keystrokes"] = looped["mouse_movements"]
    looped["clicks"] = looped["mouse_movements"]
    features = extract(looped)
    assert_features(features, {"click_count": 3, "mouse_points": 0, "key_count": 0, "screen_valid": False})

    junk = [None, 1, "x", b"y", 2.5, [], (), {}, set(), object(), FloatRaises(), deep, {"x": deep}]
    telemetry = {
        "browser": {"webdriver": deep, "screen_width": junk},
        "keystrokes": junk,
        "mouse_movements": junk,
        "scrolls": junk,
        "other": deep,
    }
    assert_features(extract(telemetry), {"scroll_count": len(junk), "mouse_points": 0, "key_count": 0})


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.just(10**400) | st.floats() | st.text(max_size=4),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=4), children, max_size=4),
    max_leaves=12,
)
numbers = st.floats() | st.integers(-(2**70), 2**70) | st.booleans() | json_values
movement_entries = st.fixed_dictionaries({}, optional={key: numbers for key in "xytrf"})
keystroke_entries = st.fixed_dictionaries(
    {}, optional={key: numbers for key in ("t", "down", "time", "up", "duration_ms")} | {"key": st.text(max_size=3)}
)
browser_values = st.fixed_dictionaries(
    {},
    optional={
        key: numbers
        for key in (
            "webdriver",
            "screen_width",
            "screen_height",
            "touch_supported",
            "max_touch_points",
            "plugins_length",
        )
    },
)
telemetry_values = (
    st.fixed_dictionaries(
        {},
        optional={
            "browser": browser_values | json_values,
            "clicks": json_values,
            "scrolls": json_values,
            "keystrokes": st.lists(keystroke_entries | json_values, max_size=20) | json_values,
            "mouse_movements": st.lists(movement_entries | json_values, max_size=40) | json_values,
        },
    )
    | json_values
)


@settings(max_examples=300, deadline=None)
@given(telemetry_values)
def test_any_json_like_telemetry_yields_the_feature_dict(telemetry):
    features = extract(telemetry)
    if not isinstance(telemetry, dict):
        assert features == EMPTY_VISIT
        return
    movements = telemetry.get("mouse_movements")
    assert features["mouse_points"] <= (len(movements) if isinstance(movements, list) else 0)
    keystrokes = telemetry.get("keystrokes")
    assert features["key_count"] <= (min(len(keystrokes), 150) if isinstance(keystrokes, list) else 0)
    clicks = telemetry.get("clicks")
    assert features["click_count"] == (len(clicks) if isinstance(clicks, list) else 0)
