"""Lenient reading absorbs ordinary errors only: interrupts, exits, MemoryError and
RecursionError raised while telemetry or keystroke lists are read reach the caller
at once; deep re-entry through a conversion ends in RecursionError, never in a
crash; and both reading paths follow the documented rules of the independent
pure-Python model of the benchmarks."""

import math
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import veltrix_core_rs as core

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))

import reference_python  # noqa: E402
from reference_check import feature_mismatches  # noqa: E402


class CustomBaseException(BaseException):
    pass


class CustomError(Exception):
    pass


class MemoryErrorSubclass(MemoryError):
    pass


PROPAGATED = [
    KeyboardInterrupt,
    SystemExit,
    GeneratorExit,
    CustomBaseException,
    MemoryError,
    MemoryErrorSubclass,
    RecursionError,
]
ABSORBED = [ValueError, TypeError, OverflowError, ZeroDivisionError, CustomError]


class Raises:
    """Raises `error` from every conversion a reader may call on it."""

    def __init__(self, error):
        self.error = error

    def _raise(self):
        raise self.error

    __float__ = __index__ = _raise


class CollidesWith:
    """A dict key hashing like `name` whose comparison raises `error` once armed,
    so that looking `name` up in its dict fails."""

    def __init__(self, name, error):
        self.name, self.error, self.armed = name, error, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed:
            raise self.error
        return self is other


def with_collider(name, error, items):
    collider = CollidesWith(name, error)
    built = {collider: 0, **items}
    collider.armed = True
    return built


class Counted:
    """A number whose conversion is counted, to see that reading stopped before it."""

    def __init__(self):
        self.calls = 0

    def __float__(self):
        self.calls += 1
        return 1.0


def fake_numpy_bool(error):
    """An object named like NumPy's bool scalar whose type's __module__ cannot be read."""

    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__module__":
                raise error
            return super().__getattribute__(name)

    return Meta("bool_", (), {})()


# Each place builds a call whose reading meets `error` in one field or item, then
# goes on to `later`; absent_call is the same call with that field or item left out.
PLACES = {
    "pointer coordinate": (
        lambda error, later: core.extract_features_rs(
            {"mouse_movements": [{"x": 1, "y": 2, "t": 3, "r": Raises(error)}, {"x": later, "y": 2, "t": 4}]}
        ),
        lambda later: core.extract_features_rs(
            {"mouse_movements": [{"x": 1, "y": 2, "t": 3}, {"x": later, "y": 2, "t": 4}]}
        ),
    ),
    "pointer dict lookup": (
        lambda error, later: core.extract_features_rs(
            {"mouse_movements": [with_collider("x", error, {"x": 1, "y": 2, "t": 3}), {"x": later, "y": 2, "t": 4}]}
        ),
        lambda later: core.extract_features_rs({"mouse_movements": [{"x": later, "y": 2, "t": 4}]}),
    ),
    "browser number": (
        lambda error, later: core.extract_features_rs(
            {
                "browser": {"screen_width": Raises(error), "screen_height": 600},
                "mouse_movements": [{"x": later, "y": 2, "t": 4}],
            }
        ),
        lambda later: core.extract_features_rs(
            {"browser": {"screen_height": 600}, "mouse_movements": [{"x": later, "y": 2, "t": 4}]}
        ),
    ),
    "browser flag": (
        lambda error, later: core.extract_features_rs(
            {"browser": {"webdriver": fake_numpy_bool(error)}, "mouse_movements": [{"x": later, "y": 2, "t": 4}]}
        ),
        lambda later: core.extract_features_rs({"browser": {}, "mouse_movements": [{"x": later, "y": 2, "t": 4}]}),
    ),
    "visit lookup": (
        lambda error, later: core.extract_features_rs(
            with_collider("browser", error, {"browser": {}, "mouse_movements": [{"x": later, "y": 2, "t": 4}]})
        ),
        lambda later: core.extract_features_rs({"mouse_movements": [{"x": later, "y": 2, "t": 4}]}),
    ),
    "telemetry keystroke": (
        lambda error, later: core.extract_features_rs(
            {"keystrokes": [{"t": Raises(error)}], "mouse_movements": [{"x": later, "y": 2, "t": 4}]}
        ),
        lambda later: core.extract_features_rs({"mouse_movements": [{"x": later, "y": 2, "t": 4}]}),
    ),
    "keystroke dict": (
        lambda error, later: core.evaluate_keystroke_dynamics_rs(
            [{"key": "a", "down": 0, "up": Raises(error)}, ("b", later, None)]
        ),
        lambda later: core.evaluate_keystroke_dynamics_rs([{"key": "a", "down": 0}, ("b", later, None)]),
    ),
    "keystroke tuple": (
        lambda error, later: core.evaluate_keystroke_dynamics_rs([("a", Raises(error), None), ("b", later, None)]),
        lambda later: core.evaluate_keystroke_dynamics_rs([("b", later, None)]),
    ),
}


@pytest.mark.parametrize("error_type", PROPAGATED, ids=lambda t: t.__name__)
@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
def test_interrupts_exits_and_resource_errors_reach_the_caller_at_once(place, error_type):
    failing_call, _ = place
    error, later = error_type("raised while reading"), Counted()
    with pytest.raises(error_type) as raised:
        failing_call(error, later)
    assert raised.value is error
    assert later.calls == 0


@pytest.mark.parametrize("error_type", ABSORBED, ids=lambda t: t.__name__)
@pytest.mark.parametrize("place", PLACES.values(), ids=PLACES.keys())
def test_ordinary_errors_read_as_a_missing_value(place, error_type):
    failing_call, absent_call = place
    later = Counted()
    assert failing_call(error_type("raised while reading"), later) == absent_call(Counted())
    assert later.calls == 1


class LengthRaises:
    """A sequence whose length hint fails."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error

    def __getitem__(self, index):
        if index < 3:
            return float(index)
        raise IndexError(index)


def test_a_failing_length_hint_is_absorbed_only_when_ordinary():
    series = list(map(float, range(3)))
    expected = core.evaluate_curvature_naturalness_rs(series, series, series)
    assert core.evaluate_curvature_naturalness_rs(LengthRaises(ValueError()), series, series) == expected
    with pytest.raises(KeyboardInterrupt):
        core.evaluate_curvature_naturalness_rs(LengthRaises(KeyboardInterrupt()), series, series)


def run_child(script):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=300)


def test_a_timer_interrupt_during_reading_reaches_the_caller():
    child = run_child("""
        import os, signal
        from fractions import Fraction
        import veltrix_core_rs as core

        points = [{"x": Fraction(i, 7), "y": Fraction(i, 3), "t": i} for i in range(300_000)]
        signal.signal(signal.SIGALRM, lambda *_: os.kill(os.getpid(), signal.SIGINT))
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        try:
            features = core.extract_features_rs({"mouse_movements": points})
        except KeyboardInterrupt:
            print("interrupted")
        else:
            print("returned", features["mouse_points"])
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "interrupted"


REENTRY = {
    "extract_features_rs": """
        class Reenters:
            def __float__(self):
                core.extract_features_rs(ARGUMENT)
                return 1.0
        ARGUMENT = {"mouse_movements": [{"x": Reenters(), "y": 1, "t": 1}]}
        call = lambda: core.extract_features_rs(ARGUMENT)
    """,
    "evaluate_keystroke_dynamics_rs": """
        class Reenters:
            def __float__(self):
                core.evaluate_keystroke_dynamics_rs(ARGUMENT)
                return 1.0
        ARGUMENT = [("a", Reenters(), None)]
        call = lambda: core.evaluate_keystroke_dynamics_rs(ARGUMENT)
    """,
    "evaluate_curvature_naturalness_rs": """
        class Reenters:
            def __float__(self):
                core.evaluate_curvature_naturalness_rs(ARGUMENT, [1.0], [1.0])
                return 1.0
        ARGUMENT = [Reenters()]
        call = lambda: core.evaluate_curvature_naturalness_rs(ARGUMENT, [1.0], [1.0])
    """,
    "ban_ip_rs": """
        class Reenters:
            def __index__(self):
                core.ban_ip_rs("192.0.2.1", self)
                return 1
        call = lambda: core.ban_ip_rs("192.0.2.1", Reenters())
    """,
}
STACKS = {
    "thread with a 2 MiB stack": """
        import threading
        threading.stack_size(2 << 20)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    """,
    "main thread, recursion limit 3000": """
        sys.setrecursionlimit(3000)
        run()
    """,
    # The recursion count never stops this one: only the native stack's headroom does.
    "thread with a 512 KiB stack, recursion limit 100000": """
        import threading
        sys.setrecursionlimit(100_000)
        threading.stack_size(512 << 10)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    """,
}


@pytest.mark.parametrize("stack", STACKS.values(), ids=STACKS.keys())
@pytest.mark.parametrize("reentry", REENTRY.values(), ids=REENTRY.keys())
def test_deep_reentry_ends_in_recursion_error(reentry, stack):
    child = run_child(
        "import sys\nimport veltrix_core_rs as core\n"
        + textwrap.dedent(reentry)
        + textwrap.dedent("""
        def run():
            try:
                call()
                print("returned")
            except RecursionError:
                print("RecursionError")
    """)
        + textwrap.dedent(stack)
    )
    assert child.returncode == 0, f"child ended with {child.returncode}: {child.stderr[-2000:]}"
    assert child.stdout.strip() == "RecursionError"


class FloatSubclass(float):
    pass


class IntSubclass(int):
    def __float__(self):
        return float(int(self)) + 0.5


class StrSubclass(str):
    __hash__ = str.__hash__


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


# Values of every kind both reading paths meet: the plain ones the single walk
# reads, and those that send a dict to the careful reader.
# Moderate magnitudes: the model's arithmetic may round differently near overflow.
plain_numbers = (
    st.floats(-1e6, 1e6)
    | st.sampled_from([math.nan, math.inf, -math.inf])
    | st.integers(-(10**6), 10**6)
    | st.booleans()
)
numbers = (
    plain_numbers
    | st.sampled_from([10**400, None, "12", b"1", [1]])
    | plain_numbers.filter(lambda v: not isinstance(v, bool)).map(
        lambda v: FloatSubclass(v) if isinstance(v, float) else IntSubclass(v)
    )
    | st.floats(allow_nan=False).map(FloatLike)
)
labels = (
    st.text(max_size=3)
    | st.sampled_from(["Shift", "\u212a", "\ud800"]).map(str)
    | st.builds(StrSubclass, st.text(max_size=2))
)


def keyed(fields):
    """Dicts over `fields`, now and then with a str-subclass key or a key that is not text."""
    base = st.fixed_dictionaries({}, optional=fields)
    return base | st.builds(
        lambda d, extra: {**d, **extra},
        base,
        st.sampled_from([{7: 1.0}, {(1,): 2}, {StrSubclass("x"): 5.0}, {StrSubclass("t"): 9}]),
    )


telemetry = st.fixed_dictionaries(
    {},
    optional={
        "browser": keyed(
            {
                name: numbers
                for name in (
                    "webdriver",
                    "screen_width",
                    "screen_height",
                    "touch_supported",
                    "max_touch_points",
                    "plugins_length",
                )
            }
        ),
        "clicks": st.lists(st.none(), max_size=3),
        "scrolls": st.lists(st.none(), max_size=3),
        "keystrokes": st.lists(
            keyed(
                {"key": labels, "t": numbers, "down": numbers, "time": numbers, "up": numbers, "duration_ms": numbers}
            ),
            max_size=12,
        ),
        "mouse_movements": st.lists(keyed({name: numbers for name in "xytrf"}), max_size=40),
    },
)


@settings(max_examples=300, deadline=None)
@given(telemetry)
def test_both_reading_paths_follow_the_reading_rules(visit):
    expected = reference_python.extract_features(visit)
    actual = core.extract_features_rs(visit)
    assert feature_mismatches(expected, actual) == []
    # Counts come from the reading alone and must agree exactly.
    for key in (
        "mouse_points",
        "key_count",
        "click_count",
        "scroll_count",
        "touch_event_count",
        "plugins_length",
        "max_touch_points",
        "webdriver",
        "touch_supported",
        "screen_valid",
    ):
        assert actual[key] == expected[key], key
    assert math.isnan(actual["screen_width"]) or actual["screen_width"] == expected["screen_width"]
