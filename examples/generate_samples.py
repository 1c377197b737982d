"""Generates the sample visits that the demo ships with (examples/samples/visits.jsonl).

Each visit is the telemetry dict that the browser side records, plus a "label"
key that the module ignores. The generator is seeded, so the file is reproducible:

    python examples/generate_samples.py
"""

import json
import math
import random
from pathlib import Path

SAMPLES = Path(__file__).with_name("samples") / "visits.jsonl"
TEXT = "the quick brown fox jumps over the lazy dog"
# People type familiar letter pairs faster than rare ones.
FAMILIAR_PAIRS = {"th", "he", "er", "on", "an", "re", "in", "ou", "ov", "ve", "la", "az", "og"}


def human_browser(rng):
    return {
        "webdriver": False,
        "screen_width": 1920,
        "screen_height": 1080,
        "touch_supported": False,
        "max_touch_points": 0,
        "plugins_length": rng.choice([3, 5]),
    }


def human_stroke(rng, start, end, t0):
    """One aimed movement: bell-shaped speed, a bowed path, hand tremor, uneven frame times."""
    (x0, y0), (x1, y1) = start, end
    length = math.hypot(x1 - x0, y1 - y0)
    duration = 250 + 2.2 * length * rng.uniform(0.8, 1.25)
    bow = rng.uniform(-0.18, 0.18) * length
    normal = ((y0 - y1) / (length or 1), (x1 - x0) / (length or 1))
    points, t = [], t0
    while t - t0 < duration:
        s = (t - t0) / duration
        progress = 10 * s**3 - 15 * s**4 + 6 * s**5  # minimum-jerk profile
        offset = bow * math.sin(math.pi * progress)
        points.append(
            {
                "x": round(x0 + (x1 - x0) * progress + normal[0] * offset + rng.gauss(0, 0.6), 2),
                "y": round(y0 + (y1 - y0) * progress + normal[1] * offset + rng.gauss(0, 0.6), 2),
                "t": round(t, 1),
            }
        )
        t += rng.uniform(12, 22)
    return points, t + rng.uniform(120, 600)  # a pause before the next stroke


def human_path(rng, strokes):
    position, t, points = (rng.uniform(100, 600), rng.uniform(100, 500)), 0.0, []
    for _ in range(strokes):
        target = (rng.uniform(50, 1800), rng.uniform(50, 1000))
        stroke, t = human_stroke(rng, position, target, t)
        points += stroke
        position = target
    return points


def human_typing(rng, text, start):
    keys, t = [], start
    for character, following in zip(text, text[1:] + " "):
        key = character.upper() if rng.random() < 0.04 else character
        hold = max(35.0, rng.gauss(95, 22))
        keys.append({"key": key, "t": round(t, 1), "up": round(t + hold, 1)})
        gap = rng.gammavariate(2.2, 70) + (180 if character == " " else 0)
        t += max(60.0, gap * (0.6 if character + following in FAMILIAR_PAIRS else 1.0))
    return keys


def scripted_path(start, end, steps, step_ms):
    (x0, y0), (x1, y1) = start, end
    return [
        {"x": x0 + (x1 - x0) * i / steps, "y": y0 + (y1 - y0) * i / steps, "t": i * step_ms} for i in range(steps + 1)
    ]


def scripted_typing(text, start, gap_ms, hold_ms):
    return [{"key": c, "t": start + i * gap_ms, "duration_ms": hold_ms} for i, c in enumerate(text)]


def visits():
    rng = random.Random(20261207)
    typing_start = 40_000
    yield {
        "label": "person, desktop",
        "browser": human_browser(rng),
        "mouse_movements": human_path(rng, 6),
        "keystrokes": human_typing(rng, TEXT, typing_start),
        "clicks": [{"t": 3200}, {"t": 9100}, {"t": 15800}],
        "scrolls": [{"dy": 120}, {"dy": 240}],
    }
    touch = human_path(rng, 4)
    for point in touch:
        point["r"] = round(rng.uniform(9, 14), 2)
        point["f"] = round(rng.uniform(0.2, 0.7), 3)
    yield {
        "label": "person, phone",
        "browser": {
            "webdriver": False,
            "screen_width": 390,
            "screen_height": 844,
            "touch_supported": True,
            "max_touch_points": 5,
            "plugins_length": 0,
        },
        "mouse_movements": touch,
        "keystrokes": human_typing(rng, "hello there", typing_start),
        "clicks": [{"t": 2100}],
        "scrolls": [{"dy": 300}, {"dy": 280}, {"dy": 410}, {"dy": 150}],
    }
    yield {
        "label": "script, straight path",
        "browser": human_browser(rng),
        "mouse_movements": scripted_path((100, 100), (900, 500), 120, 10),
        "keystrokes": scripted_typing(TEXT, typing_start, 50, 10),
        "clicks": [{"t": 1210}],
        "scrolls": [],
    }
    yield {
        "label": "headless browser",
        "browser": {
            "webdriver": True,
            "screen_width": 800,
            "screen_height": 0,
            "touch_supported": False,
            "max_touch_points": 0,
            "plugins_length": 0,
        },
        "mouse_movements": scripted_path((0, 0), (640, 0), 40, 5),
        "keystrokes": scripted_typing("admin", typing_start, 20, 1),
        "clicks": [{"t": 200}],
    }


def main():
    SAMPLES.parent.mkdir(exist_ok=True)
    with SAMPLES.open("w") as out:
        for visit in visits():
            out.write(json.dumps(visit, separators=(",", ":")) + "\n")
    print(f"wrote {SAMPLES}")


if __name__ == "__main__":
    main()
