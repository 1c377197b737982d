"""Native row formatting of the batch command: join_reprs(values) is exactly
",".join(map(repr, values)), whatever the values."""

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
