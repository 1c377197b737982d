"""The shared state engine for asyncio services: RedisStateEngine's methods as coroutines."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from veltrix.state.errors import store_failure
from veltrix.state.operations import StoreCall, StoreOperations
from veltrix.state.redis_engine import DEFAULT_NAMESPACE
from veltrix.state.store_clients import (
    DEFAULT_MAX_CONNECTIONS,
    DEFAULT_TIMEOUT_SECONDS,
    async_client_from_url,
    client_errors,
)

if TYPE_CHECKING:
    import redis.asyncio
    import redis.asyncio.cluster


class AsyncRedisStateEngine:
    """:class:`RedisStateEngine` for asyncio: the same store layout, semantics
    and errors (engines of both kinds share a namespace's state), on a
    ``redis.asyncio.Redis`` or ``redis.asyncio.cluster.RedisCluster`` client
    (or valkey's). Every method is a coroutine.
    """

    __slots__ = ("_client", "_errors", "_operations", "_owns_client")

    def __init__(
        self, client: redis.asyncio.Redis | redis.asyncio.cluster.RedisCluster, namespace: str = DEFAULT_NAMESPACE
    ) -> None:
        self._errors = client_errors(client, asyncio_client=True)
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
    ) -> AsyncRedisStateEngine:
        """An engine on its own redis.asyncio client for `url`, as :meth:`RedisStateEngine.from_url`:
        calls beyond `max_connections` wait for a free connection, within `timeout`."""
        client = async_client_from_url(url, timeout=timeout, max_connections=max_connections, cluster=cluster)
        engine = cls(client, namespace)
        engine._owns_client = True
        return engine

    @property
    def client(self) -> Any:
        return self._client

    async def aclose(self) -> None:
        """Closes the client if :meth:`from_url` made it; a client passed in stays open."""
        if self._owns_client:
            await self._client.aclose()

    async def _run[Result](self, call: StoreCall[Result]) -> Result:
        numkeys = len(call.keys)
        try:
            try:
                reply = await self._client.evalsha(call.script.sha, numkeys, *call.keys, *call.args)
            except self._errors.no_script:
                reply = await self._client.eval(call.script.source, numkeys, *call.keys, *call.args)
        except self._errors.store_failure as error:
            raise store_failure(call.operation, error) from error
        return call.result(reply)

    async def consume_nonce(self, nonce: str) -> bool:
        """True the first time `nonce` is seen by any engine of the namespace, False on a replay."""
        return await self._run(self._operations.consume_nonce(nonce))

    async def is_ip_banned(self, ip: str) -> bool:
        """True while a ban on `ip` is in force (its expiry is later than the store's current second)."""
        return await self._run(self._operations.is_ip_banned(ip))

    async def ban_ip(self, ip: str, duration_sec: int) -> None:
        """Bans `ip` for `duration_sec` whole seconds from now, replacing any earlier ban on it."""
        await self._run(self._operations.ban_ip(ip, duration_sec))

    async def unban_ip(self, ip: str) -> None:
        """Lifts the ban on `ip`, if there is one."""
        await self._run(self._operations.unban_ip(ip))

    async def hydrate_bans(self, bans: Sequence[tuple[str, int]]) -> None:
        """Merges (address, expiry in epoch seconds) pairs, all or none; expiries not in the future are skipped."""
        await self._run(self._operations.hydrate_bans(bans))

    async def stats(self) -> dict[str, int]:
        """current_bucket_nonces, previous_bucket_nonces and active_ip_bans of the namespace, in that order."""
        return await self._run(self._operations.stats())

    async def clear(self) -> None:
        """Forgets every nonce and ban of the namespace; other keys of the store are left alone."""
        await self._run(self._operations.clear())
