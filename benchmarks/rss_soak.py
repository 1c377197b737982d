"""Resident memory stays flat over a million extract_features_rs calls on a typical visit.

    python benchmarks/rss_soak.py               # 1,000,000 calls
    python benchmarks/rss_soak.py --calls 200000

Prints the resident set size every 100,000 calls (every tenth of a shorter run)
and exits with status 1 when it has grown by more than the allowed bound over
its value after the warm-up. A leak of even 16 bytes in every tenth call adds
1.6 MB per million calls; allocator and interpreter caches settle during warm-up.
"""

import argparse
import gc
import os
import sys

import veltrix_core_rs as core

from visit_shapes import SHAPES_BY_NAME, make_visit

DEFAULT_CALLS = 1_000_000
SAMPLE_EVERY = 100_000
SAMPLES_IN_SHORT_RUN = 10
WARM_UP_CALLS = 20_000
ALLOWED_GROWTH_BYTES = 1 << 20
MIB = float(1 << 20)


def resident_bytes():
    gc.collect()
    with open("/proc/self/statm") as statm:
        resident_pages = int(statm.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


def soak(calls):
    """The resident size after warm-up and the (calls made, resident size) series after it."""
    visit = make_visit(SHAPES_BY_NAME["typical"])
    extract = core.extract_features_rs
    for _ in range(WARM_UP_CALLS):
        extract(visit)
    baseline = resident_bytes()

    interval = min(SAMPLE_EVERY, max(1, calls // SAMPLES_IN_SHORT_RUN))
    series, done = [], 0
    while done < calls:
        batch = min(interval, calls - done)
        for _ in range(batch):
            extract(visit)
        done += batch
        series.append((done, resident_bytes()))
    return baseline, series


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--calls", type=int, default=DEFAULT_CALLS, help="calls after the warm-up (default: %(default)s)"
    )
    calls = parser.parse_args(argv).calls
    if calls < 1:
        parser.error("--calls must be at least 1")

    baseline, series = soak(calls)
    print(f"{'calls':>10}  {'RSS MiB':>9}  {'growth KiB':>10}")
    print(f"{'warm-up':>10}  {baseline / MIB:9.2f}  {0:10}")
    for done, resident in series:
        print(f"{done:>10}  {resident / MIB:9.2f}  {(resident - baseline) // 1024:10}")

    growth = max(resident for _, resident in series) - baseline
    if growth > ALLOWED_GROWTH_BYTES:
        print(
            f"FAIL: resident memory grew by {growth // 1024} KiB over {calls} calls "
            f"(allowed: {ALLOWED_GROWTH_BYTES // 1024} KiB)"
        )
        return 1
    print(f"ok: resident memory grew by at most {growth // 1024} KiB over {calls} calls")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
