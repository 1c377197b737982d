"""consume_nonce on the shared engines against the store's own round trip.

    python benchmarks/state_store.py [--quick] [--url redis://host:port/db]

Starts its own redis-server on 127.0.0.1 (random port, no persistence) unless
given --url. Contenders, in interleaved rounds with the order rotating:
RedisStateEngine.consume_nonce and a raw ``SET key 1 NX EX 120`` on the same
client and connection; the same pair on redis.asyncio, one call awaited at a
time; and the native per-process consume_nonce_rs. Every call takes a fresh
nonce. Times are wall-clock (perf_counter): a round trip is mostly waiting for
the store, which a CPU clock would not count; the client's own CPU time per
call (this thread's) is shown beside it, as the part a busy machine disturbs
least. Reported: median calls per second, and the median of per-round
wall-clock ratios with the target.
"""

import argparse
import asyncio
import gc
import itertools
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

import redis
import redis.asyncio

import veltrix_core_rs as core
from veltrix import AsyncRedisStateEngine, RedisStateEngine

SHARED_VS_RAW_TARGET = 0.7
RAW_EXPIRY_SECONDS = 120
NAME_WIDTH = 44


@dataclass(frozen=True)
class Settings:
    rounds: int
    calls_per_round: int


FULL = Settings(rounds=21, calls_per_round=2_000)
QUICK = Settings(rounds=5, calls_per_round=300)

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


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def start_server(directory):
    port = free_port()
    server = subprocess.Popen(
        [
            shutil.which("redis-server") or "redis-server",
            "--port",
            str(port),
            "--bind",
            "127.0.0.1",
            "--save",
            "",
            "--appendonly",
            "no",
            "--dir",
            directory,
        ],
        stdout=subprocess.DEVNULL,
    )
    probe = redis.Redis(port=port)
    for _ in range(200):
        try:
            probe.ping()
            return server, f"redis://127.0.0.1:{port}/0"
        except redis.ConnectionError:
            time.sleep(0.05)
    server.kill()
    sys.exit("error: redis-server did not start")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a few short rounds, to see that everything runs")
    parser.add_argument("--url", help="a store to use instead of a redis-server started here")
    arguments = parser.parse_args()
    settings = QUICK if arguments.quick else FULL

    with tempfile.TemporaryDirectory() as directory:
        server, url = (None, arguments.url) if arguments.url else start_server(directory)
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
                server.terminate()
                server.wait()


if __name__ == "__main__":
    main()
