"""Companion package of the veltrix_core_rs extension module.

What a service needs beyond the module itself: features straight from a JSON
request body (:func:`extract_features_json`), and state engines for replay
protection and bans that hold across worker processes and hosts
(:class:`RedisStateEngine`, :class:`AsyncRedisStateEngine`) or within one
process (:class:`LocalStateEngine`); a failing store raises :class:`StateStoreError`.
"""

from veltrix.json_features import NATIVE_JSON, extract_features_json
from veltrix.state import AsyncRedisStateEngine, LocalStateEngine, RedisStateEngine, StateStoreError

__all__ = [
    "NATIVE_JSON",
    "AsyncRedisStateEngine",
    "LocalStateEngine",
    "RedisStateEngine",
    "StateStoreError",
    "extract_features_json",
]
