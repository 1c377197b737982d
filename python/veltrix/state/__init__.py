"""State engines behind one interface: replay protection (``consume_nonce``)
and address bans, either shared by every worker process and host through a
Redis or Valkey store (:class:`RedisStateEngine`, :class:`AsyncRedisStateEngine`)
or kept in this process by the native module (:class:`LocalStateEngine`).

redis-py (or valkey) is needed only by the shared engines: ``pip install 'veltrix_core_rs[redis]'``.
"""

from veltrix.state.async_redis_engine import AsyncRedisStateEngine
from veltrix.state.errors import StateStoreError, StateStoreWarning
from veltrix.state.local import LocalStateEngine
from veltrix.state.redis_engine import RedisStateEngine

__all__ = ["AsyncRedisStateEngine", "LocalStateEngine", "RedisStateEngine", "StateStoreError", "StateStoreWarning"]
