"""The state engines' shared interface: the same answers from the native
per-process engine and from the store-backed ones (redis-py and valkey
clients, sync and asyncio, one server and a 3-node cluster), the native
engine's refusals for bad arguments, and what the store holds."""

import threading
import time

import pytest
import redis
import redis.asyncio
import redis.cluster
import valkey
import valkey.asyncio
from store_servers import AwaitedEngine

import veltrix_core_rs as core
from veltrix import AsyncRedisStateEngine, LocalStateEngine, RedisStateEngine

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


def namespace_keys(client, namespace):
    return sorted(client.scan_iter(match=f"{{{namespace}}}:*"))


def test_store_holds_a_bounded_digest_per_nonce_for_one_to_two_minutes(make_engine, redis_server, namespace):
    engine = make_engine("redis")
    client = redis_server.client()
    long_nonce = "n" * (1 << 20)
    engine.consume_nonce(long_nonce)
    (bucket,) = namespace_keys(client, namespace)
    assert client.memory_usage(bucket) < 200
    assert [len(field) for field in client.hkeys(bucket)] == [16]
    assert 59 < client.pttl(bucket) / 1000 <= 120
    assert engine.consume_nonce(long_nonce) is False


def test_a_reader_never_sees_half_a_hydrate(make_engine):
    writer, reader = make_engine("redis"), make_engine("redis")
    bans = [(f"10.{i >> 16 & 255}.{i >> 8 & 255}.{i & 255}", MAX_U64) for i in range(20_000)]
    seen = set()
    done = threading.Event()

    def watch():
        while not done.is_set():
            seen.add(reader.stats()["active_ip_bans"])

    watcher = threading.Thread(target=watch)
    watcher.start()
    writer.hydrate_bans(bans)
    done.set()
    watcher.join()
    assert seen <= {0, len(bans)}
    assert reader.stats()["active_ip_bans"] == len(bans)


# Time on the store, simulated by moving a bucket's hash to the name it would
# have a minute or two later; the store's clock itself cannot be faked (its
# allocator and libfaketime do not start together).


def age_only_bucket(client, namespace, minutes):
    """Renames the namespace's one nonce bucket `minutes` buckets into the past;
    False if it was not the current bucket (a minute began meanwhile)."""
    (bucket,) = namespace_keys(client, namespace)
    prefix, _, index = bucket.rpartition(b":")
    was_current = int(index) == client.time()[0] // 60
    client.rename(bucket, prefix + b":" + str(int(index) - minutes).encode())
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
