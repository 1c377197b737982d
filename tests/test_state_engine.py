import os
import select
import subprocess
import sys
import textwrap
import threading
import time
import uuid

import pytest

import veltrix_core_rs as core

EMPTY = {"current_bucket_nonces": 0, "previous_bucket_nonces": 0, "active_ip_bans": 0}


def test_stats_keys_order_and_types(engine):
    stats = engine.get_state_engine_stats_rs()
    assert list(stats) == list(EMPTY) and stats == EMPTY
    assert all(type(value) is int for value in stats.values())


def test_nonce_is_accepted_once(engine):
    for nonce in ["n-1", "", "N-1"]:
        assert engine.consume_nonce_rs(nonce) is True
    assert engine.consume_nonce_rs("n-1") is False
    assert engine.consume_nonce_rs("") is False
    assert engine.get_state_engine_stats_rs()["current_bucket_nonces"] == 3


def test_clear_forgets_everything_and_is_idempotent(engine):
    engine.consume_nonce_rs("x")
    engine.ban_ip_rs("1.2.3.4", 3600)
    assert engine.clear_state_engine_rs() is None
    assert engine.clear_state_engine_rs() is None
    assert engine.get_state_engine_stats_rs() == EMPTY
    assert engine.consume_nonce_rs("x") is True
    assert not engine.is_ip_banned_rs("1.2.3.4")


def test_ban_lifecycle(engine):
    assert engine.ban_ip_rs("10.0.0.1", 3600) is None
    assert engine.is_ip_banned_rs("10.0.0.1") is True
    assert engine.is_ip_banned_rs("10.0.0.01") is False  # byte-exact keys, no normalisation
    assert engine.unban_ip_rs("10.0.0.1") is None
    assert engine.is_ip_banned_rs("10.0.0.1") is False
    assert engine.unban_ip_rs("10.0.0.1") is None


def test_zero_duration_ban_is_stored_but_not_active(engine):
    engine.ban_ip_rs("10.0.0.2", 0)
    assert engine.is_ip_banned_rs("10.0.0.2") is False
    assert engine.get_state_engine_stats_rs()["active_ip_bans"] == 0
    engine.ban_ip_rs("10.0.0.3", 3600)
    assert engine.get_state_engine_stats_rs()["active_ip_bans"] == 1


def test_later_ban_replaces_longer_one(engine):
    engine.ban_ip_rs("10.0.0.4", 3600)
    engine.ban_ip_rs("10.0.0.4", 0)
    assert engine.is_ip_banned_rs("10.0.0.4") is False


def test_huge_duration_saturates_instead_of_wrapping(engine):
    engine.ban_ip_rs("10.0.0.5", 2**64 - 1)
    assert engine.is_ip_banned_rs("10.0.0.5") is True
    engine.ban_ip_rs("10.0.0.6", 2**64 - int(time.time()) + 5)
    assert engine.is_ip_banned_rs("10.0.0.6") is True


def test_hydrate_merges_future_bans(engine):
    now = int(time.time())
    engine.ban_ip_rs("kept", 3600)
    assert engine.hydrate_bans_rs([("a", now + 100), ("past", now - 1), ("a", now + 50), ("b", 2**64 - 1)]) is None
    assert engine.is_ip_banned_rs("a") and engine.is_ip_banned_rs("b") and engine.is_ip_banned_rs("kept")
    assert not engine.is_ip_banned_rs("past")
    assert engine.get_state_engine_stats_rs()["active_ip_bans"] == 3
    engine.hydrate_bans_rs(())
    engine.hydrate_bans_rs(range(0))
    assert engine.get_state_engine_stats_rs()["active_ip_bans"] == 3


class TupleSubclass(tuple):
    pass


def test_hydrate_accepts_tuple_subclasses_and_index_objects(engine):
    engine.hydrate_bans_rs([TupleSubclass(("sub", 2**63))])
    assert engine.is_ip_banned_rs("sub")


def _gen():
    yield ("a", 2**62)


@pytest.mark.parametrize(
    "bans,error,message",
    [
        ("abc", TypeError, "argument 'bans': Can't extract `str` to `Vec`"),
        ({"a": 1}, TypeError, "argument 'bans': 'dict' object cannot be converted to 'Sequence'"),
        ({("a", 1)}, TypeError, "argument 'bans': 'set' object cannot be converted to 'Sequence'"),
        (_gen(), TypeError, "argument 'bans': 'generator' object cannot be converted to 'Sequence'"),
        (5, TypeError, "argument 'bans': 'int' object cannot be converted to 'Sequence'"),
        (
            [("a", 2**62), ("b", 2**62), ["c", 2**62]],
            TypeError,
            "argument 'bans': 'list' object cannot be converted to 'PyTuple'",
        ),
        ([("a", 2**62), ("b", 2**62, 3)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([("a", 2**62), (b"b", 2**62)], TypeError, "argument 'bans': 'bytes' object cannot be converted to 'PyString'"),
        ([("a", 2**62), ("b", -1)], OverflowError, None),
        ([("a", 2**62), ("b", 1.0)], TypeError, "argument 'bans': 'float' object cannot be interpreted as an integer"),
        ([("a", 2**62), ("\udc00", 2**62)], UnicodeEncodeError, None),
    ],
)
def test_hydrate_refusals_change_nothing(engine, bans, error, message):
    with pytest.raises(error) as caught:
        engine.hydrate_bans_rs(bans)
    if message:
        assert str(caught.value) == message
    assert engine.get_state_engine_stats_rs() == EMPTY
    assert not engine.is_ip_banned_rs("a")


def test_hydrate_iteration_error_propagates(engine):
    class Exploding:
        def __len__(self):
            return 3

        def __getitem__(self, index):
            if index == 1:
                raise RuntimeError("boom")
            return ("a", 2**62)

    with pytest.raises(RuntimeError, match="boom"):
        engine.hydrate_bans_rs(Exploding())
    assert engine.get_state_engine_stats_rs() == EMPTY


def available_memory_bytes():
    with open("/proc/meminfo") as meminfo:
        fields = dict(line.split(":", 1) for line in meminfo)
    return int(fields["MemAvailable"].split()[0]) * 1024


# The str and its stored copy, with room to spare.
MEMORY_FOR_A_4_GIB_NONCE = 12 << 30


@pytest.mark.skipif(
    not os.path.exists("/proc/meminfo") or available_memory_bytes() < MEMORY_FOR_A_4_GIB_NONCE,
    reason="needs about 12 GiB of free memory",
)
def test_nonce_of_four_gib_and_more_is_stored_like_any_other():
    script = textwrap.dedent(
        """
        import veltrix_core_rs as core
        nonce = "n" * (2**32 + 1)
        print(core.consume_nonce_rs(nonce), core.consume_nonce_rs(nonce), core.consume_nonce_rs("n"),
              core.get_state_engine_stats_rs()["current_bucket_nonces"])
        """
    )
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert (child.returncode, child.stdout) == (0, "True False True 2\n"), child.stderr


def test_threads_consume_each_nonce_exactly_once(engine):
    nonces = [str(uuid.UUID(int=i)) for i in range(10_000)]
    accepted = [0] * len(nonces)
    start = threading.Barrier(8)

    def worker():
        start.wait()
        for index, nonce in enumerate(nonces):
            if core.consume_nonce_rs(nonce):
                accepted[index] += 1  # list item updates are atomic under the interpreter lock

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert accepted == [1] * len(nonces)
    assert engine.get_state_engine_stats_rs()["current_bucket_nonces"] == len(nonces)


# The bucket and ban clocks, end to end: a child interpreter runs under libfaketime,
# whose offset the test moves by rewriting its timestamp file.
FAKETIME_LIBRARIES = [
    "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
]
FAKETIME = next((path for path in FAKETIME_LIBRARIES if os.path.exists(path)), None)

CHILD_ANSWER_SECONDS = 60
CHILD = textwrap.dedent(
    """
    import sys, veltrix_core_rs as core
    for line in sys.stdin:
        print(repr(eval(line)), flush=True)
    """
)


class FakedClock:
    def __init__(self, tmp_path):
        self.file = tmp_path / "faketime"
        self.offset = 0
        self.file.write_text("+0s\n")
        # libfaketime replaces any other preloaded runtime: a sanitizer's deadlocks with it at start-up.
        env = dict(os.environ, LD_PRELOAD=FAKETIME, FAKETIME_TIMESTAMP_FILE=str(self.file), FAKETIME_NO_CACHE="1")
        self.child = subprocess.Popen(
            [sys.executable, "-c", CHILD], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env
        )

    def advance(self, seconds):
        self.offset += seconds
        self.file.write_text(f"+{self.offset}s\n")

    def __call__(self, expression):
        self.child.stdin.write(expression + "\n")
        self.child.stdin.flush()
        # A child that never answers fails the test instead of hanging the suite.
        ready, _, _ = select.select([self.child.stdout], [], [], CHILD_ANSWER_SECONDS)
        if not ready:
            self.child.kill()
            pytest.fail(f"the faked-clock interpreter did not answer {expression!r}")
        return eval(self.child.stdout.readline())

    def close(self):
        self.child.stdin.close()
        self.child.wait(timeout=30)


@pytest.fixture
def faked():
    if FAKETIME is None:
        pytest.skip("libfaketime is not installed")
    import pathlib
    import tempfile

    with tempfile.TemporaryDirectory() as directory:
        clock = FakedClock(pathlib.Path(directory))
        yield clock
        clock.close()


def test_nonce_buckets_rotate_every_sixty_seconds(faked):
    assert faked("core.consume_nonce_rs('n')") is True
    faked.advance(61)
    assert faked("core.consume_nonce_rs('n')") is False  # rotated: now in the previous bucket
    assert faked("core.get_state_engine_stats_rs()")["previous_bucket_nonces"] == 1
    faked.advance(61)
    assert faked("core.consume_nonce_rs('n')") is True  # dropped by the second rotation


def test_long_quiet_period_rotates_only_once(faked):
    assert faked("core.consume_nonce_rs('quiet')") is True
    faked.advance(600)
    assert faked("core.consume_nonce_rs('other')") is True
    assert faked("core.consume_nonce_rs('quiet')") is False
    stats = faked("core.get_state_engine_stats_rs()")
    assert (stats["current_bucket_nonces"], stats["previous_bucket_nonces"]) == (1, 1)


def test_bans_expire_on_the_wall_clock(faked):
    faked("core.ban_ip_rs('10.1.1.1', 30)")
    assert faked("core.is_ip_banned_rs('10.1.1.1')") is True
    faked.advance(31)
    assert faked("core.is_ip_banned_rs('10.1.1.1')") is False
    assert faked("core.get_state_engine_stats_rs()")["active_ip_bans"] == 0


def test_expired_bans_leave_no_trace(faked):
    # Expired bans are forgotten by statistics and by later bans and reloads;
    # none of that may change an answer.
    faked("[core.ban_ip_rs(f'10.2.0.{i}', 10 * (i % 3 + 1)) for i in range(90)]")
    faked("core.hydrate_bans_rs([('10.2.1.1', int(__import__('time').time()) + 24)])")
    assert faked("core.get_state_engine_stats_rs()")["active_ip_bans"] == 91
    faked.advance(15)
    assert faked("core.get_state_engine_stats_rs()")["active_ip_bans"] == 61
    assert faked("core.ban_ip_rs('10.2.0.0', 100)") is None  # its first ban expired at +10 s
    assert faked("[core.is_ip_banned_rs(f'10.2.0.{i}') for i in range(4)]") == [True, True, True, False]
    faked.advance(10)
    assert faked("core.get_state_engine_stats_rs()")["active_ip_bans"] == 31
    assert faked("[core.is_ip_banned_rs(f'10.2.0.{i}') for i in range(4)]") == [True, False, True, False]
    assert faked("core.is_ip_banned_rs('10.2.1.1')") is False
    faked.advance(100)
    assert faked("core.get_state_engine_stats_rs()")["active_ip_bans"] == 0
    assert faked("core.ban_ip_rs('10.2.0.0', 5)") is None
    assert faked("core.get_state_engine_stats_rs()")["active_ip_bans"] == 1
