"""`veltrix features` against the plain single-process loop, on bare and on wrapped lines, side by side.

    python benchmarks/batch_features.py [--quick] [--jobs N]

Two files hold the same typical visits (150 pointer samples and 60 keystrokes
each, about 9 KB a line): one a bare telemetry object a line, the other each
visit wrapped as services log it, {"id": .., "label": .., "ts": .., "ip": ..,
"telemetry": {...}}, read with --telemetry-key telemetry --keep id,label. The
command turns each into CSV and into Parquet, the plain loop each into CSV, all
as whole commands started fresh (interpreter start-up and, for the command, its
worker processes included). Rounds alternate the order of the contenders;
reported are each one's median wall-clock time, visits per second and per
minute, and the ratios (medians of the per-round ratios): the command over the
plain loop (target >= 4x), wrapped lines against bare ones (target: within 15%;
also as CPU time of the command run in one process, which other load skews
less), and the command's visits a minute (target >= 1.5 million). Wall-clock, because
the command's work is spread over processes: on a machine shared with other work
the figures are only as steady as the machine. Exit status 1 if the command's
CSV differs from the plain loop's.
"""

import argparse
import dataclasses
import json
import os
import resource
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
WRAPPED_SHARE_TARGET = 0.85  # of the bare lines' throughput
VISITS_PER_MINUTE_TARGET = 1_500_000
DISTINCT_VISITS = 200  # seeds of the typical shape; the files repeat them
WRAPPED_OPTIONS = ["--telemetry-key", "telemetry", "--keep", "id,label"]


@dataclasses.dataclass(frozen=True)
class Settings:
    visits: int
    rounds: int


FULL = Settings(visits=30_000, rounds=5)
QUICK = Settings(visits=3_000, rounds=3)


def wrapped(index, telemetry):
    return {
        "id": f"v{index:08d}",
        "label": "bot" if index % 7 == 0 else "human",
        "ts": f"2026-12-08T10:{index // 60 % 60:02d}:{index % 60:02d}.{index % 1000:03d}Z",
        "ip": f"203.0.113.{index % 256}",
        "telemetry": telemetry,
    }


def write_visits(bare_path, wrapped_path, count):
    shape = SHAPES_BY_NAME["typical"]
    visits = [make_visit(dataclasses.replace(shape, seed=shape.seed + index)) for index in range(DISTINCT_VISITS)]
    bare_lines = [json.dumps(visit) + "\n" for visit in visits]
    with open(bare_path, "w") as bare, open(wrapped_path, "w") as wrapped_output:
        for index in range(count):
            bare.write(bare_lines[index % DISTINCT_VISITS])
            wrapped_output.write(json.dumps(wrapped(index, visits[index % DISTINCT_VISITS])) + "\n")


def timed(arguments):
    """Wall-clock seconds of the command, and the CPU seconds of the processes it waited for."""
    start, used = time.perf_counter(), resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(arguments, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    now = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.perf_counter() - start, now.ru_utime + now.ru_stime - used.ru_utime - used.ru_stime


def contenders_for(folder, jobs):
    plain = [sys.executable, str(BENCHMARKS_DIR / "plain_feature_loop.py")]
    # Every round writes the same outputs again.
    command = [str(COMMAND), "features", "--no-progress", "--force", *jobs]
    bare, wrapped_lines = str(folder / "bare.jsonl"), str(folder / "wrapped.jsonl")
    options = {bare: [], wrapped_lines: WRAPPED_OPTIONS}

    def features(source, output):
        return [*command, source, "-o", str(folder / output), *options[source]]

    return {
        "plain loop, bare lines": [*plain, bare, str(folder / "plain-bare.csv")],
        "veltrix features, bare lines, CSV": features(bare, "bare.csv"),
        "veltrix features, bare lines, Parquet": features(bare, "bare.parquet"),
        "plain loop, wrapped lines": [*plain, wrapped_lines, str(folder / "plain-wrapped.csv"), *WRAPPED_OPTIONS],
        "veltrix features, wrapped lines, CSV": features(wrapped_lines, "wrapped.csv"),
        "veltrix features, wrapped lines, Parquet": features(wrapped_lines, "wrapped.parquet"),
        # In one process all the CPU time is the command's own: a measure that other load skews less.
        "veltrix features --jobs 1, bare lines, CSV": [*features(bare, "bare-1.csv"), "--jobs", "1"],
        "veltrix features --jobs 1, wrapped lines, CSV": [*features(wrapped_lines, "wrapped-1.csv"), "--jobs", "1"],
    }


def median_ratio(numerators, denominators):
    return statistics.median(a / b for a, b in zip(numerators, denominators))


def verdict(met):
    return "met" if met else "missed"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small files and few rounds: a smoke run")
    parser.add_argument("--jobs", type=int, default=None, help="the command's worker processes (default: its own)")
    arguments = parser.parse_args()
    settings = QUICK if arguments.quick else FULL
    jobs = ["--jobs", str(arguments.jobs)] if arguments.jobs else []

    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        write_visits(folder / "bare.jsonl", folder / "wrapped.jsonl", settings.visits)
        contenders = contenders_for(folder, jobs)
        times = {name: [] for name in contenders}
        cpu_times = {name: [] for name in contenders}
        for round_index in range(settings.rounds):
            order = list(contenders) if round_index % 2 == 0 else list(reversed(contenders))
            for name in order:
                wall, cpu = timed(contenders[name])
                times[name].append(wall)
                cpu_times[name].append(cpu)
        same = {
            kind: (folder / f"plain-{kind}.csv").read_bytes() == (folder / f"{kind}.csv").read_bytes()
            for kind in ("bare", "wrapped")
        }

    print(
        f"\nBatch extraction: {settings.visits:,} typical visits a file ({settings.rounds} alternating rounds, "
        f"whole commands, wall clock, {os.cpu_count()} cores, jobs: {arguments.jobs or 'default'}, "
        f"native JSON reader: {'yes' if veltrix.NATIVE_JSON else 'no'}; wrapped: {' '.join(WRAPPED_OPTIONS)})"
    )
    for name, seconds in times.items():
        median = statistics.median(seconds)
        print(
            f"  {name:<52}{median:>8.2f} s {settings.visits / median:>10,.0f} visits/s "
            f"{settings.visits / median * 60:>12,.0f} visits/min"
        )
    for kind in ("bare", "wrapped"):
        speedup = median_ratio(times[f"plain loop, {kind} lines"], times[f"veltrix features, {kind} lines, CSV"])
        print(
            f"  command over the plain loop, {kind} lines, CSV: {speedup:.2f}x "
            f"(target >= {SPEEDUP_TARGET:g}x: {verdict(speedup >= SPEEDUP_TARGET)})"
        )
    for output in ("CSV", "Parquet"):
        share = median_ratio(
            times[f"veltrix features, bare lines, {output}"], times[f"veltrix features, wrapped lines, {output}"]
        )
        print(
            f"  wrapped lines' throughput against bare lines', {output}: {share:.1%} "
            f"(target >= {WRAPPED_SHARE_TARGET:.0%}: {verdict(share >= WRAPPED_SHARE_TARGET)})"
        )
    one_process = [f"veltrix features --jobs 1, {kind} lines, CSV" for kind in ("bare", "wrapped")]
    share = median_ratio(cpu_times[one_process[0]], cpu_times[one_process[1]])
    print(
        f"  wrapped lines' throughput against bare lines', CSV, one process, CPU time: {share:.1%} "
        f"({statistics.median(cpu_times[one_process[1]]) / settings.visits * 1e6:.1f} against "
        f"{statistics.median(cpu_times[one_process[0]]) / settings.visits * 1e6:.1f} us a visit; "
        f"target >= {WRAPPED_SHARE_TARGET:.0%}: {verdict(share >= WRAPPED_SHARE_TARGET)})"
    )
    for name, seconds in times.items():
        if name.startswith("veltrix features,"):
            per_minute = settings.visits / statistics.median(seconds) * 60
            print(
                f"  {name}: {per_minute / 1e6:.2f} million visits/min "
                f"(target >= {VISITS_PER_MINUTE_TARGET / 1e6:g}: {verdict(per_minute >= VISITS_PER_MINUTE_TARGET)})"
            )
    print(f"  CSV identical to the plain loop's: bare {'yes' if same['bare'] else 'NO'}, "
          f"wrapped {'yes' if same['wrapped'] else 'NO'}")  # fmt: skip
    if not all(same.values()):
        sys.exit(1)


if __name__ == "__main__":
    main()
