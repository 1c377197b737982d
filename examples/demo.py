"""Extracts the behavioural features of recorded visits and shows them side by side,
with the tells that mark a visit as scripted.

    python examples/demo.py                          # the shipped sample visits
    python examples/demo.py visit.json               # one visit: a JSON object
    python examples/demo.py visits.jsonl             # many: a JSON array, or one object per line
    python examples/demo.py --plot paths.png         # also draw each visit's pointer path (needs matplotlib)

A visit is the telemetry dict the browser side records ("mouse_movements",
"keystrokes", "clicks", "scrolls", "browser"); an optional "label" names it.
"""

import argparse
import json
import math
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

import veltrix
import veltrix_core_rs as core

SAMPLES = Path(__file__).with_name("samples") / "visits.jsonl"
COLUMN_WIDTH = 18
# Exact zeros (a constant speed's variance, a straight path's curvature) come out of
# floating-point arithmetic as remainders around 1e-16 and below; no feature of a
# real movement is that small, so such values are shown as 0.
ROUNDING_NOISE = 1e-9

UNITS = {
    "total_distance": "px",
    "avg_velocity": "px/ms",
    "max_velocity": "px/ms",
    "velocity_var": "(px/ms)²",
    "avg_acceleration": "px/ms²",
    "acceleration_var": "(px/ms²)²",
    "avg_jerk": "px/ms³",
    "dt_var": "ms²",
    "key_interval_avg": "ms",
    "key_interval_var": "ms²",
    "screen_width": "px",
    "avg_touch_radius": "px",
    "touch_radius_var": "px²",
    "mean_curvature": "1/px",
    "curvature_var": "1/px²",
    "curvature_rate_var": "1/(px·ms)²",
    "avg_dwell_time": "ms",
    "dwell_time_var": "ms²",
    "avg_flight_time": "ms",
    "flight_time_var": "ms²",
}

# The features that most plainly tell a person from a script, shown first.
TELL_FEATURES = {
    "webdriver": "automation flag",
    "screen_valid": "real screen size reported",
    "straightness": "1 = ruler-straight",
    "velocity_var": "0 = constant speed",
    "dt_var": "0 = regular sampling",
    "curvature_score": "0.95 no, 0.9 constant bending",
    "flight_time_var": "0 = metronomic typing",
    "keystroke_score": "rises with scripted typing",
}


def is_zero(value):
    return abs(value) < ROUNDING_NOISE


def moved(f):
    return f["mouse_points"] >= 3 and f["total_distance"] > 0


# What each tell says, and when a visit shows it. A reading of a few features to
# show what they capture, not the service's scoring, which weighs all 39.
TELLS = [
    ("the browser reports automation (webdriver)", lambda f: f["webdriver"]),
    ("no real screen size (screen_valid)", lambda f: not f["screen_valid"]),
    ("pointer sampled at perfectly regular intervals (dt_var 0)", lambda f: moved(f) and is_zero(f["dt_var"])),
    ("pointer at one constant speed (velocity_var 0)", lambda f: moved(f) and is_zero(f["velocity_var"])),
    (
        "ruler-straight pointer path (straightness 1)",
        lambda f: moved(f) and f["straightness"] > 0.999 and f["total_distance"] > 100,
    ),
    ("metronomic typing (flight_time_var 0)", lambda f: f["key_count"] >= 3 and is_zero(f["flight_time_var"])),
    ("typing with the marks of a script (keystroke_score ≥ 0.75)", lambda f: f["keystroke_score"] >= 0.75),
]


@dataclass
class Visit:
    label: str
    telemetry: object
    features: dict


def read_visits(path):
    """The visits of a file. A JSON object or a line of JSON goes to the module as
    the JSON body itself; the elements of a JSON array are already parsed."""
    text = Path(path).read_text()
    try:
        document = json.loads(text)
    except json.JSONDecodeError:
        bodies = [line for line in text.splitlines() if line.strip()]
        return [(json.loads(body), veltrix.extract_features_json(body)) for body in bodies]
    if isinstance(document, list):
        return [(telemetry, core.extract_features_rs(telemetry)) for telemetry in document]
    return [(document, veltrix.extract_features_json(text))]


def label_of(telemetry, index):
    label = telemetry.get("label") if isinstance(telemetry, dict) else None
    return str(label) if label is not None else f"visit {index + 1}"


def load(paths):
    pairs = [pair for path in paths for pair in read_visits(path)]
    return [Visit(label_of(telemetry, i), telemetry, features) for i, (telemetry, features) in enumerate(pairs)]


def format_value(value):
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, int):
        return f"{value:,}"
    if math.isnan(value) or math.isinf(value):
        return str(value)
    if is_zero(value):
        return "0"
    if abs(value) >= 1000:
        return f"{value:,.0f}"
    return f"{value:.4g}" if abs(value) >= 0.01 else f"{value:.2g}"


def tells_of(features):
    return [description for description, shows in TELLS if shows(features)]


def print_table(visits, source):
    names = list(TELL_FEATURES) + [name for name in visits[0].features if name not in TELL_FEATURES]
    titles = {name: f"{name} [{UNITS[name]}]" if name in UNITS else name for name in names}
    name_width = max(map(len, titles.values())) + 2
    label_lines = [textwrap.wrap(v.label, COLUMN_WIDTH - 2) or [""] for v in visits]

    print(f"veltrix_core_rs {core.get_core_version()}: the 39 features of {len(visits)} visit(s) from {source}\n")
    for row in range(max(map(len, label_lines))):
        cells = (lines[row] if row < len(lines) else "" for lines in label_lines)
        print((" " * name_width + "".join(cell.ljust(COLUMN_WIDTH) for cell in cells)).rstrip())
    for index, name in enumerate(names):
        if index == len(TELL_FEATURES):
            print("\nall other features")
        cells = "".join(format_value(v.features[name]).ljust(COLUMN_WIDTH) for v in visits)
        note = f"  {TELL_FEATURES[name]}" if name in TELL_FEATURES else ""
        print((titles[name].ljust(name_width) + cells + note).rstrip())
    noise = f"{ROUNDING_NOISE:.0e}".replace("e-0", "e-")
    print(f"\nValues below {noise} are shown as 0: they are what rounding leaves of an exact 0.")


def print_reading(visits):
    print("\nWhat the plainest tells say (this demo's reading of a few features, not the service's scoring,")
    print("which weighs all 39):")
    for visit in visits:
        tells = tells_of(visit.features)
        print(f"  {visit.label}: {'looks scripted' if tells else 'no tell of a script'}")
        for tell in tells:
            print(f"      {tell}")


def pointer_path(telemetry):
    """The readable pointer samples in time order, as the module orders them."""
    samples = telemetry.get("mouse_movements") if isinstance(telemetry, dict) else None
    points = []
    for sample in samples if isinstance(samples, list) else []:
        try:
            x, y, t = (float(sample[key]) for key in ("x", "y", "t"))
        except (KeyError, TypeError, ValueError):
            continue
        if all(map(math.isfinite, (x, y, t))):
            points.append((t, x, y))
    points.sort(key=lambda point: point[0])
    return points


def plot_paths(visits, output):
    try:
        import matplotlib
    except ImportError:
        sys.exit("--plot needs matplotlib: pip install 'veltrix_core_rs[plot]' (scripts/run_demo.sh installs it)")
    matplotlib.use("Agg")
    from matplotlib import pyplot

    figure, axes = pyplot.subplots(
        len(visits), 2, figsize=(11, 3.2 * len(visits)), squeeze=False, gridspec_kw={"width_ratios": [1.4, 1]}
    )
    for (path_axes, text_axes), visit in zip(axes, visits):
        points = pointer_path(visit.telemetry)
        if points:
            t, x, y = zip(*points)
            drawn = path_axes.scatter(x, y, c=t, s=6, cmap="viridis")
            path_axes.plot(x, y, linewidth=0.5, color="grey", alpha=0.6)
            figure.colorbar(drawn, ax=path_axes, label="time [ms]")
        else:
            path_axes.text(0.5, 0.5, "no pointer samples", ha="center", va="center", transform=path_axes.transAxes)
        path_axes.invert_yaxis()  # screen coordinates grow downwards
        path_axes.set_aspect("equal", adjustable="datalim")
        path_axes.set_title(visit.label, loc="left", fontweight="bold")
        path_axes.set_xlabel("x [px]")
        path_axes.set_ylabel("y [px]")

        lines = [f"{name} = {format_value(visit.features[name])}" for name in TELL_FEATURES]
        tells = tells_of(visit.features)
        lines += ["", "looks scripted:" if tells else "no tell of a script"] + [f"• {tell}" for tell in tells]
        text_axes.axis("off")
        text_axes.text(0, 1, "\n".join(lines), va="top", family="monospace", fontsize=8.5, wrap=True)
    figure.tight_layout()
    figure.savefig(output, dpi=110)
    print(f"\nPointer paths drawn into {output}")


def main(arguments=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", type=Path, help="visits as JSON (default: the shipped samples)")
    parser.add_argument("--plot", metavar="PNG", type=Path, help="draw each visit's pointer path into this PNG")
    options = parser.parse_args(arguments)

    paths = options.files or [SAMPLES]
    visits = load(paths)
    if not visits:
        sys.exit("no visits found")
    source = ", ".join(str(p) for p in paths) if options.files else "the shipped samples"
    print_table(visits, source)
    print_reading(visits)
    if options.plot:
        plot_paths(visits, options.plot)


if __name__ == "__main__":
    main()
