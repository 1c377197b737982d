"""NumPy-vectorised visit features: every series is an array and every loop over
samples is an array operation. Sums are NumPy's (pairwise), so results agree
with the extension to rounding, not to the bit."""

import numpy as np

from feature_rules import (
    BENT_CURVATURE,
    CURVATURE_SPEED_FLOOR,
    HISTOGRAM_BIN_MS,
    HISTOGRAM_BINS,
    HISTOGRAM_END_MS,
    HISTOGRAM_MIN_COUNT,
    MAX_DIGRAPH_MS,
    MAX_DWELL_MS,
    MAX_FLIGHT_MS,
    MAX_USED_POINTS,
    MIN_ENTROPY_SHARE,
    MIN_FLIGHT_MS,
    MIN_MOVING_VELOCITY,
    MIN_SPECTRAL_POWER,
    MIN_SPECTRAL_SPEEDS,
    MIN_STEP_MS,
    MIN_STRAIGHTNESS_DISTANCE,
    NO_CURVATURE,
    NO_SPECTRUM,
    PEAK_SHARE_OF_MAX,
    TWO_PI,
    curvature_score,
    feature_dict,
    few_points_kinematics,
    keystroke_score,
)
from telemetry_reading import read_telemetry


def _mean_and_variance(values):
    if values.size == 0:
        return 0.0, 0.0
    average = values.mean()
    deviations = values - average
    return average, np.dot(deviations, deviations) / values.size


def curvature_metrics(x, y, t):
    """(score, mean, var, rate var) of one pointer path given as float64 arrays."""
    n = min(len(x), len(y), len(t))
    if n < 4:
        return NO_CURVATURE
    x, y, t = x[:n], y[:n], t[:n]
    dt = np.diff(t)
    dt = np.where(dt > MIN_STEP_MS, dt, MIN_STEP_MS)  # also floors NaN steps
    vx = np.diff(x) / dt
    vy = np.diff(y) / dt
    mean_step = (dt[:-1] + dt[1:]) * 0.5
    ax = np.diff(vx) / mean_step
    ay = np.diff(vy) / mean_step
    later_vx, later_vy = vx[1:], vy[1:]
    speed_squared = (later_vx * later_vx + later_vy * later_vy) + CURVATURE_SPEED_FLOOR
    curvature = np.abs(later_vx * ay - later_vy * ax) / (speed_squared * np.sqrt(speed_squared))
    rate_step = mean_step[1:]
    rates = np.diff(curvature) / np.where(rate_step > MIN_STEP_MS, rate_step, MIN_STEP_MS)
    average, variance = _mean_and_variance(curvature)
    _, rate_variance = _mean_and_variance(rates)
    bent = int(np.count_nonzero(curvature > BENT_CURVATURE))
    return curvature_score(average, variance, rate_variance, bent, curvature.size), average, variance, rate_variance


def spectral_features(speeds, mean_speed):
    """(purity, entropy) of the speed series from a direct transform as one matrix product."""
    n = speeds.size
    if n < MIN_SPECTRAL_SPEEDS:
        return NO_SPECTRUM
    centred = speeds - mean_speed
    highest_bin = n // 2
    omegas = (np.arange(1, highest_bin + 1) * TWO_PI) / n
    angles = np.outer(np.arange(n), omegas)
    real = centred @ np.cos(angles)
    imaginary = -(centred @ np.sin(angles))
    powers = real * real + imaginary * imaginary
    total = powers.sum()
    if not total > MIN_SPECTRAL_POWER:
        return NO_SPECTRUM
    shares = powers / total
    shares = shares[shares > MIN_ENTROPY_SHARE]
    entropy = -np.dot(shares, np.log2(shares))
    max_entropy = np.log2(highest_bin) if highest_bin > 1 else 1.0
    return powers.max() / total, entropy / max_entropy


def kinematics(samples):
    """Pointer kinematics of the samples, an array of rows (x, y, t, r, f) in list order."""
    n = len(samples)
    if n < 3:
        return few_points_kinematics(n)
    used = samples[np.argsort(samples[:, 2], kind="stable")[:MAX_USED_POINTS]]
    x, y, t = used[:, 0], used[:, 1], used[:, 2]
    curvature = curvature_metrics(x, y, t) if len(used) >= 4 else NO_CURVATURE
    m = len(used) - 1
    distances = np.hypot(np.diff(x), np.diff(y))
    steps = np.maximum(np.diff(t), MIN_STEP_MS)
    velocities = distances / steps
    total_distance = distances.sum()
    chord = np.hypot(x[-1] - x[0], y[-1] - y[0])
    straightness = min(1.0, chord / total_distance) if total_distance > MIN_STRAIGHTNESS_DISTANCE else 1.0
    avg_velocity, velocity_var = _mean_and_variance(velocities)
    max_velocity = max(0.0, velocities.max())
    _, dt_var = _mean_and_variance(steps)

    moving = max_velocity > MIN_MOVING_VELOCITY
    tail = max(1, m // 4)
    terminal_decel_ratio = velocities[m - tail :].mean() / max_velocity if moving else 1.0
    threshold = PEAK_SHARE_OF_MAX * max_velocity if moving else 0.0
    inner = velocities[1:-1]
    peaks = np.count_nonzero((inner > velocities[:-2]) & (inner > velocities[2:]) & (inner >= threshold))
    submovement_count = max(1, peaks) if moving else 0

    spectrum = spectral_features(velocities, avg_velocity) if m >= MIN_SPECTRAL_SPEEDS else NO_SPECTRUM
    accelerations = np.diff(velocities) / steps[1:]
    avg_acceleration, acceleration_var = _mean_and_variance(accelerations)
    jerks = np.abs(np.diff(accelerations) / steps[2:])
    avg_jerk = jerks.mean() if jerks.size else 0.0
    return {
        "mouse_points": n,
        "total_distance": total_distance,
        "straightness": straightness,
        "avg_velocity": avg_velocity,
        "max_velocity": max_velocity,
        "velocity_var": velocity_var,
        "avg_acceleration": avg_acceleration,
        "acceleration_var": acceleration_var,
        "avg_jerk": avg_jerk,
        "dt_var": dt_var,
        "terminal_decel_ratio": terminal_decel_ratio,
        "submovement_count": submovement_count,
        "spectrum": spectrum,
        "curvature": curvature,
    }


def touch_features(samples):
    """(avg radius, radius var, avg force, touch event count) over every sample, unsorted and unlimited."""
    radii = samples[:, 3][samples[:, 3] > 0.0]
    forces = samples[:, 4][samples[:, 4] > 0.0]
    avg_radius, radius_var = _mean_and_variance(radii)
    avg_force = forces.mean() if forces.size else 0.0
    return avg_radius, radius_var, avg_force, radii.size


def flight_time_entropy(flights):
    counted = flights[(flights >= 0) & (flights <= HISTOGRAM_END_MS)]
    if counted.size < HISTOGRAM_MIN_COUNT:
        return 0.5
    bins = np.minimum((counted / HISTOGRAM_BIN_MS).astype(np.int64), HISTOGRAM_BINS - 1)
    counts = np.bincount(bins, minlength=HISTOGRAM_BINS)
    shares = counts[counts > 0] / counted.size
    return -np.dot(shares, np.log2(shares)) / np.log2(HISTOGRAM_BINS)


def _digraph_means(keys, downs):
    """Mean down-to-down latency per digraph of consecutive single-character keys."""
    lowered = [key.lower() for key in keys]
    single = np.array([len(key.encode("utf-8")) == 1 for key in lowered])
    latencies = np.diff(downs)
    kept = np.flatnonzero(single[:-1] & single[1:] & (latencies > 0) & (latencies < MAX_DIGRAPH_MS))
    if kept.size == 0:
        return {}
    digraphs, group = np.unique([lowered[i] + lowered[i + 1] for i in kept], return_inverse=True)
    sums = np.bincount(group, weights=latencies[kept])
    counts = np.bincount(group)
    return dict(zip(digraphs.tolist(), (sums / counts).tolist()))


def keystroke_metrics(records):
    """(key_count, avg_dwell, dwell_var, avg_flight, flight_var, digraph_entropy, score) of (key, down, up) records."""
    n = len(records)
    keys, downs, ups = zip(*records)
    downs = np.array(downs)
    order = np.argsort(downs, kind="stable")
    downs = downs[order]
    has_up = np.array([up is not None for up in ups])[order]
    ups = np.array([np.nan if up is None else up for up in ups])[order]
    keys = [keys[i] for i in order]
    dwells = (ups - downs)[has_up]
    dwells = dwells[(dwells > 0) & (dwells < MAX_DWELL_MS)]
    releases = np.where(has_up, ups, downs)
    flights = downs[1:] - releases[:-1]
    flights = flights[(flights > MIN_FLIGHT_MS) & (flights < MAX_FLIGHT_MS)]
    avg_dwell, dwell_var = _mean_and_variance(dwells)
    avg_flight, flight_var = _mean_and_variance(flights)
    entropy = flight_time_entropy(flights)
    score = keystroke_score(
        n,
        (dwells.size, avg_dwell, dwell_var),
        (flights.size, avg_flight, flight_var),
        entropy,
        _digraph_means(keys, downs),
    )
    return n, avg_dwell, dwell_var, avg_flight, flight_var, entropy, score


def extract_features(raw):
    telemetry = read_telemetry(raw)
    samples = np.array(telemetry.points, dtype=np.float64).reshape(-1, 5)
    keystrokes = keystroke_metrics(telemetry.keystrokes) if telemetry.keystrokes else None
    return feature_dict(telemetry, kinematics(samples), touch_features(samples), keystrokes)
