"""What a verified challenge token says."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True, slots=True)
class Challenge:
    """A token that passed every check: made by this service for `action` and
    `client`, valid from `issued_at` until `expires_at` (epoch seconds, to the
    millisecond), with a proof of work of `difficulty` leading zero bits.

    `id` (32 hexadecimal digits, 128 random bits) names the token in the replay
    check.
    """

    id: str
    action: str
    client: str | None
    issued_at: float
    expires_at: float
    difficulty: int
