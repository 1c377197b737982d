"""The replay cache and ban table as a Python service would keep them: two
`set`s of nonces that rotate every 60 seconds on the monotonic clock, and a
`dict` from address to expiry in whole wall-clock seconds."""

import time

BUCKET_WIDTH_SECONDS = 60.0


class ReferenceStateEngine:
    def __init__(self):
        self._current = set()
        self._previous = set()
        self._bucket_start = time.monotonic()
        self._bans = {}

    def consume_nonce(self, nonce):
        """True the first time a nonce is seen within the two buckets; a replay is not re-recorded."""
        if time.monotonic() - self._bucket_start >= BUCKET_WIDTH_SECONDS:
            # One rotation however long the pause: the last active bucket stays remembered.
            self._previous = self._current
            self._current = set()
            self._bucket_start = time.monotonic()
        if nonce in self._current or nonce in self._previous:
            return False
        self._current.add(nonce)
        return True

    def ban_ip(self, ip, duration_sec):
        self._bans[ip] = int(time.time()) + duration_sec

    def unban_ip(self, ip):
        self._bans.pop(ip, None)

    def is_ip_banned(self, ip):
        expiry = self._bans.get(ip)
        return expiry is not None and int(time.time()) < expiry

    def hydrate_bans(self, bans):
        now = int(time.time())
        for ip, expiry in bans:
            if expiry > now:
                self._bans[ip] = expiry

    def stats(self):
        now = int(time.time())
        return {
            "current_bucket_nonces": len(self._current),
            "previous_bucket_nonces": len(self._previous),
            "active_ip_bans": sum(1 for expiry in self._bans.values() if expiry > now),
        }

    def clear(self):
        self._current.clear()
        self._previous.clear()
        self._bans.clear()
        self._bucket_start = time.monotonic()
