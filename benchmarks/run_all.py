"""Every benchmark of the extension against its Python alternatives, in one run.

    python benchmarks/run_all.py [--quick]

First checks that the pure-Python and NumPy contenders return the extension's
features on the benchmark inputs (exit status 1 if not). Then, for each figure,
the contenders run in interleaved rounds (the order rotating every round), so
that load on a shared machine falls on all of them alike. Reported: the median
time per call of each contender, calls per second, and the speed-up of the
extension, the median of the per-round ratios contender / extension, with the
target and whether it is met. Times are the CPU time of the benchmark's
thread, and garbage collection is off while timing, as in timeit. Memory per
stored nonce is measured in fresh processes (see nonce_memory.py).
"""

import argparse
import gc
import json
import os
import random
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

import veltrix_core_rs as core

import reference_numpy
import reference_python
from nonce_memory import NONCE_COUNT, distinct_nonces
from reference_check import reference_mismatches
from reference_state_engine import ReferenceStateEngine
from visit_shapes import SHAPES, curvature_path, make_visit

BENCHMARKS_DIR = Path(__file__).resolve().parent
NAME_WIDTH = 50
# CPU time of this thread: time spent waiting for a core on a shared machine is
# not counted, and every contender runs on this one thread without blocking.
clock_ns = time.thread_time_ns


@dataclass(frozen=True)
class Settings:
    rounds: int
    round_seconds: float  # what one contender gets in one round
    nonces_per_round: int


FULL = Settings(rounds=31, round_seconds=0.06, nonces_per_round=20_000)
QUICK = Settings(rounds=7, round_seconds=0.01, nonces_per_round=5_000)

# Least speed-up of the extension over each contender.
PURE_PYTHON_EXTRACTION_SPEEDUP = {"small": 45, "typical": 140, "rich": 150}
NUMPY_EXTRACTION_SPEEDUP = 30
NUMPY_CURVATURE_SPEEDUP = 20
STATE_ENGINE_SPEEDUP = 1.5
# Largest share of the reference's resident memory per stored nonce.
NONCE_MEMORY_SHARE = 0.5

BANNED_ADDRESSES = 2_000
QUERIED_ADDRESSES = 10_000
BAN_SECONDS = 3600
CURVATURE_SAMPLES = 300


def seconds_per_call(function, calls):
    """Mean time of `function(*args)` over the argument tuples in `calls`."""
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = clock_ns()
        for args in calls:
            function(*args)
        elapsed = clock_ns() - start
    finally:
        if gc_was_enabled:
            gc.enable()
    return elapsed / len(calls) / 1e9


def repeated_calls(function, mix, seconds):
    """The argument tuples of `mix` repeated so that calling `function` over them takes about `seconds`."""
    seconds_per_call(function, mix)  # warm-up: first-use allocations, caches
    calls = mix
    while True:
        elapsed = seconds_per_call(function, calls) * len(calls)
        if elapsed >= seconds / 4:
            return mix * max(1, round(len(calls) * seconds / elapsed / len(mix)))
        calls = calls * 2


@dataclass
class Contender:
    name: str
    time_round: Callable[[object], float]  # the round's input -> seconds per call
    target: float | None = None  # least speed-up of the extension over this contender
    samples: list = field(default_factory=list)


def fixed_input(name, function, mix, settings, target=None):
    """A contender that calls `function` on the same argument tuples every round."""
    calls = repeated_calls(function, mix, settings.round_seconds)
    return Contender(name, lambda _: seconds_per_call(function, calls), target)


def run_rounds(contenders, rounds, round_input=lambda: None):
    for round_index in range(rounds):
        data = round_input()
        first = round_index % len(contenders)
        for contender in contenders[first:] + contenders[:first]:
            contender.samples.append(contender.time_round(data))


def speedup(extension, contender):
    return statistics.median(other / own for own, other in zip(extension.samples, contender.samples))


class Report:
    def __init__(self):
        self.verdicts = []

    def verdict(self, met, target_text):
        self.verdicts.append(met)
        return f"target {target_text}: {'met' if met else 'MISSED'}"

    def timing_figure(self, title, contenders):
        print(f"\n{title}")
        extension = contenders[0]
        for contender in contenders:
            median = statistics.median(contender.samples)
            line = f"  {contender.name:<{NAME_WIDTH}}{format_seconds(median):>11}{1 / median:>14,.0f} calls/s"
            if contender is not extension:
                ratio = speedup(extension, contender)
                line += f"{ratio:>9.1f}x"
                if contender.target is not None:
                    line += "   " + self.verdict(ratio >= contender.target, f">= {contender.target:g}x")
            print(line)

    def memory_figure(self, title, extension_bytes, reference_bytes):
        share = extension_bytes / reference_bytes
        print(f"\n{title}")
        print(f"  {'consume_nonce_rs':<{NAME_WIDTH}}{extension_bytes:>9.1f} B")
        print(
            f"  {'Python sets':<{NAME_WIDTH}}{reference_bytes:>9.1f} B{share:>31.2f}x   "
            + self.verdict(share <= NONCE_MEMORY_SHARE, f"<= {NONCE_MEMORY_SHARE:g}x")
        )

    def summary(self):
        print(f"\n{sum(self.verdicts)} of {len(self.verdicts)} targets met.")


def format_seconds(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.2f} {unit}"
    return f"{seconds / 1e-9:.0f} ns"


def extraction_figures(report, settings):
    for shape in SHAPES:
        visit = make_visit(shape)
        contenders = [
            fixed_input("extract_features_rs", core.extract_features_rs, [(visit,)], settings),
            fixed_input(
                "pure Python",
                reference_python.extract_features,
                [(visit,)],
                settings,
                PURE_PYTHON_EXTRACTION_SPEEDUP[shape.name],
            ),
            fixed_input("NumPy", reference_numpy.extract_features, [(visit,)], settings, NUMPY_EXTRACTION_SPEEDUP),
        ]
        run_rounds(contenders, settings.rounds)
        report.timing_figure(
            f"Per-visit extraction, {shape.name} visit ({shape.pointer_samples} pointer samples, "
            f"{shape.keystrokes} keystrokes)",
            contenders,
        )


def nonce_figure(report, settings):
    core.clear_state_engine_rs()
    reference = ReferenceStateEngine()
    batches = (
        list((nonce,) for nonce in distinct_nonces(settings.nonces_per_round, index * settings.nonces_per_round))
        for index in range(settings.rounds)
    )
    contenders = [
        Contender("consume_nonce_rs", lambda batch: seconds_per_call(core.consume_nonce_rs, batch)),
        Contender("Python sets", lambda batch: seconds_per_call(reference.consume_nonce, batch), STATE_ENGINE_SPEEDUP),
    ]
    run_rounds(contenders, settings.rounds, lambda: next(batches))
    core.clear_state_engine_rs()
    report.timing_figure(
        f"Nonce check of a fresh nonce ({settings.nonces_per_round:,} per round, tables growing alike)", contenders
    )


def ban_query_figure(report, settings):
    rng = random.Random(20261205)
    banned = [f"203.0.{i // 250}.{i % 250 + 1}" for i in range(BANNED_ADDRESSES)]
    unbanned = [f"198.51.{i // 250}.{i % 250 + 1}" for i in range(QUERIED_ADDRESSES - QUERIED_ADDRESSES // 2)]
    queries = [(address,) for address in rng.choices(banned, k=QUERIED_ADDRESSES // 2) + unbanned]
    rng.shuffle(queries)
    expiry = int(time.time()) + BAN_SECONDS
    core.clear_state_engine_rs()
    core.hydrate_bans_rs([(address, expiry) for address in banned])
    reference = ReferenceStateEngine()
    reference.hydrate_bans([(address, expiry) for address in banned])
    contenders = [
        fixed_input("is_ip_banned_rs", core.is_ip_banned_rs, queries, settings),
        fixed_input("Python dict", reference.is_ip_banned, queries, settings, STATE_ENGINE_SPEEDUP),
    ]
    run_rounds(contenders, settings.rounds)
    core.clear_state_engine_rs()
    report.timing_figure(f"Ban query, half of the addresses banned ({BANNED_ADDRESSES:,} bans)", contenders)


def curvature_figure(report, settings):
    path = curvature_path(CURVATURE_SAMPLES)
    arrays = tuple(np.array(series, dtype=np.float64) for series in path)
    contenders = [
        fixed_input(
            "evaluate_curvature_zerocopy_rs (float64 arrays)", core.evaluate_curvature_zerocopy_rs, [arrays], settings
        ),
        fixed_input(
            "NumPy (float64 arrays)", reference_numpy.curvature_metrics, [arrays], settings, NUMPY_CURVATURE_SPEEDUP
        ),
        fixed_input(
            "evaluate_curvature_naturalness_rs (lists)", core.evaluate_curvature_naturalness_rs, [path], settings
        ),
    ]
    run_rounds(contenders, settings.rounds)
    report.timing_figure(f"Curvature of one {CURVATURE_SAMPLES}-sample path", contenders)


def nonce_bytes_in_fresh_process(engine):
    module_dir = str(Path(core.__file__).resolve().parent)
    # The child imports the very module this run measures, and the benchmark's own modules.
    inherited = [entry for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep) if entry]
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, str(BENCHMARKS_DIR), *inherited]))
    output = subprocess.run(
        [sys.executable, str(BENCHMARKS_DIR / "nonce_memory.py"), engine],
        env=environment,
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    measured = json.loads(output)
    if measured["accepted"] != NONCE_COUNT:
        raise SystemExit(f"{engine}: accepted {measured['accepted']} of {NONCE_COUNT} distinct nonces")
    return measured["bytes_per_nonce"]


def memory_figure(report):
    report.memory_figure(
        f"Resident memory per stored nonce ({NONCE_COUNT:,} distinct 36-character nonces, fresh processes)",
        nonce_bytes_in_fresh_process("extension"),
        nonce_bytes_in_fresh_process("reference"),
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="few short rounds: a smoke run, not a measurement")
    settings = QUICK if parser.parse_args().quick else FULL

    print(f"veltrix_core_rs {core.get_core_version()} from {core.__file__}")
    print(
        f"Python {sys.version.split()[0]}, NumPy {np.__version__}; {settings.rounds} interleaved rounds; "
        "times are medians per call, ratios the median per-round speed-up of the extension"
    )
    problems = reference_mismatches(core)
    if problems:
        print("The Python contenders disagree with the extension, so no figure would mean anything:")
        print("\n".join(f"  {problem}" for problem in problems))
        sys.exit(1)
    print("Pure-Python and NumPy contenders return the extension's features on every benchmark input.")

    report = Report()
    extraction_figures(report, settings)
    nonce_figure(report, settings)
    ban_query_figure(report, settings)
    curvature_figure(report, settings)
    memory_figure(report)
    report.summary()


if __name__ == "__main__":
    main()
