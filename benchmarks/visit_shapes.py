"""Seeded, reproducible visits of the three sizes the service sees.

small    a phone visit: 30 touch samples (with contact radius and force), 10 keystrokes
typical  a desktop visit: 150 pointer samples, 60 keystrokes
rich     a long desktop visit: 1,000 pointer samples (the extraction uses the 300 earliest),
         150 keystrokes (the most the extraction reads)

Every visit is the telemetry dict the browser side records: aimed pointer strokes
along bowed minimum-jerk paths with hand tremor and uneven frame times (a few
coalesced or out-of-order events included), irregular typing with rollover,
Shift presses and mixed up/duration fields, a browser dict, clicks and scrolls.
"""

import math
import random
from dataclasses import dataclass

TEXT = (
    "The quick brown fox jumps over the lazy dog, then naps in the warm sun. "
    "Pack my box with five dozen liquor jugs. How vexingly quick daft zebras jump! "
    "Sphinx of black quartz, judge my vow."
)
# People type familiar letter pairs faster than rare ones.
FAMILIAR_PAIRS = frozenset({"th", "he", "er", "on", "an", "re", "in", "ou", "ov", "ve", "la", "at", "en"})
COALESCED_EVENT_SHARE = 0.02  # two events delivered with one time stamp
REORDERED_EVENT_SHARE = 0.01  # neighbouring events delivered out of order
DURATION_FIELD_SHARE = 0.3  # keystrokes that report a hold duration instead of a release time


@dataclass(frozen=True)
class VisitShape:
    name: str
    pointer_samples: int
    keystrokes: int
    touch: bool
    clicks: int
    scrolls: int
    seed: int


SHAPES = (
    VisitShape("small", pointer_samples=30, keystrokes=10, touch=True, clicks=2, scrolls=3, seed=20261201),
    VisitShape("typical", pointer_samples=150, keystrokes=60, touch=False, clicks=5, scrolls=4, seed=20261202),
    VisitShape("rich", pointer_samples=1000, keystrokes=150, touch=False, clicks=12, scrolls=20, seed=20261203),
)
SHAPES_BY_NAME = {shape.name: shape for shape in SHAPES}
CURVATURE_PATH_SEED = 20261204


def _stroke(rng, start, end, t0):
    """Samples of one aimed movement and the time at which it ends."""
    (x0, y0), (x1, y1) = start, end
    length = math.hypot(x1 - x0, y1 - y0) or 1.0
    duration = 220 + 2.0 * length * rng.uniform(0.8, 1.25)
    bow = rng.uniform(-0.2, 0.2) * length
    normal_x, normal_y = (y0 - y1) / length, (x1 - x0) / length
    samples, t = [], t0
    while t - t0 < duration:
        s = (t - t0) / duration
        progress = 10 * s**3 - 15 * s**4 + 6 * s**5
        offset = bow * math.sin(math.pi * progress)
        samples.append(
            [
                x0 + (x1 - x0) * progress + normal_x * offset + rng.gauss(0, 0.6),
                y0 + (y1 - y0) * progress + normal_y * offset + rng.gauss(0, 0.6),
                t,
            ]
        )
        # Frame times wander; now and then a frame is dropped.
        t += rng.uniform(8, 20) if rng.random() > 0.05 else rng.uniform(30, 50)
    return samples, t


def _pointer_samples(rng, count, screen):
    """Exactly `count` [x, y, t] samples: strokes between targets, with pauses between them."""
    width, height = screen
    position = (rng.uniform(0.2, 0.8) * width, rng.uniform(0.2, 0.8) * height)
    samples, t = [], rng.uniform(200, 900)
    while len(samples) < count:
        target = (rng.uniform(0.03, 0.97) * width, rng.uniform(0.03, 0.97) * height)
        stroke, t = _stroke(rng, position, target, t)
        samples += stroke
        position = target
        t += rng.uniform(150, 700)
    samples = samples[:count]
    for i in range(1, count):
        if rng.random() < COALESCED_EVENT_SHARE:
            samples[i][2] = samples[i - 1][2]
        elif rng.random() < REORDERED_EVENT_SHARE:
            samples[i - 1], samples[i] = samples[i], samples[i - 1]
    return samples


def _movements(rng, shape, screen):
    movements = []
    for x, y, t in _pointer_samples(rng, shape.pointer_samples, screen):
        movement = {"x": round(x, 2), "y": round(y, 2), "t": round(t, 1)}
        if shape.touch:
            movement["r"] = round(rng.uniform(8, 14), 2)
            # Some panels report no pressure for light contacts.
            movement["f"] = round(rng.uniform(0.1, 0.8), 3) if rng.random() > 0.1 else 0
        movements.append(movement)
    return movements


def _keystrokes(rng, count, start):
    """`count` key entries: irregular holds and gaps, overlapping presses, Shift before capitals."""
    keystrokes, t, position = [], start, rng.randrange(len(TEXT))
    while len(keystrokes) < count:
        character = TEXT[position % len(TEXT)]
        following = TEXT[(position + 1) % len(TEXT)]
        position += 1
        if character.isupper():
            shift_hold = rng.uniform(150, 260)  # held across the next press
            keystrokes.append({"key": "Shift", "t": round(t, 1), "up": round(t + shift_hold, 1)})
            t += rng.uniform(60, 120)
            if len(keystrokes) == count:
                break
        hold = max(30.0, rng.gauss(95, 25))
        entry = {"key": character, "t": round(t, 1)}
        if rng.random() < DURATION_FIELD_SHARE:
            entry["duration_ms"] = round(hold, 1)
        else:
            entry["up"] = round(t + hold, 1)
        keystrokes.append(entry)
        gap = rng.gammavariate(2.2, 65) + (160 if character == " " else 0)
        t += max(45.0, gap * (0.6 if (character + following).lower() in FAMILIAR_PAIRS else 1.0))
    return keystrokes


def make_visit(shape):
    """The telemetry dict of one visit of the given shape; the same on every call."""
    rng = random.Random(shape.seed)
    if shape.touch:
        screen = (390, 844)
        browser = {
            "webdriver": False,
            "screen_width": 390,
            "screen_height": 844,
            "touch_supported": True,
            "max_touch_points": 5,
            "plugins_length": 0,
        }
    else:
        screen = (1920, 1080)
        browser = {
            "webdriver": False,
            "screen_width": 1920,
            "screen_height": 1080,
            "touch_supported": False,
            "max_touch_points": 0,
            "plugins_length": 5,
        }
    movements = _movements(rng, shape, screen)
    end = movements[-1]["t"]
    keystrokes = _keystrokes(rng, shape.keystrokes, start=rng.uniform(0.3, 0.6) * end)
    return {
        "browser": browser,
        "mouse_movements": movements,
        "keystrokes": keystrokes,
        "clicks": [
            {
                "t": round(rng.uniform(0, end), 1),
                "x": round(rng.uniform(0, screen[0])),
                "y": round(rng.uniform(0, screen[1])),
            }
            for _ in range(shape.clicks)
        ],
        "scrolls": [
            {"t": round(rng.uniform(0, end), 1), "dy": rng.choice([-240, -120, 120, 240, 360])}
            for _ in range(shape.scrolls)
        ],
    }


def curvature_path(count=300):
    """x, y and t lists of one pointer path of `count` samples in time order."""
    rng = random.Random(CURVATURE_PATH_SEED)
    samples = sorted(_pointer_samples(rng, count, (1920, 1080)), key=lambda sample: sample[2])
    xs, ys, ts = (list(column) for column in zip(*samples))
    return xs, ys, ts
