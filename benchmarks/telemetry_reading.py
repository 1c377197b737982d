"""Lenient reading of one visit's telemetry dict, shared by both Python contenders.

No array library can read a list of dicts, so the pure-Python and the NumPy
contenders read the telemetry the same way and differ only in the analyses.
Nothing here raises on the telemetry's content: a missing key, a value of the
wrong type or a failed conversion leaves a default or drops the one item.
"""

import math
import operator
from dataclasses import dataclass, field

KEYSTROKE_POSITIONS_READ = 150
DOWN_TIME_KEYS = ("t", "down", "time")
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1

# The dict's own table: a subclass's __getitem__ or __missing__ never runs.
_lookup = dict.get


@dataclass
class Telemetry:
    screen_width: float = 1024.0
    screen_height: float = 768.0
    screen_valid: bool = True
    webdriver: bool = False
    touch_supported: bool = False
    max_touch_points: int = 0
    plugins_length: int = 1
    click_count: int = 0
    scroll_count: int = 0
    keystrokes: list = field(default_factory=list)  # (key, down, up or None), list order
    points: list = field(default_factory=list)  # (x, y, t, r, f), list order


def read_float(value):
    """Numbers and objects with __float__ or __index__; never text."""
    kind = type(value)
    if kind is float:
        return value
    if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        return None
    try:
        return float(value)
    except Exception:
        return None


def read_int(value):
    """Integers and objects with __index__, within the signed 64-bit range."""
    if not hasattr(type(value), "__index__"):
        return None
    try:
        number = operator.index(value)
    except Exception:
        return None
    return number if INT64_MIN <= number <= INT64_MAX else None


def read_bool(value):
    """The two bools, and NumPy's bool scalars; the ints 0 and 1 are not flags."""
    kind = type(value)
    if kind is bool:
        return value
    if getattr(kind, "__module__", None) == "numpy" and kind.__name__ in ("bool_", "bool"):
        return bool(value)
    return None


def read_str(value):
    """A str that has a UTF-8 encoding (no lone surrogates)."""
    if not isinstance(value, str):
        return None
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return None
    return value


def _read_field(container, key, read, default=None):
    """The converted value under `key`; `default` when absent or unconvertible (None never converts)."""
    converted = read(_lookup(container, key))
    return default if converted is None else converted


def _read_browser(browser, telemetry):
    telemetry.webdriver = _read_field(browser, "webdriver", read_bool, False)
    # A browser record without a usable screen size marks the screen invalid.
    width = _read_field(browser, "screen_width", read_float, 0.0)
    height = _read_field(browser, "screen_height", read_float)
    telemetry.screen_width = width
    telemetry.screen_height = 0.0 if height is None else height
    telemetry.screen_valid = height is not None and width > 0 and height > 0
    telemetry.touch_supported = _read_field(browser, "touch_supported", read_bool, False)
    telemetry.max_touch_points = _read_field(browser, "max_touch_points", read_int, 0)
    telemetry.plugins_length = _read_field(browser, "plugins_length", read_int, 1)


def _keystroke(entry):
    down = None
    for key in DOWN_TIME_KEYS:
        value = _read_field(entry, key, read_float)
        if value is not None and math.isfinite(value):
            down = value
            break
    if down is None:
        return None
    label = _read_field(entry, "key", read_str, "unknown")
    up = _read_field(entry, "up", read_float)
    if up is None:
        duration = _read_field(entry, "duration_ms", read_float)
        up = None if duration is None else down + duration
    return label, down, up


def _point(entry):
    # The hot loop of the reading: a thousand samples per rich visit.
    x = read_float(_lookup(entry, "x"))
    y = read_float(_lookup(entry, "y"))
    t = read_float(_lookup(entry, "t"))
    r = read_float(_lookup(entry, "r", 0.0))
    f = read_float(_lookup(entry, "f", 0.0))
    if x is None or y is None or t is None or not (math.isfinite(x) and math.isfinite(y) and math.isfinite(t)):
        return None
    return x, y, t, 0.0 if r is None else r, 0.0 if f is None else f


def read_telemetry(raw):
    telemetry = Telemetry()
    if not isinstance(raw, dict):
        return telemetry
    browser = _lookup(raw, "browser")
    if isinstance(browser, dict):
        _read_browser(browser, telemetry)
    clicks = _lookup(raw, "clicks")
    if isinstance(clicks, list):
        telemetry.click_count = len(clicks)
    scrolls = _lookup(raw, "scrolls")
    if isinstance(scrolls, list):
        telemetry.scroll_count = len(scrolls)
    keystrokes = _lookup(raw, "keystrokes")
    if isinstance(keystrokes, list):
        for entry in keystrokes[:KEYSTROKE_POSITIONS_READ]:
            record = _keystroke(entry) if isinstance(entry, dict) else None
            if record is not None:
                telemetry.keystrokes.append(record)
    movements = _lookup(raw, "mouse_movements")
    if isinstance(movements, list):
        for entry in movements:
            point = _point(entry) if isinstance(entry, dict) else None
            if point is not None:
                telemetry.points.append(point)
    return telemetry
