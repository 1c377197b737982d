"""consume_nonce on the shared engines against the store's own round trip, on
one node and on a cluster, and what 10**6 nonces a minute leave in the store.

    python benchmarks/state_store.py [--quick] [--url redis://host:port/db]

Starts its own redis-servers on 127.0.0.1 (random ports, no persistence); --url
gives the store of the first part instead. First part, contenders in
interleaved rounds with the order rotating:
RedisStateEngine.consume_nonce and a raw ``SET key 1 NX EX 120`` on the same
client and connection; the same pair on redis.asyncio, one call awaited at a
time; and the native per-process consume_nonce_rs. Every call takes a fresh
nonce. Times are wall-clock (perf_counter): a round trip is mostly waiting for
the store, which a CPU clock would not count; the client's own CPU time per
call (this thread's) is shown beside it, as the part a busy machine disturbs
least. Reported: median calls per second, and the median of per-round
wall-clock ratios with the target.

Second part: the same 4 client processes of 4 threads each consume fresh
nonces on one node, on a 3-master cluster and on a node whose replica must
confirm every write (replicas=1), in interleaved rounds: median calls per
second of them all, and their CPU time per call. On a machine whose cores the
servers share with the clients, the cluster cannot show its capacity, only
that calls cost about the same.

Third part: 10**6 nonces (10**5 with --quick) consumed within one minute by
the previous release's script (one hash a minute) and by the sharded one: the
bucket keys' size (MEMORY USAGE, exact), and the store's longest stall
(LATENCY LATEST) while clear() deletes them and while they expire (the
minute over which the shards' expiries spread compressed to 6 s).
"""

import argparse
import asyncio
import gc
import itertools
import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import warnings
from dataclasses import dataclass

import redis
import redis.asyncio
from redis_servers import Cluster, Server

import veltrix_core_rs as core
from veltrix import AsyncRedisStateEngine, RedisStateEngine
from veltrix.state import StateStoreWarning, scripts
from veltrix.state.layout import SHARD_COUNT, StoreLayout

SHARED_VS_RAW_TARGET = 0.7
RAW_EXPIRY_SECONDS = 120
NAME_WIDTH = 44


@dataclass(frozen=True)
class Settings:
    rounds: int
    calls_per_round: int
    throughput_rounds: int
    client_calls: int
    layout_nonces: int


FULL = Settings(rounds=21, calls_per_round=2_000, throughput_rounds=3, client_calls=20_000, layout_nonces=1_000_000)
QUICK = Settings(rounds=5, calls_per_round=300, throughput_rounds=1, client_calls=2_000, layout_nonces=100_000)
CLIENT_PROCESSES = 4
CLIENT_THREADS = 4

fresh = (f"bench-{index}" for index in itertools.count())


@dataclass(frozen=True)
class RoundTime:
    wall: float  # seconds per call
    client_cpu: float


def timed(calls, run_round):
    gc.disable()
    try:
        start_wall, start_cpu = time.perf_counter(), time.thread_time()
        run_round(calls)
        return RoundTime((time.perf_counter() - start_wall) / calls, (time.thread_time() - start_cpu) / calls)
    finally:
        gc.enable()


def sync_contenders(client):
    engine = RedisStateEngine(client, namespace="bench")

    def shared(calls):
        for _ in range(calls):
            engine.consume_nonce(next(fresh))

    def raw(calls):
        for _ in range(calls):
            client.set(f"raw:{next(fresh)}", 1, nx=True, ex=RAW_EXPIRY_SECONDS)

    def native(calls):
        for _ in range(calls):
            core.consume_nonce_rs(next(fresh))

    return {
        "RedisStateEngine.consume_nonce": shared,
        "raw SET NX EX (redis-py)": raw,
        "native consume_nonce_rs": native,
    }


def async_contenders(client, loop):
    engine = AsyncRedisStateEngine(client, namespace="bench")

    async def shared(calls):
        for _ in range(calls):
            await engine.consume_nonce(next(fresh))

    async def raw(calls):
        for _ in range(calls):
            await client.set(f"raw:{next(fresh)}", 1, nx=True, ex=RAW_EXPIRY_SECONDS)

    return {
        "AsyncRedisStateEngine.consume_nonce": lambda calls: loop.run_until_complete(shared(calls)),
        "raw SET NX EX (redis.asyncio)": lambda calls: loop.run_until_complete(raw(calls)),
    }


def measure(contenders, settings):
    seconds = {name: [] for name in contenders}
    names = list(contenders)
    for name in names:  # warm-up: connections made, scripts loaded
        timed(50, contenders[name])
    for round_index in range(settings.rounds):
        order = names[round_index % len(names) :] + names[: round_index % len(names)]
        for name in order:
            seconds[name].append(timed(settings.calls_per_round, contenders[name]))
    return seconds


def report(seconds, shared, raw):
    for name, times in seconds.items():
        per_call = statistics.median(sample.wall for sample in times)
        client_cpu = statistics.median(sample.client_cpu for sample in times)
        print(
            f"  {name:<{NAME_WIDTH}} {per_call * 1e6:9.1f} µs/call {1 / per_call:11,.0f} calls/s"
            f"   client CPU {client_cpu * 1e6:6.1f} µs/call"
        )
    ratio = statistics.median(
        raw_time.wall / shared_time.wall for raw_time, shared_time in zip(seconds[raw], seconds[shared])
    )
    verdict = "met" if ratio >= SHARED_VS_RAW_TARGET else "missed"
    label = "shared engine / raw round trip"
    print(f"  {label:<{NAME_WIDTH}} {ratio:9.2f}×  (target ≥ {SHARED_VS_RAW_TARGET}× — {verdict})")


def client_process(url, namespace, threads, count, cluster, replicas):
    """One client process of the throughput runs: its threads consume `count`
    fresh nonces between them, released together by a line on stdin."""
    warnings.simplefilter("ignore", StateStoreWarning)
    engine = RedisStateEngine.from_url(url, namespace, cluster=cluster, replicas=replicas, timeout=10)
    engine.stats()
    print("ready", flush=True)
    sys.stdin.readline()
    prefix = f"{namespace}-{os.getpid()}-"

    def consume(thread):
        for index in range(thread, count, threads):
            engine.consume_nonce(f"{prefix}{index}")

    workers = [threading.Thread(target=consume, args=(thread,)) for thread in range(threads)]
    start_wall, start_cpu = time.perf_counter(), time.process_time()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    print(json.dumps([time.perf_counter() - start_wall, time.process_time() - start_cpu]), flush=True)


def throughput(url, settings, *, cluster=False, replicas=0):
    """Calls per second of CLIENT_PROCESSES processes of CLIENT_THREADS threads, and their CPU per call."""
    command = [sys.executable, __file__, "--client", url, f"bench{next(fresh)}"]
    command += [str(CLIENT_THREADS), str(settings.client_calls), str(int(cluster)), str(replicas)]
    clients = [
        subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        for _ in range(CLIENT_PROCESSES)
    ]
    for client in clients:
        if client.stdout.readline().strip() != "ready":
            sys.exit("error: a client process did not start")
    for client in clients:
        client.stdin.write("go\n")
        client.stdin.flush()
    wall, cpu = zip(*(json.loads(client.communicate()[0]) for client in clients))
    calls = CLIENT_PROCESSES * settings.client_calls
    return calls / max(wall), sum(cpu) / calls


def report_throughput(directory, settings):
    print(
        f"\nconsume_nonce from {CLIENT_PROCESSES} processes × {CLIENT_THREADS} threads, "
        f"{settings.client_calls:,} fresh nonces each, median of {settings.throughput_rounds} interleaved rounds"
    )
    single = Server(f"{directory}/single")
    cluster = Cluster(f"{directory}/cluster")
    master = Server(f"{directory}/master")
    replica = master.replica(f"{directory}/replica")
    stores = {
        "one node": lambda: throughput(single.url, settings),
        "3-master cluster": lambda: throughput(cluster.url, settings, cluster=True),
        "one node + replica, replicas=1": lambda: throughput(master.url, settings, replicas=1),
    }
    figures = {name: [] for name in stores}
    try:
        for round_index in range(settings.throughput_rounds):
            names = list(stores)
            for name in names[round_index % len(names) :] + names[: round_index % len(names)]:
                figures[name].append(stores[name]())
    finally:
        for server in (single, cluster, replica, master):
            server.stop()
    for name, runs in figures.items():
        rate = statistics.median(calls_per_second for calls_per_second, _ in runs)
        cpu = statistics.median(cpu_per_call for _, cpu_per_call in runs)
        print(f"  {name:<{NAME_WIDTH}} {rate:11,.0f} calls/s   client CPU {cpu * 1e6:6.1f} µs/call")


# The previous release's layout: every nonce of a minute in one hash under
# {namespace}, cleared with DEL (its clear script), expiring at the end of the window.
PREVIOUS_CLEAR = """
local bucket = math.floor(tonumber(redis.call('TIME')[1]) / 60)
redis.call('DEL', KEYS[1] .. bucket, KEYS[1] .. (bucket - 1), KEYS[2])
"""
FILL_PIPELINE = 1000
LATENCY_THRESHOLD_MS = 1
# Expiries are a minute apart in real time; here each shard's offset second lasts this long.
COMPRESSED_SECOND = 0.1


def fill(client, layout, nonces, previous):
    """Consumes `nonces` fresh nonces as the engine's scripts do, in pipelines."""
    script = scripts.LEGACY_CONSUME_NONCE if previous else scripts.CONSUME_NONCE
    client.script_load(script.source)
    pipeline = client.pipeline(transaction=False)
    for index in range(nonces):
        digest = layout.nonce_digest(b"million-%d" % index)
        if previous:
            pipeline.evalsha(script.sha, 1, layout.legacy.nonce_prefix, digest)
        else:
            keys = layout.shards[layout.nonce_shard(digest)]
            pipeline.evalsha(script.sha, 2, keys.nonce_prefix, keys.state, digest, 0, 0, keys.expiry_offset)
        if len(pipeline) == FILL_PIPELINE:
            pipeline.execute()
    pipeline.execute()


def longest_stall(client):
    """The longest latency event since the last reset, in ms, with its name and
    the median of that event's per-second maxima (a loaded machine adds outliers)."""
    events = client.execute_command("LATENCY", "LATEST")
    if not events:
        return "0 ms"
    name, _, _, longest = max(events, key=lambda event: event[3])
    history = [sample[1] for sample in client.execute_command("LATENCY", "HISTORY", name)]
    return f"{longest} ms ({name.decode()}, median of its seconds {statistics.median(history):g} ms)"


def expire_all(client, layout, keys, previous):
    """Lets the buckets expire as the store would, the sharded ones each at their offset (time
    compressed), and waits for the store's own expiry cycle to free them (DBSIZE touches no key)."""
    offsets = {shard.nonce_prefix.encode(): shard.expiry_offset for shard in layout.shards}
    remaining = client.dbsize() - len(keys)
    for key in keys:
        offset = 0 if previous else offsets[key.rpartition(b":")[0] + b":"]
        client.pexpire(key, 100 + round(offset * COMPRESSED_SECOND * 1000))
    while client.dbsize() > remaining:
        time.sleep(0.05)


def report_layouts(directory, settings):
    print(
        f"\nthe store after {settings.layout_nonces:,} nonces in one minute "
        f"(latency-monitor-threshold {LATENCY_THRESHOLD_MS} ms)"
    )
    for previous in (True, False):
        name = "previous layout: one hash a minute" if previous else f"sharded layout: {SHARD_COUNT} shards"
        server = Server(f"{directory}/{'previous' if previous else 'sharded'}")
        client = server.client
        client.config_set("latency-monitor-threshold", LATENCY_THRESHOLD_MS)
        layout = StoreLayout("bench")
        try:
            fill(client, layout, settings.layout_nonces, previous)
            keys = list(client.scan_iter(match="*:nonces:*", count=1000))
            largest = max(client.memory_usage(key, samples=0) for key in keys)
            total = sum(client.memory_usage(key, samples=0) for key in keys)
            fields = max(client.hlen(key) for key in keys)
            bucket_keys = len(keys)  # two a shard when the minute ended during the fill
            client.execute_command("LATENCY", "RESET")
            if previous:
                client.eval(PREVIOUS_CLEAR, 2, layout.legacy.nonce_prefix, layout.legacy.bans)
            else:
                RedisStateEngine(client, "bench").clear()
            cleared = longest_stall(client)
            fill(client, layout, settings.layout_nonces, previous)
            keys = list(client.scan_iter(match="*:nonces:*", count=1000))
            client.execute_command("LATENCY", "RESET")
            expire_all(client, layout, keys, previous)
            expired = longest_stall(client)
        finally:
            server.stop()
        print(
            f"  {name}: {bucket_keys} bucket keys, the largest {fields:,} fields, {largest / 1e6:.2f} MB"
            f" (all {total / 1e6:.1f} MB)\n    longest stall: clear {cleared}; expiry {expired}"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a few short rounds, to see that everything runs")
    parser.add_argument("--url", help="a store for the round-trip comparison instead of a redis-server started here")
    parser.add_argument("--client", nargs=6, help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.client:
        url, namespace, threads, count, cluster, replicas = arguments.client
        client_process(url, namespace, int(threads), int(count), cluster == "1", int(replicas))
        return
    settings = QUICK if arguments.quick else FULL

    with tempfile.TemporaryDirectory() as directory:
        server = None if arguments.url else Server(f"{directory}/round-trips")
        url = arguments.url or server.url
        try:
            print(f"consume_nonce, fresh nonces, {settings.rounds} rounds of {settings.calls_per_round} calls, {url}")
            client = redis.Redis.from_url(url, single_connection_client=True)
            core.clear_state_engine_rs()
            report(
                measure(sync_contenders(client), settings), "RedisStateEngine.consume_nonce", "raw SET NX EX (redis-py)"
            )
            loop = asyncio.new_event_loop()
            async_client = redis.asyncio.Redis.from_url(url, single_connection_client=True)
            report(
                measure(async_contenders(async_client, loop), settings),
                "AsyncRedisStateEngine.consume_nonce",
                "raw SET NX EX (redis.asyncio)",
            )
            loop.run_until_complete(async_client.aclose())
            loop.close()
            RedisStateEngine(client, namespace="bench").clear()
            client.close()
        finally:
            if server is not None:
                server.stop()
        report_throughput(directory, settings)
        report_layouts(directory, settings)


if __name__ == "__main__":
    main()
