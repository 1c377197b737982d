"""Native row formatting of the batch command: join_reprs(values) is exactly
",".join(map(repr, values)), whatever the values, and json_object(names, values)
exactly the json module's text of dict(zip(names, values)), or None where it
leaves a value to the json module."""

import json
import math
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

from veltrix import _json_native as native


def expected(values):
    return ",".join(map(repr, values))


@pytest.mark.parametrize(
    "value",
    [
        0.0, -0.0, 1.0, -1.5, 0.1, 1 / 3, 123.456, 1e15, 999999999999999.9, 1e16, 1.5e16, 1e22,
        1e-4, 0.00012, 1e-5, 1.5e-7, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308,
        math.inf, -math.inf, math.nan, -math.nan,
        True, False, 0, -5, 2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 10**40,
    ],
    ids=repr,
)  # fmt: skip
def test_values_of_every_kind_and_boundary(value):
    assert native.join_reprs((value,)) == repr(value)


@given(st.lists(st.floats() | st.integers() | st.booleans()))
def test_rows_of_numbers(values):
    assert native.join_reprs(values) == expected(values)


@given(st.integers(min_value=0, max_value=2**64 - 1))
def test_every_bit_pattern_of_a_double(bits):
    value = struct.unpack("<d", bits.to_bytes(8, "little"))[0]
    assert native.join_reprs([value]) == repr(value)


class Reprs:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


class FloatSubclass(float):
    def __repr__(self):
        return "custom"


@pytest.mark.parametrize(
    "values",
    [
        (),
        ("a,b", None, [1.5, {"k": "é"}], b"\x00"),
        (FloatSubclass(2.0), Reprs("ü"), Reprs("\udc80 lone surrogate")),
    ],
    ids=["empty", "other objects", "own reprs"],
)
def test_other_objects_through_their_repr(values):
    assert native.join_reprs(values) == expected(values)


def test_a_list_that_shrinks_under_repr_is_read_safely():
    values = [1.0, 2.0, 3.0]

    class Shrinks:
        def __repr__(self):
            values.clear()
            return "shrunk"

    values.insert(1, Shrinks())
    assert native.join_reprs(values) == "1.0,shrunk"


def test_errors_of_repr_and_of_the_argument_reach_the_caller():
    class Fails:
        def __repr__(self):
            raise ValueError("no repr")

    with pytest.raises(ValueError, match="no repr"):
        native.join_reprs([1.0, Fails()])
    with pytest.raises(TypeError):
        native.join_reprs(1.0)


# What the JSON-lines output wrote before it wrote rows natively.
encode_json = json.JSONEncoder(separators=(",", ":")).encode

json_scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(-(2**70), 2**70)
    | st.floats()
    | st.text()
    | st.sampled_from(["\ud800", "a\udfff", "\U0001f600", "\x7f\x00\x1f", '"\\/\b\f\n\r\t'])
)
json_values = st.recursive(
    json_scalars, lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(), children, max_size=4)
)


@given(st.lists(st.tuples(st.text(), json_values), max_size=8, unique_by=lambda pair: pair[0]))
def test_json_objects_are_the_json_modules_text(members):
    names, values = tuple(name for name, _ in members), tuple(value for _, value in members)
    assert native.json_object(names, values) == encode_json(dict(members))


class IntSubclass(int):
    pass


@pytest.mark.parametrize(
    "value",
    [IntSubclass(3), FloatSubclass(1.5), {1: "int key"}, [{"a": {1, 2}}], Reprs("x")],
    ids=["int subclass", "float subclass", "int key", "set inside", "other object"],
)
def test_values_the_json_module_writes_by_rules_of_its_own_are_left_to_it(value):
    assert native.json_object(("a",), (value,)) is None


def test_tuples_are_written_as_lists_as_the_json_module_writes_them():
    assert native.json_object(("a", "b"), ((1, (2.5, None)), [])) == '{"a":[1,[2.5,null]],"b":[]}'


def test_values_nested_beyond_the_recursion_limit_are_left_to_the_json_module():
    deep = []
    for _ in range(100_000):
        deep = [deep]
    assert native.json_object(("deep",), (deep,)) is None
    assert native.json_object(("flat",), ([[[]]],)) == '{"flat":[[[]]]}'
