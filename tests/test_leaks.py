"""Every function, called about 10,000 times with good and bad inputs, gives back
all the interpreter memory it took and every reference it took to its inputs.

A missed release on any path, even one taken by only one input in ten, leaves
about a thousand blocks or references behind, far above the interpreter's own
fluctuations. (Under PYTHONMALLOC=malloc, as in the sanitized run, the block
count reads zero and only the references are checked here; LeakSanitizer then
watches the module's native memory.)
"""

import array
import gc
import sys
from collections import namedtuple
from pathlib import Path

import numpy
import pytest

import veltrix
import veltrix_core_rs as core
from veltrix import _json_native as native

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))

from json_bodies import browser_body  # noqa: E402

from visit_shapes import SHAPES_BY_NAME, curvature_path, make_visit  # noqa: E402

CALLS_PER_FUNCTION = 10_000
WARM_UP_CALLS = 300
# Free lists and the type attribute cache may hold a few more or fewer blocks
# after the run than before it.
BLOCK_SLACK = 100

Case = namedtuple("Case", "args kwargs error")


def ok(*args, **kwargs):
    return Case(args, kwargs, None)


def fails(error, *args, **kwargs):
    return Case(args, kwargs, error)


class FloatRaising:
    def __float__(self):
        raise ValueError("no float today")


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FailingSequence:
    """A sequence whose iteration fails after a few good items, once a vector has been started."""

    def __init__(self, item):
        self.item = item

    def __len__(self):
        return 10

    def __getitem__(self, index):
        if index == 3:
            raise RuntimeError("sequence broke off")
        return self.item


class DictWithMissing(dict):
    def __missing__(self, key):
        return 1.0


class Text(str):
    pass


def released_view():
    view = memoryview(b"\0" * 16)
    view.release()
    return view


XS, YS, TS = curvature_path()
TYPICAL_VISIT = make_visit(SHAPES_BY_NAME["typical"])
FLOATS = array.array("d", TS)
NAN = float("nan")

UNTIDY_VISIT = {
    "browser": {
        "webdriver": 1,
        "screen_width": "1920",
        "screen_height": FloatRaising(),
        "touch_supported": numpy.bool_(True),
        "max_touch_points": 2**70,
        "plugins_length": IndexLike(3),
    },
    "clicks": ("not", "a", "list"),
    "scrolls": [1, 2],
    "keystrokes": [
        {"key": "a", "t": 1.0, "up": 90.0},
        {"key": "\ud800", "t": 2.0},
        {"t": NAN},
        {"key": 5, "down": FloatRaising(), "time": 30.0, "duration_ms": "x"},
        ("b", 1.0, 2.0),
        None,
    ],
    "mouse_movements": [
        {"x": 1.0, "y": 2.0, "t": 3.0, "r": FloatRaising(), "f": "f"},
        {"x": NAN, "y": 0, "t": 0},
        {"x": "1", "y": 2, "t": 4},
        DictWithMissing(x=5.0, y=6.0),
        7,
        None,
        {"x": IndexLike(8), "y": True, "t": 9.5},
    ]
    + TYPICAL_VISIT["mouse_movements"][:20],
}

KEYSTROKE_TUPLES = [(entry["key"], entry["t"], entry.get("up")) for entry in TYPICAL_VISIT["keystrokes"]]

CASES = {
    "is_rust_core_active": [ok(), fails(TypeError, 1), fails(TypeError, x=1)],
    "get_core_version": [ok(), fails(TypeError, None)],
    "extract_features_rs": [
        ok(TYPICAL_VISIT),
        ok(telemetry=UNTIDY_VISIT),
        ok(UNTIDY_VISIT),
        ok([TYPICAL_VISIT]),
        fails(TypeError),
        fails(TypeError, TYPICAL_VISIT, TYPICAL_VISIT),
        fails(TypeError, TYPICAL_VISIT, visit=1),
        fails(TypeError, TYPICAL_VISIT, telemetry=TYPICAL_VISIT),
    ],
    "evaluate_curvature_naturalness_rs": [
        ok(XS, YS, TS),
        ok(tuple(XS), tuple(YS), range(len(TS))),
        ok(x=[], y=[], t=[]),
        ok(bytes(range(9)), XS, TS),
        fails(TypeError, "123", YS, TS),
        fails(TypeError, XS, YS, (t for t in TS)),
        fails(TypeError, XS, YS, [1.0, "2"]),
        fails(ValueError, XS, [0.0, FloatRaising()], TS),
        fails(RuntimeError, XS, YS, FailingSequence(1.0)),
        fails(TypeError, XS, YS),
    ],
    "evaluate_curvature_zerocopy_rs": [
        ok(FLOATS, FLOATS, FLOATS),
        ok(numpy.array(XS), numpy.array(YS), numpy.array(TS)),
        ok(memoryview(FLOATS)[::2], numpy.array(YS)[::-2], numpy.array(TS)[::2]),
        fails(BufferError, FLOATS, FLOATS, array.array("f", TS)),
        fails(BufferError, FLOATS, bytes(80), FLOATS),
        fails(TypeError, FLOATS, None, FLOATS),
        fails(ValueError, FLOATS, FLOATS, released_view()),
        fails(TypeError, x_obj=FLOATS, y_obj=FLOATS),
    ],
    "evaluate_keystroke_dynamics_rs": [
        ok(KEYSTROKE_TUPLES),
        ok(TYPICAL_VISIT["keystrokes"]),
        ok(UNTIDY_VISIT["keystrokes"]),
        ok([("\ud800", 1.0, 2.0), ("a", "x", 1.0), (1, 2), {"type": "up", "t": 3.0}, Text("a")]),
        ok("not a list"),
        fails(TypeError),
        fails(TypeError, [], []),
    ],
    "consume_nonce_rs": [
        ok("nonce-1"),
        ok(Text("nonce-2")),
        ok(nonce="nonce-é"),
        fails(TypeError, 5),
        fails(TypeError, b"nonce"),
        fails(UnicodeEncodeError, "\ud800"),
        fails(TypeError, "nonce-1", nonce="nonce-1"),
    ],
    "is_ip_banned_rs": [
        ok("10.0.0.1"),
        ok(ip="2001:db8::1"),
        fails(TypeError, None),
        fails(UnicodeEncodeError, "\udfff"),
        fails(TypeError, addr="10.0.0.1"),
    ],
    "ban_ip_rs": [
        ok("10.0.0.1", 60),
        ok(ip="10.0.0.2", duration_sec=True),
        ok("10.0.0.3", IndexLike(30)),
        ok("10.0.0.4", 2**64 - 1),
        fails(OverflowError, "10.0.0.5", -1),
        fails(OverflowError, "10.0.0.5", 2**64),
        fails(TypeError, "10.0.0.5", 1.5),
        fails(TypeError, 1, 1),
        fails(TypeError, "10.0.0.5", 1, 2),
    ],
    "unban_ip_rs": [ok("10.0.0.1"), ok("never banned"), fails(TypeError, 1), fails(UnicodeEncodeError, "\ud800")],
    "hydrate_bans_rs": [
        ok([("10.0.1.1", 2**40), ("10.0.1.2", 1)]),
        ok((("10.0.1.3", IndexLike(2**40)),)),
        ok([]),
        fails(TypeError, [("10.0.1.4", 1), ["10.0.1.5", 1]]),
        fails(ValueError, [("10.0.1.4", 1, 2)]),
        fails(OverflowError, [("10.0.1.4", -1)]),
        fails(TypeError, [(1, 1)]),
        fails(UnicodeEncodeError, [("\ud800", 1)]),
        fails(TypeError, "abc"),
        fails(RuntimeError, FailingSequence(("10.0.1.6", 1))),
    ],
    "clear_state_engine_rs": [ok(), fails(TypeError, 1)],
    "get_state_engine_stats_rs": [ok(), fails(TypeError, 1)],
}


RICH_BODY = browser_body(SHAPES_BY_NAME["rich"])
# A recorded visit as services log it: kept members of every kind around the telemetry.
WRAPPED_BODY = (
    b'{"id": 12, "label": "h\\u00e9", "meta": {"ip": "203.0.113.7", "tags": [1.5, null, true, {"k": "v", "k": 2}]},'
    b' "telemetry": ' + RICH_BODY + b"}"
)
DEEP_KEPT_LINE = b'{"id": ' + b"[" * 100_000 + b"]" * 100_000 + b', "telemetry": {}}'
DEEP_LIST = []
for _ in range(100_000):
    DEEP_LIST = [DEEP_LIST]
# Native, exact-road and refused bodies, and objects that are no body at all.
COMPANION_CASES = {
    "extract_features_json": [
        ok(RICH_BODY),
        ok(bytearray(RICH_BODY)),
        ok(memoryview(RICH_BODY)),
        ok(RICH_BODY.decode()),
        ok(memoryview(bytes(byte for character in b'{"clicks": [1]}' for byte in (character, 32)))[::2]),
        ok(b'{"mouse_movements": [{"x": NaN, "y": 1, "t": 2}]}'),
        ok(b'\xef\xbb\xbf{"clicks": []}'),
        ok('{"keystrokes": [{"key": "\ud800", "t": 1}]}'),
        ok(b"[" * 5000 + b"]" * 5000),
        fails(ValueError, b'{"clicks": [1'),
        fails(ValueError, "nope"),
        fails(ValueError, b'{"key": "\xff"}'),
        fails(ValueError, b"[" * 5000),
        fails(ValueError, b"[" * 20_000 + b"NaN" + b"]" * 20_000),
        fails(TypeError, 5),
        fails(TypeError),
        fails(TypeError, RICH_BODY, RICH_BODY),
        ok(WRAPPED_BODY, telemetry_key="telemetry"),
        ok(b'{"telemetry": null}', telemetry_key="telemetry"),
        fails(veltrix.MissingTelemetryError, b'{"id": 12}', telemetry_key="telemetry"),
        fails(veltrix.MissingTelemetryError, b"[1]", telemetry_key="telemetry"),
    ],
    "feature_row": [
        ok(1, WRAPPED_BODY, "telemetry", ("id", "label", "meta", "absent")),
        ok(2, RICH_BODY, None, ()),
        ok(3, DEEP_KEPT_LINE, "telemetry", ("id",)),
        ok(4, b'{"id": NaN, "telemetry": {}}', "telemetry", ("id",)),
        fails(TypeError, 5, WRAPPED_BODY, "telemetry", ["id"]),
        fails(TypeError, 6, WRAPPED_BODY, 7, ()),
    ],
    "json_object": [
        ok(("line", "meta", "x"), (1, {"tags": [1.5, None, True, "\u00e9\U0001f600"], "n": 2**70}, float("nan"))),
        ok(("a",), ({1: "left to the json module"},)),
        ok(("deep",), (DEEP_LIST,)),  # left to the json module
        fails(TypeError, ["a"], (1,)),
    ],
}
COMPANION_FUNCTIONS = {
    "extract_features_json": veltrix.extract_features_json,
    "feature_row": native.feature_row,
    "json_object": native.json_object,
}


def call_round_robin(function, cases, count):
    for index in range(count):
        args, kwargs, error = cases[index % len(cases)]
        try:
            function(*args, **kwargs)
        except error or ():
            pass


def objects_reachable(cases):
    """Every argument and everything inside the containers among them, once each."""
    found, pending = {}, [value for case in cases for value in (*case.args, *case.kwargs.values())]
    while pending:
        value = pending.pop()
        if id(value) in found:
            continue
        found[id(value)] = value
        if isinstance(value, (list, tuple)):
            pending.extend(value)
        elif isinstance(value, dict):
            pending.extend(value.keys())
            pending.extend(value.values())
    return list(found.values())


def test_every_function_has_cases():
    assert list(CASES) == core.__all__


@pytest.mark.parametrize("name", CASES)
def test_calls_give_back_memory_and_references(name, engine):
    assert_calls_give_back_memory_and_references(getattr(core, name), CASES[name])


@pytest.mark.parametrize("name", COMPANION_CASES)
def test_companion_calls_give_back_memory_and_references(name):
    assert_calls_give_back_memory_and_references(COMPANION_FUNCTIONS[name], COMPANION_CASES[name])


def assert_calls_give_back_memory_and_references(function, cases):
    for case in cases:
        if case.error is None:
            function(*case.args, **case.kwargs)
        else:
            with pytest.raises(case.error):
                function(*case.args, **case.kwargs)
    call_round_robin(function, cases, WARM_UP_CALLS)

    # Collected first, so that garbage of the warm-up still holding a watched
    # object cannot release it during the measured calls.
    gc.collect()
    watched = objects_reachable(cases)
    references_before = [sys.getrefcount(value) for value in watched]
    blocks_before = sys.getallocatedblocks()

    call_round_robin(function, cases, CALLS_PER_FUNCTION)

    gc.collect()
    if sys.getallocatedblocks() - blocks_before > BLOCK_SLACK:
        # Free lists and caches fill once, a leak grows again: a second run tells them apart.
        blocks_before = sys.getallocatedblocks()
        call_round_robin(function, cases, CALLS_PER_FUNCTION)
        gc.collect()
        assert sys.getallocatedblocks() - blocks_before <= BLOCK_SLACK
    references_after = [sys.getrefcount(value) for value in watched]
    changed = [
        (repr(value)[:60], before, after)
        for value, before, after in zip(watched, references_before, references_after)
        if before != after
    ]
    assert changed == []
