"""The state engines' shared interface: the same answers from the native
per-process engine and from the store-backed ones (redis-py and valkey
clients, sync and asyncio, one server and a 3-node cluster), the native
engine's refusals for bad arguments, what the store holds and where, and
endpoints that answer garbage."""

import asyncio
import re
import time

import pytest
import redis
import redis.asyncio
import redis.cluster
import valkey
import valkey.asyncio
from store_servers import AwaitedEngine, GarbageEndpoint, engine_from_url

import veltrix_core_rs as core
from veltrix import AsyncRedisStateEngine, LocalStateEngine, RedisStateEngine, StateStoreError
from veltrix.state.layout import CLUSTER_SLOTS, SHARD_COUNT, StoreLayout, cluster_slot

# The test servers run without persistence, as the README's example does.
pytestmark = pytest.mark.filterwarnings("ignore::veltrix.state.StateStoreWarning")

EMPTY = {"current_bucket_nonces": 0, "previous_bucket_nonces": 0, "active_ip_bans": 0}
MAX_U64 = 2**64 - 1


@pytest.fixture
def make_engine(request, redis_server, namespace):
    """Makes an engine of the kind named by the test's parameter, cleared before and after."""
    made = []

    def make(kind, namespace=namespace):
        if kind == "local":
            engine = LocalStateEngine()
        elif kind == "redis":
            engine = RedisStateEngine.from_url(redis_server.url, namespace)
        elif kind == "valkey":
            engine = RedisStateEngine(valkey.Valkey(port=redis_server.port, socket_timeout=5), namespace)
        elif kind == "async":
            engine = AwaitedEngine(AsyncRedisStateEngine.from_url(redis_server.url, namespace))
        elif kind == "async-valkey":
            engine = AwaitedEngine(AsyncRedisStateEngine(valkey.asyncio.Valkey(port=redis_server.port), namespace))
        elif kind == "cluster":
            engine = RedisStateEngine.from_url(request.getfixturevalue("redis_cluster").url, namespace, cluster=True)
        elif kind == "async-cluster":
            cluster_url = request.getfixturevalue("redis_cluster").url
            engine = AwaitedEngine(AsyncRedisStateEngine.from_url(cluster_url, namespace, cluster=True))
        engine.clear()
        made.append(engine)
        return engine

    yield make
    for engine in made:
        engine.clear()
        if not isinstance(engine, LocalStateEngine):
            engine.close()


ALL_KINDS = ["local", "redis", "valkey", "async", "async-valkey", "cluster", "async-cluster"]
STORE_KINDS = ["redis", "valkey", "async"]


@pytest.fixture(params=ALL_KINDS)
def engine(request, make_engine):
    return make_engine(request.param)


def nonce_count(engine):
    stats = engine.stats()
    return stats["current_bucket_nonces"] + stats["previous_bucket_nonces"]


def test_nonce_is_accepted_once(engine):
    for nonce in ["n-1", "", "N-1", "ü-€"]:
        assert engine.consume_nonce(nonce) is True
    assert [engine.consume_nonce(nonce) for nonce in ["n-1", "", "N-1", "ü-€"]] == [False] * 4
    # A minute boundary may fall between the calls; the two buckets together hold every nonce once.
    assert nonce_count(engine) == 4


def test_stats_keys_order_and_types(engine):
    stats = engine.stats()
    assert list(stats) == list(EMPTY) and stats == EMPTY
    assert all(type(value) is int for value in stats.values())


def test_clear_forgets_everything_and_is_idempotent(engine):
    engine.consume_nonce("x")
    engine.ban_ip("1.2.3.4", 3600)
    assert engine.clear() is None
    assert engine.clear() is None
    assert engine.stats() == EMPTY
    assert engine.consume_nonce("x") is True
    assert engine.is_ip_banned("1.2.3.4") is False


def test_ban_rules(engine):
    assert engine.ban_ip("10.0.0.1", 3600) is None
    assert engine.is_ip_banned("10.0.0.1") is True
    assert engine.is_ip_banned("10.0.0.01") is False  # byte-exact, no normalisation
    engine.ban_ip("10.0.0.2", 0)  # expired at once
    engine.ban_ip("10.0.0.3", 3600)
    engine.ban_ip("10.0.0.3", 0)  # a later, shorter ban replaces a longer one
    engine.ban_ip("10.0.0.4", MAX_U64)  # saturates instead of wrapping
    engine.ban_ip("10.0.0.5", 2**64 - int(time.time()) + 5)
    engine.ban_ip("10.0.0.6", True)
    banned = {ip: engine.is_ip_banned(ip) for ip in ["10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"]}
    assert banned == {"10.0.0.2": False, "10.0.0.3": False, "10.0.0.4": True, "10.0.0.5": True}
    assert engine.stats()["active_ip_bans"] in (4, 3)  # the one-second ban may lapse meanwhile
    assert engine.unban_ip("10.0.0.1") is None
    assert engine.is_ip_banned("10.0.0.1") is False
    assert engine.unban_ip("10.0.0.1") is None


def test_hydrate_merges_future_bans(engine):
    now = int(time.time())
    engine.ban_ip("kept", 3600)
    engine.hydrate_bans([("a", now + 100), ("past", now - 1), ("now", now), ("a", now + 50), ("b", MAX_U64)])
    banned = {ip: engine.is_ip_banned(ip) for ip in ["a", "b", "kept", "past", "now"]}
    assert banned == {"a": True, "b": True, "kept": True, "past": False, "now": False}
    for nothing in ([], (), range(0)):
        assert engine.hydrate_bans(nothing) is None
    assert engine.stats()["active_ip_bans"] == 3


class _StrSubclass(str):
    pass


class _Index:
    def __index__(self):
        return 7


def test_accepts_what_the_native_functions_accept(engine):
    engine.ban_ip(_StrSubclass("sub"), _Index())
    engine.hydrate_bans([(_StrSubclass("pair"), 2**40)])
    assert engine.is_ip_banned("sub") and engine.is_ip_banned("pair")
    assert engine.consume_nonce(_StrSubclass("s")) is True and engine.consume_nonce("s") is False


class _FailingSequence:
    """A sequence whose second item raises `error`."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise RuntimeError("length is only a hint")

    def __getitem__(self, index):
        if index == 0:
            return ("first", 2**40)
        raise self.error


class _ListWithLength(tuple):
    def __len__(self):
        return 2


NATIVE = {
    "consume_nonce": core.consume_nonce_rs,
    "is_ip_banned": core.is_ip_banned_rs,
    "ban_ip": core.ban_ip_rs,
    "unban_ip": core.unban_ip_rs,
    "hydrate_bans": core.hydrate_bans_rs,
}
BAD_CALLS = [
    ("consume_nonce", b"nonce"),
    ("consume_nonce", None),
    ("consume_nonce", "lone \ud800 surrogate"),
    ("is_ip_banned", 1.5),
    ("is_ip_banned", "\udfff"),
    ("unban_ip", ["1.1.1.1"]),
    ("ban_ip", 5, -1),  # the address is read first
    ("ban_ip", "1.1.1.1", -1),
    ("ban_ip", "1.1.1.1", 2**64),
    ("ban_ip", "1.1.1.1", 1.5),
    ("ban_ip", "1.1.1.1", "10"),
    ("ban_ip", "1.1.1.1", None),
    ("hydrate_bans", "1.1.1.1"),
    ("hydrate_bans", {("a", 1): 1}),
    ("hydrate_bans", {("a", 1)}),
    ("hydrate_bans", (pair for pair in [("a", 1)])),
    ("hydrate_bans", 5),
    ("hydrate_bans", None),
    ("hydrate_bans", [("a", 2**40), ["b", 2**40]]),
    ("hydrate_bans", [("a", 2**40), ("b", 2**40, 0)]),
    ("hydrate_bans", [("a", 2**40), ()]),
    ("hydrate_bans", [(1, 2**40)]),
    ("hydrate_bans", [("a", -1)]),
    ("hydrate_bans", [("a", 2**64)]),
    ("hydrate_bans", [("a", 1.0)]),
    ("hydrate_bans", [("\ud800", 1)]),
    ("hydrate_bans", [_ListWithLength(("a", 1, 2))]),
    ("hydrate_bans", _FailingSequence(TypeError("item refused"))),
    ("hydrate_bans", _FailingSequence(KeyError("item missing"))),
]


@pytest.mark.parametrize("kind", STORE_KINDS)
@pytest.mark.parametrize("call", BAD_CALLS, ids=lambda call: f"{call[0]}-{type(call[-1]).__name__}")
def test_bad_arguments_raise_as_the_native_functions_do(make_engine, kind, call):
    method, *args = call
    engine = make_engine(kind)
    core.clear_state_engine_rs()
    with pytest.raises(BaseException) as native:
        NATIVE[method](*args)
    with pytest.raises(BaseException) as shared:
        getattr(engine, method)(*args)
    assert (type(shared.value), str(shared.value)) == (type(native.value), str(native.value))
    assert engine.stats() == EMPTY  # nothing written, not even the valid pairs before a bad one
    core.clear_state_engine_rs()


@pytest.mark.parametrize("namespace", ["", "a{b", "}", 7])
def test_namespace_must_keep_its_hash_tag(redis_server, namespace):
    with pytest.raises((ValueError, TypeError), match="namespace must be"):
        RedisStateEngine(redis_server.client(), namespace)


def test_a_client_of_another_library_is_refused():
    with pytest.raises(TypeError, match="redis-py or valkey client"):
        RedisStateEngine(object())


@pytest.mark.parametrize(
    "engine_class, client_class",
    [
        (RedisStateEngine, redis.asyncio.Redis),
        (RedisStateEngine, valkey.asyncio.Valkey),
        (AsyncRedisStateEngine, redis.Redis),
        (AsyncRedisStateEngine, redis.cluster.RedisCluster),
    ],
)
def test_a_client_of_the_other_kind_is_refused(engine_class, client_class):
    client = client_class.__new__(client_class)  # never connected
    with pytest.raises(TypeError, match="client is needed here"):
        engine_class(client)


@pytest.mark.parametrize("kind", STORE_KINDS)
def test_clear_empties_only_its_own_namespace(make_engine, redis_server, kind):
    mine, theirs = make_engine(kind, "clear-mine"), make_engine(kind, "clear-theirs")
    plain = redis_server.client()
    plain.set("unrelated", "kept")
    for engine in (mine, theirs):
        engine.consume_nonce("shared-nonce")
        engine.ban_ip("10.9.9.9", 3600)
    mine.clear()
    assert mine.consume_nonce("shared-nonce") is True
    assert theirs.consume_nonce("shared-nonce") is False
    assert not mine.is_ip_banned("10.9.9.9") and theirs.is_ip_banned("10.9.9.9")
    assert plain.get("unrelated") == b"kept"
    plain.delete("unrelated")


def namespace_keys(client, namespace, kind):
    """The namespace's keys of one kind ("nonces", "bans", "state"), found by a scan."""
    pattern = "{" + re.sub(r"([*?\[\]\\])", r"\\\1", namespace) + f":*}}:{kind}*"
    return sorted(client.scan_iter(match=pattern))


def test_store_holds_a_bounded_digest_per_nonce_for_one_to_two_minutes(make_engine, redis_server, namespace):
    engine = make_engine("redis")
    client = redis_server.client()
    long_nonce = "n" * (1 << 20)
    engine.consume_nonce(long_nonce)
    (bucket,) = namespace_keys(client, namespace, "nonces")
    assert client.memory_usage(bucket) < 200
    assert [len(field) for field in client.hkeys(bucket)] == [16]
    assert 59 < client.pttl(bucket) / 1000 <= 120 + 59  # expiries spread over a minute past the window
    assert engine.consume_nonce(long_nonce) is False


def test_shard_tags_divide_the_cluster_slots_evenly(namespace):
    for name in [namespace, "veltrix", "ü"]:
        tags = [keys.bans.encode().partition(b"}")[0][1:] for keys in StoreLayout(name).shards]
        slots = [cluster_slot(tag) for tag in tags]
        assert [slot * SHARD_COUNT // CLUSTER_SLOTS for slot in slots] == list(range(SHARD_COUNT))


@pytest.mark.parametrize("kind", ["redis", "cluster"])
def test_nonces_and_bans_spread_over_the_shards(make_engine, request, namespace, kind):
    engine = make_engine(kind)
    for index in range(3000):
        engine.consume_nonce(f"spread-{index}")
    engine.hydrate_bans([(f"10.1.{index >> 8}.{index & 255}", 2**40) for index in range(3000)])
    assert nonce_count(engine) == 3000 and engine.stats()["active_ip_bans"] == 3000
    if kind == "redis":
        client = request.getfixturevalue("redis_server").client()
        for what, count in [("nonces", client.hlen), ("bans", client.zcard)]:
            sizes = [count(key) for key in namespace_keys(client, namespace, what)]
            # 3000 over 64 shards: about 47 each; a hash that ignored the digest would fill a few.
            assert len(sizes) >= SHARD_COUNT and max(sizes) < 100, (what, sorted(sizes))


def test_hydrate_merges_in_batches_with_later_pairs_winning(make_engine):
    engine = make_engine("redis")
    now = int(time.time())
    bans = [(f"10.2.{index >> 8 & 255}.{index & 255}", MAX_U64) for index in range(50_000)]
    # Later pairs for the same addresses, far apart in the list (other batches): past ones lift nothing,
    # a shorter one replaces the longer.
    bans += [(bans[0][0], now - 5), (bans[1][0], now + 1000)]
    engine.hydrate_bans(bans)
    assert engine.stats()["active_ip_bans"] == 50_000
    assert engine.is_ip_banned(bans[0][0]) and engine.is_ip_banned(bans[1][0])
    engine.hydrate_bans(bans)  # given again: the same bans
    assert engine.stats()["active_ip_bans"] == 50_000


# Time on the store, simulated by moving a bucket's hash to the name it would
# have a minute or two later; the store's clock itself cannot be faked (its
# allocator and libfaketime do not start together).


def age_only_bucket(client, namespace, minutes):
    """Renames the namespace's one nonce bucket `minutes` buckets into the past,
    and the buckets its shard's state says it wrote; False if it was not the
    current bucket (a minute began meanwhile)."""
    (bucket,) = namespace_keys(client, namespace, "nonces")
    prefix, _, index = bucket.rpartition(b":")
    was_current = int(index) == client.time()[0] // 60
    client.rename(bucket, prefix + b":" + str(int(index) - minutes).encode())
    state = bucket.replace(b":nonces:" + index, b":state")
    for field in (b"b", b"p"):
        client.hincrby(state, field, -minutes)
    return was_current


def test_nonces_are_refused_in_the_previous_bucket_and_forgotten_after_it(make_engine, redis_server, namespace):
    engine = make_engine("redis")
    client = redis_server.client()
    while True:
        engine.clear()
        assert engine.consume_nonce("n") is True
        if age_only_bucket(client, namespace, 1):
            break
    assert engine.stats() == {"current_bucket_nonces": 0, "previous_bucket_nonces": 1, "active_ip_bans": 0}
    assert engine.consume_nonce("n") is False  # a replay is not recorded again
    assert engine.stats()["current_bucket_nonces"] == 0
    age_only_bucket(client, namespace, 1)
    assert engine.consume_nonce("n") is True


GARBAGE = {
    # A socket connected to itself, or a proxy that loops back, echoes each command.
    "echo": lambda request: request,
    "another service": lambda request: b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n",
    "noise": lambda request: b"\x00\xfe\xff*-3\r\n$x\r\n" * 4,
    "a reply of the wrong kind": lambda request: b":2\r\n",
}
ENGINE_CALLS = [
    ("consume_nonce", "n"),
    ("is_ip_banned", "a"),
    ("ban_ip", "a", 5),
    ("unban_ip", "a"),
    ("hydrate_bans", [("a", 2**40)]),
    ("stats",),
    ("clear",),
]


@pytest.fixture(params=list(GARBAGE))
def garbage_endpoint(request):
    endpoint = GarbageEndpoint(GARBAGE[request.param])
    yield endpoint
    endpoint.stop()


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_an_endpoint_answering_garbage_raises_state_store_errors(garbage_endpoint, kind):
    engine = engine_from_url(kind, garbage_endpoint.url, timeout=0.5)
    for _ in range(2):  # a connection left with half a reply in it would answer the second round
        for method, *args in ENGINE_CALLS:
            with pytest.raises(StateStoreError, match="failed on the state store"):
                getattr(engine, method)(*args)
    engine.close()


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_a_cluster_client_on_garbage_raises_state_store_errors(garbage_endpoint, kind):
    if kind == "sync":  # its client reads the slots as it is made
        with pytest.raises(StateStoreError, match="connecting to the cluster failed on the state store"):
            RedisStateEngine.from_url(garbage_endpoint.url, cluster=True, timeout=0.5)
        return
    engine = AwaitedEngine(AsyncRedisStateEngine.from_url(garbage_endpoint.url, cluster=True, timeout=0.5))
    for method, *args in ENGINE_CALLS:
        with pytest.raises(StateStoreError, match="failed on the state store"):
            getattr(engine, method)(*args)
    engine.close()


def test_a_cancelled_call_leaves_no_reply_for_the_next(redis_server, namespace):
    """A framework timing out requests cancels calls at every point; the next
    call on the pool must get its own reply, never the cancelled one's."""

    async def main():
        engine = AsyncRedisStateEngine.from_url(redis_server.url, namespace, max_connections=4)
        await engine.clear()
        await engine.ban_ip("banned", 3600)
        wrong = 0
        for round_index in range(300):
            call = asyncio.ensure_future(engine.is_ip_banned("banned"))
            await asyncio.sleep(round_index % 7 * 0.00005)
            call.cancel()
            results = await asyncio.gather(engine.is_ip_banned("free"), engine.stats(), engine.is_ip_banned("banned"))
            wrong += results[0] is not False or results[2] is not True or results[1]["active_ip_bans"] != 1
        await engine.clear()
        await engine.aclose()
        return wrong

    assert asyncio.run(main()) == 0
