"""The shared state engine for asyncio services: RedisStateEngine's methods as coroutines."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from veltrix.state import store_checks
from veltrix.state.engine_options import (
    DEFAULT_NAMESPACE,
    DEFAULT_REPLICA_TIMEOUT_SECONDS,
    EngineOptions,
    replica_timeout_for,
)
from veltrix.state.errors import store_failure
from veltrix.state.operations import Plan, StoreCall
from veltrix.state.sending import RoundTrip
from veltrix.state.store_clients import DEFAULT_MAX_CONNECTIONS, DEFAULT_TIMEOUT_SECONDS, async_client_from_url

if TYPE_CHECKING:
    import redis.asyncio
    import redis.asyncio.cluster

    from veltrix_core_rs import StateEngineStats


class AsyncRedisStateEngine:
    """:class:`RedisStateEngine` for asyncio: the same store layout, options,
    semantics and errors (engines of both kinds share a namespace's state), on
    a ``redis.asyncio.Redis`` or ``redis.asyncio.cluster.RedisCluster`` client
    (or valkey's). Every method is a coroutine. A call cancelled while it
    waits for the store (a framework timing out a request) is cancelled
    cleanly: its connection is closed, so no late reply answers another call.
    """

    __slots__ = ("_check_pending", "_client", "_options", "_owns_client")

    def __init__(
        self,
        client: redis.asyncio.Redis | redis.asyncio.cluster.RedisCluster,
        namespace: str = DEFAULT_NAMESPACE,
        *,
        legacy_layout: bool = False,
        replicas: int = 0,
        replica_timeout: float = DEFAULT_REPLICA_TIMEOUT_SECONDS,
    ) -> None:
        self._options = EngineOptions(
            client,
            namespace,
            asyncio_client=True,
            legacy_layout=legacy_layout,
            replicas=replicas,
            replica_timeout=replica_timeout,
        )
        self._client = client
        self._owns_client = False
        self._check_pending = False

    @classmethod
    def from_url(
        cls,
        url: str,
        namespace: str = DEFAULT_NAMESPACE,
        *,
        timeout: float = DEFAULT_TIMEOUT_SECONDS,
        max_connections: int = DEFAULT_MAX_CONNECTIONS,
        cluster: bool = False,
        legacy_layout: bool = False,
        replicas: int = 0,
        replica_timeout: float | None = None,
        check_store: bool = True,
    ) -> AsyncRedisStateEngine:
        """An engine on its own redis.asyncio client for `url`, as :meth:`RedisStateEngine.from_url`:
        calls beyond `max_connections` wait for a free connection, within `timeout`. The store's
        settings are checked on the first call (from_url itself does not wait for the store)."""
        client = async_client_from_url(url, timeout=timeout, max_connections=max_connections, cluster=cluster)
        engine = cls(
            client,
            namespace,
            legacy_layout=legacy_layout,
            replicas=replicas,
            replica_timeout=replica_timeout_for(timeout, replica_timeout),
        )
        engine._owns_client = True
        engine._check_pending = check_store
        return engine

    @property
    def client(self) -> Any:
        return self._client

    async def aclose(self) -> None:
        """Closes the client if :meth:`from_url` made it; a client passed in stays open."""
        if self._owns_client:
            await self._client.aclose()

    async def _read_settings(self) -> list[dict[str, str]]:
        client: Any = self._client
        kind = self._options.kind
        try:
            if kind.cluster:
                reply = await client.config_get(*store_checks.SETTINGS, target_nodes=client.PRIMARIES)
            else:
                reply = await client.config_get(*store_checks.SETTINGS)
            return [store_checks.node_settings(node) for node in store_checks.cluster_replies(reply)]
        except kind.command_refused as error:
            store_checks.unreadable(error)
            return []
        except Exception as error:
            raise store_failure("checking the store", error) from error

    async def _call(self, call: StoreCall[Any]) -> Any:
        """One call alone: the common case, sent without the round trip's bookkeeping."""
        client: Any = self._client
        try:
            try:
                reply = await client.execute_command("EVALSHA", call.script.sha, len(call.keys), *call.keys, *call.args)
            except self._options.kind.no_script:
                # A store that restarted or flushed its scripts: EVAL runs and caches it again.
                reply = await client.execute_command("EVAL", call.script.source, len(call.keys), *call.keys, *call.args)
        except Exception as error:  # whatever the client library raised on a broken reply
            raise store_failure(call.operation, error) from error
        return call.result(call.operation, reply)

    async def _send(self, calls: list[StoreCall[Any]]) -> list[Any]:
        options = self._options
        if len(calls) == 1 and not (options.replicas and calls[0].writes):
            return [await self._call(calls[0])]
        round_trip = RoundTrip(
            calls, no_script=options.kind.no_script, replicas=options.replicas, wait_seconds=options.replica_timeout
        )
        while commands := round_trip.commands():
            try:
                replies = await self._execute(commands)
            except Exception as error:  # whatever the client library raised on a broken reply
                raise store_failure(calls[0].operation, error) from error
            round_trip.take(replies)
        return round_trip.results()

    async def _execute(self, commands: list[tuple[Any, ...]]) -> list[Any]:
        client: Any = self._client
        if len(commands) == 1:
            try:
                return [await client.execute_command(*commands[0])]
            except self._options.kind.command_refused as refused:
                return [refused]
        pipeline = client.pipeline(transaction=False)
        for command in commands:
            pipeline.execute_command(*command)
        replies: list[Any] = await pipeline.execute(raise_on_error=False)
        return replies

    async def _run[Result](self, plan: Plan[Result]) -> Result:
        if self._check_pending:
            self._check_pending = False  # calls made meanwhile do not check again
            try:
                store_checks.assess(await self._read_settings())
            except BaseException:
                self._check_pending = True  # a store refused, or not reached, is checked again
                raise
        try:
            calls = next(plan)
            while True:
                calls = plan.send(await self._send(calls))
        except StopIteration as finished:
            result: Result = finished.value
            return result

    async def consume_nonce(self, nonce: str) -> bool:
        """True the first time `nonce` is seen by any engine of the namespace, False on a replay."""
        return await self._run(self._options.operations.consume_nonce(nonce))

    async def is_ip_banned(self, ip: str) -> bool:
        """True while a ban on `ip` is in force (its expiry is later than the store's current second)."""
        return await self._run(self._options.operations.is_ip_banned(ip))

    async def ban_ip(self, ip: str, duration_sec: int) -> None:
        """Bans `ip` for `duration_sec` whole seconds from now, replacing any earlier ban on it."""
        await self._run(self._options.operations.ban_ip(ip, duration_sec))

    async def unban_ip(self, ip: str) -> None:
        """Lifts the ban on `ip`, if there is one."""
        await self._run(self._options.operations.unban_ip(ip))

    async def hydrate_bans(self, bans: Sequence[tuple[str, int]]) -> None:
        """Merges (address, expiry in epoch seconds) pairs as :meth:`RedisStateEngine.hydrate_bans`:
        checked whole, then merged in atomic batches of at most 1,000 pairs."""
        await self._run(self._options.operations.hydrate_bans(bans))

    async def stats(self) -> StateEngineStats:
        """current_bucket_nonces, previous_bucket_nonces and active_ip_bans of the namespace, in that order."""
        return await self._run(self._options.operations.stats())

    async def clear(self) -> None:
        """Forgets every nonce and ban of the namespace; other keys of the store are left alone."""
        await self._run(self._options.operations.clear())
