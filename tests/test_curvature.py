import array
import ctypes
import inspect
import math
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import veltrix_core_rs as core

naturalness = core.evaluate_curvature_naturalness_rs
zerocopy = core.evaluate_curvature_zerocopy_rs

KEYS = ["curvature_score", "mean_curvature", "curvature_var", "curvature_rate_var"]
ALL_ZERO = dict.fromkeys(KEYS, 0.0)
NOT_F64 = "buffer contents are not compatible with f64"
MISALIGNED = "buffer contents are insufficiently aligned for f64"

# A right-angle turn every 10 ms at constant speed: constant curvature.
SQUARE = ([0, 10, 10, 0, 0], [0, 0, 10, 10, 0], [0, 10, 20, 30, 40])

WORKED_EXAMPLES = [
    pytest.param(([0, 1, 2, 3], [0, 0, 0, 0], [0, 10, 20, 30]), (0.95, 0.0, 0.0, 0.0), id="straight"),
    pytest.param(
        ([0, 10, 10, 10], [0, 0, 10, 20], [0, 10, 20, 30]), (0.1, 0.049999925, 0.0024999925, 0.0), id="one-turn"
    ),
    pytest.param(SQUARE, (0.9, 0.09999985, 0.0, 0.0), id="square"),
]


def f64(values):
    return np.array(values, dtype=np.float64)


def as_lists(*series):
    return [[float(value) for value in values] for values in series]


def same_results(first, second):
    """Equal keys in equal order and equal values, NaN matching NaN."""
    return list(first) == list(second) and all(
        a == b or (math.isnan(a) and math.isnan(b)) for a, b in zip(first.values(), second.values())
    )


def random_path(count, seed=7):
    """A jittery pointer path with strictly increasing times."""
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.normal(0.0, 5.0, count))
    y = np.cumsum(rng.normal(0.0, 5.0, count))
    t = np.cumsum(rng.uniform(1.0, 20.0, count))
    return x, y, t


ENTRY_POINTS = [
    pytest.param(lambda x, y, t: naturalness(*as_lists(x, y, t)), id="naturalness"),
    pytest.param(lambda x, y, t: zerocopy(x_obj=f64(x), y_obj=f64(y), t_obj=f64(t)), id="zerocopy"),
]


@pytest.mark.parametrize("evaluate", ENTRY_POINTS)
@pytest.mark.parametrize("path,expected", WORKED_EXAMPLES)
def test_worked_examples(evaluate, path, expected):
    result = evaluate(*path)
    assert list(result) == KEYS
    assert all(type(value) is float for value in result.values())
    assert result["curvature_score"] == expected[0]
    assert list(result.values())[1:] == pytest.approx(expected[1:], rel=1e-9, abs=0.0)


@pytest.mark.parametrize("evaluate", ENTRY_POINTS)
@pytest.mark.parametrize("lengths", [(0, 0, 0), (1, 1, 1), (3, 3, 3), (3, 10, 10), (10, 10, 2)])
def test_fewer_than_four_samples_give_all_zero(evaluate, lengths):
    x, y, t = random_path(10)
    result = evaluate(x[: lengths[0]], y[: lengths[1]], t[: lengths[2]])
    assert result == ALL_ZERO and list(result) == KEYS


@pytest.mark.parametrize("evaluate", ENTRY_POINTS)
def test_surplus_samples_are_ignored(evaluate):
    x, y, t = random_path(100)
    assert same_results(evaluate(x, y[:50], t[:80]), evaluate(x[:50], y[:50], t[:50]))


# --- evaluate_curvature_naturalness_rs -------------------------------------


class Probe:
    """A sequence that records every time it is looked at."""

    def __init__(self, items, calls):
        self.items = list(items)
        self.calls = calls

    def __len__(self):
        self.calls.append("len")
        return len(self.items)

    def __getitem__(self, index):
        self.calls.append("getitem")
        return self.items[index]

    def __iter__(self):
        self.calls.append("iter")
        return iter(self.items)


class FloatProbe:
    def __init__(self, value, calls):
        self.value = value
        self.calls = calls

    def __float__(self):
        self.calls.append("float")
        return float(self.value)


class FloatRefusal:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


@pytest.mark.parametrize(
    "x,y,t",
    [
        pytest.param(tuple(SQUARE[0]), tuple(SQUARE[1]), tuple(SQUARE[2]), id="tuples"),
        pytest.param(*(bytes(values) for values in SQUARE), id="bytes"),
        pytest.param(*(np.array(values, dtype=np.int64) for values in SQUARE), id="numpy-int64"),
        pytest.param(*(np.array(values, dtype=np.float32) for values in SQUARE), id="numpy-float32"),
        pytest.param(*(array.array("d", values) for values in SQUARE), id="array-d"),
        pytest.param(bytes(SQUARE[0]), tuple(SQUARE[1]), range(0, 50, 10), id="mixed"),
        pytest.param(range(4), range(0, 8, 2), range(0, 40, 10), id="ranges"),
        pytest.param(*(Probe(values, []) for values in SQUARE), id="user-sequence"),
    ],
)
def test_any_sequence_of_numbers_reads_like_a_list(x, y, t):
    baseline = as_lists(*(getattr(series, "items", series) for series in (x, y, t)))
    assert naturalness(x, y, t) == naturalness(*baseline)


def test_number_like_elements_are_converted():
    calls = []
    x = [False, 10, FloatProbe(10, calls), 0.0, np.float32(0)]
    assert naturalness(x, *SQUARE[1:]) == naturalness(*as_lists(*SQUARE))
    assert calls == ["float"]


def _float_refusal_message(item):
    with pytest.raises(TypeError) as caught:
        math.fabs(item)
    return str(caught.value)


@pytest.mark.parametrize("position,name", list(enumerate(["x", "y", "t"])))
@pytest.mark.parametrize(
    "bad,message",
    [
        ("0123", "Can't extract `str` to `Vec`"),
        ({0: 1.0, 1: 2.0, 2: 3.0, 3: 4.0}, "'dict' object cannot be converted to 'Sequence'"),
        ((value for value in range(4)), "'generator' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        (5.0, "'float' object cannot be converted to 'Sequence'"),
        ([1.0, 2.0, "3", 4.0], _float_refusal_message("3")),
        ([1.0, 2.0, None, 4.0], _float_refusal_message(None)),
    ],
)
def test_naturalness_refusals_name_the_parameter(position, name, bad, message):
    arguments = list(SQUARE)
    arguments[position] = bad
    with pytest.raises(TypeError) as caught:
        naturalness(*arguments)
    assert str(caught.value) == f"argument '{name}': {message}"


@pytest.mark.parametrize(
    "error",
    [ValueError("no float here"), OverflowError("int too large to convert to float")],
    ids=lambda error: type(error).__name__,
)
def test_element_errors_other_than_type_errors_pass_unchanged(error):
    with pytest.raises(type(error)) as caught:
        naturalness(SQUARE[0], [0, 0, FloatRefusal(error), 0, 0], SQUARE[2])
    assert caught.value is error


def test_huge_integer_element_overflows_unprefixed():
    with pytest.raises(OverflowError, match="^int too large to convert to float$"):
        naturalness(SQUARE[0], SQUARE[1], [0, 10, 10**400, 30, 40])


@pytest.mark.parametrize("failing", [0, 1, 2])
def test_arguments_after_a_refused_one_are_not_looked_at(failing):
    calls = [[], [], []]
    arguments = [Probe([FloatProbe(v, calls[i]) for v in SQUARE[i]], calls[i]) for i in range(3)]
    arguments[failing] = "not numbers"
    with pytest.raises(TypeError):
        naturalness(*arguments)
    assert all("float" in calls[i] for i in range(failing))
    assert not any(calls[i] for i in range(failing + 1, 3))


# --- evaluate_curvature_zerocopy_rs ----------------------------------------


def exporter_with_format(items, format):
    """An exporter whose format string is exactly `format`."""
    _testbuffer = pytest.importorskip("_testbuffer")
    return _testbuffer.ndarray(items, shape=[len(items)], format=format)


def memoryview_cast(values, format):
    return memoryview(array.array("d", values)).cast("B").cast(format)


def ctypes_doubles(values, ctype):
    return (ctype * len(values))(*values)


little_endian_only = pytest.mark.skipif(sys.byteorder != "little", reason="'<' is native only on little-endian")

ACCEPTED_EXPORTERS = [
    pytest.param(f64, "d", id="numpy"),
    pytest.param(lambda v: array.array("d", v), "d", id="array-d"),
    pytest.param(lambda v: memoryview_cast(v, "d"), "d", id="cast-d"),
    pytest.param(lambda v: memoryview_cast(v, "@d"), "@d", id="cast-@d"),
    pytest.param(lambda v: exporter_with_format([float(x) for x in v], "=d"), "=d", id="=d"),
    pytest.param(lambda v: exporter_with_format([float(x) for x in v], "<d"), "<d", id="<d", marks=little_endian_only),
]

REFUSED_EXPORTERS = [
    pytest.param(lambda v: np.array(v, dtype=np.float32), id="float32"),
    pytest.param(lambda v: np.array(v, dtype=np.int64), id="int64"),
    pytest.param(lambda v: bytes(8 * len(v)), id="bytes"),
    pytest.param(lambda v: array.array("f", v), id="array-f"),
    pytest.param(lambda v: array.array("q", v), id="array-q"),
    pytest.param(lambda v: np.array(v, dtype=">f8"), id=">d-numpy"),
    pytest.param(lambda v: exporter_with_format([float(x) for x in v], ">d"), id=">d"),
    pytest.param(lambda v: exporter_with_format([float(x) for x in v], "!d"), id="!d"),
    pytest.param(lambda v: exporter_with_format([(float(x), float(x)) for x in v], "2d"), id="2d"),
    pytest.param(lambda v: exporter_with_format([(float(x), float(x)) for x in v], "dd"), id="dd"),
]


@pytest.mark.parametrize("export,format", ACCEPTED_EXPORTERS)
def test_native_double_formats_are_read(export, format):
    exporters = [export(values) for values in SQUARE]
    assert memoryview(exporters[0]).format == format
    assert zerocopy(*exporters) == naturalness(*SQUARE)


@pytest.mark.parametrize("position", [0, 1, 2])
@pytest.mark.parametrize("export", REFUSED_EXPORTERS)
def test_other_item_types_are_refused(export, position):
    arguments = [f64(values) for values in SQUARE]
    arguments[position] = export(SQUARE[position])
    with pytest.raises(BufferError) as caught:
        zerocopy(*arguments)
    assert str(caught.value) == NOT_F64


@pytest.mark.parametrize("position", [0, 1, 2])
def test_misaligned_doubles_are_refused(position):
    arguments = [f64(values) for values in SQUARE]
    arguments[position] = memoryview(bytearray(8 * 5 + 1))[1:].cast("d")
    with pytest.raises(BufferError) as caught:
        zerocopy(*arguments)
    assert str(caught.value) == MISALIGNED


@pytest.mark.parametrize(
    "empty", [array.array("d"), memoryview(bytearray(1))[1:].cast("d"), np.empty(0)], ids=["array", "offset", "numpy"]
)
def test_empty_buffers_read_as_no_samples_wherever_they_point(empty):
    assert zerocopy(empty, f64(SQUARE[1]), f64(SQUARE[2])) == dict.fromkeys(KEYS, 0.0)


def test_item_type_is_checked_before_alignment():
    misaligned_floats = memoryview(bytearray(4 * 5 + 1))[1:].cast("f")
    with pytest.raises(BufferError, match=f"^{NOT_F64}$"):
        zerocopy(misaligned_floats, f64(SQUARE[1]), f64(SQUARE[2]))


@pytest.mark.parametrize(
    "ctype", [ctypes.c_double, ctypes.c_double.__ctype_be__, ctypes.c_float], ids=["native", "big-endian", "float32"]
)
def test_ctypes_arrays_export_no_strides(ctype):
    # ctypes leaves the strides out even when asked for them; that check comes
    # before the item type is looked at.
    with pytest.raises(BufferError, match="^strides is null$"):
        zerocopy(f64(SQUARE[0]), ctypes_doubles(SQUARE[1], ctype), f64(SQUARE[2]))


@pytest.mark.parametrize(
    "scalar", [np.array(1.0), ctypes.c_double(1.0), memoryview(np.array(1.0))], ids=["numpy", "ctypes", "memoryview"]
)
def test_zero_dimensional_exporters_have_no_shape(scalar):
    with pytest.raises(BufferError, match="^shape is null$"):
        zerocopy(scalar, f64(SQUARE[1]), f64(SQUARE[2]))


@pytest.mark.parametrize("position", [0, 1, 2])
@pytest.mark.parametrize("bad", [[0.0, 1.0, 2.0, 3.0, 4.0], 5.0, None], ids=["list", "float", "None"])
def test_objects_without_buffers_raise_the_interpreters_error(position, bad):
    arguments = [f64(values) for values in SQUARE]
    arguments[position] = bad
    with pytest.raises(TypeError) as caught:
        zerocopy(*arguments)
    assert str(caught.value) == f"a bytes-like object is required, not '{type(bad).__name__}'"


def test_exporter_errors_pass_unchanged():
    error = TypeError("exporter says no")

    class Refusing:
        def __buffer__(self, flags):
            raise error

    with pytest.raises(TypeError) as caught:
        zerocopy(f64(SQUARE[0]), Refusing(), f64(SQUARE[2]))
    assert caught.value is error


def test_multi_dimensional_contiguous_arrays_read_flat():
    x, y, t = random_path(10)
    grids = [values.reshape(2, 5) for values in (x, y, t)]
    assert same_results(zerocopy(*grids), naturalness(*as_lists(x, y, t)))


def row_order(array):
    return array.ravel(order="C").tolist()


def multi_dimensional_layouts():
    x, y, t = random_path(24)
    fortran = [np.asfortranarray(values.reshape(4, 6)) for values in (x, y, t)]
    return [
        pytest.param([np.asfortranarray(v.reshape(6, 4)) for v in (x, y, t)], id="fortran-2d"),
        pytest.param([np.asfortranarray(v.reshape(2, 3, 4)) for v in (x, y, t)], id="fortran-3d"),
        pytest.param([v.reshape(4, 6).T for v in (x, y, t)], id="transposed"),
        pytest.param([v.reshape(2, 3, 4).transpose(1, 2, 0) for v in (x, y, t)], id="axes-permuted"),
        pytest.param([v.reshape(4, 6)[::-1, 1::2] for v in (x, y, t)], id="reversed-rows-stepped-columns"),
        pytest.param([memoryview(v) for v in fortran], id="memoryview-of-fortran"),
        pytest.param([fortran[0], x.reshape(4, 6), t[::-1]], id="mixed"),
    ]


@pytest.mark.parametrize("arrays", multi_dimensional_layouts())
def test_every_layout_is_read_in_row_order(arrays):
    in_row_order = [row_order(np.asarray(array)) for array in arrays]
    assert not all(memoryview(array).c_contiguous for array in arrays)
    assert same_results(zerocopy(*arrays), naturalness(*in_row_order))


@given(
    st.lists(st.integers(1, 4), min_size=1, max_size=3),
    st.sampled_from("CF"),
    st.randoms(use_true_random=False),
)
def test_any_layout_reads_like_its_items_in_row_order(shape, order, rng):
    count = math.prod(shape)
    x, y, t = random_path(count, seed=rng.randrange(2**32))
    arrays = []
    for values in (x, y, t):
        array = np.asarray(values[:count].reshape(shape), order=order)
        axes = list(range(len(shape)))
        rng.shuffle(axes)
        steps = tuple(slice(None, None, rng.choice([1, -1, 2, -2])) for _ in shape)
        arrays.append(array.transpose(axes)[steps])
    assert same_results(zerocopy(*arrays), naturalness(*(row_order(array) for array in arrays)))


def test_read_only_arrays_are_accepted():
    frozen = [f64(values) for values in SQUARE]
    for values in frozen:
        values.flags.writeable = False
    read_only_views = [memoryview(array.array("d", values)).toreadonly() for values in SQUARE]
    assert zerocopy(*frozen) == zerocopy(*read_only_views) == naturalness(*SQUARE)


def strided_views():
    x, y, t = random_path(40)
    points = np.stack([x, y, t], axis=1)
    return [
        pytest.param((points[:, 0], points[:, 1], points[:, 2]), id="columns"),
        pytest.param((x[::-1], y[::-1], (-t)[::-1]), id="reversed"),
        pytest.param((x[1::3], y[2::3], t[::3]), id="stepped"),
        pytest.param((memoryview(x)[::2], memoryview(y)[::2], memoryview(t)[::2]), id="memoryview-stepped"),
        pytest.param(
            tuple(memoryview(array.array("d", values))[::-1] for values in (x, y, -t)), id="memoryview-reversed"
        ),
        pytest.param((x[::-2], memoryview(y)[5:35:3], points[:, 2]), id="mixed"),
    ]


@pytest.mark.parametrize("views", strided_views())
def test_strided_views_read_like_their_contiguous_copies(views):
    copies = [np.ascontiguousarray(view) for view in views]
    assert not any(memoryview(view).c_contiguous for view in views)
    assert same_results(zerocopy(*views), zerocopy(*copies))
    assert same_results(zerocopy(*views), naturalness(*(copy.tolist() for copy in copies)))


finite_or_not = st.floats(allow_nan=True, allow_infinity=True)


@given(
    st.lists(finite_or_not, max_size=60),
    st.integers(0, 4),
    st.sampled_from([-3, -2, -1, 2, 3]),
)
def test_any_strided_view_reads_like_its_copy(values, start, step):
    view = f64(values)[start::step]
    contiguous = np.ascontiguousarray(view)
    assert same_results(zerocopy(view, view[::-1], view), zerocopy(contiguous, contiguous[::-1].copy(), contiguous))


def evaluate_with_refusal(refused, x_obj):
    """Calls the zero-copy function with `x_obj` first and a float32 array at `refused`, if any."""
    arguments = [x_obj, f64(SQUARE[1]), f64(SQUARE[2])]
    if refused is None:
        zerocopy(*arguments)
        return
    arguments[refused] = np.array(SQUARE[refused], dtype=np.float32)
    with pytest.raises(BufferError):
        zerocopy(*arguments)


OUTCOMES = pytest.mark.parametrize("refused", [None, 1, 2], ids=["accepted", "y-refused", "t-refused"])


@OUTCOMES
def test_numpy_x_can_be_resized_after_the_call(refused):
    x = f64(SQUARE[0])
    evaluate_with_refusal(refused, x)
    x.resize(64)  # refuses while anything else still references the array


@OUTCOMES
def test_bytearray_x_can_be_resized_after_the_call(refused):
    backing = bytearray(array.array("d", SQUARE[0]).tobytes())
    x = memoryview(backing).cast("d")
    evaluate_with_refusal(refused, x)
    x.release()  # refuses while a view taken from it is still held
    backing.extend(bytes(64))


class BufferProbe:
    """Exports a float64 array and records every view handed out and given back."""

    def __init__(self, name, exported, log):
        self.name = name
        self.exported = exported
        self.log = log

    def __buffer__(self, flags):
        self.log.append(("get", self.name, flags))
        return memoryview(self.exported)

    def __release_buffer__(self, view):
        self.log.append(("release", self.name))
        view.release()


FULL_READ_ONLY = int(inspect.BufferFlags.FULL_RO)


@pytest.mark.parametrize(
    "refused,expected_log",
    [
        (None, ["get x", "get y", "get t", "release t", "release y", "release x"]),
        (0, ["get x", "release x"]),
        (1, ["get x", "get y", "release y", "release x"]),
        (2, ["get x", "get y", "get t", "release t", "release y", "release x"]),
    ],
)
def test_views_are_released_most_recent_first(refused, expected_log):
    log = []
    probes = [BufferProbe(name, f64(values), log) for name, values in zip("xyt", SQUARE)]
    if refused is None:
        assert zerocopy(*probes) == naturalness(*SQUARE)
    else:
        probes[refused].exported = np.array(SQUARE[refused], dtype=np.float32)
        with pytest.raises(BufferError, match=f"^{NOT_F64}$"):
            zerocopy(*probes)
    assert [" ".join(entry[:2]) for entry in log] == expected_log
    assert all(entry[2] == FULL_READ_ONLY for entry in log if entry[0] == "get")


def test_arguments_after_an_exporter_failure_are_not_requested():
    log = []
    with pytest.raises(TypeError):
        zerocopy([1.0], BufferProbe("y", f64(SQUARE[1]), log), BufferProbe("t", f64(SQUARE[2]), log))
    assert log == []


# --- both entry points ------------------------------------------------------


@given(
    st.lists(finite_or_not, max_size=40),
    st.lists(finite_or_not, max_size=40),
    st.lists(finite_or_not, max_size=40),
)
def test_both_entry_points_agree(x, y, t):
    assert same_results(naturalness(x, y, t), zerocopy(f64(x), f64(y), f64(t)))


@given(st.integers(4, 300), st.integers(0, 2**32 - 1))
def test_both_entry_points_agree_on_realistic_paths(count, seed):
    x, y, t = random_path(count, seed)
    assert same_results(naturalness(*as_lists(x, y, t)), zerocopy(x, y, t))
