"""`veltrix features` against the plain single-process loop, side by side.

    python benchmarks/batch_features.py [--quick] [--jobs N]

Both contenders turn the same file of typical visits (150 pointer samples and
60 keystrokes each, about 9 KB a line) into the same CSV, as whole commands
started fresh (interpreter start-up and, for the command, its worker processes
included). Rounds alternate the order of the two; reported are the median
wall-clock time of each, visits per second and per minute, and the speed-up,
the median of the per-round ratios. Wall-clock, because the command's work is
spread over processes: on a machine shared with other work the figures are
only as steady as the machine. Exit status 1 if the outputs differ.
"""

import argparse
import dataclasses
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import veltrix

from visit_shapes import SHAPES_BY_NAME, make_visit

BENCHMARKS_DIR = Path(__file__).resolve().parent
COMMAND = Path(sys.executable).with_name("veltrix")
SPEEDUP_TARGET = 4.0
DISTINCT_VISITS = 200  # seeds of the typical shape; the file repeats them


@dataclasses.dataclass(frozen=True)
class Settings:
    visits: int
    rounds: int


FULL = Settings(visits=30_000, rounds=5)
QUICK = Settings(visits=3_000, rounds=3)


def write_visits(path, count):
    shape = SHAPES_BY_NAME["typical"]
    lines = [
        json.dumps(make_visit(dataclasses.replace(shape, seed=shape.seed + index))) + "\n"
        for index in range(DISTINCT_VISITS)
    ]
    with open(path, "w") as output:
        for index in range(count):
            output.write(lines[index % DISTINCT_VISITS])


def wall_seconds(arguments):
    start = time.perf_counter()
    subprocess.run(arguments, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a small file and few rounds: a smoke run")
    parser.add_argument("--jobs", type=int, default=None, help="the command's worker processes (default: its own)")
    arguments = parser.parse_args()
    settings = QUICK if arguments.quick else FULL
    jobs = ["--jobs", str(arguments.jobs)] if arguments.jobs else []

    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        visits = folder / "visits.jsonl"
        write_visits(visits, settings.visits)
        contenders = {
            "plain loop (json.loads + extract_features_rs + csv.writer)": [
                sys.executable,
                str(BENCHMARKS_DIR / "plain_feature_loop.py"),
                str(visits),
                str(folder / "plain.csv"),
            ],
            f"veltrix features {' '.join(jobs) or '(default jobs)'}": [
                str(COMMAND),
                "features",
                str(visits),
                "-o",
                str(folder / "command.csv"),
                "--no-progress",
                *jobs,
            ],
        }
        times = {name: [] for name in contenders}
        for round_index in range(settings.rounds):
            order = list(contenders) if round_index % 2 == 0 else list(reversed(contenders))
            for name in order:
                times[name].append(wall_seconds(contenders[name]))
        same = (folder / "plain.csv").read_bytes() == (folder / "command.csv").read_bytes()

    print(
        f"\nBatch extraction: {settings.visits:,} typical visits "
        f"({visits.name}, {settings.rounds} alternating rounds, whole commands, wall clock, "
        f"{os.cpu_count()} cores, native JSON reader: {'yes' if veltrix.NATIVE_JSON else 'no'})"
    )
    for name, seconds in times.items():
        median = statistics.median(seconds)
        print(
            f"  {name:<62}{median:>8.2f} s {settings.visits / median:>10,.0f} visits/s "
            f"{settings.visits / median * 60:>12,.0f} visits/min"
        )
    plain, command = times.values()
    speedup = statistics.median(p / c for p, c in zip(plain, command))
    verdict = "met" if speedup >= SPEEDUP_TARGET else "missed"
    print(f"  speed-up of the command over the plain loop: {speedup:.2f}x (target >= {SPEEDUP_TARGET:g}x: {verdict})")
    print(f"  outputs identical: {'yes' if same else 'NO'}")
    if not same:
        sys.exit(1)


if __name__ == "__main__":
    main()
