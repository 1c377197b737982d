"""Where a namespace's nonces and bans live in the store: 64 shards, each under
a hash tag of its own, so that a Redis Cluster spreads them over its masters.

A nonce's shard is given by its digest and an address's by a keyed hash of it,
so both spread evenly over the shards. The tag of shard ``i`` is
``<namespace>:<i>:<salt>``, with the smallest salt whose cluster slot lies in
the ``i``-th 64th of the slot range: a cluster whose masters own contiguous,
equal slot ranges (as ``redis-cli --cluster create`` assigns them) holds the
same number of shards, give or take one, on every master.
"""

from __future__ import annotations

import binascii
import functools
import hashlib
import itertools
from dataclasses import dataclass

# At 10**6 nonces a minute a shard's bucket holds about 15,600 digests (about
# 1 MB), which the store frees in a few milliseconds.
SHARD_COUNT = 64
CLUSTER_SLOTS = 16384
# The shards' buckets expire over this many seconds after their window ends.
EXPIRY_SPREAD_SECONDS = 60
# 128 bits: a store entry per nonce whatever its length, and no collision in any real traffic.
NONCE_DIGEST_BYTES = 16


def cluster_slot(tag: bytes) -> int:
    """The cluster slot of every key carrying the hash tag `tag` (CRC-16/XMODEM, as the store computes it)."""
    return binascii.crc_hqx(tag, 0) % CLUSTER_SLOTS


@dataclass(frozen=True, slots=True)
class ShardKeys:
    nonce_prefix: str
    bans: str
    state: str
    # Seconds past the end of their window at which the shard's buckets expire:
    # the shards' expiries are spread over a minute.
    expiry_offset: int


def _shard_tag(namespace: str, shard: int) -> str:
    low, high = shard * CLUSTER_SLOTS // SHARD_COUNT, (shard + 1) * CLUSTER_SLOTS // SHARD_COUNT
    tags = (f"{namespace}:{shard}:{salt}" for salt in itertools.count())
    return next(tag for tag in tags if low <= cluster_slot(tag.encode()) < high)


def _shard_keys(tag: str, shard: int) -> ShardKeys:
    prefix = "{" + tag + "}"
    return ShardKeys(
        f"{prefix}:nonces:", f"{prefix}:bans", f"{prefix}:state", shard * EXPIRY_SPREAD_SECONDS // SHARD_COUNT
    )


@dataclass(frozen=True, slots=True)
class LegacyKeys:
    """The keys of releases before the shards: ``{namespace}:nonces:<bucket>`` and ``{namespace}:bans``."""

    nonce_prefix: str
    bans: str


class StoreLayout:
    """The keys of one namespace and the shard of each nonce and address."""

    __slots__ = ("_address_key", "_digest_key", "legacy", "shards")

    def __init__(self, namespace: str) -> None:
        if not issubclass(type(namespace), str):
            raise TypeError(f"namespace must be a str, not {type(namespace).__qualname__}")
        # Braces would end the hash tags that keep each shard in one cluster slot.
        if not namespace or "{" in namespace or "}" in namespace:
            raise ValueError(f"namespace must be a non-empty str without braces, not {namespace!r}")
        self.shards = _namespace_shards(namespace)
        self.legacy = LegacyKeys("{" + namespace + "}:nonces:", "{" + namespace + "}:bans")
        # Nonces are stored as digests keyed by the namespace: every process of
        # the namespace derives the same key, and other namespaces differ.
        self._digest_key = hashlib.blake2b(namespace.encode(), digest_size=32, person=b"veltrix nonce").digest()
        self._address_key = hashlib.blake2b(namespace.encode(), digest_size=32, person=b"veltrix ban").digest()

    def nonce_digest(self, nonce: bytes) -> bytes:
        return hashlib.blake2b(nonce, digest_size=NONCE_DIGEST_BYTES, key=self._digest_key).digest()

    @staticmethod
    def nonce_shard(digest: bytes) -> int:
        return digest[0] % SHARD_COUNT

    def address_shard(self, address: bytes) -> int:
        return hashlib.blake2b(address, digest_size=1, key=self._address_key).digest()[0] % SHARD_COUNT


@functools.lru_cache(maxsize=64)
def _namespace_shards(namespace: str) -> tuple[ShardKeys, ...]:
    return tuple(_shard_keys(_shard_tag(namespace, shard), shard) for shard in range(SHARD_COUNT))
