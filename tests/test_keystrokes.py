"""evaluate_keystroke_dynamics_rs: lenient reading of keystroke lists, and the seven-entry result."""

import itertools
import math
import random
import subprocess
import sys
from collections import namedtuple

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import veltrix_core_rs as core

evaluate = core.evaluate_keystroke_dynamics_rs

RESULT_KEYS = [
    "key_count",
    "avg_dwell_time",
    "dwell_time_var",
    "avg_flight_time",
    "flight_time_var",
    "digraph_entropy",
    "keystroke_score",
]
EMPTY_RESULT = {"key_count": 0} | dict.fromkeys(RESULT_KEYS[1:], 0.0)

# Holds and gaps between keys outside these bounds are not typing, and are not measured.
MAX_FLIGHT = 5000.0
MIN_FLIGHT = -500.0
MAX_DWELL = 5000.0

COMMON_DIGRAPHS = set(
    "th er on an re he in ed nd ha at en es of or nt ea ti to it st io le is ou "
    "ar as de rt ve la ik ak el al ma me ba ka".split()
)

INF = math.inf
NAN = math.nan
HUGE = 10**400  # too large for a double: its float conversion raises OverflowError


def assert_result_shape(result):
    assert list(result) == RESULT_KEYS
    assert type(result["key_count"]) is int
    assert all(type(result[name]) is float for name in RESULT_KEYS[1:])


def as_tuple(key, down, up):
    return (key, down, up)


def as_dict(key, down, up):
    item = {"key": key, "down": down}
    if up is not None:
        item["up"] = up
    return item


class Floaty:
    """A number that only a float conversion method can reveal."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class RaisingFloat:
    def __float__(self):
        raise RuntimeError("no number here")


class Key(str):
    """A key label of a str subclass that disagrees with itself about its lowercase."""

    def lower(self):
        return "zz"

    def encode(self, *args, **kwargs):
        return b"zz"


Press = namedtuple("Press", "key down up")


class PressTuple(tuple):
    pass


class KeystrokeList(list):
    pass


# Typed words as (key, down, up), and the expected result in result-key order: a person, a steady
# script, an even typist, and a typist whose common letter pairs come slowly.
TYPING_SAMPLES = {
    "thecat": (
        [("t", 0, 95), ("h", 180, 260), ("e", 310, 400), ("c", 520, 610), ("a", 700, 780), ("t", 850, 940)],
        (6, 87.5, 31.25, 83, 536, 0.2406427, 0.0),
    ),
    "thequick": (
        [(key, 50 * i, 50 * i + 10) for i, key in enumerate("thequick")],
        (8, 10, 0, 40, 0, 0, 1.0),
    ),
    "letter": (
        list(zip("letter", [0, 180, 367, 540, 720, 907], [80, 264, 443, 620, 803, 984])),
        (6, 80, 8.3333333, 100.8, 6.16, 0.2406427, 0.6),
    ),
    "theronan": (
        [(key, down, None) for key, down in zip("theronan", [0, 300, 600, 900, 1100, 1400, 1600, 1900])],
        (8, 0, 0, 271.4285714, 2040.8163265, 0.2877069, 0.4),
    ),
}


def float_presses(presses):
    return [(key, float(down), None if up is None else float(up)) for key, down, up in presses]


@pytest.mark.parametrize("form", [as_tuple, as_dict], ids=["tuples", "dicts"])
@pytest.mark.parametrize("name", sorted(TYPING_SAMPLES))
def test_typing_samples(name, form):
    presses, expected = TYPING_SAMPLES[name]
    result = evaluate([form(*press) for press in float_presses(presses)])
    assert_result_shape(result)
    key_count, *statistics, score = expected
    assert result["key_count"] == key_count
    assert list(result.values())[1:-1] == pytest.approx(statistics, rel=1e-7, abs=1e-7)
    assert result["keystroke_score"] == score


@pytest.mark.parametrize("name", sorted(TYPING_SAMPLES))
def test_order_form_and_letter_case_do_not_change_the_result(name):
    presses = float_presses(TYPING_SAMPLES[name][0])
    reference = evaluate(presses)
    shuffled = presses[:]
    random.Random(name).shuffle(shuffled)
    upper = [(key.upper(), down, up) for key, down, up in presses]
    assert evaluate(presses[::-1]) == reference
    assert evaluate([as_dict(*press) for press in shuffled]) == reference
    assert evaluate(upper) == reference
    assert evaluate(keystrokes=presses) == reference


@pytest.mark.parametrize(
    "keystrokes",
    [
        [],
        KeystrokeList(),
        None,
        (),
        (("a", 0.0, 80.0),),
        {"key": "a", "down": 0.0},
        iter([("a", 0.0, 80.0)]),
        (press for press in [("a", 0.0, 80.0)]),
        "a",
        5,
        b"abc",
    ],
    ids=[
        "empty list",
        "empty list subclass",
        "None",
        "empty tuple",
        "tuple of tuples",
        "dict",
        "iterator",
        "generator",
        "str",
        "int",
        "bytes",
    ],
)
def test_anything_but_a_non_empty_list_gives_the_all_zero_result(keystrokes):
    result = evaluate(keystrokes)
    assert_result_shape(result)
    assert result == EMPTY_RESULT


def test_one_press_gives_neutral_entropy_and_no_score():
    for keystrokes in ([("a", 0.0, 80.0)], KeystrokeList([("a", 0.0, 80.0)])):
        result = evaluate(keystrokes)
        assert_result_shape(result)
        assert result == {
            "key_count": 1,
            "avg_dwell_time": 80.0,
            "dwell_time_var": 0.0,
            "avg_flight_time": 0.0,
            "flight_time_var": 0.0,
            "digraph_entropy": 0.5,
            "keystroke_score": 0.0,
        }


def test_key_count_counts_only_items_that_became_presses():
    keystrokes = [
        ("a", 0.0, 80.0),
        ("b", 100.0),
        None,
        {"type": "up", "down": 5.0},
        {"t": 200.0, "key": "c"},
        ["x", 1.0, 2.0],
        42,
        ("d", "100", None),
        "e",
        ("f", 300.0, None, None),
    ]
    assert evaluate(keystrokes)["key_count"] == 2


# --- Reading one item -------------------------------------------------------------------------
#
# The item is followed by a Shift press at FOLLOWER_DOWN, so the result shows the item's down and
# up exactly: the dwell time is up - down and the flight time runs from its release to the follower.

FOLLOWER_DOWN = 3000.0
LEFT_OUT = object()


def observe(item):
    result = evaluate([item, ("Shift", FOLLOWER_DOWN, None)])
    return {name: result[name] for name in ("key_count", "avg_dwell_time", "avg_flight_time")}


def expected_observation(down, up):
    release = down if up is None else up
    dwell = NAN if up is None else up - down
    flight = FOLLOWER_DOWN - release
    return {
        "key_count": 2,
        "avg_dwell_time": dwell if 0 < dwell < MAX_DWELL else 0.0,
        "avg_flight_time": flight if MIN_FLIGHT < flight < MAX_FLIGHT else 0.0,
    }


def check_reading(item, expected):
    if expected is LEFT_OUT:
        assert observe(item) == {"key_count": 1, "avg_dwell_time": 0.0, "avg_flight_time": 0.0}
    else:
        assert observe(item) == expected_observation(*expected)


@pytest.mark.parametrize(
    "item,expected",
    [
        (("a", 1000.0, 1080.0), (1000, 1080)),
        (("a", 1000, 1080), (1000, 1080)),
        (("a", 1000.0, None), (1000, None)),
        (("a", True, 81), (1, 81)),
        (("a", Floaty(1000.0), Floaty(1080.0)), (1000, 1080)),
        (("a", Floaty(-1.0), 59.0), (-1, 59)),
        (("a", np.float64(1000.0), np.float64(1080.0)), (1000, 1080)),
        (Press("a", 1000.0, 1080.0), (1000, 1080)),
        (PressTuple(("a", 1000.0, 1080.0)), (1000, 1080)),
        ((Key("a"), 1000.0, 1080.0), (1000, 1080)),
        (("", 1000.0, 1080.0), (1000, 1080)),
        (("a", 1000.0, 900.0), (1000, 900)),
        (("a", 1000.0, NAN), (1000, NAN)),
        (("a", -INF, None), (-INF, None)),
        (("a", 1000.0, "1080"), LEFT_OUT),
        (("a", "1000", None), LEFT_OUT),
        (("a", None, None), LEFT_OUT),
        (("a", 1000.0, 1j), LEFT_OUT),
        (("a", HUGE, None), LEFT_OUT),
        (("a", 1000.0, -HUGE), LEFT_OUT),
        (("a", RaisingFloat(), None), LEFT_OUT),
        (("a", 1000.0, RaisingFloat()), LEFT_OUT),
        ((b"a", 1000.0, None), LEFT_OUT),
        ((5, 1000.0, None), LEFT_OUT),
        ((None, 1000.0, None), LEFT_OUT),
        (("\ud800", 1000.0, None), LEFT_OUT),
        (("a", 1000.0), LEFT_OUT),
        (("a", 1000.0, 1080.0, None), LEFT_OUT),
        (["a", 1000.0, 1080.0], LEFT_OUT),
        ("a", LEFT_OUT),
        (1000.0, LEFT_OUT),
        (None, LEFT_OUT),
        ({"a", 1000.0}, LEFT_OUT),
    ],
)
def test_tuple_form_reading(item, expected):
    check_reading(item, expected)


class Guarded(dict):
    """A dict subclass whose item hooks must never run: entries come from the dict's own table."""

    calls = []

    def __getitem__(self, key):
        Guarded.calls.append(key)
        raise AssertionError("__getitem__ called")

    def __missing__(self, key):
        Guarded.calls.append(key)
        return 1500.0


@pytest.mark.parametrize(
    "item,expected",
    [
        ({"key": "a", "down": 1000.0, "up": 1080.0}, (1000, 1080)),
        ({"down": 1000.0, "t": 1500.0, "time": 2000.0}, (1000, None)),
        ({"t": 1500.0, "time": 2000.0}, (1500, None)),
        ({"time": 2000}, (2000, None)),
        ({"down": True}, (1, None)),
        ({"down": Floaty(-1.0), "up": 59.0}, (-1, 59)),
        ({"down": "1000", "t": 1500.0}, (1500, None)),
        ({"down": INF, "t": 1500.0}, (1500, None)),
        ({"down": -INF, "time": 2000.0}, (2000, None)),
        ({"down": NAN, "t": NAN, "time": 2000.0}, (2000, None)),
        ({"down": None, "t": 1500.0}, (1500, None)),
        ({"down": HUGE, "t": 1500.0}, (1500, None)),
        ({"down": RaisingFloat(), "t": 1500.0}, (1500, None)),
        ({"down": NAN}, LEFT_OUT),
        ({"t": INF, "key": "a"}, LEFT_OUT),
        ({"time": "2000"}, LEFT_OUT),
        ({"key": "a", "up": 1080.0}, LEFT_OUT),
        ({}, LEFT_OUT),
        ({"type": "up", "down": 1000.0}, LEFT_OUT),
        ({"type": Key("up"), "down": 1000.0}, LEFT_OUT),
        ({"type": "UP", "down": 1000.0}, (1000, None)),
        ({"type": "keyup", "down": 1000.0}, (1000, None)),
        ({"type": "up ", "down": 1000.0}, (1000, None)),
        ({"type": b"up", "down": 1000.0}, (1000, None)),
        ({"type": None, "down": 1000.0}, (1000, None)),
        ({"type": "\ud800", "down": 1000.0}, (1000, None)),
        ({"t": 1000.0, "up": None, "duration_ms": 80}, (1000, 1080)),
        ({"t": 1000.0, "up": 1050.0, "duration_ms": 80}, (1000, 1050)),
        ({"t": 1000.0, "duration_ms": 80.0}, (1000, 1080)),
        ({"t": 1000.0, "duration_ms": -50.0}, (1000, 950)),
        ({"t": 1000.0, "duration_ms": NAN}, (1000, NAN)),
        ({"t": 1000.0, "duration_ms": "80"}, (1000, None)),
        ({"t": 1000.0, "up": "1050", "duration_ms": 80}, (1000, 1080)),
        ({"t": 1000.0, "up": HUGE, "duration_ms": 80}, (1000, 1080)),
        ({"t": 1000.0, "up": RaisingFloat(), "duration_ms": 80}, (1000, 1080)),
        ({"t": 1000.0, "up": "1050"}, (1000, None)),
        ({"t": 1000.0, "up": INF}, (1000, INF)),
        ({"t": 1000.0, "up": NAN, "duration_ms": 80}, (1000, NAN)),
        ({"t": 1000.0, "up": True}, (1000, 1)),
        (Guarded(key="a", t=1000.0, up=1080.0), (1000, 1080)),
        (Guarded(key="a", up=1080.0), LEFT_OUT),
        (Guarded(type="up", down=1000.0), LEFT_OUT),
    ],
)
def test_dict_form_reading(item, expected):
    Guarded.calls.clear()
    check_reading(item, expected)
    assert Guarded.calls == []


class Recorder:
    """A time whose conversion must not be asked for."""

    asked = False

    def __float__(self):
        Recorder.asked = True
        return 1000.0


@pytest.mark.parametrize(
    "item",
    [
        {"type": "up", "down": Recorder(), "key": "a"},
        {"down": 1000.0, "t": Recorder()},
        {"down": NAN, "t": 1000.0, "time": Recorder()},
        {"t": 1000.0, "up": 1080.0, "duration_ms": Recorder()},
    ],
)
def test_dict_entries_are_read_only_as_far_as_needed(item):
    Recorder.asked = False
    evaluate([item])
    assert not Recorder.asked


# --- Digraph formation --------------------------------------------------------------------------
#
# Every press is held HOLD ms, so the short-hold rule gives a neutral score of 0.75, and every pause
# outside the base digraphs is too long for the flight histogram, so the entropy stays 0.5 and adds
# nothing. After the base keys, "a" and the probed keys alternate PROBE_LATENCY ms apart, so each
# probed key both follows an "a" and is followed by one. A digraph formed there is far slower than
# the base digraphs (BASE_LATENCY), and so shows in the score:
#   base of common digraphs only: any digraph of the other group makes the common pairs fast and
#     the score drops to 0.5, however many of the twelve common pairs with "a" also form;
#   base of one other digraph only: once no other digraph formed, any common digraph makes the
#     common pairs slow and the score rises to 1.0 (clamped).

HOLD = 10.0
PAUSE = 1000.0
BASE_LATENCY = 300.0
PROBE_LATENCY = 1900.0
PROBE_START = 5000.0  # after every base, and more than a histogram's reach after its closing Shift
PADDING = ["Enter", "Enter"]  # so that even one probed key reaches the eight presses the slow-pair rule needs
COMMON_ONLY_BASE = ["t", "h", "e", "r"]
OTHER_ONLY_BASE = ["q", "z"]
NO_DIGRAPH, COMMON_FORMED, OTHER_FORMED = 0.75, 1.0, 0.5


def timed_presses(labels, gaps, start, form):
    downs = list(itertools.accumulate(gaps, initial=start))
    return list(map(form, labels, downs, [down + HOLD for down in downs]))


def base_presses(base, form):
    gaps = [PAUSE] * len(PADDING) + [BASE_LATENCY] * (len(base) - 1) + [PAUSE]
    return timed_presses(PADDING + base + ["Shift"], gaps, 0.0, form)


def probed_presses(probed_keys, form):
    labels = [label for key in probed_keys for label in ("a", key)] + ["a"]
    return timed_presses(labels, [PROBE_LATENCY] * (len(labels) - 1), PROBE_START, form)


def digraph_probe(base, probed_keys, form=as_tuple):
    return base_presses(base, form) + probed_presses(probed_keys, form)


def probe_scores(probed_keys, form=as_tuple):
    """The scores over the common-only base and over the other-only base."""
    probed = probed_presses(probed_keys, form)
    scores = []
    for base in (COMMON_ONLY_BASE, OTHER_ONLY_BASE):
        presses = base_presses(base, form) + probed
        result = evaluate(presses)
        assert result["key_count"] == len(presses)
        scores.append(result["keystroke_score"])
    return tuple(scores)


def expected_probe_scores(key):
    lowered = str.lower(key)
    digraphs = {"a" + lowered, lowered + "a"} if len(lowered.encode()) == 1 else set()
    common = digraphs & COMMON_DIGRAPHS
    return (OTHER_FORMED if digraphs - common else NO_DIGRAPH, COMMON_FORMED if common else NO_DIGRAPH)


@pytest.mark.parametrize(
    "key,scores",
    [
        ("Shift", (NO_DIGRAPH, NO_DIGRAPH)),
        ("x", (OTHER_FORMED, NO_DIGRAPH)),
        ("k", (NO_DIGRAPH, COMMON_FORMED)),
        ("n", (OTHER_FORMED, COMMON_FORMED)),
    ],
)
def test_probe_shows_each_digraph_group(key, scores):
    assert probe_scores([key]) == scores == expected_probe_scores(key)


SURROGATES = range(0xD800, 0xE000)
CODE_POINTS = [point for point in range(0x110000) if point not in SURROGATES]
ONE_BYTE_LOWERCASE = [point for point in CODE_POINTS if len(chr(point).lower().encode()) == 1]
CHUNK = 1 << 16


@pytest.mark.parametrize("point", ONE_BYTE_LOWERCASE, ids=hex)
def test_keys_lowering_to_one_byte_pair_with_their_neighbours(point):
    assert probe_scores([chr(point)]) == expected_probe_scores(chr(point))


def test_kelvin_sign_counts_as_k():
    assert probe_scores(["\u212a"]) == (NO_DIGRAPH, COMMON_FORMED)
    kelvin_typed = [("\u212a" if key == "k" else key, down, up) for key, down, up in TYPING_SAMPLES["thequick"][0]]
    assert evaluate(float_presses(kelvin_typed)) == evaluate(float_presses(TYPING_SAMPLES["thequick"][0]))


@pytest.mark.parametrize("start", range(0, len(CODE_POINTS), CHUNK), ids=lambda start: f"from {start:#x}")
def test_no_other_key_pairs_with_its_neighbours(start):
    one_byte = set(ONE_BYTE_LOWERCASE)
    keys = [chr(point) for point in CODE_POINTS[start : start + CHUNK] if point not in one_byte]
    assert probe_scores(keys) == (NO_DIGRAPH, NO_DIGRAPH)


def as_dict_with_key(key, down, up):
    item = {"down": down, "up": up}
    if key is not LEFT_OUT:
        item["key"] = key
    return item


@pytest.mark.parametrize(
    "key,scores",
    [
        ("K", (NO_DIGRAPH, COMMON_FORMED)),
        (Key("K"), (NO_DIGRAPH, COMMON_FORMED)),
        ("unknown", (NO_DIGRAPH, NO_DIGRAPH)),
        (5, (NO_DIGRAPH, NO_DIGRAPH)),
        (None, (NO_DIGRAPH, NO_DIGRAPH)),
        (b"k", (NO_DIGRAPH, NO_DIGRAPH)),
        ("\ud800", (NO_DIGRAPH, NO_DIGRAPH)),
        (LEFT_OUT, (NO_DIGRAPH, NO_DIGRAPH)),
    ],
)
def test_dict_keys_that_are_not_text_read_as_unknown(key, scores):
    assert probe_scores([key], as_dict_with_key) == scores


def test_str_subclass_key_is_read_by_its_text_in_tuples():
    assert probe_scores([Key("K")]) == (NO_DIGRAPH, COMMON_FORMED)


def test_lone_surrogate_key_leaves_the_tuple_out():
    presses = digraph_probe(OTHER_ONLY_BASE, ["\ud800"])
    assert evaluate(presses)["key_count"] == len(presses) - 1


# --- Hostile input ------------------------------------------------------------------------------


class Mutating:
    """A down time whose conversion edits the list being read."""

    def __init__(self, keystrokes, edit, value=1000.0):
        self.keystrokes = keystrokes
        self.edit = edit
        self.value = value

    def __float__(self):
        self.edit(self.keystrokes)
        return self.value


def later_presses(count):
    return [("b", 2000.0 + 100.0 * i, None) for i in range(count)]


@pytest.mark.parametrize(
    "edit,key_count",
    [
        (list.clear, 1),
        (lambda keystrokes: keystrokes.__delitem__(slice(2, None)), 2),
        (lambda keystrokes: keystrokes.extend(later_presses(50)), 6),
        (lambda keystrokes: keystrokes.reverse(), 6),
    ],
    ids=["clear", "shrink", "grow", "reverse"],
)
@pytest.mark.parametrize("form", [as_tuple, as_dict], ids=["tuples", "dicts"])
def test_conversion_that_edits_the_list_being_read(form, edit, key_count):
    keystrokes = []
    keystrokes.append(form("a", Mutating(keystrokes, edit), 1080.0))
    keystrokes.extend(form(*press) for press in later_presses(5))
    result = evaluate(keystrokes)
    assert_result_shape(result)
    assert result["key_count"] == key_count


def observe_alone(keystrokes):
    result = evaluate(keystrokes)
    return result["key_count"], result["avg_dwell_time"]


def test_conversion_that_drops_the_last_reference_to_the_item_being_read():
    keystrokes = []
    keystrokes.append({"down": Mutating(keystrokes, list.clear), "key": "a", "up": float(1080)})
    assert observe_alone(keystrokes) == (1, 80.0)


def test_conversion_that_empties_the_dict_being_read():
    keystrokes = [{"key": "a", "up": 1080.0, "duration_ms": 80.0}]
    keystrokes[0]["down"] = Mutating(keystrokes[0], dict.clear)
    assert observe_alone(keystrokes) == (1, 0.0)


def test_errors_raised_while_reading_never_escape():
    keystrokes = [
        ("a", RaisingFloat(), None),
        {"down": RaisingFloat(), "t": HUGE, "up": RaisingFloat()},
        ("\ud800", 1.0, None),
        {"key": "\udfff", "down": 1.0},
        ("b", 2.0, HUGE),
    ]
    result = evaluate(keystrokes)
    assert result["key_count"] == 1
    assert evaluate([("a", 0.0, 80.0)])["avg_dwell_time"] == 80.0


TEN_THOUSAND = 10_000


@pytest.mark.parametrize("form", [as_tuple, as_dict], ids=["tuples", "dicts"])
def test_ten_thousand_steady_presses(form):
    keys = "thequick"
    presses = [form(keys[i % len(keys)], 50.0 * i, 50.0 * i + 10.0) for i in range(TEN_THOUSAND)]
    assert evaluate(presses) == {
        "key_count": TEN_THOUSAND,
        "avg_dwell_time": 10.0,
        "dwell_time_var": 0.0,
        "avg_flight_time": 40.0,
        "flight_time_var": 0.0,
        "digraph_entropy": 0.0,
        "keystroke_score": 1.0,
    }


def test_ten_thousand_tuples_half_with_nan_down_times():
    rng = random.Random(7)
    presses = [
        (rng.choice("abcdefgh"), NAN if rng.random() < 0.5 else rng.uniform(0, 1e5), None) for _ in range(TEN_THOUSAND)
    ]
    result = evaluate(presses)
    assert_result_shape(result)
    assert result["key_count"] == TEN_THOUSAND
    assert all(math.isfinite(value) for value in result.values())
    assert 0.0 <= result["digraph_entropy"] <= 1.0
    assert 0.0 <= result["keystroke_score"] <= 1.0


def test_only_nan_down_times_yield_no_intervals():
    result = evaluate([("a", NAN, 80.0)] * 20)
    assert result == {"key_count": 20} | dict.fromkeys(RESULT_KEYS[1:-2], 0.0) | {
        "digraph_entropy": 0.5,
        "keystroke_score": 0.0,
    }
    assert evaluate([{"down": NAN, "key": "a"}] * 20) == EMPTY_RESULT


def test_nan_presses_do_not_disturb_the_order_of_the_others():
    presses = float_presses(TYPING_SAMPLES["theronan"][0])
    nan_press = ("Shift", NAN, None)
    # However NaN presses rank, the finite ones must still come out in time order, next to one another.
    reversed_with_nans = [nan_press] + presses[:3:-1] + [nan_press] * 2 + presses[3::-1] + [nan_press]
    reference = evaluate(presses)
    mixed = evaluate(reversed_with_nans)
    assert mixed["key_count"] == reference["key_count"] + 4
    assert {name: mixed[name] for name in RESULT_KEYS[1:]} == {name: reference[name] for name in RESULT_KEYS[1:]}


# --- Any list at all ----------------------------------------------------------------------------

times = st.one_of(
    st.floats(),
    st.integers(min_value=-(10**20), max_value=10**20),
    st.sampled_from([HUGE, -HUGE, True, None, "100", b"1"]),
    st.builds(RaisingFloat),
)
keys = st.one_of(st.text(max_size=3), st.sampled_from(["Shift", "\u212a", "\ud800", 5, None, b"a"]))
dict_items = st.fixed_dictionaries(
    {},
    optional={
        "type": st.sampled_from(["up", "UP", "down", None, 1]),
        "down": times,
        "t": times,
        "time": times,
        "key": keys,
        "up": times,
        "duration_ms": times,
    },
)
junk = st.one_of(
    st.none(),
    st.integers(),
    st.text(max_size=3),
    st.lists(st.integers(), max_size=3),
    st.tuples(keys, times),
    st.tuples(keys, times, times, times),
)
items = st.one_of(st.tuples(keys, times, times), dict_items, junk)


@settings(max_examples=100)
@given(st.lists(items, max_size=30))
def test_any_list_gives_a_bounded_result(keystrokes):
    result = evaluate(keystrokes)
    assert_result_shape(result)
    assert 0 <= result["key_count"] <= len(keystrokes)
    assert 0.0 <= result["avg_dwell_time"] < MAX_DWELL
    assert MIN_FLIGHT < result["avg_flight_time"] < MAX_FLIGHT
    assert result["dwell_time_var"] >= 0.0 and result["flight_time_var"] >= 0.0
    assert 0.0 <= result["digraph_entropy"] <= 1.0
    assert 0.0 <= result["keystroke_score"] <= 1.0
    assert all(math.isfinite(value) for value in result.values())


@st.composite
def distinct_presses(draw):
    """Presses with distinct finite down times, so that their time order is unique."""
    downs = draw(st.lists(st.floats(-1e5, 1e5), min_size=1, max_size=25, unique=True))
    labels = st.sampled_from(["t", "H", "e", "a", "n", "Shift", "\u212a", "é", " "])
    holds = st.none() | st.floats(0, 400)
    return [(draw(labels), down, None if (hold := draw(holds)) is None else down + hold) for down in downs]


@settings(max_examples=100)
@given(distinct_presses(), st.randoms(use_true_random=False))
def test_tuples_and_dicts_in_any_order_agree(presses, rng):
    reference = evaluate(presses)
    shuffled = presses[:]
    rng.shuffle(shuffled)
    assert reference["key_count"] == len(presses)
    assert evaluate([as_dict(*press) for press in shuffled]) == reference


SHARED_LONG_LABEL_CHILD = """
import os, resource
import veltrix_core_rs as core
# Far less than one copy of the label per record would need. The address
# sanitizer reserves more address space than that for its own bookkeeping.
if "libasan" not in os.environ.get("LD_PRELOAD", ""):
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
label = "Shift" * (1 << 18)
presses = [(label, 100.0 * i, 100.0 * i + 40.0) for i in range(10_000)]
print(core.evaluate_keystroke_dynamics_rs(presses)["key_count"])
visit = {"keystrokes": [{"key": label, "t": 100.0 * i} for i in range(150)]}
print(core.extract_features_rs(visit)["key_count"])
"""


def test_memory_follows_the_records_not_the_length_of_a_shared_label():
    child = subprocess.run([sys.executable, "-c", SHARED_LONG_LABEL_CHILD], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["10000", "150"]
