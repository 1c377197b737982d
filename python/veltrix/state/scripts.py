"""The engine's operations as Lua scripts, each run atomically by the store in
one round trip, on the store's clock (TIME), so that hosts whose clocks
disagree still agree on every bucket and expiry. Every script touches the keys
of one shard (see :mod:`veltrix.state.layout`), so it runs on a Redis Cluster too.

Keys of a shard with hash tag ``{t}``:

* ``{t}:nonces:<bucket>``: a hash whose fields are the digests of the nonces
  consumed during the 60-second bucket ``<bucket>`` (store time // 60). Nonces
  are looked up in the current and the previous bucket, so a nonce consumed
  at T is refused until the start of the second bucket after T's: for more
  than 60 and at most 120 seconds. A bucket's hash expires once it is no
  longer the previous one, each shard at its own second of that minute (the
  shard's offset), so that the store never frees every shard's bucket at once.
* ``{t}:bans``: a sorted set of addresses scored by their expiry in whole
  epoch seconds; a ban is in force while its expiry is later than the current
  second. Writes drop the shard's bans that are no longer in force.
* ``{t}:state``: a small hash, never expiring, by which the engine notices a
  store that lost nonces: ``n`` counts the nonces the shard ever recorded,
  ``b`` and ``p`` are the last two buckets it wrote, and ``q`` is the store
  second until which the shard refuses nonces after a loss. Engines pass the
  count they last saw; a store whose count went back (a restart without
  persistence, a flush, a failover to a replica that lagged) or that lost a
  bucket it wrote (eviction) has forgotten nonces still inside their window.

Bucket names depend on the store's clock, so the scripts build them from the
declared prefix key; the shard's hash tag keeps them in that key's slot.
Numbers pass through Lua as doubles: expiries are exact far beyond any real
clock reading, and those past 2**53 are still far in the future, so every
comparison with the current second stays exact.
"""

from __future__ import annotations

import hashlib
from dataclasses import dataclass, field
from string import Template

from veltrix.state.layout import EXPIRY_SPREAD_SECONDS, SHARD_COUNT

NONCE_BUCKET_SECONDS = 60
# Ban expiries saturate at the largest unsigned 64-bit count of seconds (a double in Lua).
MAX_EXPIRY = 2**64 - 1


@dataclass(frozen=True, slots=True)
class StoreScript:
    source: str
    sha: str = field(init=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "sha", hashlib.sha1(self.source.encode()).hexdigest())


def _script(body: str) -> StoreScript:
    return StoreScript(
        Template(body).substitute(
            bucket_seconds=NONCE_BUCKET_SECONDS,
            max_expiry=MAX_EXPIRY,
            shards=SHARD_COUNT,
            expiry_spread=EXPIRY_SPREAD_SECONDS,
        )
    )


# KEYS[1]: the shard's nonce bucket prefix, KEYS[2]: its state hash; ARGV[1]: the
# nonce's digest, ARGV[2]: the shard's nonce count this engine saw within the
# last two minutes (0 if none). One integer in reply: -t when the shard refuses
# nonces until second t, else 2 * the shard's count, plus 1 if the nonce was
# fresh (and is now recorded). The digest's first byte gives the shard, and the
# shard its expiry offset.
CONSUME_NONCE = _script("""
local now = tonumber(redis.call('TIME')[1])
local bucket = math.floor(now / $bucket_seconds)
local current, previous = KEYS[1] .. bucket, KEYS[1] .. (bucket - 1)
local state = redis.call('HMGET', KEYS[2], 'n', 'q', 'b', 'p')
local count, refused_until = tonumber(state[1]) or 0, tonumber(state[2]) or 0
local last, before = tonumber(state[3]), tonumber(state[4])
local seen = tonumber(ARGV[2])
local lost = count < seen
if not lost and last == bucket then lost = redis.call('EXISTS', current) == 0 end
if not lost and (last == bucket - 1 or before == bucket - 1) then lost = redis.call('EXISTS', previous) == 0 end
if lost then
    count = math.max(count, seen) + 1
    refused_until = math.max(refused_until, (bucket + 2) * $bucket_seconds)
    redis.call('HSET', KEYS[2], 'n', count, 'q', refused_until)
    redis.call('HDEL', KEYS[2], 'b', 'p')
end
if refused_until > now then return -refused_until end
if redis.call('HEXISTS', previous, ARGV[1]) == 1 or redis.call('HSETNX', current, ARGV[1], '') == 0 then
    return 2 * count
end
count = redis.call('HINCRBY', KEYS[2], 'n', 1)
if last ~= bucket then
    -- The bucket's first nonce: it was created just now.
    local offset = math.floor(string.byte(ARGV[1], 1) % $shards * $expiry_spread / $shards)
    redis.call('EXPIREAT', current, (bucket + 2) * $bucket_seconds + offset)
    redis.call('HSET', KEYS[2], 'b', bucket, 'p', last or -1)
end
return 2 * count + 1
""")

# KEYS[1]: bans; ARGV[1]: address. 1 while banned, else 0.
IS_IP_BANNED = _script("""
local expiry = redis.call('ZSCORE', KEYS[1], ARGV[1])
if expiry and tonumber(expiry) > tonumber(redis.call('TIME')[1]) then return 1 end
return 0
""")

# KEYS[1]: bans; ARGV[1]: address, ARGV[2]: duration in seconds.
BAN_IP = _script("""
local now = tonumber(redis.call('TIME')[1])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
local expiry = math.min(now + tonumber(ARGV[2]), $max_expiry)
redis.call('ZADD', KEYS[1], string.format('%.0f', expiry), ARGV[1])
""")

# KEYS[1]: bans; ARGV[1]: address.
UNBAN_IP = _script("""
redis.call('ZREM', KEYS[1], ARGV[1])
""")

# KEYS[1]: bans; ARGV: address, expiry, address, expiry... A later pair for an
# address replaces an earlier one; expiries not in the future are skipped.
HYDRATE_BANS = _script("""
local now = tonumber(redis.call('TIME')[1])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
for i = 1, #ARGV, 2 do
    if tonumber(ARGV[i + 1]) > now then redis.call('ZADD', KEYS[1], ARGV[i + 1], ARGV[i]) end
end
""")

# KEYS[1]: the shard's nonce bucket prefix, KEYS[2]: its bans. Current and previous bucket sizes, active bans.
SHARD_STATS = _script("""
local now = tonumber(redis.call('TIME')[1])
local bucket = math.floor(now / $bucket_seconds)
return {redis.call('HLEN', KEYS[1] .. bucket), redis.call('HLEN', KEYS[1] .. (bucket - 1)),
        redis.call('ZCOUNT', KEYS[2], '(' .. now, '+inf')}
""")

# KEYS[1]: the shard's nonce bucket prefix, KEYS[2]: its bans, KEYS[3]: its
# state. Older buckets have expired already; UNLINK frees the values off the
# store's main thread. The count goes on growing (other engines compare
# against it), and a refusal after a loss is lifted: the nonces are forgotten on purpose.
CLEAR_SHARD = _script("""
local bucket = math.floor(tonumber(redis.call('TIME')[1]) / $bucket_seconds)
redis.call('UNLINK', KEYS[1] .. bucket, KEYS[1] .. (bucket - 1), KEYS[2])
redis.call('HDEL', KEYS[3], 'q', 'b', 'p')
redis.call('HINCRBY', KEYS[3], 'n', 1)
""")

# The layout of releases before the shards (every key under the hash tag
# {namespace}), for a rolling upgrade: engines with legacy_layout=True record
# and look up nonces there as well, with the very script the older engines run
# (KEYS[1]: nonce bucket prefix; ARGV[1]: the nonce's digest; 1 if fresh, else
# 0), and keep their bans in the single sorted set through the ban scripts above.
LEGACY_CONSUME_NONCE = _script("""
local bucket = math.floor(tonumber(redis.call('TIME')[1]) / $bucket_seconds)
if redis.call('HEXISTS', KEYS[1] .. (bucket - 1), ARGV[1]) == 1 then return 0 end
local current = KEYS[1] .. bucket
if redis.call('HSETNX', current, ARGV[1], '') == 0 then return 0 end
redis.call('EXPIREAT', current, (bucket + 2) * $bucket_seconds)
return 1
""")

# KEYS[1]: legacy nonce bucket prefix, KEYS[2]: legacy bans.
LEGACY_CLEAR = _script("""
local bucket = math.floor(tonumber(redis.call('TIME')[1]) / $bucket_seconds)
redis.call('UNLINK', KEYS[1] .. bucket, KEYS[1] .. (bucket - 1), KEYS[2])
""")
