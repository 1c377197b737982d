"""Coverage-guided fuzzing of all thirteen module functions, and of the companion
package's veltrix.extract_features_json, with atheris.

Each input's bytes are decoded into one call: the function, then its arguments,
built from JSON-like values and the hostile stand-ins the property tests use
(tests/hostile_objects.py). Every call is judged by tests/result_contracts.py:
a result with wrong keys, order or types, or an exception the function's
failure rules do not name, fails the run with the input saved as a crash file;
so does any native crash, and, in the sanitizer build, any memory error.

    python fuzz/fuzz_module.py [libFuzzer flags] [corpus directories]

fuzz/run_fuzzer.sh builds the instrumented module and runs this with the right
environment; see fuzz/README.md.
"""

import os
import sys

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")
sys.path[:0] = [TESTS, os.path.join(TESTS, "companion")]

import atheris  # noqa: E402
from json_contract import BODY_KINDS, as_kind, assert_matches_json_loads  # noqa: E402

# Imported before the decoder is instrumented, so only the decoder's own branches add Python coverage.
import hostile_objects as hostile  # noqa: E402
from result_contracts import PARAMETERS, call_checked  # noqa: E402

FUNCTIONS = list(PARAMETERS)
MAX_ITEMS = 64
JSON_BODY_SHARE = 0.25  # of the calls, made to extract_features_json
NUMBER_SPELLINGS = (
    "-0",
    "-0.0",
    "0e0",
    "1E5",
    "1e+05",
    "1e400",
    "-1e400",
    "1e-400",
    "4.9e-324",
    "1.7976931348623159e308",
    "18446744073709551615",
    "18446744073709551616",
    "-9223372036854775809",
    "123456789012345678901234567890",
    "NaN",
    "Infinity",
    "-Infinity",
    "true",
    "false",
    "null",
    "01",
    "1.",
    ".5",
    "+1",
    "-",
)
BODY_DAMAGE = (
    b"",
    b"\xef\xbb\xbf",
    b"\xff",
    b"\xed\xa0\x80",
    b"\xc0\x80",
    b"\x00",
    b"\x01",
    b"\\",
    b'"',
    b",",
    b"]",
    b"}",
    b"\\ud800",
)


class InputDecoder:
    """Turns fuzzer bytes into Python values, preferring well-formed data a little
    so that the analyses behind the readers are reached too."""

    def __init__(self, data):
        self.bytes = atheris.FuzzedDataProvider(data)

    def chance(self, probability):
        # Once the bytes run out this is always true: every loop must have its own bound.
        return self.bytes.ConsumeProbability() < probability

    def pick(self, choices):
        return choices[self.bytes.ConsumeIntInRange(0, len(choices) - 1)]

    def count(self, limit=MAX_ITEMS):
        return self.bytes.ConsumeIntInRange(0, limit)

    def wrapped(self, wrappers, value):
        # The first wrapper is the plain value itself.
        return value if self.chance(0.5) else self.pick(wrappers)(value)

    # ------------------------------------------------------------ scalars

    def plain_number(self):
        kind = self.bytes.ConsumeIntInRange(0, 4)
        if kind == 0:
            return self.bytes.ConsumeRegularFloat()
        if kind == 1:
            return self.bytes.ConsumeFloat()  # NaN, infinities and extremes too
        if kind == 2:
            return self.bytes.ConsumeIntInRange(-5000, 5000)
        if kind == 3:
            return self.bytes.ConsumeInt(9)
        return self.pick(hostile.HUGE_INTS)

    def number(self):
        return self.wrapped(hostile.NUMBER_WRAPPERS, self.plain_number())

    def plain_text(self):
        if self.chance(0.4):
            return self.pick(hostile.ALL_FIELDS)
        return self.bytes.ConsumeUnicode(self.count(12))  # may hold lone surrogates

    def text(self):
        return self.wrapped(hostile.TEXT_WRAPPERS, self.plain_text())

    def flag(self):
        return self.wrapped(hostile.FLAG_WRAPPERS, self.bytes.ConsumeBool())

    # ------------------------------------------------------------ structures

    def value(self, depth=0):
        kind = self.bytes.ConsumeIntInRange(0, 9)
        if kind == 0 or depth > 3:
            return self.pick((None, True, False))
        if kind <= 2:
            return self.number()
        if kind == 3:
            return self.text()
        if kind == 4:
            return self.flag()
        if kind == 5:
            return self.list_of(lambda: self.value(depth + 1), limit=6)
        if kind == 6:
            return self.field_dict({self.plain_text(): lambda: self.value(depth + 1) for _ in range(self.count(4))})
        if kind == 7:
            return tuple(self.value(depth + 1) for _ in range(self.count(4)))
        if kind == 8:
            return hostile.nested(self.plain_number(), self.bytes.ConsumeIntInRange(1, hostile.MAX_NESTING))
        return self.pick(hostile.SEQUENCE_WRAPPERS)([self.number() for _ in range(self.count(6))])

    def list_of(self, item, limit=MAX_ITEMS):
        kind = list if self.chance(0.8) else hostile.HostileList
        return hostile.adopt(kind(item() for _ in range(self.count(limit))))

    def field_dict(self, fields):
        """Some of `fields` (name -> value maker), junk keys, colliding keys; maybe a hostile subclass."""
        entries = {}
        for name, make in fields.items():
            if self.chance(0.8):
                entries[hostile.StrSubclass(name) if self.chance(0.1) else name] = make()
        names = list(fields) or list(hostile.ALL_FIELDS)
        for _ in range(self.count(2)):
            behaviour = self.pick(("equal", "raise", "reenter", *hostile.MUTATIONS))
            entries[hostile.CollidingKey(self.pick(names), behaviour)] = self.value(2)
        kind = dict if self.chance(0.85) else hostile.HostileDict
        return hostile.adopt(kind(entries))

    # ------------------------------------------------------------ module inputs

    def coordinate(self):
        return self.bytes.ConsumeRegularFloat() if self.chance(0.7) else self.number()

    def movement(self):
        return self.field_dict({name: self.coordinate for name in hostile.MOVEMENT_FIELDS})

    def pointer_path(self):
        x = y = t = 0.0
        path = []
        for _ in range(self.count(200)):
            x += self.bytes.ConsumeIntInRange(-60, 60)
            y += self.bytes.ConsumeIntInRange(-60, 60)
            t += self.bytes.ConsumeIntInRange(-2, 40)
            path.append({"x": x, "y": y, "t": t})
        return path

    def keystroke_dict(self):
        return self.field_dict(
            {
                "type": lambda: self.pick(("up", "down", "UP")) if self.chance(0.7) else self.text(),
                "down": self.coordinate,
                "t": self.coordinate,
                "time": self.coordinate,
                "key": lambda: self.pick(("a", "t", "h", "e")) if self.chance(0.7) else self.text(),
                "up": self.coordinate,
                "duration_ms": self.coordinate,
            }
        )

    def keystroke_tuple(self):
        length = 3 if self.chance(0.85) else self.count(5)
        items = [
            self.pick(("a", "t", "h")) if self.chance(0.7) else self.text(),
            self.coordinate(),
            None if self.chance(0.2) else self.coordinate(),
            self.value(2),
            self.value(2),
        ][:length]
        return hostile.TupleSubclass(items) if self.chance(0.1) else tuple(items)

    def telemetry(self):
        if self.chance(0.05):
            return self.value()
        return self.field_dict(
            {
                "browser": lambda: self.field_dict(
                    {
                        "webdriver": self.flag,
                        "screen_width": self.number,
                        "screen_height": self.number,
                        "touch_supported": self.flag,
                        "max_touch_points": self.number,
                        "plugins_length": self.number,
                    }
                ),
                "clicks": lambda: self.list_of(self.value, limit=8),
                "scrolls": lambda: self.list_of(self.value, limit=8),
                "keystrokes": lambda: self.list_of(self.keystroke_dict, limit=160),
                "mouse_movements": lambda: hostile.adopt(
                    self.pointer_path() + [self.movement() for _ in range(self.count(8))]
                ),
            }
        )

    def keystroke_list(self):
        if self.chance(0.05):
            return self.value()
        return self.list_of(lambda: self.keystroke_tuple() if self.chance(0.5) else self.keystroke_dict())

    def series(self):
        items = [self.coordinate() for _ in range(self.count())]
        return items if self.chance(0.5) else self.pick(hostile.SEQUENCE_WRAPPERS)(items)

    def buffer(self):
        values = [self.bytes.ConsumeFloat() for _ in range(self.count())]
        wrappers = hostile.ACCEPTED_BUFFER_WRAPPERS if self.chance(0.7) else hostile.BUFFER_WRAPPERS
        return self.pick(wrappers)(values)

    def duration(self):
        return self.bytes.ConsumeIntInRange(0, 10**6) if self.chance(0.6) else self.number()

    def ban_list(self):
        def pair():
            if self.chance(0.8):
                return (self.text(), self.bytes.ConsumeIntInRange(0, 2**64 - 1) if self.chance(0.6) else self.number())
            return self.value(1)

        pairs = [pair() for _ in range(self.count(8))]
        return pairs if self.chance(0.6) else self.pick(hostile.SEQUENCE_WRAPPERS)(pairs)

    def arguments_for(self, name):
        makers = {
            "extract_features_rs": (self.telemetry,),
            "evaluate_curvature_naturalness_rs": (self.series,) * 3,
            "evaluate_curvature_zerocopy_rs": (self.buffer,) * 3,
            "evaluate_keystroke_dynamics_rs": (self.keystroke_list,),
            "consume_nonce_rs": (self.text,),
            "is_ip_banned_rs": (self.text,),
            "ban_ip_rs": (self.text, self.duration),
            "unban_ip_rs": (self.text,),
            "hydrate_bans_rs": (self.ban_list,),
        }.get(name, ())
        return [make() for make in makers]

    # ------------------------------------------------------------ JSON bodies

    def json_string(self, text=None):
        """A string literal, each character maybe written as an escape."""
        text = self.plain_text() if text is None else text
        characters = []
        for character in text:
            code = ord(character)
            if code < 0x20 or character in '"\\' or (code <= 0xFFFF and self.chance(0.1)):
                characters.append(f"\\u{code:04x}")
            else:
                characters.append(character)
        return '"' + "".join(characters) + '"'

    def json_number(self):
        kind = self.bytes.ConsumeIntInRange(0, 3)
        if kind == 0:
            return repr(self.bytes.ConsumeRegularFloat())
        if kind == 1:
            return str(self.bytes.ConsumeIntInRange(-5000, 5000))
        if kind == 2:
            return str(self.bytes.ConsumeInt(9))
        return self.pick(NUMBER_SPELLINGS)

    def json_value(self, depth=0):
        kind = self.bytes.ConsumeIntInRange(0, 6)
        if kind <= 1 or depth > 3:
            return self.json_number()
        if kind == 2:
            return self.json_string()
        if kind == 3:
            return "[" + ",".join(self.json_value(depth + 1) for _ in range(self.count(6))) + "]"
        if kind == 4:
            return self.json_object(
                {self.plain_text(): lambda: self.json_value(depth + 1) for _ in range(self.count(4))}
            )
        if kind == 5:
            levels = self.bytes.ConsumeIntInRange(1, hostile.MAX_NESTING)
            return "[" * levels + self.json_number() + "]" * levels
        return self.pick(("true", "false", "null"))

    def json_object(self, fields):
        """Some of `fields` (name -> text maker), maybe twice (the last counts), in any order, and junk keys."""
        entries = []
        for name, make in fields.items():
            while self.chance(0.8) and len(entries) < 2 * len(fields):
                entries.append(f"{self.json_string(name)}:{make()}")
                if self.chance(0.8):
                    break
        for _ in range(self.count(2)):
            entries.append(f"{self.json_string()}:{self.json_value(2)}")
        if entries and self.chance(0.3):
            entries.insert(self.bytes.ConsumeIntInRange(0, len(entries) - 1), entries.pop())
        return (
            "{" + self.pick(("", " ", "\n")).join(("," if i else "") + entry for i, entry in enumerate(entries)) + "}"
        )

    def json_coordinate(self):
        return self.json_number() if self.chance(0.8) else self.json_value(2)

    def json_telemetry(self):
        if self.chance(0.05):
            return self.json_value()
        path = self.pointer_path()
        samples = ",".join(f'{{"x":{round(p["x"])},"y":{round(p["y"])},"t":{p["t"]!r}}}' for p in path)
        return self.json_object(
            {
                "browser": lambda: self.json_object(
                    {
                        name: self.json_coordinate
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
                "clicks": lambda: "[" + ",".join(self.json_value(2) for _ in range(self.count(8))) + "]",
                "scrolls": lambda: "[" + ",".join(self.json_value(2) for _ in range(self.count(8))) + "]",
                "keystrokes": lambda: (
                    "["
                    + ",".join(
                        self.json_object(
                            {
                                "key": lambda: (
                                    self.json_string(self.pick(("a", "t", "h", "Shift")))
                                    if self.chance(0.7)
                                    else self.json_value(2)
                                ),
                                "t": self.json_coordinate,
                                "down": self.json_coordinate,
                                "time": self.json_coordinate,
                                "up": self.json_coordinate,
                                "duration_ms": self.json_coordinate,
                            }
                        )
                        for _ in range(self.count(160))
                    )
                    + "]"
                ),
                "mouse_movements": lambda: (
                    "["
                    + ",".join(
                        filter(
                            None,
                            [samples]
                            + [
                                self.json_object({name: self.json_coordinate for name in hostile.MOVEMENT_FIELDS})
                                for _ in range(self.count(8))
                            ],
                        )
                    )
                    + "]"
                ),
            }
        )

    def json_body(self):
        """One body of one of the four input types, its bytes now and then damaged."""
        body = self.json_telemetry().encode("utf-8", "surrogatepass")
        if self.chance(0.2):
            at = self.bytes.ConsumeIntInRange(0, len(body))
            damage = self.pick(BODY_DAMAGE) if self.chance(0.7) else self.bytes.ConsumeBytes(3)
            body = body[:at] + damage + body[at + self.bytes.ConsumeIntInRange(0, 2) :]
        if self.chance(0.05):
            body = body.decode("utf-8", "replace").encode(self.pick(("utf-16", "utf-16-le", "utf-32-be")))
        return as_kind(self.pick(list(BODY_KINDS)), body)

    def call(self):
        """(name, positional, keywords): usually a well-bound call, sometimes a binding error."""
        name = self.pick(FUNCTIONS)
        arguments = self.arguments_for(name)
        keywords = {}
        if self.chance(0.2):
            # Move trailing arguments to keywords, or garble the binding.
            while arguments and self.chance(0.6):
                keywords[PARAMETERS[name][len(arguments) - 1]] = arguments.pop()
            if self.chance(0.3):
                arguments.append(self.value(2))
            if self.chance(0.3):
                keywords[self.pick((*PARAMETERS[name], *hostile.JUNK_KEYWORDS))] = self.value(2)
        return name, arguments, keywords


for method in ("value", "field_dict", "telemetry", "keystroke_list", "call", "json_value", "json_object", "json_body"):
    setattr(InputDecoder, method, atheris.instrument_func(getattr(InputDecoder, method)))


def test_one_input(data):
    decoder = InputDecoder(data)
    if decoder.chance(JSON_BODY_SHARE):
        body = decoder.json_body()
        if body is not None:  # bytes that are not UTF-8 make no str
            assert_matches_json_loads(body)
        return
    name, arguments, keywords = decoder.call()
    call_checked(name, *arguments, **keywords)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
