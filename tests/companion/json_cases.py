"""JSON text built piece by piece, so that duplicate keys, escapes, every number
spelling and broken bytes can be written on purpose: hypothesis strategies for
the property tests of extract_features_json."""

from hypothesis import strategies as st

# ---------------------------------------------------------------- JSON text


def _joined(items, opening, closing, spaces):
    return opening + ("," + spaces).join(items) + closing


ints = st.one_of(
    st.integers(-5000, 5000),
    st.sampled_from([0, -1, 2**53 + 1, 2**63 - 1, -(2**63), 2**63, 2**64 - 1, 2**64, -(2**63) - 1, 10**30]),
).map(str)
floats = st.one_of(
    st.floats(-5000, 5000).map(repr),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.integers(-5000, 5000).map(lambda n: f"{n / 8}"),
)
number_spellings = st.one_of(
    ints,
    floats,
    st.sampled_from(
        [
            "-0",
            "-0.0",
            "0e0",
            "-0E-0",
            "1E5",
            "1e+05",
            "2.5e-3",
            "1e400",
            "-1e400",
            "1e-400",
            "4.9e-324",
            "1.7976931348623157e308",
            "1.7976931348623159e308",
            "0.1000000000000000055511151231257827021181583404541015625",
            "123456789012345678901234567890.5",
            "NaN",
            "Infinity",
            "-Infinity",
        ]
    ),
)
literals = st.sampled_from(["true", "false", "null"])
scalar_texts = number_spellings | literals


def _escaped_char(char, escape):
    if escape or char in '"\\' or ord(char) < 0x20:
        code = ord(char)
        if code > 0xFFFF:
            code -= 0x10000
            return f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}"
        return f"\\u{code:04x}"
    return char


@st.composite
def string_texts(draw, text=None, hostile=True):
    """A JSON string literal of `text` (or of drawn text), each character maybe escaped,
    and when `hostile` sometimes a lone surrogate or a run of escapes added."""
    if text is None:
        text = draw(
            st.one_of(
                st.text(max_size=8),
                st.sampled_from(["a", "T", "h", "Shift", "é", "\U0001f600", "\u212a", "unknown", ""]),
            )
        )
    literal = "".join(_escaped_char(char, draw(st.integers(0, 5)) == 0) for char in text)
    if hostile and draw(st.integers(0, 15)) == 0:
        literal += draw(st.sampled_from(["\\ud800", "\\udc00", "\\ud800\\u0041", "\\/", "\\b\\f\\n\\r\\t"]))
    return f'"{literal}"'


def objects(fields, extra_values, hostile=True):
    """An object of some of `fields` (name -> value strategy), in any order, maybe
    repeated (the last counts), with junk keys; names sometimes escaped (and when
    `hostile`, sometimes given a lone surrogate)."""

    @st.composite
    def build(draw):
        entries = []
        for name, values in fields.items():
            for _ in range(draw(st.sampled_from([0, 1, 1, 1, 1, 2]))):
                entries.append((draw(string_texts(name, hostile)), draw(values)))
        for _ in range(draw(st.integers(0, 2))):
            entries.append((draw(string_texts(hostile=hostile)), draw(extra_values)))
        order = draw(st.permutations(range(len(entries))))
        spaces = draw(st.sampled_from(["", " ", "\n  "]))
        return _joined([f"{key}:{spaces}{value}" for key, value in (entries[i] for i in order)], "{", "}", spaces)

    return build()


def arrays(items, max_size=20):
    return st.builds(
        lambda values, spaces: _joined(values, "[", "]", spaces),
        st.lists(items, max_size=max_size),
        st.sampled_from(["", " "]),
    )


any_json = st.recursive(
    scalar_texts | string_texts(),
    lambda children: arrays(children, max_size=4) | objects({}, children),
    max_leaves=10,
)
deep_json = st.integers(1, 3000).map(lambda depth: "[" * depth + "1" + "]" * depth)

coordinates = st.one_of(ints, floats, number_spellings, literals, string_texts(), any_json)
movements = objects({name: coordinates for name in ("x", "y", "t", "r", "f")}, any_json)


@st.composite
def pointer_paths(draw):
    """Well-formed samples, so the analyses run: integer or float coordinates."""
    steps = draw(st.lists(st.tuples(st.integers(-50, 50), st.integers(-50, 50), st.floats(-5, 40)), max_size=60))
    whole = draw(st.booleans())
    x = y = t = 0
    samples = []
    for dx, dy, dt in steps:
        x, y, t = x + dx, y + dy, t + dt
        if whole:
            samples.append(f'{{"x":{x},"y":{y},"t":{round(t, 3)!r}}}')
        else:
            samples.append(f'{{"x":{x + dt / 7!r},"y":{y - dt / 3!r},"t":{t!r}}}')
    return "[" + ",".join(samples) + "]"


keystrokes = objects(
    {
        "key": string_texts() | any_json,
        "t": coordinates,
        "down": coordinates,
        "time": coordinates,
        "up": coordinates,
        "duration_ms": coordinates,
    },
    any_json,
)
browsers = objects(
    {
        name: coordinates
        for name in (
            "webdriver",
            "screen_width",
            "screen_height",
            "touch_supported",
            "max_touch_points",
            "plugins_length",
        )
    },
    any_json,
)

telemetry_texts = st.one_of(
    objects(
        {
            "browser": browsers | any_json,
            "clicks": arrays(any_json, max_size=6) | any_json,
            "scrolls": arrays(any_json, max_size=6) | any_json,
            "keystrokes": arrays(keystrokes, max_size=160) | any_json,
            "mouse_movements": pointer_paths() | arrays(movements) | any_json,
        },
        any_json | deep_json,
    ),
    any_json,
)


@st.composite
def damaged(draw, bodies):
    """A body's UTF-8 bytes, sometimes broken: cut short, garbage added, a byte-order
    mark, invalid or surrogate UTF-8 inside, re-encoded as UTF-16 or UTF-32."""
    body = draw(bodies).encode("utf-8")
    damage = draw(st.sampled_from(["none"] * 6 + ["cut", "append", "insert", "bom", "utf-16", "utf-32", "bytes"]))
    if damage == "cut":
        return body[: draw(st.integers(0, max(len(body) - 1, 0)))]
    if damage == "append":
        return body + draw(st.sampled_from([b" ", b"\n", b"x", b"{}", b",", b"\x00", b"\t\r\n "]))
    if damage in ("insert", "bytes"):
        at = draw(st.integers(0, len(body)))
        junk = (
            draw(
                st.sampled_from(
                    [
                        b"\xff",
                        b"\xc0\x80",
                        b"\xed\xa0\x80",
                        b"\xe2\x82",
                        b"\x00",
                        b"\x1f",
                        b"\\",
                        b'"',
                        b"\xf4\x90\x80\x80",
                        b"\xef\xbb\xbf",
                    ]
                )
            )
            if damage == "insert"
            else draw(st.binary(min_size=1, max_size=3))
        )
        return body[:at] + junk + body[at:]
    if damage == "bom":
        return b"\xef\xbb\xbf" + body
    if damage in ("utf-16", "utf-32"):
        encoding = draw(st.sampled_from([f"{damage}", f"{damage}-le", f"{damage}-be"]))
        return body.decode("utf-8").encode(encoding)
    return body


# ---------------------------------------------------------------- envelopes

ENVELOPE_NAMES = ("telemetry", "id", "label", "meta", "t\u00e9l\u00e9\U0001f600")
"""Member names of the envelopes below; each is asked for as telemetry key and as kept member."""

# Values the parser takes (no NaN, no integer beyond 64 bits), so that most envelopes are read natively.
readable_json = st.recursive(
    st.integers(-(2**63), 2**64 - 1).map(str)
    | st.floats(allow_nan=False, allow_infinity=False).map(repr)
    | literals
    | string_texts(hostile=False),
    lambda children: arrays(children, max_size=4) | objects({}, children, hostile=False),
    max_leaves=8,
)
readable_telemetry = objects(
    {"mouse_movements": pointer_paths(), "clicks": arrays(readable_json, max_size=4)}, readable_json, hostile=False
)
kept_values = st.one_of(
    readable_json,
    readable_json,
    readable_json,
    any_json,
    deep_json,
    st.sampled_from(['"\\u00e9\\ud83d\\ude00"', "NaN", "-Infinity", str(2**70)]),
)


def _envelopes(hostile):
    return objects(
        {
            "telemetry": readable_telemetry | telemetry_texts | literals | arrays(readable_json, max_size=3),
            "id": kept_values,
            "label": string_texts(hostile=hostile) | kept_values,
            "meta": objects({"telemetry": readable_telemetry, "ip": string_texts()}, readable_json, hostile),
            ENVELOPE_NAMES[-1]: readable_telemetry | kept_values,
        },
        kept_values,
        hostile,
    )


envelope_texts = st.one_of(_envelopes(hostile=False), _envelopes(hostile=False), _envelopes(hostile=True), any_json)
"""Wrapped visits as services log them, made hostile: any member missing, repeated
(at every level: the visit's own objects repeat keys too), escaped, null, an array,
nested or deep; huge integers and NaN literals; a top level that is no object."""

telemetry_keys = st.sampled_from([None, "telemetry", "telemetry", "telemetry", *ENVELOPE_NAMES, "absent"])
kept_name_lists = st.lists(st.sampled_from([*ENVELOPE_NAMES, "absent"]), unique=True, max_size=4).map(tuple)
