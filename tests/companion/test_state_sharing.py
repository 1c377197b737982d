"""The shared engines across processes and hosts: races between processes on
one server and on a cluster, 100,000 nonces spread over a cluster's masters,
a rolling upgrade from the release before the shards, bans seen at once
elsewhere, many asyncio calls on a bounded pool, a host clock a day behind,
and a store that stops, stalls and comes back."""

import asyncio
import json
import os
import random
import subprocess
import sys
import threading
from collections import Counter
from pathlib import Path

import pytest
import redis
from released_engine import ReleasedEngine
from store_servers import SLOW_TIMEOUT, child_environment, engine_from_url

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


SPREAD_PROCESSES = 4
SPREAD_NONCES = 100_000


def test_a_hundred_thousand_nonces_from_several_processes_spread_over_the_masters(redis_cluster, namespace):
    share = SPREAD_NONCES // SPREAD_PROCESSES
    workers = [
        subprocess.Popen(
            [
                sys.executable,
                WORKER,
                "fresh",
                redis_cluster.url,
                namespace,
                "4",
                str(index * share),
                str(share),
                "cluster",
            ],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=child_environment(),
        )
        for index in range(SPREAD_PROCESSES)
    ]
    for worker in workers:
        assert worker.stdout.readline().strip() == "ready"
    for worker in workers:
        worker.stdin.write("go\n")
        worker.stdin.flush()
    accepted = 0
    for worker in workers:
        output, _ = worker.communicate(timeout=WORKER_SECONDS)
        assert worker.returncode == 0
        accepted += json.loads(output)
    assert accepted == SPREAD_NONCES
    engine = RedisStateEngine.from_url(redis_cluster.url, namespace, cluster=True)
    stats = engine.stats()
    assert stats["current_bucket_nonces"] + stats["previous_bucket_nonces"] == SPREAD_NONCES
    assert not any(engine.consume_nonce(f"fresh-{index}") for index in range(0, SPREAD_NONCES, 97))
    per_master = {}
    for node in redis_cluster.nodes:
        client = node.client()
        keys = list(client.scan_iter(match=f"{{{namespace}:*}}:nonces:*", count=1000))
        per_master[node.port] = (len(keys), sum(client.hlen(key) for key in keys))
        client.close()
    key_total = sum(keys for keys, _ in per_master.values())
    print("nonces per master:", ", ".join(f"{nonces / SPREAD_NONCES:.1%}" for _, nonces in per_master.values()))
    for keys, nonces in per_master.values():
        assert 0.233 <= keys / key_total <= 0.433 and 0.233 <= nonces / SPREAD_NONCES <= 0.433, per_master
    engine.clear()
    engine.close()


UPGRADE_NONCES = 400


def upgrade_engines(store, namespace, cluster):
    """An engine of the previous release and one of this release in its upgrade mode, on one store."""
    if cluster:
        client = redis.cluster.RedisCluster.from_url(store.url, socket_timeout=10)
        new = RedisStateEngine.from_url(store.url, namespace, cluster=True, legacy_layout=True, timeout=10)
    else:
        client = store.client(socket_timeout=10)
        new = RedisStateEngine.from_url(store.url, namespace, legacy_layout=True, timeout=10)
    return ReleasedEngine(client, namespace), new


@pytest.mark.parametrize("cluster", [False, True], ids=["server", "cluster"])
def test_a_rolling_upgrade_refuses_every_replay(request, namespace, cluster):
    store = request.getfixturevalue("redis_cluster" if cluster else "redis_server")
    old, new = upgrade_engines(store, namespace, cluster)
    new.clear()
    nonces = [f"upgrade-{index}" for index in range(UPGRADE_NONCES)]
    accepted = Counter()
    lock = threading.Lock()

    def consume_all(engine, seed):
        order = nonces[:]
        random.Random(seed).shuffle(order)
        mine = [nonce for nonce in order if engine.consume_nonce(nonce)]
        with lock:
            accepted.update(mine)

    racers = [threading.Thread(target=consume_all, args=(engine, seed)) for seed, engine in enumerate([old, new] * 2)]
    for racer in racers:
        racer.start()
    for racer in racers:
        racer.join()
    assert accepted == Counter(nonces)
    # Each way round, one after the other; then once every old worker is gone, without the upgrade mode.
    assert old.consume_nonce("old-first") and not new.consume_nonce("old-first")
    assert new.consume_nonce("new-first") and not old.consume_nonce("new-first")
    after = RedisStateEngine(new.client, namespace)
    assert not after.consume_nonce("new-first") and not after.consume_nonce(nonces[0])
    # Bans reach the workers of both releases, whichever sets them.
    old.ban_ip("192.0.2.1", 600)
    new.ban_ip("192.0.2.2", 600)
    assert [engine.is_ip_banned(ip) for engine in (old, new) for ip in ("192.0.2.1", "192.0.2.2")] == [True] * 4
    new.unban_ip("192.0.2.1")
    assert not old.is_ip_banned("192.0.2.1") and not new.is_ip_banned("192.0.2.1")
    new.clear()
    assert old.consume_nonce("old-first") and not old.is_ip_banned("192.0.2.2")
    new.clear()
    new.close()
    old.client.close()


def test_without_the_upgrade_mode_an_old_worker_accepts_a_replay(redis_server, namespace):
    """Why the mode exists: the layouts do not see each other's nonces."""
    old = ReleasedEngine(redis_server.client(), namespace)
    new = RedisStateEngine.from_url(redis_server.url, namespace)
    assert new.consume_nonce("seen") and old.consume_nonce("seen")
    RedisStateEngine(new.client, namespace, legacy_layout=True).clear()
    new.close()


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
        # Calls queue for the pool well past the default timeout under the sanitizers.
        engine = AsyncRedisStateEngine.from_url(own_redis_server.url, max_connections=POOL_SIZE, timeout=SLOW_TIMEOUT)
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
    engine = engine_from_url(kind, own_redis_server.url, timeout=0.5)
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
    # "after" lies on another shard than "before", whose shard now refuses nonces for the window.
    assert engine.consume_nonce("after") is True
    assert engine.consume_nonce("after") is False
    with pytest.raises(StateStoreError, match="lost nonces it had recorded"):
        engine.consume_nonce("before")
    engine.close()


def test_a_stalled_store_times_out_and_is_used_again_after(own_redis_server):
    engine = RedisStateEngine.from_url(own_redis_server.url, timeout=0.3, max_connections=1)
    engine.ban_ip("banned", 600)
    own_redis_server.client().execute_command("CLIENT", "PAUSE", 1500, "ALL")
    with pytest.raises(StateStoreError, match="TimeoutError"):
        engine.is_ip_banned("banned")
    threading.Event().wait(1.6)  # the pause ends; the timed-out call's reply (1) must answer nothing
    assert engine.is_ip_banned("free") is False
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
