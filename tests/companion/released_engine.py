"""The shared engine of the release before the sharded layout, as its workers
still run during a rolling upgrade: every key under the hash tag {namespace},
and the scripts and nonce digests exactly as that release sends them (copied
from python/veltrix/state/ at commit 46f69f6). Synchronous, on a redis-py client."""

import hashlib

NONCE_DIGEST_BYTES = 16

CONSUME_NONCE = """
local bucket = math.floor(tonumber(redis.call('TIME')[1]) / 60)
if redis.call('HEXISTS', KEYS[1] .. (bucket - 1), ARGV[1]) == 1 then return 0 end
local current = KEYS[1] .. bucket
if redis.call('HSETNX', current, ARGV[1], '') == 0 then return 0 end
redis.call('EXPIREAT', current, (bucket + 2) * 60)
return 1
"""

IS_IP_BANNED = """
local expiry = redis.call('ZSCORE', KEYS[1], ARGV[1])
if expiry and tonumber(expiry) > tonumber(redis.call('TIME')[1]) then return 1 end
return 0
"""

BAN_IP = """
local now = tonumber(redis.call('TIME')[1])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
local expiry = math.min(now + tonumber(ARGV[2]), 18446744073709551615)
redis.call('ZADD', KEYS[1], string.format('%.0f', expiry), ARGV[1])
"""

UNBAN_IP = """
redis.call('ZREM', KEYS[1], ARGV[1])
"""


class ReleasedEngine:
    """consume_nonce and the ban calls of the previous release."""

    def __init__(self, client, namespace):
        self.client = client
        tag = "{" + namespace + "}"
        self.nonce_prefix = f"{tag}:nonces:"
        self.bans = f"{tag}:bans"
        self.digest_key = hashlib.blake2b(namespace.encode(), digest_size=32, person=b"veltrix nonce").digest()

    def consume_nonce(self, nonce):
        digest = hashlib.blake2b(nonce.encode(), digest_size=NONCE_DIGEST_BYTES, key=self.digest_key).digest()
        return self.client.eval(CONSUME_NONCE, 1, self.nonce_prefix, digest) == 1

    def is_ip_banned(self, ip):
        return self.client.eval(IS_IP_BANNED, 1, self.bans, ip.encode()) == 1

    def ban_ip(self, ip, duration_sec):
        self.client.eval(BAN_IP, 1, self.bans, ip.encode(), duration_sec)

    def unban_ip(self, ip):
        self.client.eval(UNBAN_IP, 1, self.bans, ip.encode())
