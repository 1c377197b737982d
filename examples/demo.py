"""Extracts behavioural features from recorded visits and prints them side by side.

    python examples/demo.py                 # the shipped sample visits
    python examples/demo.py visit.json      # one visit: a JSON object
    python examples/demo.py visits.jsonl    # many visits: a JSON array, or one object per line

A visit is the telemetry dict the browser side records ("mouse_movements",
"keystrokes", "clicks", "scrolls", "browser"); an optional "label" names its column.
"""

import json
import sys
from pathlib import Path

import veltrix_core_rs as core

SAMPLES = Path(__file__).with_name("samples") / "visits.jsonl"
COLUMN_WIDTH = 18

# The features that most plainly tell a person from a script, shown first.
TELLS = {
    "webdriver": "automation flag set by the browser",
    "screen_valid": "a real screen size was reported",
    "straightness": "1.0 = ruler-straight path",
    "velocity_var": "0 = constant speed",
    "dt_var": "0 = perfectly regular sampling",
    "submovement_count": "aimed strokes in the path",
    "curvature_score": "0.95/0.9 = no or constant bending",
    "flight_time_var": "0 = metronomic typing",
    "keystroke_score": "1.0 = typing looks scripted",
}


def load_visits(path):
    text = Path(path).read_text()
    try:
        document = json.loads(text)
    except json.JSONDecodeError:
        return [json.loads(line) for line in text.splitlines() if line.strip()]
    return document if isinstance(document, list) else [document]


def format_value(value):
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        return f"{value:.4g}"
    return str(value)


def print_table(visits):
    labels = [str(visit.get("label", f"visit {i + 1}")) if isinstance(visit, dict) else f"visit {i + 1}"
              for i, visit in enumerate(visits)]
    features = [core.extract_features_rs(visit) for visit in visits]
    names = list(TELLS) + [name for name in features[0] if name not in TELLS]
    name_width = max(map(len, names)) + 2

    print(f"veltrix_core_rs {core.get_core_version()}: {len(visits)} visit(s)\n")
    print(" " * name_width + "".join(label[:COLUMN_WIDTH - 1].ljust(COLUMN_WIDTH) for label in labels))
    for index, name in enumerate(names):
        if index == len(TELLS):
            print("\n" + "all other features".ljust(name_width))
        cells = "".join(format_value(f[name]).ljust(COLUMN_WIDTH) for f in features)
        note = f"  {TELLS[name]}" if name in TELLS else ""
        print(name.ljust(name_width) + cells + note)


def main(paths):
    visits = [visit for path in (paths or [SAMPLES]) for visit in load_visits(path)]
    if not visits:
        sys.exit("no visits found")
    print_table(visits)


if __name__ == "__main__":
    main(sys.argv[1:])
