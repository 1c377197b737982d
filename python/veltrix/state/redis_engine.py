"""The state engine shared by every process and host using one Redis or Valkey store."""

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
from veltrix.state.errors import StateStoreError, store_failure
from veltrix.state.operations import Plan, StoreCall
from veltrix.state.sending import RoundTrip
from veltrix.state.store_clients import DEFAULT_MAX_CONNECTIONS, DEFAULT_TIMEOUT_SECONDS, sync_client_from_url

if TYPE_CHECKING:
    import redis
    import redis.cluster

    from veltrix_core_rs import StateEngineStats


class RedisStateEngine:
    """Replay protection and bans shared through a Redis or Valkey store.

    `client` is a ``redis.Redis`` or ``redis.cluster.RedisCluster`` (or valkey's
    equivalents); its own timeouts and retries apply, so give it a
    ``socket_timeout``, or make the engine with :meth:`from_url`. Engines with
    the same namespace share their state; a namespace's keys are spread over
    64 shards, each under a hash tag of its own (see the README).

    ``consume_nonce`` is True once per nonce across all of them, atomically; a
    consumed nonce is refused for 60 to 120 seconds. Bans follow the native
    rules on the store's clock. When the store fails, is slower than the
    timeout, answers garbage or has lost recorded nonces, every method raises
    :class:`StateStoreError`.

    `legacy_layout` also records and looks up nonces and bans under the keys
    of releases before the shards, for a rolling upgrade (see the README).
    `replicas` makes every write wait until that many replicas have it, within
    `replica_timeout` seconds, or raise StateStoreError (a client of one
    server only: a cluster client's writes cannot be followed by WAIT on their connection).
    """

    __slots__ = ("_check_pending", "_client", "_options", "_owns_client")

    def __init__(
        self,
        client: redis.Redis | redis.cluster.RedisCluster,
        namespace: str = DEFAULT_NAMESPACE,
        *,
        legacy_layout: bool = False,
        replicas: int = 0,
        replica_timeout: float = DEFAULT_REPLICA_TIMEOUT_SECONDS,
    ) -> None:
        self._options = EngineOptions(
            client,
            namespace,
            asyncio_client=False,
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
    ) -> RedisStateEngine:
        """An engine on its own redis-py client for `url` (``redis://host:port/db``).

        Every call fails with StateStoreError after `timeout` seconds, and so
        does waiting for a free pooled connection (the two add up); threads
        beyond `max_connections` wait for a connection. `cluster` connects to a Redis
        Cluster through any of its nodes, which must answer here (else
        StateStoreError). `replica_timeout` defaults to half the timeout. With
        `check_store`, the store's eviction and persistence settings are
        checked here (or on the first call, if the store cannot be reached
        yet): a store that may evict the engine's keys is refused
        with StateStoreError, one without persistence gives a StateStoreWarning.
        """
        client = sync_client_from_url(url, timeout=timeout, max_connections=max_connections, cluster=cluster)
        try:
            engine = cls(
                client,
                namespace,
                legacy_layout=legacy_layout,
                replicas=replicas,
                replica_timeout=replica_timeout_for(timeout, replica_timeout),
            )
            engine._owns_client = True
            if check_store:
                try:
                    settings = engine._read_settings()
                except StateStoreError:
                    engine._check_pending = True  # not reachable yet
                else:
                    store_checks.assess(settings)
        except BaseException:
            client.close()
            raise
        return engine

    @property
    def client(self) -> Any:
        return self._client

    def close(self) -> None:
        """Closes the client if :meth:`from_url` made it; a client passed in stays open."""
        if self._owns_client:
            self._client.close()

    def _read_settings(self) -> list[dict[str, str]]:
        client: Any = self._client
        kind = self._options.kind
        try:
            if kind.cluster:
                reply = client.config_get(*store_checks.SETTINGS, target_nodes=client.PRIMARIES)
            else:
                reply = client.config_get(*store_checks.SETTINGS)
            return [store_checks.node_settings(node) for node in store_checks.cluster_replies(reply)]
        except kind.command_refused as error:
            store_checks.unreadable(error)
            return []
        except Exception as error:
            raise store_failure("checking the store", error) from error

    def _call(self, call: StoreCall[Any]) -> Any:
        """One call alone: the common case, sent without the round trip's bookkeeping."""
        client: Any = self._client
        try:
            try:
                reply = client.execute_command("EVALSHA", call.script.sha, len(call.keys), *call.keys, *call.args)
            except self._options.kind.no_script:
                # A store that restarted or flushed its scripts: EVAL runs and caches it again.
                reply = client.execute_command("EVAL", call.script.source, len(call.keys), *call.keys, *call.args)
        except Exception as error:  # whatever the client library raised on a broken reply
            raise store_failure(call.operation, error) from error
        return call.result(call.operation, reply)

    def _send(self, calls: list[StoreCall[Any]]) -> list[Any]:
        options = self._options
        if len(calls) == 1 and not (options.replicas and calls[0].writes):
            return [self._call(calls[0])]
        round_trip = RoundTrip(
            calls, no_script=options.kind.no_script, replicas=options.replicas, wait_seconds=options.replica_timeout
        )
        while commands := round_trip.commands():
            try:
                replies = self._execute(commands)
            except Exception as error:  # whatever the client library raised on a broken reply
                raise store_failure(calls[0].operation, error) from error
            round_trip.take(replies)
        return round_trip.results()

    def _execute(self, commands: list[tuple[Any, ...]]) -> list[Any]:
        client: Any = self._client
        # The synchronous cluster client's pipeline sends again, one at a time,
        # every command a stalled master left unanswered, each waiting a timeout
        # of its own (64 shards: 22 timeouts): on a cluster the commands go one
        # by one, and the first failure ends the round trip within one timeout.
        if len(commands) == 1 or self._options.kind.cluster:
            return [self._command(command) for command in commands]
        pipeline = client.pipeline(transaction=False)
        for command in commands:
            pipeline.execute_command(*command)
        replies: list[Any] = pipeline.execute(raise_on_error=False)
        return replies

    def _command(self, command: tuple[Any, ...]) -> Any:
        client: Any = self._client
        try:
            return client.execute_command(*command)
        except self._options.kind.command_refused as refused:
            return refused

    def _run[Result](self, plan: Plan[Result]) -> Result:
        if self._check_pending:
            store_checks.assess(self._read_settings())  # a store refused, or not reached, is checked again
            self._check_pending = False
        try:
            calls = next(plan)
            while True:
                calls = plan.send(self._send(calls))
        except StopIteration as finished:
            result: Result = finished.value
            return result

    def consume_nonce(self, nonce: str) -> bool:
        """True the first time `nonce` is seen by any engine of the namespace, False on a replay."""
        return self._run(self._options.operations.consume_nonce(nonce))

    def is_ip_banned(self, ip: str) -> bool:
        """True while a ban on `ip` is in force (its expiry is later than the store's current second)."""
        return self._run(self._options.operations.is_ip_banned(ip))

    def ban_ip(self, ip: str, duration_sec: int) -> None:
        """Bans `ip` for `duration_sec` whole seconds from now, replacing any earlier ban on it."""
        self._run(self._options.operations.ban_ip(ip, duration_sec))

    def unban_ip(self, ip: str) -> None:
        """Lifts the ban on `ip`, if there is one."""
        self._run(self._options.operations.unban_ip(ip))

    def hydrate_bans(self, bans: Sequence[tuple[str, int]]) -> None:
        """Merges (address, expiry in epoch seconds) pairs; expiries not in the future are skipped.

        The whole list is checked before anything is written, then merged in
        batches of at most 1,000 pairs, each atomic: when a batch fails the
        earlier ones stay merged, and giving the same list again is safe."""
        self._run(self._options.operations.hydrate_bans(bans))

    def stats(self) -> StateEngineStats:
        """current_bucket_nonces, previous_bucket_nonces and active_ip_bans of the namespace, in that order."""
        return self._run(self._options.operations.stats())

    def clear(self) -> None:
        """Forgets every nonce and ban of the namespace; other keys of the store are left alone."""
        self._run(self._options.operations.clear())
