"""What both Python contenders share: the constants of the analyses, the two
score ladders, the defaults of a visit with too little data and the 39-entry
feature dict."""

COMMON_DIGRAPHS = frozenset(
    (
        "th er on an re he in ed nd ha at en es of or nt ea ti to it st io le is ou "
        "ar as de rt ve la ik ak el al ma me ba ka"
    ).split()
)

# Constants of the analyses (times in milliseconds).
MAX_USED_POINTS = 300
MIN_STEP_MS = 0.1
MIN_STRAIGHTNESS_DISTANCE = 0.0001
MIN_MOVING_VELOCITY = 0.00001
PEAK_SHARE_OF_MAX = 0.15
MIN_SPECTRAL_SPEEDS = 8
MIN_SPECTRAL_POWER = 1e-9
MIN_ENTROPY_SHARE = 1e-12
TWO_PI = 6.283185307179586
CURVATURE_SPEED_FLOOR = 0.000001
MAX_DWELL_MS, MAX_FLIGHT_MS, MIN_FLIGHT_MS, MAX_DIGRAPH_MS = 5000, 5000, -500, 2000
HISTOGRAM_END_MS, HISTOGRAM_BIN_MS, HISTOGRAM_BINS, HISTOGRAM_MIN_COUNT = 800, 100, 8, 4

# Curvature ladder, first matching rule wins.
STILL_MEAN, STILL_VAR = 0.000001, 0.0000001
STEADY_VAR, STEADY_RATE_VAR = 0.0001, 0.00000001
ERRATIC_VAR, ERRATIC_RATE_VAR = 10, 5
BENT_CURVATURE, BENT_RATE_VAR = 0.1, 2

# Keystroke score: the marks of scripted typing and what each adds.
REGULAR_FLIGHT_VAR, REGULAR_FLIGHT_MIN_COUNT, REGULAR_SCORE = 2, 3, 0.85
EVEN_FLIGHT_VAR, EVEN_FLIGHT_MIN_COUNT, EVEN_SCORE = 15, 4, 0.6
FAST_FLIGHT_MEAN, FAST_SCORE = 25, 0.7
SHORT_DWELL_MEAN, SHORT_DWELL_SCORE = 15, 0.75
STEADY_DWELL_VAR, STEADY_DWELL_MIN_COUNT, STEADY_DWELL_SCORE = 2, 3, 0.8
SLOW_COMMON_RATIO, SLOW_COMMON_MIN_RECORDS, SLOW_COMMON_SCORE = 1.05, 8, 0.4
FAST_COMMON_RATIO, FAST_COMMON_PENALTY = 0.85, 0.25
NARROW_ENTROPY, NARROW_MIN_FLIGHTS, NARROW_SCORE = 0.15, 5, 0.7
FLAT_ENTROPY, FLAT_MIN_FLIGHTS, FLAT_SCORE = 0.98, 8, 0.5
MIN_SCORED_RECORDS = 3

NO_SPECTRUM = (0.0, 1.0)  # (purity, entropy) when the speed series is too short or flat
NO_CURVATURE = (0.0, 0.0, 0.0, 0.0)  # (score, mean, var, rate var)
# (key_count, avg_dwell, dwell_var, avg_flight, flight_var, digraph_entropy, score) of a visit without keys.
NO_KEYSTROKES = (0, 0.0, 0.0, 0.0, 0.0, 0.5, 0.0)


def curvature_score(mean, var, rate_var, values_above_bent, value_count):
    if mean < STILL_MEAN and var < STILL_VAR:
        return 0.95
    if var < STEADY_VAR and rate_var < STEADY_RATE_VAR:
        return 0.9
    if var > ERRATIC_VAR or rate_var > ERRATIC_RATE_VAR:
        return 0.85
    if values_above_bent > value_count // 2 and rate_var > BENT_RATE_VAR:
        return 0.75
    return 0.1


def keystroke_score(record_count, dwell, flight, digraph_entropy, digraph_means):
    """dwell and flight are (count, mean, variance); digraph_means maps a digraph to its mean latency."""
    if record_count < MIN_SCORED_RECORDS:
        return 0.0
    dwell_count, dwell_mean, dwell_var = dwell
    flight_count, flight_mean, flight_var = flight
    if flight_var < REGULAR_FLIGHT_VAR and flight_count >= REGULAR_FLIGHT_MIN_COUNT:
        score = REGULAR_SCORE
    elif flight_var < EVEN_FLIGHT_VAR and flight_count >= EVEN_FLIGHT_MIN_COUNT:
        score = EVEN_SCORE
    else:
        score = 0.0
    if 0 < flight_mean < FAST_FLIGHT_MEAN:
        score += FAST_SCORE
    if dwell_count >= 1:
        if dwell_mean < SHORT_DWELL_MEAN:
            score += SHORT_DWELL_SCORE
        elif dwell_var < STEADY_DWELL_VAR and dwell_count >= STEADY_DWELL_MIN_COUNT:
            score += STEADY_DWELL_SCORE
    common = [mean for digraph, mean in digraph_means.items() if digraph in COMMON_DIGRAPHS]
    other = [mean for digraph, mean in digraph_means.items() if digraph not in COMMON_DIGRAPHS]
    if common and other:
        common_mean, other_mean = sum(common) / len(common), sum(other) / len(other)
        if record_count >= SLOW_COMMON_MIN_RECORDS and common_mean >= SLOW_COMMON_RATIO * other_mean:
            score += SLOW_COMMON_SCORE
        elif common_mean < FAST_COMMON_RATIO * other_mean:
            score = max(0.0, score - FAST_COMMON_PENALTY)
    if digraph_entropy < NARROW_ENTROPY and flight_count >= NARROW_MIN_FLIGHTS:
        score += NARROW_SCORE
    elif digraph_entropy > FLAT_ENTROPY and flight_count >= FLAT_MIN_FLIGHTS:
        score += FLAT_SCORE
    return min(max(score, 0.0), 1.0)


def few_points_kinematics(point_count):
    """Kinematics of a visit with fewer than three pointer samples."""
    return {
        "mouse_points": point_count,
        "total_distance": 0.0,
        "straightness": 1.0,
        "avg_velocity": 0.0,
        "max_velocity": 0.0,
        "velocity_var": 0.0,
        "avg_acceleration": 0.0,
        "acceleration_var": 0.0,
        "avg_jerk": 0.0,
        "dt_var": 0.0,
        "terminal_decel_ratio": 1.0,
        "submovement_count": 0,
        "spectrum": NO_SPECTRUM,
        "curvature": NO_CURVATURE,
    }


def feature_dict(telemetry, kinematics, touch, keystrokes):
    """The 39 features in the extension's order and Python types.

    kinematics: as few_points_kinematics returns; touch: (avg radius, radius var,
    avg force, touch event count); keystrokes: as NO_KEYSTROKES, or None.
    """
    spectral_purity, spectral_entropy = kinematics["spectrum"]
    curvature = kinematics["curvature"]
    avg_radius, radius_var, avg_force, touch_events = touch
    key_count, avg_dwell, dwell_var, avg_flight, flight_var, digraph_entropy, score = keystrokes or NO_KEYSTROKES
    return {
        "mouse_points": int(kinematics["mouse_points"]),
        "total_distance": float(kinematics["total_distance"]),
        "straightness": float(kinematics["straightness"]),
        "avg_velocity": float(kinematics["avg_velocity"]),
        "max_velocity": float(kinematics["max_velocity"]),
        "velocity_var": float(kinematics["velocity_var"]),
        "avg_acceleration": float(kinematics["avg_acceleration"]),
        "acceleration_var": float(kinematics["acceleration_var"]),
        "avg_jerk": float(kinematics["avg_jerk"]),
        "dt_var": float(kinematics["dt_var"]),
        "click_count": telemetry.click_count,
        "key_count": int(key_count),
        "key_interval_avg": float(avg_flight),
        "key_interval_var": float(flight_var),
        "webdriver": telemetry.webdriver,
        "screen_valid": telemetry.screen_valid,
        "scroll_count": telemetry.scroll_count,
        "terminal_decel_ratio": float(kinematics["terminal_decel_ratio"]),
        "plugins_length": telemetry.plugins_length,
        "touch_supported": telemetry.touch_supported,
        "screen_width": float(telemetry.screen_width),
        "spectral_purity": float(spectral_purity),
        "spectral_entropy": float(spectral_entropy),
        "submovement_count": int(kinematics["submovement_count"]),
        "max_touch_points": telemetry.max_touch_points,
        "avg_touch_radius": float(avg_radius),
        "touch_radius_var": float(radius_var),
        "avg_touch_force": float(avg_force),
        "touch_event_count": int(touch_events),
        "curvature_score": float(curvature[0]),
        "mean_curvature": float(curvature[1]),
        "curvature_var": float(curvature[2]),
        "curvature_rate_var": float(curvature[3]),
        "avg_dwell_time": float(avg_dwell),
        "dwell_time_var": float(dwell_var),
        "avg_flight_time": float(avg_flight),
        "flight_time_var": float(flight_var),
        "digraph_entropy": float(digraph_entropy),
        "keystroke_score": float(score),
    }
