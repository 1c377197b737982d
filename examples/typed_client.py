"""A typed client of veltrix_core_rs that calls each of its 13 functions the way a
service would. mypy --strict checks it against the module's stubs
(scripts/check_types.sh), and the tests run it.

    python examples/typed_client.py
"""

from __future__ import annotations

import time
from array import array
from typing import TYPE_CHECKING

import veltrix
import veltrix_core_rs as core

if TYPE_CHECKING:
    from veltrix_core_rs import (
        CurvatureMetrics,
        KeystrokeEvent,
        KeystrokeMetrics,
        PointerSample,
        StateEngineStats,
        Telemetry,
        VisitFeatures,
    )

BAN_SECONDS = 600


def recorded_visit() -> Telemetry:
    """A short visit: a slightly wavy pointer path at 60 frames a second and a typed word."""
    path: list[PointerSample] = [{"x": 100.0 + 4 * i, "y": 200.0 + (i % 5), "t": 16.7 * i} for i in range(40)]
    keys: list[KeystrokeEvent] = [
        {"key": key, "t": 1000.0 + 150 * i + 20 * (i % 2), "duration_ms": 80.0 + 10 * (i % 3)}
        for i, key in enumerate("hello")
    ]
    return {
        "browser": {"webdriver": False, "screen_width": 1920, "screen_height": 1080, "plugins_length": 3},
        "mouse_movements": path,
        "keystrokes": keys,
        "clicks": [{"x": 260, "y": 204, "t": 700}],
        "scrolls": [],
    }


def automation_tells(features: VisitFeatures) -> list[str]:
    """The plainest signs of a script among a visit's features."""
    tells: list[str] = []
    if features["webdriver"]:
        tells.append("webdriver flag")
    if not features["screen_valid"]:
        tells.append("no real screen")
    if features["mouse_points"] >= 3 and features["dt_var"] == 0.0:
        tells.append("perfectly regular pointer sampling")
    if features["key_count"] >= 3 and features["keystroke_score"] >= 0.75:
        tells.append("scripted typing")
    return tells


def admit(nonce: str, ip: str) -> bool:
    """A request passes when its address is not banned and its nonce is fresh."""
    return not core.is_ip_banned_rs(ip) and core.consume_nonce_rs(nonce)


def main() -> None:
    if not core.is_rust_core_active():
        raise SystemExit("the native core is not loaded")
    print(f"veltrix_core_rs {core.get_core_version()}")

    visit = recorded_visit()
    features: VisitFeatures = core.extract_features_rs(visit)
    print(
        f"{features['mouse_points']} pointer samples, straightness {features['straightness']:.3f}, "
        f"tells: {', '.join(automation_tells(features)) or 'none'}"
    )

    samples = visit.get("mouse_movements", [])
    xs, ys, ts = [s["x"] for s in samples], [s["y"] for s in samples], [s["t"] for s in samples]
    from_lists: CurvatureMetrics = core.evaluate_curvature_naturalness_rs(xs, ys, ts)
    in_place: CurvatureMetrics = core.evaluate_curvature_zerocopy_rs(array("d", xs), array("d", ys), array("d", ts))
    assert from_lists == in_place
    print(f"curvature score {in_place['curvature_score']}, equal to the visit's {features['curvature_score']}")

    typed: KeystrokeMetrics = core.evaluate_keystroke_dynamics_rs(
        [("h", 0.0, 95.0), ("i", 180.0, None), {"key": "!", "down": 320.0, "up": 395.0}]
    )
    print(f"{typed['key_count']} keys, mean hold {typed['avg_dwell_time']:.1f} ms")

    core.clear_state_engine_rs()
    core.hydrate_bans_rs([("198.51.100.2", int(time.time()) + 3600)])
    core.ban_ip_rs("203.0.113.7", BAN_SECONDS)
    assert not admit("nonce-1", "203.0.113.7")
    core.unban_ip_rs("203.0.113.7")
    assert admit("nonce-1", "203.0.113.7") and not admit("nonce-1", "203.0.113.7")
    stats: StateEngineStats = core.get_state_engine_stats_rs()
    print(f"state engine: {stats['current_bucket_nonces']} nonce(s), {stats['active_ip_bans']} active ban(s)")
    core.clear_state_engine_rs()

    body = b'{"browser": {"webdriver": true}}'
    assert veltrix.extract_features_json(body)["webdriver"] is True
    envelope = b'{"challenge": "c-1", "telemetry": {"browser": {"webdriver": true}}}'
    wrapped: VisitFeatures = veltrix.extract_features_json(envelope, telemetry_key="telemetry")
    assert wrapped["webdriver"] is True
    try:
        veltrix.extract_features_json(b'{"challenge": "c-2"}', telemetry_key="telemetry")
    except veltrix.MissingTelemetryError as refusal:
        print(f"envelope refused: {refusal}")


if __name__ == "__main__":
    main()
