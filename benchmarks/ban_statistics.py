"""Cost of get_state_engine_stats_rs against the number of stored bans.

    python benchmarks/ban_statistics.py [--quick]

For a small and a large ban table (all bans in force), statistics calls run in
interleaved rounds and the median time per call of each is reported with their
ratio, which stays near 1 when the cost does not follow the table's size. Then
the large table's bans are let expire: the first call afterwards forgets them
all (each ban is forgotten once), and later calls cost what they did on a
small table. Times are the CPU time of this thread.
"""

import argparse
import statistics
import sys
import time

import veltrix_core_rs as core

SMALL_TABLE = 1_000
LARGE_TABLE = 1_000_000
CALLS_PER_ROUND = 2_000
EXPIRY_SECONDS = 5  # enough to fill the large table before its bans end
clock_ns = time.thread_time_ns


def seconds_per_stats_call(calls=CALLS_PER_ROUND):
    start = clock_ns()
    for _ in range(calls):
        core.get_state_engine_stats_rs()
    return (clock_ns() - start) / 1e9 / calls


def fill(count, expiry):
    core.clear_state_engine_rs()
    core.hydrate_bans_rs([(f"2001:db8::{i:x}", expiry) for i in range(count)])
    assert core.get_state_engine_stats_rs()["active_ip_bans"] == count


def median_in_table(count, rounds, samples):
    fill(count, int(time.time()) + 3600)
    samples.setdefault(count, []).append(statistics.median(seconds_per_stats_call() for _ in range(rounds)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a few short rounds: a smoke run, not a measurement")
    rounds = 3 if parser.parse_args().quick else 15
    print(f"veltrix_core_rs {core.get_core_version()}, Python {sys.version.split()[0]}")

    samples = {}
    for _ in range(3):  # alternate the tables so load falls on both alike
        for count in (SMALL_TABLE, LARGE_TABLE):
            median_in_table(count, rounds, samples)
    small, large = (statistics.median(samples[count]) for count in (SMALL_TABLE, LARGE_TABLE))
    print(f"statistics with {SMALL_TABLE:>9,} bans in force: {small * 1e9:8.0f} ns per call")
    print(
        f"statistics with {LARGE_TABLE:>9,} bans in force: {large * 1e9:8.0f} ns per call  "
        f"({large / small:.2f}x the small table)"
    )

    expiry = int(time.time()) + EXPIRY_SECONDS
    fill(LARGE_TABLE, expiry)
    time.sleep(max(0.0, expiry + 0.05 - time.time()))
    forgetting = seconds_per_stats_call(calls=1)
    assert core.get_state_engine_stats_rs()["active_ip_bans"] == 0
    after = statistics.median(seconds_per_stats_call() for _ in range(rounds))
    print(
        f"first call after {LARGE_TABLE:,} bans expired (forgets them): {forgetting * 1e3:.1f} ms, "
        f"{forgetting / LARGE_TABLE * 1e9:.0f} ns per ban"
    )
    print(f"later calls: {after * 1e9:.0f} ns per call")
    core.clear_state_engine_rs()


if __name__ == "__main__":
    main()
