"""Many threads calling the state engine and the analyses at once, with the
interpreter switching threads as often as it can and conversion hooks that give
up the interpreter lock mid-call: each nonce is accepted exactly once, the
statistics add up, results match a quiet single-threaded run, nothing hangs."""

import array
import random
import sys
import threading

import pytest

import veltrix_core_rs as core

from hostile_objects import FloatLike, IndexLike
from result_contracts import call_checked

THREADS = 8
NONCES = [f"nonce-{i}" for i in range(2000)]
OWN_BANS = 40  # per thread, by ban_ip_rs; half of them lifted again
HYDRATED_BANS = 20  # per thread, by hydrate_bans_rs
FAR_FUTURE = 2**63
# Generous: only a deadlock, never a slow machine, comes near it.
JOIN_TIMEOUT_SECONDS = 300

VISIT = {
    "browser": {"screen_width": 1920, "screen_height": 1080, "plugins_length": 3},
    "mouse_movements": [{"x": (i * 37) % 101, "y": (i * i) % 53, "t": 16 * i} for i in range(120)],
    "keystrokes": [{"key": "the"[i % 3], "t": 150 * i, "duration_ms": 60 + i % 7} for i in range(30)],
    "clicks": [{}] * 3,
}
KEYSTROKES = [("t", 0.0, 80.0), ("h", 140.0, 210.0), ("e", 260.0, 340.0), ("n", 500.0, None)]
SERIES = [float(i * i % 17) for i in range(64)], [float(i % 9) for i in range(64)], [10.0 * i for i in range(64)]


@pytest.fixture
def rapid_switching():
    """Has the interpreter hand the lock between threads as often as it can."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_together(workers):
    """Starts the workers at one barrier and fails on any hang or uncaught error."""
    errors = []
    barrier = threading.Barrier(len(workers))

    def guarded(work):
        try:
            barrier.wait()
            work()
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(work,), daemon=True) for work in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT_SECONDS)
    assert not any(thread.is_alive() for thread in threads), "threads hung: deadlock"
    if errors:
        raise errors[0]


def _analyses():
    return [
        core.extract_features_rs(VISIT),
        core.evaluate_keystroke_dynamics_rs(KEYSTROKES),
        core.evaluate_curvature_naturalness_rs(*SERIES),
        core.evaluate_curvature_zerocopy_rs(*(array.array("d", series) for series in SERIES)),
    ]


def test_every_function_at_once(engine, rapid_switching):
    expected_analyses = _analyses()
    accepted = [[0] * len(NONCES) for _ in range(THREADS)]
    stats_sums = [[] for _ in range(THREADS)]

    def worker(index):
        order = list(range(len(NONCES)))
        random.Random(index).shuffle(order)
        own = [f"10.{index}.0.{j}" for j in range(OWN_BANS)]
        for step, nonce_index in enumerate(order):
            accepted[index][nonce_index] += core.consume_nonce_rs(NONCES[nonce_index])
            if step % 50 == 0:
                slot = step // 50 % OWN_BANS
                # Conversions that give up the interpreter lock must run outside the engine's lock.
                core.ban_ip_rs(own[slot], IndexLike(3600, "yield_lock"))
                # Contended address: zero-second and hour-long bans, lifts and queries interleave.
                core.ban_ip_rs("shared", 3600 if step % 3 else 0)
                if step % 4:
                    core.unban_ip_rs("shared")
                assert type(core.is_ip_banned_rs("shared")) is bool
                # Refused only after a pair's lock-yielding conversion: nothing may change.
                ok, _ = call_checked("hydrate_bans_rs", [("shared", IndexLike(FAR_FUTURE, "yield_lock")), ["shared"]])
                assert not ok
                stats = core.get_state_engine_stats_rs()
                stats_sums[index].append(stats["current_bucket_nonces"] + stats["previous_bucket_nonces"])
            if step % 200 == 0:
                assert _analyses() == expected_analyses
        for ip in own[::2]:
            core.unban_ip_rs(ip)
        core.hydrate_bans_rs([(f"h{index}.{j}", IndexLike(FAR_FUTURE, "yield_lock")) for j in range(HYDRATED_BANS)])

    run_together([lambda i=i: worker(i) for i in range(THREADS)])

    assert [sum(column) for column in zip(*accepted)] == [1] * len(NONCES)
    for sums in stats_sums:
        assert sums == sorted(sums)  # nonces only ever accumulate between clears
    stats = core.get_state_engine_stats_rs()
    assert stats["current_bucket_nonces"] + stats["previous_bucket_nonces"] == len(NONCES)
    shared_banned = int(core.is_ip_banned_rs("shared"))
    assert stats["active_ip_bans"] == THREADS * (OWN_BANS - (OWN_BANS + 1) // 2 + HYDRATED_BANS) + shared_banned


def test_clearing_while_others_consume(engine, rapid_switching):
    clears = {"started": 0, "done": 0}
    stop = threading.Event()
    first_clear_done = threading.Event()
    replays_missed = []

    def clearer():
        while not stop.is_set():
            clears["started"] += 1
            core.clear_state_engine_rs()
            clears["done"] += 1
            first_clear_done.set()
            stats = core.get_state_engine_stats_rs()
            assert all(type(value) is int and value >= 0 for value in stats.values())

    def consumer(index):
        # On a loaded machine the consumers could otherwise finish before the clearer first runs.
        first_clear_done.wait(timeout=60)
        try:
            for round_number in range(1500):
                nonce = f"c{index}-{round_number}"
                started, done = clears["started"], clears["done"]
                assert core.consume_nonce_rs(nonce) is True  # never seen before
                replay = core.consume_nonce_rs(nonce)
                if started == done == clears["started"]:
                    # No clear ran between the two calls, so the replay must be caught.
                    if replay is not False:
                        replays_missed.append(nonce)
        finally:
            if index == 0:
                stop.set()

    run_together([clearer, *[lambda i=i: consumer(i) for i in range(THREADS - 1)]])
    assert replays_missed == []
    assert clears["done"] > 0


def test_reentrant_conversions_from_many_threads(engine, rapid_switching):
    """Conversion hooks that call back into the module from every thread."""

    def worker(index):
        for round_number in range(200):
            hook = FloatLike(round_number, "reenter")
            ok, _ = call_checked("evaluate_curvature_naturalness_rs", [hook] * 4, [1.0, 2, 3, 4], range(4))
            assert ok
            call_checked("extract_features_rs", {"mouse_movements": [{"x": hook, "y": 1, "t": round_number}]})
            call_checked("ban_ip_rs", f"r{index}", IndexLike(3600, "reenter"))
            assert core.consume_nonce_rs(f"r{index}-{round_number}") is True

    run_together([lambda i=i: worker(i) for i in range(THREADS)])
    stats = core.get_state_engine_stats_rs()
    assert stats["current_bucket_nonces"] + stats["previous_bucket_nonces"] == THREADS * 200
    assert stats["active_ip_bans"] == THREADS
