"""The state engine of this process alone, over the native functions."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import veltrix_core_rs

if TYPE_CHECKING:
    from veltrix_core_rs import StateEngineStats


class LocalStateEngine:
    """The native per-process state engine behind the shared engines' interface.

    Every instance is a view of the one engine of this process: nonces and bans
    are not shared with other worker processes or hosts, and are lost when the
    process ends. For a single-process service, scripts and tests; services
    with several workers use :class:`RedisStateEngine`.
    """

    __slots__ = ()

    def consume_nonce(self, nonce: str) -> bool:
        """True the first time `nonce` is seen; False on a replay (refused for 60 to about 120 seconds)."""
        return veltrix_core_rs.consume_nonce_rs(nonce)

    def is_ip_banned(self, ip: str) -> bool:
        """True while a ban on `ip` is in force (its expiry is later than the current second)."""
        return veltrix_core_rs.is_ip_banned_rs(ip)

    def ban_ip(self, ip: str, duration_sec: int) -> None:
        """Bans `ip` for `duration_sec` whole seconds, replacing any earlier ban on it."""
        veltrix_core_rs.ban_ip_rs(ip, duration_sec)

    def unban_ip(self, ip: str) -> None:
        """Lifts the ban on `ip`, if there is one."""
        veltrix_core_rs.unban_ip_rs(ip)

    def hydrate_bans(self, bans: Sequence[tuple[str, int]]) -> None:
        """Merges (address, expiry in epoch seconds) pairs; expiries not in the future are skipped."""
        veltrix_core_rs.hydrate_bans_rs(bans)

    def stats(self) -> StateEngineStats:
        """current_bucket_nonces, previous_bucket_nonces and active_ip_bans, in that order."""
        return veltrix_core_rs.get_state_engine_stats_rs()

    def clear(self) -> None:
        """Forgets every nonce and ban of this process."""
        veltrix_core_rs.clear_state_engine_rs()
