"""The shared engines against the faults a store has, on real servers: a
restart without persistence, FLUSHALL, SCRIPT FLUSH and evictions mid-run
(no replay is ever accepted), settings that let the store forget, a master
killed and its replica promoted with and without ``replicas=1``, a store
stopped past the timeout, connections killed, and asyncio callers cancelled
mid-call."""

import asyncio
import random
import threading
import time
import warnings
from collections import Counter

import pytest
import redis
from store_servers import SLOW_TIMEOUT, AwaitedEngine, ForwardingAddress, RedisServer, engine_from_url, start_replica

from veltrix import AsyncRedisStateEngine, RedisStateEngine, StateStoreError
from veltrix.state import StateStoreWarning
from veltrix.state.layout import StoreLayout

pytestmark = pytest.mark.filterwarnings("ignore::veltrix.state.StateStoreWarning")

FORGOTTEN_NONCES = 5000


def accepted_replays(engine, nonces):
    """How many of `nonces` `engine` accepts again; refusals and StateStoreErrors are both refusals."""
    accepted = 0
    for nonce in nonces:
        try:
            accepted += engine.consume_nonce(nonce)
        except StateStoreError as error:
            assert "lost nonces" in str(error) or "failed on the state store" in str(error)
    return accepted


def forget_by(server, how):
    if how == "restart":
        server.stop()
        server.start()
    else:
        server.client().execute_command(how)


@pytest.mark.parametrize("how", ["restart", "FLUSHALL", "FLUSHDB"])
def test_a_store_that_forgot_its_nonces_refuses_them_for_the_window(own_redis_server, how):
    engine = RedisStateEngine.from_url(own_redis_server.url)
    nonces = [f"forgotten-{index}" for index in range(FORGOTTEN_NONCES)]
    assert all(map(engine.consume_nonce, nonces))
    forget_by(own_redis_server, how)
    with pytest.raises(StateStoreError, match="lost nonces it had recorded"):
        engine.consume_nonce(nonces[0])
    assert accepted_replays(engine, nonces) == 0
    # A worker that never saw the nonces follows the refusal the first one left on every shard.
    newcomer = RedisStateEngine.from_url(own_redis_server.url)
    assert accepted_replays(newcomer, nonces) == 0
    with pytest.raises(StateStoreError, match="refused until"):
        newcomer.consume_nonce("brand new")
    # clear() forgets on purpose and lifts the refusal.
    newcomer.clear()
    assert engine.consume_nonce("brand new") is True
    engine.close()
    newcomer.close()


@pytest.mark.parametrize("kind", ["sync", "async", "upgrade mode"])
def test_script_flush_mid_run(own_redis_server, kind):
    if kind == "async":
        engine = AwaitedEngine(AsyncRedisStateEngine.from_url(own_redis_server.url))
    else:
        engine = RedisStateEngine.from_url(own_redis_server.url, legacy_layout=kind == "upgrade mode")
    control = own_redis_server.client()
    for index in range(200):
        if index % 50 == 25:
            control.script_flush()
            engine.ban_ip("198.51.100.1", 600)
        assert engine.consume_nonce(f"s-{index}") is True
        assert engine.consume_nonce(f"s-{index}") is False
    control.script_flush()
    stats = engine.stats()
    assert stats["current_bucket_nonces"] + stats["previous_bucket_nonces"] == 200
    assert stats["active_ip_bans"] == 1
    control.script_flush()
    engine.clear()
    engine.close()


EVICTING_POLICIES = ["allkeys-lru", "volatile-lru", "allkeys-random", "volatile-ttl"]


@pytest.mark.parametrize("policy", EVICTING_POLICIES)
def test_an_evicting_store_is_refused_and_its_evictions_never_accept_a_replay(tmp_path, policy):
    server = RedisServer(tmp_path / "redis", "--maxmemory", "8mb", "--maxmemory-policy", policy).start()
    try:
        with pytest.raises(StateStoreError, match=f"may evict the engine's keys \\(maxmemory-policy {policy}"):
            RedisStateEngine.from_url(server.url)
        engine = RedisStateEngine.from_url(server.url, check_store=False)
        nonces = [f"evicted-{index}" for index in range(FORGOTTEN_NONCES)]
        assert all(map(engine.consume_nonce, nonces))
        filler = server.client()

        def buckets():
            return sum(1 for _ in filler.scan_iter(match="*:nonces:*", count=1000))

        # Fill the store until it has evicted most buckets of nonces (or refuses writes: nothing left to evict).
        written = buckets()
        for index in range(2000):
            if buckets() < written / 2:
                break
            try:
                filler.set(f"filler-{index}", b"x" * 100_000)
            except redis.ResponseError:
                break
        assert buckets() < written / 2
        assert accepted_replays(engine, nonces) == 0
        engine.close()
    finally:
        server.stop()


@pytest.mark.parametrize(
    "settings, expected",
    [
        ((), "has no persistence"),
        (("--appendonly", "yes"), None),
        (("--save", "3600 1"), None),
        (("--maxmemory", "1gb"), "has no persistence"),  # noeviction: the default policy
    ],
)
def test_from_url_warns_of_a_store_without_persistence(tmp_path, settings, expected):
    server = RedisServer(tmp_path / "redis", *settings).start()
    try:
        for kind in ("sync", "async"):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                if kind == "sync":
                    engine = RedisStateEngine.from_url(server.url)
                else:
                    engine = AwaitedEngine(AsyncRedisStateEngine.from_url(server.url))
                engine.stats()  # the asyncio engine checks on its first call
            ours = [warning for warning in caught if warning.category is StateStoreWarning]
            assert [expected in str(warning.message) for warning in ours] == ([True] if expected else [])
            if kind == "sync":  # the warning points at the service's own line
                assert all(warning.filename == __file__ for warning in ours)
            engine.close()
    finally:
        server.stop()


def test_every_master_of_a_cluster_is_checked(redis_cluster):
    node = redis_cluster.nodes[2].client()
    node.config_set("maxmemory", "1gb")
    node.config_set("maxmemory-policy", "volatile-lru")
    try:
        with pytest.raises(StateStoreError, match="maxmemory-policy volatile-lru"):
            RedisStateEngine.from_url(redis_cluster.url, cluster=True)
        engine = AwaitedEngine(AsyncRedisStateEngine.from_url(redis_cluster.url, cluster=True))
        with pytest.raises(StateStoreError, match="maxmemory-policy volatile-lru"):
            engine.stats()
        engine.close()
    finally:
        node.config_set("maxmemory", "0")
        node.config_set("maxmemory-policy", "noeviction")
        node.close()


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_an_unreachable_store_is_checked_on_the_first_call_that_reaches_it(tmp_path, kind):
    server = RedisServer(tmp_path / "redis", "--maxmemory", "8mb", "--maxmemory-policy", "allkeys-lru")
    engine = engine_from_url(kind, server.url, timeout=0.3)  # nothing listens yet
    server.start()
    try:
        for _ in range(2):
            with pytest.raises(StateStoreError, match="may evict"):
                engine.consume_nonce("n")
        engine.close()
    finally:
        server.stop()


FAILOVER_SECONDS = 1.5


def run_through_a_failover(directory, replicas):
    """Consumes fresh nonces through a service address until the master is
    killed 0.5 s into a stall of its replica; then the replica is promoted
    and the address moved to it. Returns the engine, the nonces it accepted
    and the address."""
    master = RedisServer(directory / "master").start()
    replica = start_replica(directory / "replica", master)
    address = ForwardingAddress(master)
    engine = RedisStateEngine.from_url(address.url, replicas=replicas, timeout=1.0)
    accepted, stop = [], threading.Event()

    def consume():
        for index in range(10**9):
            if stop.is_set():
                return
            try:
                if engine.consume_nonce(f"failover-{index}"):
                    accepted.append(f"failover-{index}")
            except StateStoreError:
                time.sleep(0.01)

    consumer = threading.Thread(target=consume)
    consumer.start()
    time.sleep(FAILOVER_SECONDS / 3)
    replica.pause()
    time.sleep(0.5)
    master.kill()
    stop.set()
    consumer.join()
    replica.resume()
    replica.client().replicaof("NO", "ONE")
    address.move_to(replica)
    return engine, accepted, address, replica


@pytest.mark.parametrize("replicas", [1, 0])
def test_a_master_killed_and_its_replica_promoted(tmp_path, replicas):
    engine, accepted, address, replica = run_through_a_failover(tmp_path, replicas)
    try:
        assert len(accepted) > 100
        # The worst case: a worker that never saw the nonces replays them
        # first, before any worker that did has touched the promoted replica.
        newcomer = RedisStateEngine.from_url(address.url)
        replayed_by_newcomer = accepted_replays(newcomer, accepted)
        print(f"replicas={replicas}: a new worker accepted {replayed_by_newcomer} of {len(accepted)} again")
        if replicas:
            assert replayed_by_newcomer == 0
        else:
            # The engine that saw them recorded notices that the promoted replica's counts are behind.
            # (With replicas=1 each of its calls would wait for a replica the promoted server does not have.)
            assert accepted_replays(engine, accepted) == 0
        newcomer.close()
        engine.close()
    finally:
        address.stop()
        replica.stop()


def test_replicas_that_cannot_confirm_in_time_raise(tmp_path):
    master = RedisServer(tmp_path / "master").start()
    replica = start_replica(tmp_path / "replica", master)
    try:
        engine = RedisStateEngine.from_url(master.url, replicas=1, timeout=1.0)
        asyncio_engine = AwaitedEngine(AsyncRedisStateEngine.from_url(master.url, replicas=1, timeout=1.0))
        assert engine.consume_nonce("confirmed") and asyncio_engine.consume_nonce("confirmed too")
        engine.ban_ip("192.0.2.9", 60)
        replica.pause()
        for current in (engine, asyncio_engine):
            for method, *args in [("consume_nonce", "unconfirmed"), ("ban_ip", "192.0.2.9", 60), ("unban_ip", "a")]:
                with pytest.raises(StateStoreError, match="0 of 1 replicas confirmed the write within 0.5 s"):
                    getattr(current, method)(*args)
            assert current.is_ip_banned("192.0.2.9") is True  # reads do not wait
        replica.resume()
        assert engine.consume_nonce("unconfirmed") is False  # recorded, never accepted
        engine.close()
        asyncio_engine.close()
    finally:
        replica.stop()
        master.stop()


def test_replicas_need_a_client_of_one_server(redis_cluster):
    with pytest.raises(ValueError, match="replicas needs a client of one server"):
        RedisStateEngine.from_url(redis_cluster.url, cluster=True, replicas=1)


STALL_TIMEOUT = 1.0


def nonces_on(node, cluster_url, namespace, count):
    """Nonces whose shard lives on `node` of the cluster."""
    layout = StoreLayout(namespace)
    client = redis.cluster.RedisCluster.from_url(cluster_url)
    found = []
    for index in range(10**6):
        nonce = f"stalled-{index}"
        keys = layout.shards[layout.nonce_shard(layout.nonce_digest(nonce.encode()))]
        if client.get_node_from_key(keys.state).port == node.port:
            found.append(nonce)
            if len(found) == count:
                client.close()
                return found


@pytest.mark.parametrize("kind", ["sync", "async", "cluster", "async-cluster"])
def test_a_store_stopped_past_the_timeout_raises_within_about_the_timeout(request, tmp_path, namespace, kind):
    cluster = kind.endswith("cluster")
    if cluster:
        store = request.getfixturevalue("redis_cluster")
        stopped = store.nodes[1]
        nonces = nonces_on(stopped, store.url, namespace, 3)
    else:
        store = stopped = RedisServer(tmp_path / "redis").start()
        nonces = ["stalled-a", "stalled-b", "stalled-c"]
    make = AsyncRedisStateEngine.from_url if kind.startswith("async") else RedisStateEngine.from_url
    engine = make(store.url, namespace, cluster=cluster, timeout=STALL_TIMEOUT)
    if kind.startswith("async"):
        engine = AwaitedEngine(engine)
    engine.stats()
    stopped.pause()
    try:
        # A call of one script per shard first: a cluster pipeline would send again, one by one, the
        # scripts of the stalled master. Then single scripts (the machine may be loaded).
        for call, argument in [(engine.stats, ()), *((engine.consume_nonce, (nonce,)) for nonce in nonces)]:
            start = time.monotonic()
            with pytest.raises(StateStoreError):
                call(*argument)
            # One timeout, not one per retry, per shard or per topology refresh.
            assert time.monotonic() - start < 1.6 * STALL_TIMEOUT
    finally:
        stopped.resume()
    # The commands sent before the timeouts may have run after all: a nonce is then refused, never accepted twice.
    assert [engine.consume_nonce(nonce) for nonce in nonces].count(True) <= len(nonces)
    assert not any(engine.consume_nonce(nonce) for nonce in nonces)
    engine.clear()
    engine.close()
    if not cluster:
        stopped.stop()


CANCELLED_NONCES = 1500


@pytest.mark.parametrize("cluster", [False, True], ids=["server", "cluster"])
def test_asyncio_callers_cancelled_mid_call_never_get_a_replay_accepted(request, namespace, cluster):
    store = request.getfixturevalue("redis_cluster" if cluster else "redis_server")

    async def main():
        # The asyncio cluster client refuses calls beyond its pools instead of waiting (see the README).
        pool = CANCELLED_NONCES if cluster else 8
        engine = AsyncRedisStateEngine.from_url(
            store.url, namespace, cluster=cluster, max_connections=pool, timeout=SLOW_TIMEOUT
        )
        await engine.clear()
        nonces = [f"cancelled-{index}" for index in range(CANCELLED_NONCES)]
        rng = random.Random(7)
        first = [asyncio.ensure_future(engine.consume_nonce(nonce)) for nonce in nonces]
        # Cancelled at every stage: waiting for a connection, sending, waiting for the reply.
        for index in rng.sample(range(CANCELLED_NONCES), CANCELLED_NONCES // 3):
            asyncio.get_running_loop().call_later(rng.random() * 0.05, first[index].cancel)
        first_results = await asyncio.gather(*first, return_exceptions=True)
        again = await asyncio.gather(*(engine.consume_nonce(nonce) for nonce in nonces), return_exceptions=True)
        await engine.clear()
        await engine.aclose()
        return first_results, again

    first_results, again = asyncio.run(main())
    for first, second in zip(first_results, again):
        assert isinstance(first, (bool, asyncio.CancelledError, StateStoreError)), first
        assert second is False or (second is True and first is not True), (first, second)
    assert first_results.count(True) > CANCELLED_NONCES // 3


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_killed_connections_end_as_state_store_errors(own_redis_server, kind):
    engine = engine_from_url(kind, own_redis_server.url, max_connections=4)
    killer, done = own_redis_server.client(), threading.Event()

    def kill_connections():
        while not done.wait(0.002):
            killer.client_kill_filter(_type="normal")

    thread = threading.Thread(target=kill_connections)
    thread.start()
    outcomes = []
    for index in range(1500):
        nonce = f"killed-{index % 500}"
        try:
            outcomes.append((nonce, engine.consume_nonce(nonce)))
        except StateStoreError:
            outcomes.append((nonce, None))
    done.set()
    thread.join()
    accepted = Counter(nonce for nonce, outcome in outcomes if outcome is True)
    assert max(accepted.values()) == 1 and sum(outcome is not None for _, outcome in outcomes) > 500
    # A nonce's first call is never answered as a replay: a call whose connection was
    # killed after the script ran is not sent again, it raises.
    assert not any(outcome is False for _, outcome in outcomes[:500])
    # (An idle asyncio connection killed last is noticed only once the loop has read its end.)
    assert accepted_replays(engine, accepted) == 0
    engine.close()
