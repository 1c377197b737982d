"""The shared engines across processes and hosts: races between processes on
one server and on a cluster, bans seen at once elsewhere, many asyncio calls on
a bounded pool, a host clock a day behind, and a store that stops, stalls and comes back."""

import asyncio
import json
import os
import subprocess
import sys
import threading
from collections import Counter
from pathlib import Path

import pytest
from store_servers import AwaitedEngine, child_environment

from veltrix import AsyncRedisStateEngine, RedisStateEngine, StateStoreError

# The test servers run without persistence, as the README's example does.
pytestmark = pytest.mark.filterwarnings("ignore::veltrix.state.StateStoreWarning")

WORKER = str(Path(__file__).with_name("engine_worker.py"))
RACE_PROCESSES = 4
RACE_THREADS = 4
RACE_NONCES = 300
WORKER_SECONDS = 120
FAKETIME_LIBRARIES = [
    "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",
    "/usr/lib/aarch64-linux-gnu/faketime/libfaketime.so.1",
]


def race(url, namespace, *mode):
    workers = [
        subprocess.Popen(
            [sys.executable, WORKER, "race", url, namespace, str(RACE_THREADS), str(RACE_NONCES), *mode],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=child_environment(),
        )
        for _ in range(RACE_PROCESSES)
    ]
    for worker in workers:
        assert worker.stdout.readline().strip() == "ready"
    for worker in workers:  # released together
        worker.stdin.write("go\n")
        worker.stdin.flush()
    accepted = Counter()
    for worker in workers:
        output, _ = worker.communicate(timeout=WORKER_SECONDS)
        assert worker.returncode == 0
        accepted.update(json.loads(output))
    return accepted


def test_processes_racing_on_the_same_nonces_accept_each_once(redis_server, namespace):
    accepted = race(redis_server.url, namespace)
    assert accepted == Counter({f"race-{index}": 1 for index in range(RACE_NONCES)})
    engine = RedisStateEngine.from_url(redis_server.url, namespace)
    engine.clear()


def test_processes_racing_on_a_cluster_accept_each_once(redis_cluster, namespace):
    accepted = race(redis_cluster.url, namespace, "cluster")
    assert accepted == Counter({f"race-{index}": 1 for index in range(RACE_NONCES)})
    RedisStateEngine.from_url(redis_cluster.url, namespace, cluster=True).clear()


class EngineProcess:
    """Another process with an engine of its own, called over a pipe."""

    def __init__(self, url, namespace, env):
        self.child = subprocess.Popen(
            [sys.executable, WORKER, "serve", url, namespace],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )

    def __getattr__(self, method):
        def call(*args):
            self.child.stdin.write(json.dumps([method, *args]) + "\n")
            self.child.stdin.flush()
            return json.loads(self.child.stdout.readline())

        return call

    def close(self):
        self.child.stdin.close()
        self.child.wait(timeout=WORKER_SECONDS)


@pytest.fixture
def other_process(redis_server, namespace):
    process = EngineProcess(redis_server.url, namespace, child_environment())
    yield process
    process.clear()
    process.close()


def test_a_ban_and_its_lifting_are_seen_by_another_process_at_once(redis_server, namespace, other_process):
    engine = RedisStateEngine.from_url(redis_server.url, namespace)
    assert other_process.is_ip_banned("198.51.100.7") is False
    engine.ban_ip("198.51.100.7", 600)
    assert other_process.is_ip_banned("198.51.100.7") is True
    engine.unban_ip("198.51.100.7")
    assert other_process.is_ip_banned("198.51.100.7") is False
    assert other_process.consume_nonce("seen-here") is True
    assert engine.consume_nonce("seen-here") is False
    engine.close()


def test_hosts_with_skewed_clocks_agree(redis_server, namespace):
    library = next((path for path in FAKETIME_LIBRARIES if os.path.exists(path)), None)
    if library is None:
        pytest.skip("libfaketime is not installed")
    skewed = EngineProcess(redis_server.url, namespace, child_environment(LD_PRELOAD=library, FAKETIME="-1d"))
    engine = RedisStateEngine.from_url(redis_server.url, namespace)
    try:
        # Sixty seconds on the store's clock: on the host's, a day behind, it would have lapsed already.
        skewed.ban_ip("203.0.113.9", 60)
        assert engine.is_ip_banned("203.0.113.9") is True
        assert engine.stats()["active_ip_bans"] == skewed.stats()["active_ip_bans"] == 1
        assert skewed.consume_nonce("skewed") is True and engine.consume_nonce("skewed") is False
    finally:
        engine.clear()
        skewed.close()
        engine.close()


ASYNC_CALLS = 1000
POOL_SIZE = 16


def test_asyncio_engine_under_a_thousand_concurrent_calls(own_redis_server):
    async def main():
        engine = AsyncRedisStateEngine.from_url(own_redis_server.url, max_connections=POOL_SIZE)
        nonces = [f"async-{index % (ASYNC_CALLS // 2)}" for index in range(ASYNC_CALLS)]
        results = await asyncio.gather(*(engine.consume_nonce(nonce) for nonce in nonces))
        clients = (await engine.client.info("clients"))["connected_clients"]
        await engine.clear()
        await engine.aclose()
        return results, clients

    results, clients = asyncio.run(main())
    assert results.count(True) == ASYNC_CALLS // 2
    assert clients <= POOL_SIZE  # the pool waited for its connections instead of opening more


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_a_stopped_store_raises_and_a_restarted_one_works_again(own_redis_server, kind):
    if kind == "sync":
        engine = RedisStateEngine.from_url(own_redis_server.url, timeout=0.5)
    else:
        engine = AwaitedEngine(AsyncRedisStateEngine.from_url(own_redis_server.url, timeout=0.5))
    assert engine.consume_nonce("before") is True
    own_redis_server.stop()
    calls = [
        ("consume_nonce", "after"),
        ("consume_nonce", "after"),
        ("is_ip_banned", "a"),
        ("ban_ip", "a", 5),
        ("unban_ip", "a"),
        ("hydrate_bans", [("a", 2**40)]),
        ("stats",),
        ("clear",),
    ]
    for method, *args in calls:
        with pytest.raises(StateStoreError, match=f"^{method} failed on the state store"):
            getattr(engine, method)(*args)
    own_redis_server.start()  # the same port, nothing persisted
    assert engine.consume_nonce("after") is True
    assert engine.consume_nonce("after") is False
    engine.close()


def test_a_stalled_store_times_out_and_is_used_again_after(own_redis_server):
    engine = RedisStateEngine.from_url(own_redis_server.url, timeout=0.3)
    engine.stats()
    own_redis_server.client().execute_command("CLIENT", "PAUSE", 1500, "ALL")
    with pytest.raises(StateStoreError, match="TimeoutError"):
        engine.consume_nonce("stalled")
    threading.Event().wait(1.6)  # the pause ends
    assert engine.consume_nonce("fresh") is True
    engine.close()


def test_veltrix_imports_without_the_redis_client():
    script = (
        "import sys; sys.modules['redis'] = None\n"
        "import veltrix\n"
        "assert veltrix.LocalStateEngine().consume_nonce('x')\n"
        "try:\n"
        "    veltrix.RedisStateEngine.from_url('redis://127.0.0.1:1')\n"
        "except ImportError as error:\n"
        "    print(error)\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=child_environment())
    assert result.returncode == 0, result.stderr
    assert "pip install 'veltrix_core_rs[redis]'" in result.stdout
