"""Objects that misbehave at the module's boundary, shared by the property tests
and the coverage-guided fuzzer.

Every catalogue below is a list of wrappers: each takes plain data (a number, a
text, a list of numbers) and returns an object standing for it, from the plain
and well-behaved (listed first, so shrinking heads for them) to the hostile:
conversion hooks that raise, return the wrong type, re-enter the module, give up
the interpreter lock, or mutate the very container being read.

Hostile objects raise only HostileError or HostileTypeError, so a test can tell
their failures, which the strict conversions must pass on, from the module's own.
"""

import array
import time

import numpy

import veltrix_core_rs as core


class HostileError(Exception):
    """Raised by a hostile object's hook."""


class HostileTypeError(TypeError):
    """A TypeError subclass: conversions pass it on without the argument prefix."""


# Field names the readers look up: keys colliding with them stress the lookups.
TELEMETRY_FIELDS = ("browser", "clicks", "scrolls", "keystrokes", "mouse_movements")
BROWSER_FIELDS = ("webdriver", "screen_width", "screen_height", "touch_supported", "max_touch_points", "plugins_length")
KEYSTROKE_FIELDS = ("type", "down", "t", "time", "key", "up", "duration_ms")
MOVEMENT_FIELDS = ("x", "y", "t", "r", "f")
ALL_FIELDS = TELEMETRY_FIELDS + BROWSER_FIELDS + KEYSTROKE_FIELDS + MOVEMENT_FIELDS

# Keyword names that belong to another function, or to none.
JUNK_KEYWORDS = ("telemetry", "x", "ip", "nonce", "bans", "x_obj", "self", "ip ", "\udc80")

# Just inside and outside the 64-bit ranges, and far beyond a double's.
HUGE_INTS = (2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**400, -(10**400))


# ---------------------------------------------------------------- mutation


def mutate(container, action):
    """Changes `container` in place while the module may be reading it."""
    if isinstance(container, list):
        if action == "clear":
            container.clear()
        elif action == "shrink":
            del container[list.__len__(container) // 2 :]
        elif action == "grow":
            container.extend([{"x": 1, "y": 2, "t": 3}] * 64)
        elif action == "shuffle":
            container.reverse()
    elif isinstance(container, dict):
        if action == "clear":
            container.clear()
        elif action == "shrink" and dict.__len__(container):
            container.popitem()
        elif action == "grow":
            container.update({f"grown-{i}": i for i in range(64)})
        elif action == "shuffle":
            for key in list(container):
                container[key] = None


MUTATIONS = ("clear", "shrink", "grow", "shuffle")


def adopt(container):
    """Points every hostile child of `container` that mutates without a target at it."""
    # The base classes' own methods: a hostile subclass's protocol must not run here.
    children = dict.items(container) if isinstance(container, dict) else enumerate(list.copy(container))
    for key, value in list(children):
        for child in (key, value):
            if isinstance(child, Hostile) and child.target is None:
                child.target = container
    return container


# ---------------------------------------------------------------- nesting

MAX_NESTING = 400  # deeper structures would only trouble repr() of a failing example


def nested(value, depth):
    """`value` wrapped `depth` times, alternating one-item lists and {"t": ...} dicts."""
    for level in range(depth):
        value = [value] if level % 2 else {"t": value}
    return value


# ---------------------------------------------------------------- hooks


def _reenter():
    # Pure and read-only calls: re-entering must not deadlock, and must not change
    # the state a surrounding test is checking.
    core.get_state_engine_stats_rs()
    core.is_ip_banned_rs("reentrant")
    core.evaluate_keystroke_dynamics_rs([("a", 0.0, 80.0), ("b", 100.0, 170.0)])
    core.extract_features_rs({"mouse_movements": [{"x": i, "y": i * i, "t": 10 * i} for i in range(10)]})


class FloatSubclass(float):
    pass


class IntSubclass(int):
    pass


class StrSubclass(str):
    pass


class TupleSubclass(tuple):
    pass


class Hostile:
    """Base of the objects whose hooks follow `behaviour`; `target` is the container
    that a mutating hook changes (set by adopt)."""

    def __init__(self, value, behaviour):
        self.value = value
        self.behaviour = behaviour
        self.target = None
        self.mutating = False

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r}, {self.behaviour!r})"

    def _hook(self, result):
        behaviour = self.behaviour
        if behaviour == "raise":
            raise HostileError(f"{type(self).__name__} refuses")
        if behaviour == "raise_type":
            raise HostileTypeError(f"{type(self).__name__} refuses by type")
        if behaviour == "wrong_type":
            return "not a number"
        if behaviour == "reenter":
            _reenter()
        elif behaviour == "yield_lock":
            time.sleep(0)  # lets another thread take the interpreter lock mid-conversion
        elif behaviour in MUTATIONS and self.target is not None and not self.mutating:
            # A mutation can call this hook again (a colliding key's __eq__ when the
            # dict is written): once is enough, recursing would only blow up the time.
            self.mutating = True
            try:
                mutate(self.target, behaviour)
            finally:
                self.mutating = False
        return result


class FloatLike(Hostile):
    """Converts through __float__ only."""

    def __float__(self):
        if self.behaviour == "float_subclass":
            return FloatSubclass(self.value)
        return self._hook(float(self.value))


class IndexLike(Hostile):
    """Converts through __index__ only (floats accept it too)."""

    def __index__(self):
        return self._hook(int(self.value))


class CollidingKey(Hostile):
    """A dict key with the hash of a field name, so looking that field up compares
    against it: __eq__ may raise, mutate the dict, or claim equality."""

    def __hash__(self):
        return hash(self.value)

    def __eq__(self, other):
        if self.target is None:  # not armed until adopted, so building its dict stays plain
            return self is other
        if self.behaviour == "equal":
            return True
        self._hook(None)
        return False


class HostileList(list):
    """A list whose Python-level protocol raises; the raw list stays readable."""

    def __len__(self):
        raise HostileError("__len__")

    def __iter__(self):
        raise HostileError("__iter__")

    def __getitem__(self, index):
        raise HostileError("__getitem__")


class HostileDict(dict):
    """A dict whose Python-level lookups raise; the raw table stays readable."""

    def __getitem__(self, key):
        raise HostileError("__getitem__")

    def __missing__(self, key):
        raise HostileError("__missing__")

    def get(self, key, default=None):
        raise HostileError("get")


class LyingSequence:
    """A sequence (not a list) whose length lies or raises and whose items may fail."""

    def __init__(self, items, length, fail_at=None):
        self.items = items
        self.length = length
        self.fail_at = fail_at

    def __repr__(self):
        return f"LyingSequence({self.items!r}, {self.length!r}, {self.fail_at!r})"

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise HostileError(f"item {index}")
        return self.items[index]


def _fake_numpy_bool_type(name, with_truth):
    namespace = {
        "__init__": lambda self, truth: setattr(self, "truth", truth),
        "__repr__": lambda self: f"numpy.{name}({self.truth!r})",
    }
    if with_truth:

        def __bool__(self):
            if self.truth == "raise":
                raise HostileError("__bool__")
            return self.truth

        namespace["__bool__"] = __bool__
    fake = type(name, (), namespace)
    fake.__module__ = "numpy"  # recognised by module and name, as numpy's own bool is
    return fake


FakeNumpyBool = _fake_numpy_bool_type("bool_", with_truth=True)
FakeNumpyBoolWithoutTruth = _fake_numpy_bool_type("bool", with_truth=False)


# ---------------------------------------------------------------- catalogues

HOOK_BEHAVIOURS = ("ok", "raise", "raise_type", "wrong_type", "reenter", *MUTATIONS)


def _finite_int(value):
    return int(value) if isinstance(value, int) or (value == value and abs(value) != float("inf")) else 0


def _as_float(value):
    try:
        return float(value)
    except OverflowError:
        return float("inf") if value > 0 else float("-inf")


NUMBER_WRAPPERS = [
    lambda v: v,
    lambda v: _as_float(v),
    lambda v: FloatSubclass(_as_float(v)),
    lambda v: IntSubclass(_finite_int(v)),
    lambda v: bool(_finite_int(v) % 2),
    lambda v: numpy.float64(_as_float(v)),
    lambda v: numpy.int64(max(min(_finite_int(v), 2**63 - 1), -(2**63))),
    lambda v: numpy.bool_(_finite_int(v) % 2),
    lambda v: FloatLike(v, "float_subclass"),
    lambda v: IndexLike(_finite_int(v), "ok"),
    *[lambda v, b=b: FloatLike(v, b) for b in HOOK_BEHAVIOURS],
    *[lambda v, b=b: IndexLike(_finite_int(v), b) for b in HOOK_BEHAVIOURS],
    lambda v: str(v),
    lambda v: None,
    lambda v: [v],
    lambda v: complex(_as_float(v)),
]
"""Stand-ins for a number: plain numbers, subclasses, NumPy scalars, hostile hooks, non-numbers."""

FLAG_WRAPPERS = [
    lambda b: bool(b),
    lambda b: numpy.bool_(b),
    lambda b: int(bool(b)),
    lambda b: FakeNumpyBool(bool(b)),
    lambda b: FakeNumpyBool("raise"),
    lambda b: FakeNumpyBool(2),
    lambda b: FakeNumpyBoolWithoutTruth(bool(b)),
    lambda b: numpy.int64(b),
    lambda b: "true" if b else "",
]
"""Stand-ins for a bool: the two accepted kinds, and look-alikes that must be refused."""

LONE_SURROGATES = ("\ud800", "\udfff", "\udc80")

TEXT_WRAPPERS = [
    lambda s: s,
    lambda s: StrSubclass(s),
    lambda s: s + LONE_SURROGATES[len(s) % len(LONE_SURROGATES)],
    lambda s: s.encode("utf-8", "surrogatepass"),
    lambda s: len(s),
    lambda s: None,
    lambda s: FloatLike(len(s), "reenter"),
]
"""Stand-ins for a text: str and subclasses, unencodable str, and non-text."""


def _generator(values):
    yield from values


def _released_memoryview(values):
    view = memoryview(array.array("d", values))
    view.release()
    return view


SEQUENCE_WRAPPERS = [
    list,
    tuple,
    lambda items: TupleSubclass(items),
    lambda items: numpy.array([v if isinstance(v, float) else 0.0 for v in items], dtype=numpy.float64),
    lambda items: HostileList(items),
    lambda items: LyingSequence(items, len(items)),
    lambda items: LyingSequence(items, 2**62),
    lambda items: LyingSequence(items, -1),
    lambda items: LyingSequence(items, HostileError("__len__")),
    lambda items: LyingSequence(items, len(items), fail_at=len(items) // 2),
    lambda items: _generator(items),
    lambda items: {i: v for i, v in enumerate(items)},
    lambda items: set(range(len(items))),
    lambda items: "".join("1" for _ in items),
    lambda items: bytes(i % 256 for i in range(len(items))),
    lambda items: range(len(items)),
    lambda items: None,
]
"""Stand-ins for a sequence: the accepted kinds, liars, failing ones and non-sequences."""


class BufferExporter:
    """Exports a buffer from Python code (3.12 and later), or refuses to."""

    def __init__(self, source, behaviour):
        self.source = source
        self.behaviour = behaviour

    def __repr__(self):
        return f"BufferExporter({self.source!r}, {self.behaviour!r})"

    def __buffer__(self, flags):
        if self.behaviour == "raise":
            raise HostileError("__buffer__")
        if self.behaviour == "wrong_type":
            return self.source
        return memoryview(self.source)

    def __release_buffer__(self, view):
        view.release()


def _float64_array(values, **layout):
    return numpy.array(values, dtype=numpy.float64, **layout)


def _cast(values, dtype):
    with numpy.errstate(all="ignore"):  # out-of-range values become whatever the cast makes of them
        return _float64_array(values).astype(dtype)


def _misaligned_view(values):
    raw = bytearray(8 * len(values) + 1)
    raw[1:] = array.array("d", values).tobytes()
    return memoryview(raw)[1:].cast("d")


def _two_dimensional(values, order):
    even = values[: len(values) // 2 * 2]
    return _float64_array(even, order=order).reshape((2, -1) if even else (0,), order=order)


def _read_only(values):
    frozen = _float64_array(values)
    frozen.setflags(write=False)
    return frozen


ACCEPTED_BUFFER_WRAPPERS = [
    lambda v: _float64_array(v),
    lambda v: array.array("d", v),
    lambda v: memoryview(array.array("d", v)),
    lambda v: _float64_array(v)[::2],
    lambda v: _float64_array(v)[::-1],
    lambda v: _two_dimensional(v, "C"),
    lambda v: _two_dimensional(v, "F"),
    lambda v: _two_dimensional(v, "F").T,
    lambda v: _read_only(v),
    lambda v: BufferExporter(array.array("d", v), "ok"),
]
"""Float64 buffers of native byte order in any layout: read as their items in logical order."""

BUFFER_WRAPPERS = ACCEPTED_BUFFER_WRAPPERS + [
    lambda v: numpy.array(v[0] if v else 0.0, dtype=numpy.float64),  # zero-dimensional
    lambda v: _float64_array(v).astype(numpy.dtype(numpy.float64).newbyteorder("S")),
    lambda v: _cast(v, numpy.float32),
    lambda v: _cast(v, numpy.complex128),
    lambda v: _cast(v, numpy.int64),
    lambda v: _misaligned_view(v),
    lambda v: memoryview(array.array("d", v)).cast("B"),
    lambda v: bytes(8 * len(v)),
    lambda v: _released_memoryview(v),
    lambda v: BufferExporter(array.array("d", v), "raise"),
    lambda v: BufferExporter(array.array("d", v), "wrong_type"),
    lambda v: list(v),
    lambda v: None,
]
"""Stand-ins for a float64 buffer: accepted layouts, refused formats and exporters, non-buffers."""
