"""Companion package of the veltrix_core_rs extension module.

What a service needs beyond the module itself: features straight from a JSON
request body (:func:`extract_features_json`), signed single-use challenges
that the service issues and verifies (:class:`ChallengeIssuer`), and state
engines for replay protection and bans that hold across worker processes and
hosts (:class:`RedisStateEngine`, :class:`AsyncRedisStateEngine`) or within one
process (:class:`LocalStateEngine`); a failing store raises :class:`StateStoreError`.
"""

from typing import TYPE_CHECKING, Any

from veltrix.json_features import NATIVE_JSON, MissingTelemetryError, extract_features_json

if TYPE_CHECKING:
    from veltrix.challenges import Challenge, ChallengeIssuer, ChallengeRefused
    from veltrix.state import AsyncRedisStateEngine, LocalStateEngine, RedisStateEngine, StateStoreError

# The state engines load redis-py, some 25-40 ms of start-up in every batch
# worker that never uses them: they and the challenges are imported on first use.
_STATE_NAMES = frozenset({"AsyncRedisStateEngine", "LocalStateEngine", "RedisStateEngine", "StateStoreError"})
_CHALLENGE_NAMES = frozenset({"Challenge", "ChallengeIssuer", "ChallengeRefused"})

__all__ = [
    "NATIVE_JSON",
    "AsyncRedisStateEngine",
    "Challenge",
    "ChallengeIssuer",
    "ChallengeRefused",
    "LocalStateEngine",
    "MissingTelemetryError",
    "RedisStateEngine",
    "StateStoreError",
    "extract_features_json",
]


def __getattr__(name: str) -> Any:
    if name in _STATE_NAMES:
        import veltrix.state

        return getattr(veltrix.state, name)
    if name in _CHALLENGE_NAMES:
        import veltrix.challenges

        return getattr(veltrix.challenges, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
