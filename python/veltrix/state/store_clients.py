"""What the engines need from a Redis or Valkey client library: which of its
errors mean the store failed, and clients made from a URL with the engine's
failure rules (a timeout, a pool that waits, one quick reconnection)."""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from typing import Any

DEFAULT_TIMEOUT_SECONDS = 1.0
DEFAULT_MAX_CONNECTIONS = 64
CLIENT_LIBRARIES = ("redis", "valkey")
# A pooled connection the store closed (a restart) fails once; one retry at
# once reconnects. Timeouts are not retried, so a slow store fails in one timeout.
RECONNECT_RETRIES = 1


@dataclass(frozen=True, slots=True)
class ClientErrors:
    store_failure: tuple[type[BaseException], ...]
    no_script: type[BaseException]


def client_errors(client: object, *, asyncio_client: bool) -> ClientErrors:
    """The errors of the library that `client` (a redis-py or valkey client) comes from; the client
    must be an asyncio one exactly when `asyncio_client` is true."""
    for cls in type(client).__mro__:
        library, _, submodule = cls.__module__.partition(".")
        if library in CLIENT_LIBRARIES:
            # A coroutine where a reply is expected would read as a refusal, silently.
            if submodule.startswith("asyncio") != asyncio_client:
                wanted = "an asyncio" if asyncio_client else "a synchronous"
                raise TypeError(f"{wanted} {library} client is needed here, not {cls.__module__}.{cls.__qualname__}")
            errors = importlib.import_module(f"{library}.exceptions")
            prefix = library.capitalize()
            return ClientErrors(
                # OSError and TimeoutError can escape from the sockets beneath.
                store_failure=(
                    getattr(errors, f"{prefix}Error"),
                    getattr(errors, f"{prefix}ClusterException"),
                    OSError,
                ),
                no_script=errors.NoScriptError,
            )
    raise TypeError(f"client must be a redis-py or valkey client, not {type(client).__qualname__}")


def _redis_module(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError as error:
        raise ImportError(
            "the shared state engines' from_url needs redis-py: pip install 'veltrix_core_rs[redis]'"
        ) from error


def _connection_settings(timeout: float, retry: Any) -> dict[str, Any]:
    return {"socket_timeout": timeout, "socket_connect_timeout": timeout, "retry": retry}


def sync_client_from_url(url: str, *, timeout: float, max_connections: int, cluster: bool) -> Any:
    redis = _redis_module("redis")
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    settings = _connection_settings(
        timeout, Retry(NoBackoff(), RECONNECT_RETRIES, supported_errors=(redis.exceptions.ConnectionError,))
    )
    if cluster:
        return redis.cluster.RedisCluster.from_url(
            url,
            max_connections=max_connections,
            connection_pool_class=redis.BlockingConnectionPool,
            timeout=timeout,
            **settings,
        )
    pool = redis.BlockingConnectionPool.from_url(url, max_connections=max_connections, timeout=timeout, **settings)
    return redis.Redis(connection_pool=pool)


def async_client_from_url(url: str, *, timeout: float, max_connections: int, cluster: bool) -> Any:
    asyncio_redis = _redis_module("redis.asyncio")
    from redis.asyncio.retry import Retry
    from redis.backoff import NoBackoff

    settings = _connection_settings(
        timeout, Retry(NoBackoff(), RECONNECT_RETRIES, supported_errors=(asyncio_redis.ConnectionError,))
    )
    if cluster:
        # The asyncio cluster client keeps its own per-node pools, which refuse
        # rather than wait beyond max_connections.
        return asyncio_redis.RedisCluster.from_url(url, max_connections=max_connections, **settings)
    pool = asyncio_redis.BlockingConnectionPool.from_url(
        url, max_connections=max_connections, timeout=timeout, **settings
    )
    return asyncio_redis.Redis(connection_pool=pool)
