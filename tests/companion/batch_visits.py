"""Recorded visits as JSON lines, the reference rows they must give, and the command, for the batch tests."""

import json
import math
import random
import subprocess
import sys
from pathlib import Path

import veltrix_core_rs as core

COMMAND = Path(sys.executable).with_name("veltrix")
# Enough visits to pass the 1 MiB chunk size, so that worker processes take part.
VISIT_COUNT = 250


def make_visit(seed):
    """A desktop or phone visit of a few dozen to a few hundred pointer samples."""
    rng = random.Random(seed)
    touch = rng.random() < 0.3
    x, y, t = rng.uniform(0, 1000), rng.uniform(0, 800), 0.0
    movements = []
    for _ in range(rng.randrange(30, 220)):
        x, y, t = x + rng.gauss(0, 4), y + rng.gauss(0, 4), t + rng.uniform(5, 25)
        movement = {"x": round(x, 2), "y": round(y, 2), "t": round(t, 1)}
        if touch:
            movement |= {"r": round(rng.uniform(6, 14), 2), "f": round(rng.uniform(0, 0.9), 3)}
        movements.append(movement)
    keystrokes, down = [], 0.0
    for key in rng.choices("abcdefgh ", k=rng.randrange(0, 40)):
        down += rng.uniform(60, 300)
        keystrokes.append({"key": key, "t": round(down, 1), "up": round(down + rng.uniform(40, 140), 1)})
    return {
        "browser": {
            "webdriver": rng.random() < 0.2,
            "screen_width": rng.choice([390, 1920]),
            "screen_height": 1080,
            "touch_supported": touch,
            "plugins_length": rng.randrange(-1, 6),
        },
        "mouse_movements": movements,
        "keystrokes": keystrokes,
        "clicks": [{"t": 1.0}] * rng.randrange(4),
        "scrolls": [{"dy": 120}] * rng.randrange(3),
    }


# Coordinates so far apart that distances overflow: infinite and NaN features.
OVERFLOWING_VISIT = {"mouse_movements": [{"x": i * 1e300, "y": 1.0, "t": float(i)} for i in range(10)]}


VISITS = [OVERFLOWING_VISIT, {}, *(make_visit(seed) for seed in range(VISIT_COUNT))]
VISIT_LINES = [json.dumps(visit) for visit in VISITS]


def reference_features(line, telemetry_key=None):
    record = json.loads(line)
    return core.extract_features_rs(record if telemetry_key is None else record[telemetry_key])


def same_value(actual, expected):
    """Equal in type and value, NaN equal to NaN: what exact output means."""
    if type(actual) is not type(expected):
        return False
    if isinstance(expected, float) and math.isnan(expected):
        return math.isnan(actual)
    return actual == expected


def run_command(*arguments, stdin=b"", cwd=None):
    return subprocess.run([str(COMMAND), *map(str, arguments)], input=stdin, capture_output=True, cwd=cwd, timeout=300)
