"""The engine's operations as Lua scripts, each run atomically by the store in
one round trip, on the store's clock (TIME), so that hosts whose clocks
disagree still agree on every bucket and expiry.

Store layout under a namespace ``ns`` (all keys share the hash tag ``{ns}``, so
a Redis Cluster keeps them in one slot, where one script may touch them all):

* ``{ns}:nonces:<bucket>``: a hash whose fields are the digests of the nonces
  consumed during the 60-second bucket ``<bucket>`` (store time // 60). Nonces
  are looked up in the current and the previous bucket, and a bucket's hash
  expires when it stops being the previous one, so a nonce consumed at T is
  refused until the start of the second bucket after T's: for more than 60 and
  at most 120 seconds. Its field count is the bucket's nonce count.
* ``{ns}:bans``: a sorted set of addresses scored by their expiry in whole
  epoch seconds; a ban is in force while its expiry is later than the current
  second. Writes drop bans that are no longer in force, so the set stays the
  size of the active bans.

Bucket names depend on the store's clock, so the scripts build them from the
declared prefix key; the shared hash tag keeps them in that key's slot.
Numbers pass through Lua as doubles: expiries are exact far beyond any real
clock reading, and those past 2**53 are still far in the future, so every
comparison with the current second stays exact.
"""

from __future__ import annotations

import hashlib
from dataclasses import dataclass, field
from string import Template

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
    return StoreScript(Template(body).substitute(bucket_seconds=NONCE_BUCKET_SECONDS, max_expiry=MAX_EXPIRY))


# KEYS[1]: nonce bucket prefix; ARGV[1]: the nonce's digest. 1 if fresh (now recorded), else 0.
CONSUME_NONCE = _script("""
local bucket = math.floor(tonumber(redis.call('TIME')[1]) / $bucket_seconds)
if redis.call('HEXISTS', KEYS[1] .. (bucket - 1), ARGV[1]) == 1 then return 0 end
local current = KEYS[1] .. bucket
if redis.call('HSETNX', current, ARGV[1], '') == 0 then return 0 end
redis.call('EXPIREAT', current, (bucket + 2) * $bucket_seconds)
return 1
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

# KEYS[1]: nonce bucket prefix, KEYS[2]: bans. Current and previous bucket sizes, active bans.
STATS = _script("""
local now = tonumber(redis.call('TIME')[1])
local bucket = math.floor(now / $bucket_seconds)
return {redis.call('HLEN', KEYS[1] .. bucket), redis.call('HLEN', KEYS[1] .. (bucket - 1)),
        redis.call('ZCOUNT', KEYS[2], '(' .. now, '+inf')}
""")

# KEYS[1]: nonce bucket prefix, KEYS[2]: bans. Older buckets have expired already.
CLEAR = _script("""
local bucket = math.floor(tonumber(redis.call('TIME')[1]) / $bucket_seconds)
redis.call('DEL', KEYS[1] .. bucket, KEYS[1] .. (bucket - 1), KEYS[2])
""")
