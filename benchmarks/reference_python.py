"""Pure-Python visit features: the straightforward way to compute what
extract_features_rs returns, loop by loop, with sums in index order."""

import math

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


def mean(values):
    total = 0.0
    for value in values:
        total += value
    return total / len(values)


def mean_and_variance(values):
    """Population variance in a second pass about the mean; (0.0, 0.0) for no values."""
    if not values:
        return 0.0, 0.0
    average = mean(values)
    squares = 0.0
    for value in values:
        deviation = value - average
        squares += deviation * deviation
    return average, squares / len(values)


def curvature_metrics(xs, ys, ts):
    """(score, mean, var, rate var) of one pointer path."""
    n = min(len(xs), len(ys), len(ts))
    if n < 4:
        return NO_CURVATURE
    dts, vxs, vys = [], [], []
    for i in range(n - 1):
        dt = ts[i + 1] - ts[i]
        dt = dt if dt > MIN_STEP_MS else MIN_STEP_MS
        dts.append(dt)
        vxs.append((xs[i + 1] - xs[i]) / dt)
        vys.append((ys[i + 1] - ys[i]) / dt)
    mean_steps, curvatures = [], []
    for j in range(n - 2):
        mean_step = (dts[j] + dts[j + 1]) * 0.5
        mean_steps.append(mean_step)
        ax = (vxs[j + 1] - vxs[j]) / mean_step
        ay = (vys[j + 1] - vys[j]) / mean_step
        speed_squared = (vxs[j + 1] * vxs[j + 1] + vys[j + 1] * vys[j + 1]) + CURVATURE_SPEED_FLOOR
        curvatures.append(abs(vxs[j + 1] * ay - vys[j + 1] * ax) / (speed_squared * math.sqrt(speed_squared)))
    rates = []
    for k in range(n - 3):
        step = mean_steps[k + 1] if mean_steps[k + 1] > MIN_STEP_MS else MIN_STEP_MS
        rates.append((curvatures[k + 1] - curvatures[k]) / step)
    average, variance = mean_and_variance(curvatures)
    _, rate_variance = mean_and_variance(rates)
    bent = sum(1 for curvature in curvatures if curvature > BENT_CURVATURE)
    return curvature_score(average, variance, rate_variance, bent, len(curvatures)), average, variance, rate_variance


def spectral_features(speeds, mean_speed):
    """(purity, entropy) of the speed series from a direct Fourier transform."""
    n = len(speeds)
    if n < MIN_SPECTRAL_SPEEDS:
        return NO_SPECTRUM
    centred = [speed - mean_speed for speed in speeds]
    highest_bin = n // 2
    powers = []
    for k in range(1, highest_bin + 1):  # bin 0 is the residual offset, not a fluctuation
        omega = (k * TWO_PI) / n
        real = imaginary = 0.0
        for i in range(n):
            angle = i * omega
            real += centred[i] * math.cos(angle)
            imaginary -= centred[i] * math.sin(angle)
        powers.append(real * real + imaginary * imaginary)
    total = 0.0
    for power in powers:
        total += power
    if not total > MIN_SPECTRAL_POWER:
        return NO_SPECTRUM
    entropy = 0.0
    for power in powers:
        share = power / total
        if share > MIN_ENTROPY_SHARE:
            entropy -= share * math.log2(share)
    max_entropy = math.log2(highest_bin) if highest_bin > 1 else 1.0
    return max(powers) / total, entropy / max_entropy


def kinematics(points):
    n = len(points)
    if n < 3:
        return few_points_kinematics(n)
    used = sorted(points, key=lambda point: point[2])[:MAX_USED_POINTS]
    xs = [point[0] for point in used]
    ys = [point[1] for point in used]
    ts = [point[2] for point in used]
    curvature = curvature_metrics(xs, ys, ts) if len(used) >= 4 else NO_CURVATURE
    m = len(used) - 1
    distances, steps, velocities = [], [], []
    for i in range(m):
        dx, dy = xs[i + 1] - xs[i], ys[i + 1] - ys[i]
        distance = math.sqrt(dx * dx + dy * dy)
        step = max(ts[i + 1] - ts[i], MIN_STEP_MS)
        distances.append(distance)
        steps.append(step)
        velocities.append(distance / step)
    chord_x, chord_y = xs[-1] - xs[0], ys[-1] - ys[0]
    chord = math.sqrt(chord_x * chord_x + chord_y * chord_y)
    total_distance = 0.0
    for distance in distances:
        total_distance += distance
    straightness = min(1.0, chord / total_distance) if total_distance > MIN_STRAIGHTNESS_DISTANCE else 1.0
    avg_velocity, velocity_var = mean_and_variance(velocities)
    max_velocity = 0.0
    for velocity in velocities:
        if velocity > max_velocity:
            max_velocity = velocity
    _, dt_var = mean_and_variance(steps)

    moving = max_velocity > MIN_MOVING_VELOCITY
    tail = max(1, m // 4)
    terminal_decel_ratio = mean(velocities[m - tail :]) / max_velocity if moving else 1.0
    threshold = PEAK_SHARE_OF_MAX * max_velocity if moving else 0.0
    peaks = 0
    for i in range(1, m - 1):
        if velocities[i] > velocities[i - 1] and velocities[i] > velocities[i + 1] and velocities[i] >= threshold:
            peaks += 1
    submovement_count = max(1, peaks) if moving else 0

    spectrum = spectral_features(velocities, avg_velocity) if m >= MIN_SPECTRAL_SPEEDS else NO_SPECTRUM
    accelerations = [(velocities[i + 1] - velocities[i]) / steps[i + 1] for i in range(m - 1)]
    avg_acceleration, acceleration_var = mean_and_variance(accelerations)
    jerks = [abs((accelerations[i + 1] - accelerations[i]) / steps[i + 2]) for i in range(m - 2)]
    avg_jerk = mean(jerks) if jerks else 0.0
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


def touch_features(points):
    """(avg radius, radius var, avg force, touch event count) over every sample, unsorted and unlimited."""
    radii = [point[3] for point in points if point[3] > 0.0]
    forces = [point[4] for point in points if point[4] > 0.0]
    avg_radius, radius_var = mean_and_variance(radii)
    avg_force = mean(forces) if forces else 0.0
    return avg_radius, radius_var, avg_force, len(radii)


def _single_character(key):
    lowered = key.lower()
    return lowered if len(lowered.encode("utf-8")) == 1 else None


def flight_time_entropy(flights):
    bins = [0] * HISTOGRAM_BINS
    counted = 0
    for flight in flights:
        if 0 <= flight <= HISTOGRAM_END_MS:
            bins[min(int(flight / HISTOGRAM_BIN_MS), HISTOGRAM_BINS - 1)] += 1
            counted += 1
    if counted < HISTOGRAM_MIN_COUNT:
        return 0.5
    entropy = 0.0
    for count in bins:
        if count:
            share = count / counted
            entropy -= share * math.log2(share)
    return entropy / math.log2(HISTOGRAM_BINS)


def keystroke_metrics(records):
    """(key_count, avg_dwell, dwell_var, avg_flight, flight_var, digraph_entropy, score) of (key, down, up) records."""
    n = len(records)
    ordered = sorted(records, key=lambda record: record[1])
    dwells = []
    for _, down, up in ordered:
        if up is not None and 0 < up - down < MAX_DWELL_MS:
            dwells.append(up - down)
    flights = []
    for i in range(n - 1):
        release = ordered[i][2] if ordered[i][2] is not None else ordered[i][1]
        flight = ordered[i + 1][1] - release
        if MIN_FLIGHT_MS < flight < MAX_FLIGHT_MS:
            flights.append(flight)
    latencies = {}
    for i in range(1, n):
        first, second = _single_character(ordered[i - 1][0]), _single_character(ordered[i][0])
        latency = ordered[i][1] - ordered[i - 1][1]
        if first is not None and second is not None and 0 < latency < MAX_DIGRAPH_MS:
            latencies.setdefault(first + second, []).append(latency)
    avg_dwell, dwell_var = mean_and_variance(dwells)
    avg_flight, flight_var = mean_and_variance(flights)
    entropy = flight_time_entropy(flights)
    digraph_means = {digraph: mean(values) for digraph, values in latencies.items()}
    score = keystroke_score(
        n, (len(dwells), avg_dwell, dwell_var), (len(flights), avg_flight, flight_var), entropy, digraph_means
    )
    return n, avg_dwell, dwell_var, avg_flight, flight_var, entropy, score


def extract_features(raw):
    telemetry = read_telemetry(raw)
    touch = touch_features(telemetry.points)
    keystrokes = keystroke_metrics(telemetry.keystrokes) if telemetry.keystrokes else None
    return feature_dict(telemetry, kinematics(telemetry.points), touch, keystrokes)
