"""Each engine method as a plan of store calls: its arguments read and checked,
the shards' keys and scripts chosen, and how the store's replies become the
result. A plan is a generator that yields lists of calls, each list sent in one
round trip (a pipeline when it holds several), and receives their checked
replies; the synchronous and the asynchronous engine differ only in how they
send them. Replies that are not what the script returns raise StateStoreError.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable, Generator
from typing import TYPE_CHECKING, Any, NamedTuple

from veltrix.state import scripts
from veltrix.state.arguments import ban_list_argument, text_argument, unsigned_argument
from veltrix.state.errors import store_forgot, unexpected_reply
from veltrix.state.layout import SHARD_COUNT, StoreLayout
from veltrix.state.scripts import NONCE_BUCKET_SECONDS

if TYPE_CHECKING:
    from veltrix_core_rs import StateEngineStats

STATS_KEYS = ("current_bucket_nonces", "previous_bucket_nonces", "active_ip_bans")
# Pairs per hydrate script: a few milliseconds of the store's time each, so
# that other clients are never held up for long and every batch answers well
# within any timeout (10**6 pairs: 5.5 s, no stall past 12 ms on the loaded
# machine); batches go this many to a round trip.
HYDRATE_BATCH_PAIRS = 1000
HYDRATE_CALLS_PER_ROUND_TRIP = 8
# A nonce is refused for at most two buckets: a count seen longer ago than that no longer matters.
REPLAY_WINDOW_SECONDS = 2 * NONCE_BUCKET_SECONDS


class StoreCall[Result](NamedTuple):
    operation: str
    script: scripts.StoreScript
    keys: tuple[str, ...]
    args: tuple[bytes | int, ...]
    # Turns the store's reply into the result, or raises StateStoreError.
    result: Callable[[str, Any], Result]
    writes: bool


type Plan[Result] = Generator[list[StoreCall[Any]], list[Any], Result]


def _is_integer(reply: Any) -> bool:
    return type(reply) is int


def _flag(operation: str, reply: Any) -> bool:
    if _is_integer(reply) and reply in (0, 1):
        return bool(reply)
    raise unexpected_reply(operation, reply)


def _nothing(operation: str, reply: Any) -> None:
    if reply is not None:
        raise unexpected_reply(operation, reply)


def _nonce_verdict(operation: str, reply: Any) -> int:
    """The consume script's one integer (see scripts.CONSUME_NONCE)."""
    if type(reply) is int:
        return reply
    raise unexpected_reply(operation, reply)


def _shard_stats(operation: str, reply: Any) -> list[int]:
    if type(reply) is list and len(reply) == len(STATS_KEYS) and all(_is_integer(n) and n >= 0 for n in reply):
        return reply
    raise unexpected_reply(operation, reply)


def _chunks[Item](items: list[Item], size: int) -> list[list[Item]]:
    return [items[start : start + size] for start in range(0, len(items), size)]


class StoreOperations:
    """The store calls of one namespace, and what this engine saw of each shard.

    For each shard the engine keeps the nonce count the store last reported,
    and when, and passes it with every nonce while it is recent: a store whose
    count went back lost nonces this engine saw recorded, still inside their
    window. (An older loss no longer matters: those nonces have expired.)
    """

    __slots__ = ("_layout", "_legacy_layout", "_seen")

    def __init__(self, namespace: str, *, legacy_layout: bool) -> None:
        self._layout = StoreLayout(namespace)
        self._legacy_layout = bool(legacy_layout)
        self._seen = [(0, -math.inf)] * SHARD_COUNT

    def consume_nonce(self, nonce: object) -> Plan[bool]:
        layout = self._layout
        digest = layout.nonce_digest(text_argument(nonce, "nonce"))
        shard = layout.nonce_shard(digest)
        keys = layout.shards[shard]
        seen_count, seen_at = self._seen[shard]
        now = time.monotonic()
        if now - seen_at > REPLAY_WINDOW_SECONDS:
            seen_count = 0
        if self._legacy_layout:
            # The legacy layout decides first, by the older engines' own
            # script: of all engines old and new, one wins a nonce there, and
            # only the winner records it in its shard too. A failure between
            # the two calls raises, and the nonce stays refused where it was recorded.
            legacy = StoreCall(
                "consume_nonce", scripts.LEGACY_CONSUME_NONCE, (layout.legacy.nonce_prefix,), (digest,), _flag, True
            )
            (won,) = yield [legacy]
            if not won:
                return False
        call = StoreCall(
            "consume_nonce",
            scripts.CONSUME_NONCE,
            (keys.nonce_prefix, keys.state),
            (digest, seen_count),
            _nonce_verdict,
            writes=True,
        )
        (verdict,) = yield [call]
        if verdict < 0:
            raise store_forgot(-verdict)
        recorded = verdict >> 1
        if recorded >= seen_count:
            self._seen[shard] = (recorded, now)
        return bool(verdict & 1)

    def _ban_keys(self, address: bytes) -> list[str]:
        keys = [self._layout.shards[self._layout.address_shard(address)].bans]
        if self._legacy_layout:
            keys.append(self._layout.legacy.bans)
        return keys

    def is_ip_banned(self, ip: object) -> Plan[bool]:
        address = text_argument(ip, "ip")
        calls = [
            StoreCall("is_ip_banned", scripts.IS_IP_BANNED, (key,), (address,), _flag, writes=False)
            for key in self._ban_keys(address)
        ]
        return any((yield calls))

    def ban_ip(self, ip: object, duration_sec: object) -> Plan[None]:
        args = (text_argument(ip, "ip"), unsigned_argument(duration_sec, "duration_sec"))
        yield [
            StoreCall("ban_ip", scripts.BAN_IP, (key,), args, _nothing, writes=True) for key in self._ban_keys(args[0])
        ]

    def unban_ip(self, ip: object) -> Plan[None]:
        address = text_argument(ip, "ip")
        yield [
            StoreCall("unban_ip", scripts.UNBAN_IP, (key,), (address,), _nothing, writes=True)
            for key in self._ban_keys(address)
        ]

    def hydrate_bans(self, bans: object) -> Plan[None]:
        pairs = ban_list_argument(bans)
        by_key: dict[str, list[tuple[bytes, int]]] = {}
        for pair in pairs:
            by_key.setdefault(self._layout.shards[self._layout.address_shard(pair[0])].bans, []).append(pair)
        if self._legacy_layout and pairs:
            by_key[self._layout.legacy.bans] = pairs
        calls = [
            StoreCall(
                "hydrate_bans",
                scripts.HYDRATE_BANS,
                (key,),
                tuple(item for pair in chunk for item in pair),
                _nothing,
                writes=True,
            )
            for key, key_pairs in by_key.items()
            for chunk in _chunks(key_pairs, HYDRATE_BATCH_PAIRS)
        ]
        # Not `yield from` a list: the engine sends each round trip's replies into the plan.
        for round_trip in _chunks(calls, HYDRATE_CALLS_PER_ROUND_TRIP):  # noqa: UP028
            yield round_trip

    def stats(self) -> Plan[StateEngineStats]:
        # The sharded layout's figures: during a rolling upgrade the legacy keys hold the same nonces again.
        calls = [
            StoreCall("stats", scripts.SHARD_STATS, (keys.nonce_prefix, keys.bans), (), _shard_stats, writes=False)
            for keys in self._layout.shards
        ]
        totals = [sum(column) for column in zip(*(yield calls))]
        stats: StateEngineStats = {
            "current_bucket_nonces": totals[0],
            "previous_bucket_nonces": totals[1],
            "active_ip_bans": totals[2],
        }
        return stats

    def clear(self) -> Plan[None]:
        calls = [
            StoreCall(
                "clear", scripts.CLEAR_SHARD, (keys.nonce_prefix, keys.bans, keys.state), (), _nothing, writes=True
            )
            for keys in self._layout.shards
        ]
        if self._legacy_layout:
            legacy = self._layout.legacy
            calls.append(
                StoreCall("clear", scripts.LEGACY_CLEAR, (legacy.nonce_prefix, legacy.bans), (), _nothing, True)
            )
        yield calls
