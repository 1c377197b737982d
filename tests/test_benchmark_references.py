"""The benchmark's Python contenders must compute what the extension computes,
or its speed ratios compare different work."""

import math
import sys
from pathlib import Path

import pytest

import veltrix_core_rs as core

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))

import reference_state_engine  # noqa: E402
from nonce_memory import distinct_nonces  # noqa: E402
from reference_check import REFERENCES, curvature_mismatches, feature_mismatches, visit_mismatches  # noqa: E402
from reference_state_engine import BUCKET_WIDTH_SECONDS, ReferenceStateEngine  # noqa: E402
from visit_shapes import SHAPES, make_visit  # noqa: E402

REFERENCE_IDS = [name for name, _ in REFERENCES]


@pytest.mark.parametrize("reference", [module for _, module in REFERENCES], ids=REFERENCE_IDS)
@pytest.mark.parametrize("shape", SHAPES, ids=[shape.name for shape in SHAPES])
def test_contenders_return_the_extensions_features_on_every_shape(shape, reference):
    assert visit_mismatches(core, shape, reference) == []


@pytest.mark.parametrize("reference", [module for _, module in REFERENCES], ids=REFERENCE_IDS)
def test_contenders_return_the_extensions_curvature(reference):
    assert curvature_mismatches(core, reference) == []


def _points(*rows):
    return [{"x": x, "y": y, "t": t} for x, y, t in rows]


EDGE_VISITS = {
    "empty": {},
    "not a dict": [1, 2],
    "browser without screen": {"browser": {}},
    "browser with odd values": {
        "browser": {
            "screen_width": "1920",
            "screen_height": 0,
            "webdriver": 1,
            "max_touch_points": True,
            "plugins_length": -1,
        }
    },
    "two points": {"mouse_movements": _points((0, 0, 0), (3, 4, 10))},
    "worked kinematics": {"mouse_movements": _points((0, 0, 0), (3, 4, 10), (6, 8, 20), (6, 8, 20), (12, 16, 40))},
    "unusable points": {
        "mouse_movements": [
            {"x": 1, "y": 2},
            {"x": math.inf, "y": 2, "t": 3},
            "point",
            {"x": True, "y": 2, "t": 3, "r": -1, "f": 0.5},
        ]
    },
    "alternating speed": {"mouse_movements": _points(*((i * (1 + i % 2), 0, i * 10) for i in range(12)))},
    "odd keystrokes": {
        "keystrokes": [
            {"t": math.nan, "down": 5, "key": "A"},
            {"t": 10, "up": "x", "duration_ms": 80},
            {"key": "a"},
            {"time": 300, "key": "B"},
            {"t": 250, "key": "\u212a"},
        ]
    },
    "scripted typing": {"keystrokes": [{"key": c, "t": i * 50, "duration_ms": 10} for i, c in enumerate("thequick")]},
}


@pytest.mark.parametrize("reference", [module for _, module in REFERENCES], ids=REFERENCE_IDS)
@pytest.mark.parametrize("visit", EDGE_VISITS.values(), ids=EDGE_VISITS.keys())
def test_contenders_follow_the_reading_and_default_rules(visit, reference):
    assert feature_mismatches(core.extract_features_rs(visit), reference.extract_features(visit)) == []


@pytest.mark.parametrize(
    "expected, actual, agree",
    [
        ({"a": 1.0}, {"a": 1.0 + 1e-12}, True),
        ({"a": 1.0}, {"a": 1.0 + 1e-6}, False),
        ({"a": 0.0}, {"a": 1e-17}, True),
        ({"a": math.nan}, {"a": math.nan}, True),
        ({"a": math.nan}, {"a": 0.0}, False),
        ({"a": 1}, {"a": 1.0}, False),
        ({"a": True}, {"a": 1}, False),
        ({"a": 1.0, "b": 2.0}, {"b": 2.0, "a": 1.0}, False),
    ],
)
def test_feature_comparison_checks_values_types_and_order(expected, actual, agree):
    assert (feature_mismatches(expected, actual) == []) is agree


def test_visit_shapes_are_reproducible_and_of_the_announced_size():
    for shape in SHAPES:
        visit = make_visit(shape)
        assert visit == make_visit(shape)
        assert len(visit["mouse_movements"]) == shape.pointer_samples
        assert len(visit["keystrokes"]) == shape.keystrokes


def test_benchmark_nonces_are_distinct_and_36_characters_long():
    nonces = list(distinct_nonces(20_000, first=5))
    assert len(set(nonces)) == len(nonces)
    assert {len(nonce) for nonce in nonces} == {36}


class FakeTime:
    """Stands in for the time module the reference engine reads its clocks from."""

    def __init__(self):
        self.monotonic_seconds = 1000.0
        self.wall_seconds = 1_800_000_000.5

    def monotonic(self):
        return self.monotonic_seconds

    def time(self):
        return self.wall_seconds


@pytest.fixture
def clocks(monkeypatch):
    fake = FakeTime()
    monkeypatch.setattr(reference_state_engine, "time", fake)
    return fake


def test_reference_nonce_buckets_refuse_replays_until_the_second_rotation(clocks):
    engine = ReferenceStateEngine()
    assert engine.consume_nonce("n") is True
    assert engine.consume_nonce("n") is False
    clocks.monotonic_seconds += 600
    # One rotation however long the pause: "n" moves to the previous bucket, and
    # the refused replay is not recorded again.
    assert engine.consume_nonce("n") is False
    assert engine.stats()["previous_bucket_nonces"] == 1
    clocks.monotonic_seconds += BUCKET_WIDTH_SECONDS
    assert engine.consume_nonce("n") is True


def test_reference_bans_hold_while_the_expiry_is_later_than_now(clocks):
    engine = ReferenceStateEngine()
    now = int(clocks.wall_seconds)
    engine.ban_ip("a", 10)
    engine.ban_ip("b", 0)
    engine.hydrate_bans([("c", now), ("d", now + 1)])
    assert [engine.is_ip_banned(ip) for ip in "abcd"] == [True, False, False, True]
    clocks.wall_seconds += 10
    assert engine.is_ip_banned("a") is False
    engine.unban_ip("d")
    assert engine.stats() == {"current_bucket_nonces": 0, "previous_bucket_nonces": 0, "active_ip_bans": 0}
