"""Challenge tokens: ChallengeIssuer.issue and .verify against the same checks
written plainly with hmac + secrets.

    python benchmarks/challenges.py [--quick] [--url redis://host:port/db]

The plain contender makes a token of dot-separated fields (an id from
secrets.token_hex, issue and expiry milliseconds, difficulty, action, a keyed
hash of the client) and a hex HMAC-SHA-256 over them with hmac.new; it verifies
by bounding the length, splitting, comparing a fresh tag with
hmac.compare_digest, then the times, action and client's hash, and consumes
the id on the same engine. Both verify fresh tokens, issued before each round,
bound to a client, without proof of work. The engine's consume_nonce alone,
on fresh nonces of a token id's length, shows its share of verify.

Contenders run in interleaved rounds, the order rotating. With the local
engine times are this thread's CPU time, garbage collection off; on Redis
(a redis-server started here on 127.0.0.1 unless --url) a call is mostly
waiting for the store, so wall-clock time is reported with the client's CPU
time beside it. Reported: medians per call, calls per second, and the median
of per-round ratios plain / veltrix.
"""

import argparse
import asyncio
import gc
import hmac
import secrets
import statistics
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass

import redis
import redis.asyncio
from redis_servers import Server

from veltrix import AsyncRedisStateEngine, ChallengeIssuer, LocalStateEngine, RedisStateEngine

VERIFY_LOCAL_TARGET_SECONDS = 5e-6
SECRET = secrets.token_bytes(32)
CLIENT = "203.0.113.7"
NAME_WIDTH = 46


@dataclass(frozen=True)
class Settings:
    rounds: int
    local_calls: int
    store_calls: int


FULL = Settings(rounds=21, local_calls=20_000, store_calls=2_000)
QUICK = Settings(rounds=5, local_calls=2_000, store_calls=300)


class PlainChallenges:
    """The same checks, written plainly."""

    def __init__(self, secret, engine, ttl_ms=30_000, skew_ms=5_000):
        self.secret = secret
        self.engine = engine
        self.ttl_ms = ttl_ms
        self.skew_ms = skew_ms

    def client_hash(self, client):
        return hmac.new(self.secret, b"client:" + (client or "").encode(), "sha256").hexdigest()[:32]

    def issue(self, action="score", client=None):
        issued = int(time.time() * 1000)
        fields = (secrets.token_hex(16), str(issued), str(issued + self.ttl_ms), "0", action, self.client_hash(client))
        payload = ".".join(fields)
        return payload + "." + hmac.new(self.secret, payload.encode(), "sha256").hexdigest()

    def check(self, token, action="score", client=None):
        if not isinstance(token, str) or len(token) > 512:
            raise ValueError("malformed")
        payload, _, tag = token.rpartition(".")
        fields = payload.split(".")
        if len(fields) != 6:
            raise ValueError("malformed")
        if not hmac.compare_digest(hmac.new(self.secret, payload.encode(), "sha256").hexdigest(), tag):
            raise ValueError("forged")
        token_id, issued, expires, _, token_action, token_client = fields
        now = time.time() * 1000
        if now >= int(expires) or int(issued) > now + self.skew_ms:
            raise ValueError("expired")
        if token_action != action:
            raise ValueError("wrong_action")
        if not hmac.compare_digest(token_client, self.client_hash(client)):
            raise ValueError("wrong_client")
        return token_id

    def verify(self, token, action="score", client=None):
        token_id = self.check(token, action, client)
        if not self.engine.consume_nonce(token_id):
            raise ValueError("replayed")

    async def verify_async(self, token, action="score", client=None):
        token_id = self.check(token, action, client)
        if not await self.engine.consume_nonce(token_id):
            raise ValueError("replayed")


@dataclass(frozen=True)
class RoundTime:
    wall: float  # seconds per call
    cpu: float  # this thread's CPU seconds per call


@dataclass
class Contender:
    name: str
    issue: Callable[[], str]  # a fresh token, not timed
    run: Callable[[list[str]], None]  # the timed calls over tokens
    samples: list[RoundTime]


def timed(run, tokens):
    gc.disable()
    try:
        start_wall, start_cpu = time.perf_counter(), time.thread_time()
        run(tokens)
        return RoundTime(
            (time.perf_counter() - start_wall) / len(tokens), (time.thread_time() - start_cpu) / len(tokens)
        )
    finally:
        gc.enable()


def measure(contenders, rounds, calls):
    for contender in contenders:  # warm-up: connections made, scripts loaded, caches filled
        timed(contender.run, [contender.issue() for _ in range(50)])
    for round_index in range(rounds):
        first = round_index % len(contenders)
        for contender in contenders[first:] + contenders[:first]:
            tokens = [contender.issue() for _ in range(calls)]
            contender.samples.append(timed(contender.run, tokens))


def report(title, contenders, clock):
    print(f"\n{title}")
    own = contenders[0]
    for contender in contenders:
        per_call = statistics.median(getattr(sample, clock) for sample in contender.samples)
        cpu = statistics.median(sample.cpu for sample in contender.samples)
        line = f"  {contender.name:<{NAME_WIDTH}}{per_call * 1e6:8.2f} µs/call{1 / per_call:12,.0f} calls/s"
        if clock == "wall":
            line += f"   client CPU {cpu * 1e6:6.2f} µs/call"
        if contender is not own and contender.name.startswith("plain"):
            ratio = statistics.median(
                getattr(other, clock) / getattr(mine, clock) for mine, other in zip(own.samples, contender.samples)
            )
            line += f"   plain / veltrix {ratio:5.2f}×"
        print(line)
    return statistics.median(getattr(sample, clock) for sample in own.samples)


def issue_contenders(issuer, plain):
    def veltrix_issue(tokens):
        for _ in tokens:
            issuer.issue(client=CLIENT)

    def plain_issue(tokens):
        for _ in tokens:
            plain.issue(client=CLIENT)

    return [
        Contender("ChallengeIssuer.issue", lambda: "", veltrix_issue, []),
        Contender("plain hmac + secrets", lambda: "", plain_issue, []),
    ]


def verify_contenders(issuer, plain, label):
    def veltrix_verify(tokens):
        for token in tokens:
            issuer.verify(token, client=CLIENT)

    def plain_verify(tokens):
        for token in tokens:
            plain.verify(token, client=CLIENT)

    def engine_alone(nonces):
        for nonce in nonces:
            issuer.engine.consume_nonce(nonce)

    return [
        Contender(f"ChallengeIssuer.verify, {label}", lambda: issuer.issue(client=CLIENT), veltrix_verify, []),
        Contender(f"plain, {label}", lambda: plain.issue(client=CLIENT), plain_verify, []),
        Contender(
            f"{type(issuer.engine).__name__}.consume_nonce alone", lambda: secrets.token_hex(25), engine_alone, []
        ),
    ]


def async_verify_contenders(issuer, plain, loop):
    async def veltrix_verify(tokens):
        for token in tokens:
            await issuer.verify_async(token, client=CLIENT)

    async def plain_verify(tokens):
        for token in tokens:
            await plain.verify_async(token, client=CLIENT)

    return [
        Contender(
            "ChallengeIssuer.verify_async, asyncio Redis",
            lambda: issuer.issue(client=CLIENT),
            lambda tokens: loop.run_until_complete(veltrix_verify(tokens)),
            [],
        ),
        Contender(
            "plain, asyncio Redis",
            lambda: plain.issue(client=CLIENT),
            lambda tokens: loop.run_until_complete(plain_verify(tokens)),
            [],
        ),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a few short rounds, to see that everything runs")
    parser.add_argument("--url", help="a store to use instead of a redis-server started here")
    arguments = parser.parse_args()
    settings = QUICK if arguments.quick else FULL

    local = LocalStateEngine()
    issuer, plain = ChallengeIssuer(SECRET, engine=local), PlainChallenges(SECRET, local)
    print(f"Challenge tokens, {settings.rounds} rounds; local engine: CPU time, {settings.local_calls:,} calls a round")
    contenders = issue_contenders(issuer, plain)
    measure(contenders, settings.rounds, settings.local_calls)
    report("issue, bound to a client", contenders, "cpu")
    contenders = verify_contenders(issuer, plain, "local engine")
    measure(contenders, settings.rounds, settings.local_calls)
    verify_seconds = report("verify, fresh tokens bound to a client", contenders, "cpu")
    verdict = "met" if verify_seconds <= VERIFY_LOCAL_TARGET_SECONDS else "MISSED"
    print(f"  verify with the local engine ≤ {VERIFY_LOCAL_TARGET_SECONDS * 1e6:g} µs: {verdict}")

    with tempfile.TemporaryDirectory() as directory:
        server = None if arguments.url else Server(directory)
        url = arguments.url or server.url
        try:
            client = redis.Redis.from_url(url, single_connection_client=True)
            engine = RedisStateEngine(client, namespace="bench-challenges")
            contenders = verify_contenders(
                ChallengeIssuer(SECRET, engine=engine), PlainChallenges(SECRET, engine), "Redis"
            )
            measure(contenders, settings.rounds, settings.store_calls)
            report(f"verify on Redis ({url}), {settings.store_calls:,} calls a round: wall clock", contenders, "wall")

            loop = asyncio.new_event_loop()
            async_client = redis.asyncio.Redis.from_url(url, single_connection_client=True)
            async_engine = AsyncRedisStateEngine(async_client, namespace="bench-challenges")
            contenders = async_verify_contenders(
                ChallengeIssuer(SECRET, engine=async_engine), PlainChallenges(SECRET, async_engine), loop
            )
            measure(contenders, settings.rounds, settings.store_calls)
            report("verify_async on asyncio Redis: wall clock", contenders, "wall")
            loop.run_until_complete(async_client.aclose())
            loop.close()
            engine.clear()
            client.close()
        finally:
            if server is not None:
                server.stop()


if __name__ == "__main__":
    main()
