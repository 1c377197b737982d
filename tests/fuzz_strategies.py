"""Hypothesis strategies for every input the module accepts: visit telemetry,
keystroke lists, curvature series and buffers, ban lists, the text and integer
arguments of the state engine, and whole calls with right or wrong bindings.

Each strategy mixes well-formed, JSON-like data (so that the analyses really run)
with the hostile stand-ins of hostile_objects: NaN and infinities, huge ints,
lone surrogates, dict and list subclasses, deep nesting, and conversion hooks
that raise, re-enter the module or mutate the container being read.

Settings come from the profile named by HYPOTHESIS_PROFILE: "ci" (the default,
quick) or "long" (thorough); apply them with @fuzz_settings.
"""

import os

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from hostile_objects import (
    ALL_FIELDS,
    BUFFER_WRAPPERS,
    FLAG_WRAPPERS,
    HUGE_INTS,
    JUNK_KEYWORDS,
    LONE_SURROGATES,
    MAX_NESTING,
    MUTATIONS,
    NUMBER_WRAPPERS,
    SEQUENCE_WRAPPERS,
    TEXT_WRAPPERS,
    CollidingKey,
    HostileDict,
    HostileList,
    StrSubclass,
    TupleSubclass,
    adopt,
    nested,
)
from result_contracts import PARAMETERS

_TOLERATED = [
    HealthCheck.too_slow,
    HealthCheck.data_too_large,
    HealthCheck.filter_too_much,
    HealthCheck.large_base_example,
]
settings.register_profile("ci", max_examples=60, deadline=None, suppress_health_check=_TOLERATED)
settings.register_profile("long", max_examples=5000, deadline=None, suppress_health_check=_TOLERATED)
fuzz_settings = settings.get_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


def _wrapped(wrappers, values):
    # Drawn by index, so a failure report shows a short strategy and shrinks to the plainest wrapper.
    return st.tuples(st.sampled_from(range(len(wrappers))), values).map(lambda drawn: wrappers[drawn[0]](drawn[1]))


# ---------------------------------------------------------------- scalars

numbers = st.one_of(
    st.floats(-1e4, 1e4),
    st.integers(-1000, 1000),
    st.floats(),  # NaN, infinities, extremes, subnormals
    st.sampled_from(HUGE_INTS),
)
number_like = _wrapped(NUMBER_WRAPPERS, numbers)
flag_like = _wrapped(FLAG_WRAPPERS, st.booleans())
plain_texts = st.one_of(
    st.text(max_size=12),
    st.sampled_from(ALL_FIELDS + ("up", "UP", "keyup", "unknown")),
    st.text(alphabet=st.sampled_from(["a", "é", "\x00", "\U0001f600", *LONE_SURROGATES]), max_size=6),
)
text_like = _wrapped(TEXT_WRAPPERS, plain_texts)


# ---------------------------------------------------------------- structures

json_values = st.recursive(
    st.none() | st.booleans() | numbers | plain_texts,
    lambda children: st.lists(children, max_size=4) | st.dictionaries(plain_texts, children, max_size=4),
    max_leaves=12,
)


deep_nesting = st.builds(nested, st.none() | numbers, st.integers(1, MAX_NESTING))


hostile_scalars = number_like | flag_like | text_like
anything = st.one_of(json_values, hostile_scalars, deep_nesting)


@st.composite
def field_dicts(draw, fields):
    """A dict (or dict subclass) with some of `fields` mapped to drawn values, plus junk
    keys: other texts, str subclasses, and keys colliding with the field names."""
    entries = {}
    for name, values in fields.items():
        if draw(st.integers(0, 4)):  # present four times in five
            entries[draw(st.sampled_from([name, name, StrSubclass(name)]))] = draw(values)
    for _ in range(draw(st.integers(0, 2))):
        behaviour = draw(st.sampled_from(("equal", "raise", "reenter", *MUTATIONS)))
        entries[CollidingKey(draw(st.sampled_from(list(fields))), behaviour)] = draw(anything)
    entries.update(draw(st.dictionaries(plain_texts, anything, max_size=2)))
    kind = draw(st.sampled_from([dict, dict, dict, HostileDict]))
    return adopt(kind(entries))


@st.composite
def mixed_lists(draw, items, max_size=30):
    """A list (or list subclass) of `items`, hostile members pointed at it."""
    kind = draw(st.sampled_from([list, list, list, HostileList]))
    return adopt(kind(draw(st.lists(items, max_size=max_size))))


# ---------------------------------------------------------------- telemetry

coordinates = st.one_of(st.floats(-5000, 5000), st.integers(-5000, 5000), number_like)

movements = field_dicts({"x": coordinates, "y": coordinates, "t": coordinates, "r": coordinates, "f": coordinates})


@st.composite
def pointer_paths(draw):
    """Well-formed samples in time order, sometimes with repeated or reversed steps,
    so the kinematics, spectral and curvature analyses all get real work."""
    steps = draw(
        st.lists(st.tuples(st.floats(-50, 50), st.floats(-50, 50), st.floats(-5, 40)), min_size=0, max_size=80)
    )
    x = y = t = 0.0
    path = []
    for dx, dy, dt in steps:
        x, y, t = x + dx, y + dy, t + dt
        path.append({"x": x, "y": y, "t": t, "r": abs(dx), "f": abs(dy) / 50})
    return path


movement_lists = st.one_of(
    pointer_paths(),
    mixed_lists(movements | anything),
    st.builds(lambda path, extra: adopt(path + extra), pointer_paths(), st.lists(movements, max_size=5)),
)

keystroke_dicts = field_dicts(
    {
        "type": st.sampled_from(["up", "down", "UP", "keyup"]) | text_like,
        "down": coordinates,
        "t": coordinates,
        "time": coordinates,
        "key": st.sampled_from(["a", "b", "t", "h", "e", " "]) | text_like,
        "up": coordinates | st.none(),
        "duration_ms": coordinates,
    }
)

browsers = field_dicts(
    {
        "webdriver": flag_like,
        "screen_width": number_like,
        "screen_height": number_like,
        "touch_supported": flag_like,
        "max_touch_points": number_like,
        "plugins_length": number_like,
    }
)

telemetry = st.one_of(
    field_dicts(
        {
            "browser": browsers | anything,
            "clicks": mixed_lists(anything, max_size=8) | anything,
            "scrolls": mixed_lists(anything, max_size=8) | anything,
            "keystrokes": mixed_lists(keystroke_dicts | anything) | anything,
            "mouse_movements": movement_lists | anything,
        }
    ),
    anything,
)


# ---------------------------------------------------------------- keystroke lists

keystroke_tuples = st.one_of(
    st.tuples(st.sampled_from(["a", "b", "t", "h"]) | text_like, coordinates, coordinates | st.none()),
    st.builds(TupleSubclass, st.tuples(text_like, coordinates, coordinates | st.none())),
    st.tuples(text_like, coordinates),
    st.tuples(text_like, coordinates, coordinates, coordinates),
)
keystroke_lists = st.one_of(
    mixed_lists(keystroke_tuples | keystroke_dicts | anything, max_size=40),
    anything,
)


# ---------------------------------------------------------------- curvature inputs

_series_items = st.one_of(st.floats(-1000, 1000), st.integers(-1000, 1000), number_like)
curvature_sequences = _wrapped(SEQUENCE_WRAPPERS, st.lists(_series_items, max_size=40)) | anything
float64_buffers = _wrapped(BUFFER_WRAPPERS, st.lists(st.floats(-1000, 1000) | st.floats(), max_size=40)) | anything


# ---------------------------------------------------------------- state engine arguments

expiries = st.one_of(st.integers(0, 2**64 - 1), st.sampled_from(HUGE_INTS), number_like)
ban_pairs = st.one_of(
    st.tuples(text_like, expiries),
    st.builds(TupleSubclass, st.tuples(plain_texts, st.integers(0, 2**64 - 1))),
    st.lists(anything, min_size=2, max_size=2),
    st.tuples(plain_texts, expiries, anything),
    st.tuples(plain_texts),
    anything,
)
ban_lists = _wrapped(SEQUENCE_WRAPPERS, st.lists(ban_pairs, max_size=8)) | anything
durations = st.one_of(st.integers(0, 10**6), st.sampled_from(HUGE_INTS), number_like)


# ---------------------------------------------------------------- any call


@st.composite
def bound_calls(draw):
    """Any function with up to four positional arguments and keywords, right or wrong."""
    name = draw(st.sampled_from(list(PARAMETERS)))
    arguments = draw(st.lists(anything, max_size=4))
    keyword_names = st.sampled_from([*PARAMETERS[name], *JUNK_KEYWORDS])
    keywords = draw(st.dictionaries(keyword_names, anything, max_size=3))
    return name, arguments, keywords
