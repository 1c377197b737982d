"""Each engine method as one store call: its arguments read and checked, its
keys and script chosen, and how the store's reply becomes the result. The
synchronous and the asynchronous engine differ only in how they send the call."""

from __future__ import annotations

import hashlib
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from veltrix.state import scripts
from veltrix.state.arguments import ban_list_argument, text_argument, unsigned_argument

STATS_KEYS = ("current_bucket_nonces", "previous_bucket_nonces", "active_ip_bans")
# 128 bits: a store entry per nonce whatever its length, and no collision in any real traffic.
NONCE_DIGEST_BYTES = 16


@dataclass(frozen=True, slots=True)
class StoreCall[Result]:
    operation: str
    script: scripts.StoreScript
    keys: tuple[str, ...]
    args: tuple[bytes | int, ...]
    result: Callable[[Any], Result]


def _is_one(reply: Any) -> bool:
    return reply == 1


def _nothing(reply: Any) -> None:
    return None


def _stats(reply: Any) -> dict[str, int]:
    return dict(zip(STATS_KEYS, map(int, reply), strict=True))


class StoreOperations:
    """The store calls of one namespace."""

    __slots__ = ("_bans", "_digest_key", "_nonce_prefix")

    def __init__(self, namespace: str) -> None:
        if not issubclass(type(namespace), str):
            raise TypeError(f"namespace must be a str, not {type(namespace).__qualname__}")
        # Braces would end the hash tag that keeps a namespace in one cluster slot.
        if not namespace or "{" in namespace or "}" in namespace:
            raise ValueError(f"namespace must be a non-empty str without braces, not {namespace!r}")
        tag = "{" + namespace + "}"
        self._nonce_prefix = f"{tag}:nonces:"
        self._bans = f"{tag}:bans"
        # Nonces are stored as digests keyed by the namespace: every process of
        # the namespace derives the same key, and other namespaces differ.
        self._digest_key = hashlib.blake2b(namespace.encode(), digest_size=32, person=b"veltrix nonce").digest()

    def consume_nonce(self, nonce: object) -> StoreCall[bool]:
        digest = hashlib.blake2b(text_argument(nonce, "nonce"), digest_size=NONCE_DIGEST_BYTES, key=self._digest_key)
        return StoreCall("consume_nonce", scripts.CONSUME_NONCE, (self._nonce_prefix,), (digest.digest(),), _is_one)

    def is_ip_banned(self, ip: object) -> StoreCall[bool]:
        return StoreCall("is_ip_banned", scripts.IS_IP_BANNED, (self._bans,), (text_argument(ip, "ip"),), _is_one)

    def ban_ip(self, ip: object, duration_sec: object) -> StoreCall[None]:
        args = (text_argument(ip, "ip"), unsigned_argument(duration_sec, "duration_sec"))
        return StoreCall("ban_ip", scripts.BAN_IP, (self._bans,), args, _nothing)

    def unban_ip(self, ip: object) -> StoreCall[None]:
        return StoreCall("unban_ip", scripts.UNBAN_IP, (self._bans,), (text_argument(ip, "ip"),), _nothing)

    def hydrate_bans(self, bans: object) -> StoreCall[None]:
        args = tuple(item for pair in ban_list_argument(bans) for item in pair)
        return StoreCall("hydrate_bans", scripts.HYDRATE_BANS, (self._bans,), args, _nothing)

    def stats(self) -> StoreCall[dict[str, int]]:
        return StoreCall("stats", scripts.STATS, (self._nonce_prefix, self._bans), (), _stats)

    def clear(self) -> StoreCall[None]:
        return StoreCall("clear", scripts.CLEAR, (self._nonce_prefix, self._bans), (), _nothing)
