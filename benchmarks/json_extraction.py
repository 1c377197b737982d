"""veltrix.extract_features_json against parsing the body in Python first.

    python benchmarks/json_extraction.py [--quick]

For each visit shape, on bodies as browsers send them and on full-precision
bodies (json_bodies.py): extract_features_json(body) against
extract_features_rs(orjson.loads(body)) and extract_features_rs(json.loads(body)),
in interleaved rounds of thread CPU time as in run_all.py. Then the throughput
of two threads calling extract_features_json on rich bodies against one thread,
in wall-clock time, since that is what the second core buys. First checks that
all three give the same features on every body (exit status 1 if not).
"""

import argparse
import json
import math
import statistics
import sys
import threading
import time

import orjson
from json_bodies import all_bodies, browser_body
from run_all import FULL, NAME_WIDTH, QUICK, Report, fixed_input, run_rounds

import veltrix
import veltrix_core_rs as core

from visit_shapes import SHAPES_BY_NAME

# Least speed-up of extract_features_json, by (shape, body kind, contender).
TARGETS = {
    ("rich", "browser", "orjson"): 4,
    ("rich", "browser", "json"): 7,
    ("typical", "browser", "orjson"): 3,
}
THREAD_SCALING_TARGET = 1.7
THREADS = 2
SCALING_ROUNDS = {"full": 9, "quick": 3}
SCALING_ROUND_SECONDS = {"full": 0.5, "quick": 0.1}


def through_orjson(body):
    return core.extract_features_rs(orjson.loads(body))


def through_json(body):
    return core.extract_features_rs(json.loads(body))


def same_features(a, b):
    def same(x, y):
        if type(x) is not type(y):
            return False
        if isinstance(x, float):
            return (math.isnan(x) and math.isnan(y)) or (x == y and math.copysign(1, x) == math.copysign(1, y))
        return x == y

    return list(a) == list(b) and all(same(a[key], b[key]) for key in a)


def mismatches(bodies):
    return [
        f"{shape.name} {kind}"
        for shape, kind, body in bodies
        if not (
            same_features(veltrix.extract_features_json(body), through_json(body))
            and same_features(through_orjson(body), through_json(body))
        )
    ]


def extraction_figures(report, settings, bodies):
    for shape, kind, body in bodies:
        contenders = [
            fixed_input("extract_features_json(body)", veltrix.extract_features_json, [(body,)], settings),
            fixed_input(
                "extract_features_rs(orjson.loads(body))",
                through_orjson,
                [(body,)],
                settings,
                TARGETS.get((shape.name, kind, "orjson")),
            ),
            fixed_input(
                "extract_features_rs(json.loads(body))",
                through_json,
                [(body,)],
                settings,
                TARGETS.get((shape.name, kind, "json")),
            ),
        ]
        run_rounds(contenders, settings.rounds)
        report.timing_figure(
            f"JSON body to features, {shape.name} visit, {kind} body ({len(body) / 1024:.1f} KiB)", contenders
        )


def calls_per_second(function, body, threads, seconds):
    """Wall-clock throughput of `threads` threads each calling function(body) for about `seconds`."""
    start_line = threading.Barrier(threads + 1)
    counts = [0] * threads

    def work(index):
        start_line.wait()
        deadline = time.perf_counter() + seconds
        calls = 0
        while time.perf_counter() < deadline:
            for _ in range(10):
                function(body)
            calls += 10
        counts[index] = calls

    workers = [threading.Thread(target=work, args=(index,)) for index in range(threads)]
    for worker in workers:
        worker.start()
    start_line.wait()
    started = time.perf_counter()
    for worker in workers:
        worker.join()
    return sum(counts) / (time.perf_counter() - started)


def thread_scaling_figure(report, mode):
    body = browser_body(SHAPES_BY_NAME["rich"])
    print(
        f"\nThroughput of {THREADS} threads against 1, rich browser body, wall clock "
        f"(median of {SCALING_ROUNDS[mode]} rounds)"
    )
    for name, function, target in (
        ("extract_features_json(body)", veltrix.extract_features_json, THREAD_SCALING_TARGET),
        ("extract_features_rs(orjson.loads(body))", through_orjson, None),
    ):
        ratios, single = [], []
        for _ in range(SCALING_ROUNDS[mode]):
            one = calls_per_second(function, body, 1, SCALING_ROUND_SECONDS[mode])
            many = calls_per_second(function, body, THREADS, SCALING_ROUND_SECONDS[mode])
            single.append(one)
            ratios.append(many / one)
        ratio = statistics.median(ratios)
        line = f"  {name:<{NAME_WIDTH}}{statistics.median(single):>11,.0f} calls/s alone{ratio:>9.2f}x"
        if target is not None:
            line += "   " + report.verdict(ratio >= target, f">= {target:g}x")
        print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="few short rounds: a smoke run, not a measurement")
    quick = parser.parse_args().quick
    settings = QUICK if quick else FULL

    print(
        f"veltrix.extract_features_json, native reader {'in use' if veltrix.NATIVE_JSON else 'NOT built'}; "
        f"orjson {orjson.__version__}; {settings.rounds} interleaved rounds"
    )
    bodies = all_bodies()
    problems = mismatches(bodies)
    if problems:
        print("The three roads disagree on: " + ", ".join(problems))
        sys.exit(1)
    print("All three roads give the same features on every body.")

    report = Report()
    extraction_figures(report, settings, bodies)
    thread_scaling_figure(report, "quick" if quick else "full")
    report.summary()


if __name__ == "__main__":
    main()
