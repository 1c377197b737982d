"""What the engines need from a Redis or Valkey client library: whether a
client is a cluster client, which of its errors are the store's refusals, and
clients made from a URL with the engine's failure rules (a timeout, a pool
that waits, no call sent twice)."""

from __future__ import annotations

import importlib
from dataclasses import dataclass
from typing import Any

from veltrix.state.errors import store_failure

DEFAULT_TIMEOUT_SECONDS = 1.0
DEFAULT_MAX_CONNECTIONS = 64
CLIENT_LIBRARIES = ("redis", "valkey")
# No call is sent twice: a connection lost after the store ran a script would
# have it run again, and answer a fresh nonce as a replay. (The pools replace a
# connection the store closed, a restart, when they hand it out.) Timeouts are
# not retried either, so a slow store fails in one timeout.
RECONNECT_RETRIES = 0
# A cluster client retries timeouts along with connection errors, and would
# wait one timeout per retry on a stalled master: it makes none. (Its pools
# replace a connection the node closed when they hand it out.)
CLUSTER_RETRIES = 0


@dataclass(frozen=True, slots=True)
class ClientKind:
    """Whether a client is a cluster client, and the errors of its library for
    a command the store refused (a reply, not a failure of the connection) and an unknown script."""

    cluster: bool
    command_refused: type[BaseException]
    no_script: type[BaseException]


def client_kind(client: object, *, asyncio_client: bool) -> ClientKind:
    """The kind of `client` (a redis-py or valkey client), which must be an asyncio one exactly
    when `asyncio_client` is true."""
    for cls in type(client).__mro__:
        library, _, submodule = cls.__module__.partition(".")
        if library in CLIENT_LIBRARIES:
            # A coroutine where a reply is expected would read as a refusal, silently.
            if submodule.startswith("asyncio") != asyncio_client:
                wanted = "an asyncio" if asyncio_client else "a synchronous"
                raise TypeError(f"{wanted} {library} client is needed here, not {cls.__module__}.{cls.__qualname__}")
            errors = importlib.import_module(f"{library}.exceptions")
            return ClientKind(
                cluster=any(base.__module__.endswith(".cluster") for base in type(client).__mro__),
                command_refused=errors.ResponseError,
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
        # The synchronous cluster client reads the cluster's slots as it is made.
        try:
            return redis.cluster.RedisCluster.from_url(
                url,
                max_connections=max_connections,
                connection_pool_class=redis.BlockingConnectionPool,
                timeout=timeout,
                **_connection_settings(timeout, Retry(NoBackoff(), CLUSTER_RETRIES)),
            )
        except (redis.exceptions.RedisError, redis.exceptions.RedisClusterException) as error:
            raise store_failure("connecting to the cluster", error) from error
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
        return asyncio_redis.RedisCluster.from_url(
            url, max_connections=max_connections, **_connection_settings(timeout, Retry(NoBackoff(), CLUSTER_RETRIES))
        )
    pool = asyncio_redis.BlockingConnectionPool.from_url(
        url, max_connections=max_connections, timeout=timeout, **settings
    )
    return asyncio_redis.Redis(connection_pool=pool)
