"""The state engine shared by every process and host using one Redis or Valkey store."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from veltrix.state.errors import store_failure
from veltrix.state.operations import StoreCall, StoreOperations
from veltrix.state.store_clients import (
    DEFAULT_MAX_CONNECTIONS,
    DEFAULT_TIMEOUT_SECONDS,
    client_errors,
    sync_client_from_url,
)

if TYPE_CHECKING:
    import redis
    import redis.cluster

DEFAULT_NAMESPACE = "veltrix"


class RedisStateEngine:
    """Replay protection and bans shared through a Redis or Valkey store.

    `client` is a ``redis.Redis`` or ``redis.cluster.RedisCluster`` (or valkey's
    equivalents); its own timeouts and retries apply, so give it a
    ``socket_timeout``, or make the engine with :meth:`from_url`. Keys live
    under ``{namespace}:``; engines with the same namespace share their state.

    ``consume_nonce`` is True once per nonce across all of them, atomically; a
    consumed nonce is refused for 60 to 120 seconds. Bans follow the native
    rules on the store's clock. When the store fails or is slower than the
    timeout every method raises :class:`StateStoreError`.
    """

    __slots__ = ("_client", "_errors", "_operations", "_owns_client")

    def __init__(self, client: redis.Redis | redis.cluster.RedisCluster, namespace: str = DEFAULT_NAMESPACE) -> None:
        self._errors = client_errors(client, asyncio_client=False)
        self._operations = StoreOperations(namespace)
        self._client = client
        self._owns_client = False

    @classmethod
    def from_url(
        cls,
        url: str,
        namespace: str = DEFAULT_NAMESPACE,
        *,
        timeout: float = DEFAULT_TIMEOUT_SECONDS,
        max_connections: int = DEFAULT_MAX_CONNECTIONS,
        cluster: bool = False,
    ) -> RedisStateEngine:
        """An engine on its own redis-py client for `url` (``redis://host:port/db``).

        Every call, including waiting for a free pooled connection, fails with
        StateStoreError after `timeout` seconds; threads beyond
        `max_connections` wait for a connection. `cluster` connects to a Redis
        Cluster through any of its nodes.
        """
        client = sync_client_from_url(url, timeout=timeout, max_connections=max_connections, cluster=cluster)
        engine = cls(client, namespace)
        engine._owns_client = True
        return engine

    @property
    def client(self) -> Any:
        return self._client

    def close(self) -> None:
        """Closes the client if :meth:`from_url` made it; a client passed in stays open."""
        if self._owns_client:
            self._client.close()

    def _run[Result](self, call: StoreCall[Result]) -> Result:
        numkeys = len(call.keys)
        try:
            try:
                reply = self._client.evalsha(call.script.sha, numkeys, *call.keys, *call.args)
            except self._errors.no_script:
                # A store that restarted or flushed its scripts: EVAL runs and caches it again.
                reply = self._client.eval(call.script.source, numkeys, *call.keys, *call.args)
        except self._errors.store_failure as error:
            raise store_failure(call.operation, error) from error
        return call.result(reply)

    def consume_nonce(self, nonce: str) -> bool:
        """True the first time `nonce` is seen by any engine of the namespace, False on a replay."""
        return self._run(self._operations.consume_nonce(nonce))

    def is_ip_banned(self, ip: str) -> bool:
        """True while a ban on `ip` is in force (its expiry is later than the store's current second)."""
        return self._run(self._operations.is_ip_banned(ip))

    def ban_ip(self, ip: str, duration_sec: int) -> None:
        """Bans `ip` for `duration_sec` whole seconds from now, replacing any earlier ban on it."""
        self._run(self._operations.ban_ip(ip, duration_sec))

    def unban_ip(self, ip: str) -> None:
        """Lifts the ban on `ip`, if there is one."""
        self._run(self._operations.unban_ip(ip))

    def hydrate_bans(self, bans: Sequence[tuple[str, int]]) -> None:
        """Merges (address, expiry in epoch seconds) pairs, all or none; expiries not in the future are skipped."""
        self._run(self._operations.hydrate_bans(bans))

    def stats(self) -> dict[str, int]:
        """current_bucket_nonces, previous_bucket_nonces and active_ip_bans of the namespace, in that order."""
        return self._run(self._operations.stats())

    def clear(self) -> None:
        """Forgets every nonce and ban of the namespace; other keys of the store are left alone."""
        self._run(self._operations.clear())
