"""Instruction counts of the fixed calls under callgrind, against a committed baseline.

    python compare_instructions.py [--update-baseline] [--jobs N]

Needs valgrind and an importable veltrix_core_rs (run.sh beside this file builds
one and sets PYTHONPATH). Each call of fixed_calls.py runs twice under
callgrind, with R and 2R repeats of its unit; the difference of the two totals
is the cost of R units, free of interpreter start-up and preparation. Counts
are exact for a given binary and input, so unlike a clock they can be compared
across runs. Exit status 1 when any call costs more than 10% above its
baseline, or has none; --update-baseline records the current counts instead.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
FIXED_CALLS = HERE / "fixed_calls.py"
BASELINE = HERE / "baseline.json"
REPEATS = 10
TOLERANCE = 0.10  # largest accepted growth over the baseline
NAME_WIDTH = 58


def fixed_calls(*arguments):
    return subprocess.run([sys.executable, FIXED_CALLS, *arguments], check=True, capture_output=True, text=True).stdout


def total_instructions(inputs, name, repeats):
    with tempfile.TemporaryDirectory() as scratch:
        output = Path(scratch) / "callgrind.out"
        # A fixed hash seed keeps Python's own dicts and sets doing the same work every run.
        environment = dict(os.environ, PYTHONHASHSEED="0")
        run = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={output}",
                sys.executable,
                FIXED_CALLS,
                inputs,
                name,
                str(repeats),
            ],
            env=environment,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        if run.returncode != 0:
            raise RuntimeError(f"{name!r} failed under callgrind:\n{run.stderr[-3000:]}")
        for line in output.read_text().splitlines():
            if line.startswith("totals:"):
                return int(line.split()[1])
    raise RuntimeError(f"callgrind wrote no totals for {name!r}")


def instructions_per_unit(inputs, name):
    twice, once = (total_instructions(inputs, name, repeats) for repeats in (2 * REPEATS, REPEATS))
    return (twice - once) // REPEATS


def processor_has_avx2():
    try:
        return any(line.startswith("flags") and " avx2" in line for line in open("/proc/cpuinfo"))
    except OSError:
        return False


def interpreter_key():
    """Counts depend on the interpreter and on which vector kernels the processor runs."""
    return "python%d.%d-%s" % (*sys.version_info[:2], "avx2" if processor_has_avx2() else "sse2")


def load_baseline():
    return json.loads(BASELINE.read_text()) if BASELINE.exists() else {}


def save_baseline(counts):
    baseline = load_baseline()
    baseline[interpreter_key()] = counts
    BASELINE.write_text(json.dumps(baseline, indent=2, sort_keys=True) + "\n")
    print(f"baseline for {interpreter_key()} written to {BASELINE}")


def compare(counts, baseline):
    """Prints every call against its baseline; returns the lines describing failures."""
    failures = []
    print(f"{'call (instructions per unit)':<{NAME_WIDTH}}{'baseline':>14}{'current':>14}{'change':>9}")
    for name, current in counts.items():
        recorded = baseline.get(name)
        if recorded is None:
            print(f"{name:<{NAME_WIDTH}}{'-':>14}{current:>14,}")
            failures.append(f"{name}: no baseline (run with --update-baseline)")
            continue
        change = (current - recorded) / recorded
        flag = "  GREW" if change > TOLERANCE else ""
        print(f"{name:<{NAME_WIDTH}}{recorded:>14,}{current:>14,}{change:>+9.1%}{flag}")
        if change > TOLERANCE:
            failures.append(f"{name}: {recorded:,} -> {current:,} instructions ({change:+.1%})")
    for name in baseline.keys() - counts.keys():
        print(f"note: {name!r} is in the baseline but no longer measured")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--update-baseline", action="store_true", help="record the current counts")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="callgrind runs at once")
    arguments = parser.parse_args()

    names = fixed_calls("--list").splitlines()
    with tempfile.TemporaryDirectory() as scratch, ThreadPoolExecutor(max_workers=arguments.jobs) as pool:
        inputs = str(Path(scratch) / "inputs.marshal")
        fixed_calls("--write-inputs", inputs)
        counts = dict(zip(names, pool.map(lambda name: instructions_per_unit(inputs, name), names)))

    if arguments.update_baseline:
        save_baseline(counts)
        return 0
    baseline = load_baseline().get(interpreter_key())
    if baseline is None:
        print(
            f"\nno baseline recorded for {interpreter_key()}: nothing to compare with. Record one with\n"
            "--update-baseline on a machine of this kind and commit it."
        )
        return 0
    failures = compare(counts, baseline)
    if failures:
        print(f"\nFAILED: instruction counts more than {TOLERANCE:.0%} above the baseline ({interpreter_key()}):")
        for failure in failures:
            print(f"  {failure}")
        print(
            "Break a call down by function with callgrind_annotate (see fixed_calls.py); if the growth is\n"
            "intended, record it with --update-baseline."
        )
        return 1
    print(f"\nall {len(counts)} calls within {TOLERANCE:.0%} of the baseline ({interpreter_key()})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
