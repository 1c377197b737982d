"""The options both shared engines take, checked once for either."""

from __future__ import annotations

import operator

from veltrix.state.operations import StoreOperations
from veltrix.state.store_clients import ClientKind, client_kind

DEFAULT_NAMESPACE = "veltrix"
DEFAULT_REPLICA_TIMEOUT_SECONDS = 0.5


def replica_timeout_for(timeout: float, replica_timeout: float | None) -> float:
    """from_url's replica timeout: half the engine's timeout unless given, so
    that WAIT answers before the socket gives up."""
    return timeout / 2 if replica_timeout is None else replica_timeout


class EngineOptions:
    """A client's kind, the namespace's operations and the durability asked for."""

    __slots__ = ("kind", "operations", "replica_timeout", "replicas")

    def __init__(
        self,
        client: object,
        namespace: str,
        *,
        asyncio_client: bool,
        legacy_layout: bool,
        replicas: int,
        replica_timeout: float,
    ) -> None:
        self.kind: ClientKind = client_kind(client, asyncio_client=asyncio_client)
        self.operations = StoreOperations(namespace, legacy_layout=legacy_layout)
        self.replicas = operator.index(replicas)
        if self.replicas < 0:
            raise ValueError(f"replicas must be 0 or more, not {replicas}")
        if self.replicas and self.kind.cluster:
            raise ValueError("replicas needs a client of one server: a cluster client cannot WAIT after its writes")
        if not replica_timeout > 0:
            raise ValueError(f"replica_timeout must be a positive number of seconds, not {replica_timeout!r}")
        self.replica_timeout = float(replica_timeout)
