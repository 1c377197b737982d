"""Native core of the bot-detection service.

Times are milliseconds on any common origin (only differences are used),
positions are pixels, ban expiries are whole seconds since the Unix epoch.
Reading telemetry and keystroke lists is lenient: what cannot be read is
skipped or left at its default, never raised on.

The result and input dicts below exist for type checkers only: import them under
``if typing.TYPE_CHECKING:``.
"""

from collections.abc import Buffer, Sequence
from typing import Any, NotRequired, TypedDict, type_check_only

__all__ = [
    "is_rust_core_active",
    "get_core_version",
    "extract_features_rs",
    "evaluate_curvature_naturalness_rs",
    "evaluate_curvature_zerocopy_rs",
    "evaluate_keystroke_dynamics_rs",
    "consume_nonce_rs",
    "is_ip_banned_rs",
    "ban_ip_rs",
    "unban_ip_rs",
    "hydrate_bans_rs",
    "clear_state_engine_rs",
    "get_state_engine_stats_rs",
]

# ---------------------------------------------------------------- telemetry input

@type_check_only
class BrowserInfo(TypedDict, total=False):
    """What the browser reports about itself; other keys are ignored."""

    webdriver: bool
    """The automation flag; only True, False or a NumPy bool count (1 and 0 do not). Default False."""
    screen_width: float
    """Pixels. When "browser" is given without it, 0.0 (and the screen is invalid)."""
    screen_height: float
    """Pixels; shows only through "screen_valid"."""
    touch_supported: bool
    """Default False."""
    max_touch_points: int
    """Default 0; must fit a signed 64-bit integer."""
    plugins_length: int
    """Number of plugins the browser lists. Default 1."""

@type_check_only
class PointerSample(TypedDict):
    """One pointer sample. A sample without finite numbers for x, y and t is skipped;
    the type requires all three, so that a type checker flags a sample the core
    would skip without a word."""

    x: float
    """Pixels."""
    y: float
    """Pixels."""
    t: float
    """Milliseconds."""
    r: NotRequired[float]
    """Touch contact radius; only values above 0 count as touches. Default 0.0."""
    f: NotRequired[float]
    """Touch force; only values above 0 count. Default 0.0."""

@type_check_only
class KeystrokeEvent(TypedDict, total=False):
    """One key press. Its press time is the first finite number among "t", "down"
    and "time" (in that order for telemetry, "down" first for
    evaluate_keystroke_dynamics_rs); a press without one is skipped."""

    key: str
    """The key as the browser reports it ("a", "Shift"); default "unknown"."""
    t: float
    """Press time, milliseconds."""
    down: float
    """Press time, milliseconds."""
    time: float
    """Press time, milliseconds."""
    up: float
    """Release time, milliseconds."""
    duration_ms: float
    """Hold time, milliseconds; used when "up" is absent: the release is the press plus this."""
    type: str
    """evaluate_keystroke_dynamics_rs skips an event whose type is exactly "up"; telemetry ignores it."""

@type_check_only
class Telemetry(TypedDict, total=False):
    """One visit as the browser recorded it. Every key is optional; a value of the
    wrong type reads as absent (lists must be lists: a tuple counts as absent).

    The type is stricter than the reading on purpose: it describes telemetry that
    gives features, so that a type checker points at code building a visit the
    core would read as empty or partly skip (a sample missing a field, a list
    passed as a tuple, a value that is not a dict). Telemetry parsed from JSON is
    ``Any`` and checks as it is; the lenient reading is for what clients send.
    """

    browser: BrowserInfo
    """Without it the screen counts as 1024 x 768 and valid."""
    mouse_movements: list[PointerSample]
    """Any number; the kinematics use the 300 earliest by time, touch statistics all."""
    keystrokes: list[KeystrokeEvent]
    """Only the first 150 list positions are read."""
    clicks: list[Any]
    """Only the length counts."""
    scrolls: list[Any]
    """Only the length counts."""

# ---------------------------------------------------------------- results

@type_check_only
class VisitFeatures(TypedDict):
    """The 39 features of a visit, always all present and in this order. Pointer
    features use the 300 earliest samples; with fewer than 3 they keep the values
    of an empty visit."""

    mouse_points: int
    """Pointer samples read (all of them, before the 300 limit)."""
    total_distance: float
    """Pixels travelled."""
    straightness: float
    """Straight-line distance from first to last sample over the distance travelled, 0 to 1; 1.0 without movement."""
    avg_velocity: float
    """Mean speed per segment, px/ms."""
    max_velocity: float
    """Highest segment speed, px/ms."""
    velocity_var: float
    """Variance of the segment speeds, (px/ms)²."""
    avg_acceleration: float
    """Mean change of speed per ms, px/ms² (signed)."""
    acceleration_var: float
    """Variance of the accelerations."""
    avg_jerk: float
    """Mean absolute change of acceleration per ms, px/ms³."""
    dt_var: float
    """Variance of the sampling intervals (each at least 0.1 ms), ms²."""
    click_count: int
    """Length of the "clicks" list."""
    key_count: int
    """Keystrokes analysed."""
    key_interval_avg: float
    """The same value as avg_flight_time."""
    key_interval_var: float
    """The same value as flight_time_var."""
    webdriver: bool
    """The browser's automation flag."""
    screen_valid: bool
    """Screen width and height both above 0 (True when "browser" is absent)."""
    scroll_count: int
    """Length of the "scrolls" list."""
    terminal_decel_ratio: float
    """Mean speed of the last quarter of the segments over the highest speed, 0 to 1; 1.0 without movement."""
    plugins_length: int
    """As reported, default 1."""
    touch_supported: bool
    """As reported, default False."""
    screen_width: float
    """Pixels, default 1024.0."""
    spectral_purity: float
    """Share of the speed's fluctuation power in its strongest frequency, 0 to 1; 0.0 below 9 samples."""
    spectral_entropy: float
    """Spread of that power over all frequencies, 0 to 1; 1.0 below 9 samples."""
    submovement_count: int
    """Speed peaks of at least 15% of the highest speed (aimed strokes); at least 1 once the pointer moved."""
    max_touch_points: int
    """As reported, default 0."""
    avg_touch_radius: float
    """Mean touch radius over the samples with one above 0."""
    touch_radius_var: float
    """Variance of those radii."""
    avg_touch_force: float
    """Mean touch force over the samples with one above 0."""
    touch_event_count: int
    """Samples with a touch radius above 0."""
    curvature_score: float
    """The curvature ladder of evaluate_curvature_naturalness_rs: 0.95, 0.9, 0.85, 0.75 or 0.1; 0.0 below 4 samples."""
    mean_curvature: float
    """Mean path curvature, 1/px."""
    curvature_var: float
    """Variance of the curvature, 1/px²."""
    curvature_rate_var: float
    """Variance of the curvature's change per ms."""
    avg_dwell_time: float
    """Mean key hold time, ms (holds between 0 and 5000 ms)."""
    dwell_time_var: float
    """Variance of the hold times, ms²."""
    avg_flight_time: float
    """Mean time from one key's release to the next press, ms (between -500 and 5000 ms)."""
    flight_time_var: float
    """Variance of the flight times, ms²."""
    digraph_entropy: float
    """Evenness of the flight times over eight 100 ms bins, 0 to 1; 0.5 with fewer than 4 or no typing."""
    keystroke_score: float
    """0 to 1, rising with the marks of scripted typing; 0.0 below 3 keystrokes."""

@type_check_only
class CurvatureMetrics(TypedDict):
    """The curvature measure of one pointer path, in this order."""

    curvature_score: float
    """0.95 no bending; 0.9 constant bending; 0.85 erratic (curvature variance above 10 or rate variance
    above 5); 0.75 most samples sharply bent with a jumpy rate; 0.1 none of these; 0.0 below 4 samples."""
    mean_curvature: float
    """Mean curvature, 1/px."""
    curvature_var: float
    """Population variance of the curvature, 1/px²."""
    curvature_rate_var: float
    """Population variance of the curvature's change per ms."""

@type_check_only
class KeystrokeMetrics(TypedDict):
    """The keystroke dynamics of one list, in this order."""

    key_count: int
    """Items that became keystrokes."""
    avg_dwell_time: float
    """Mean hold time, ms."""
    dwell_time_var: float
    """Variance of the hold times, ms²."""
    avg_flight_time: float
    """Mean time from a release (or a press without release time) to the next press, ms."""
    flight_time_var: float
    """Variance of the flight times, ms²."""
    digraph_entropy: float
    """Evenness of the flight times over eight 100 ms bins, 0 to 1; 0.5 with fewer than 4, 0.0 for no keystrokes."""
    keystroke_score: float
    """0 to 1, rising with the marks of scripted typing; 0.0 below 3 keystrokes."""

@type_check_only
class StateEngineStats(TypedDict):
    """Counts of the process-wide state engine, in this order."""

    current_bucket_nonces: int
    """Nonces consumed in the current 60-second bucket."""
    previous_bucket_nonces: int
    """Nonces of the bucket before it."""
    active_ip_bans: int
    """Bans whose expiry is still ahead."""

# ---------------------------------------------------------------- functions

def is_rust_core_active() -> bool:
    """True: the native core is loaded."""

def get_core_version() -> str:
    """The core's version string, such as "0.9.4-native-rust"."""

def extract_features_rs(telemetry: Telemetry) -> VisitFeatures:
    """The 39 behavioural features of one visit.

    Never raises on the telemetry's content: a missing key or a value of the
    wrong type keeps a default, an unreadable list item is skipped, and anything
    other than a dict reads as an empty visit (accepted at run time; the type
    asks for Telemetry, see there why).
    """

def evaluate_curvature_naturalness_rs(x: Sequence[float], y: Sequence[float], t: Sequence[float]) -> CurvatureMetrics:
    """The curvature measure of one pointer path: x and y in pixels, t in milliseconds.

    Any sequences of numbers (lists, tuples, ranges, bytes); the shortest length
    is used, and fewer than 4 samples give 0.0 everywhere. Time steps of 0.1 ms
    or less count as 0.1 ms.

    Raises:
        TypeError: an argument is a str or not a sequence, or an item is not a number
            (the message starts with "argument 'NAME': ").
    """

def evaluate_curvature_zerocopy_rs(x_obj: Buffer, y_obj: Buffer, t_obj: Buffer) -> CurvatureMetrics:
    """evaluate_curvature_naturalness_rs over float64 buffers (NumPy arrays, array("d"),
    memoryviews), read in place without copying; views that are not contiguous are
    read through their strides.

    Raises:
        TypeError: an argument does not export a buffer.
        BufferError: the items are not native float64 ("buffer contents are not compatible
            with f64") or not 8-byte aligned ("buffer contents are insufficiently aligned for f64").
    """

def evaluate_keystroke_dynamics_rs(
    keystrokes: list[tuple[str, float, float | None] | KeystrokeEvent],
) -> KeystrokeMetrics:
    """The keystroke dynamics of one list of key presses, each a
    (key, press_ms, release_ms or None) tuple or a KeystrokeEvent dict.

    Never raises on the list's content: unreadable items are skipped, and
    anything other than a list reads as an empty one.
    """

def consume_nonce_rs(nonce: str) -> bool:
    """True the first time a nonce is seen, False on a replay. A nonce is remembered
    for at least 60 and at most about 120 seconds (two 60-second buckets on the
    monotonic clock).

    Raises:
        TypeError: nonce is not a str.
        UnicodeEncodeError: nonce holds lone surrogates.
    """

def is_ip_banned_rs(ip: str) -> bool:
    """True while a ban on exactly this address text is in force.

    Raises:
        TypeError: ip is not a str.
        UnicodeEncodeError: ip holds lone surrogates.
    """

def ban_ip_rs(ip: str, duration_sec: int) -> None:
    """Bans the address for duration_sec whole seconds from now (0 to 2**64 - 1),
    replacing any earlier ban on it, longer or shorter.

    Raises:
        TypeError: ip is not a str, or duration_sec is not an integer.
        UnicodeEncodeError: ip holds lone surrogates.
        OverflowError: duration_sec is negative or 2**64 or more.
    """

def unban_ip_rs(ip: str) -> None:
    """Lifts the ban on the address, if any.

    Raises:
        TypeError: ip is not a str.
        UnicodeEncodeError: ip holds lone surrogates.
    """

def hydrate_bans_rs(bans: Sequence[tuple[str, int]]) -> None:
    """Reloads bans as (address, expiry in seconds since the Unix epoch) pairs, after
    a restart; expiries not in the future are skipped, later pairs win. The whole
    list is checked first: a bad element raises and adds nothing.

    Raises:
        TypeError: bans is a str or not a sequence, an element is not a tuple, or an
            item has the wrong type.
        ValueError: an element is a tuple of another length than 2.
        OverflowError: an expiry is negative or 2**64 or more.
        UnicodeEncodeError: an address holds lone surrogates.
    """

def clear_state_engine_rs() -> None:
    """Forgets every nonce and every ban."""

def get_state_engine_stats_rs() -> StateEngineStats:
    """Counts of the state engine; never rotates the buckets or drops expired bans."""
