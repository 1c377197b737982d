"""Telemetry JSON bodies of the three visit shapes (see visit_shapes.py).

browser          as browsers send them (JSON.stringify, no spaces): integer pixel
                 coordinates, times in milliseconds with at most 3 decimals
full_precision   the same visits with every coordinate and time a 17-digit float
"""

import json
import random

from visit_shapes import SHAPES, make_visit

FULL_PRECISION_SEED = 20261206
BROWSER_TIME_DECIMALS = 3


def _compact(visit):
    return json.dumps(visit, separators=(",", ":")).encode()


def browser_visit(shape):
    """The visit of `shape` as a browser records it: whole pixels, times to the microsecond at most."""
    visit = make_visit(shape)
    for movement in visit["mouse_movements"]:
        movement["x"], movement["y"] = round(movement["x"]), round(movement["y"])
        movement["t"] = round(movement["t"], BROWSER_TIME_DECIMALS)
    return visit


def browser_body(shape):
    return _compact(browser_visit(shape))


def full_precision_body(shape):
    """The visit of `shape` with sub-pixel jitter, so every coordinate and time needs 17 digits."""
    rng = random.Random(FULL_PRECISION_SEED)
    visit = make_visit(shape)
    for movement in visit["mouse_movements"]:
        for name in ("x", "y", "t"):
            movement[name] += rng.uniform(-1e-3, 1e-3)
    for keystroke in visit["keystrokes"]:
        keystroke["t"] += rng.uniform(-1e-3, 1e-3)
    return _compact(visit)


BODY_KINDS = {"browser": browser_body, "full_precision": full_precision_body}


def all_bodies():
    """(shape, kind, body) for every shape and kind."""
    return [(shape, kind, make(shape)) for shape in SHAPES for kind, make in BODY_KINDS.items()]
