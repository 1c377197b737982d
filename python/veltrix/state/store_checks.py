"""What the engines made by ``from_url`` check of the store before they rely on
it, on every master of a cluster.

* An eviction policy that can drop the engine's keys (any policy but
  ``noeviction`` once ``maxmemory`` is set: every nonce bucket has an expiry, so
  the ``volatile-*`` policies take them first) is refused with
  StateStoreError: under memory pressure the store would drop a minute's nonces
  at once, and the engine, which notices the loss, would refuse every nonce
  for up to two minutes each time.
* A store without persistence (no AOF and no RDB save points) gives a
  StateStoreWarning: a restart loses every nonce, which the engine notices and
  answers by refusing nonces for up to two minutes.
* Settings the store does not let a client read (``CONFIG`` renamed or denied
  to its user) give a StateStoreWarning that nothing was checked.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterable
from typing import Any

from veltrix.state.errors import StateStoreError, StateStoreWarning

SETTINGS = ("maxmemory", "maxmemory-policy", "appendonly", "save")
# Warnings point at the service's own call, outside this package.
_PACKAGE_FILES = (os.path.dirname(__file__),)


def _text(value: Any) -> str:
    return value.decode() if isinstance(value, bytes) else str(value)


def node_settings(reply: Any) -> dict[str, str]:
    """CONFIG GET's reply (a dict, or a flat list from a raw command) as text."""
    items: Iterable[tuple[Any, Any]] = reply.items() if isinstance(reply, dict) else zip(reply[::2], reply[1::2])
    return {_text(name): _text(value) for name, value in items}


def cluster_replies(reply: Any) -> list[Any]:
    """A reply per node from a command sent to every master of a cluster client (a dict by node name)."""
    if isinstance(reply, dict) and reply and all(isinstance(value, dict) for value in reply.values()):
        return list(reply.values())
    return [reply]


def assess(nodes: Iterable[dict[str, str]]) -> None:
    """Refuses or warns about the settings of the masters, as the module says (one warning for them all)."""
    without_persistence = False
    for settings in nodes:
        policy = settings.get("maxmemory-policy", "noeviction")
        if settings.get("maxmemory", "0") != "0" and policy != "noeviction":
            raise StateStoreError(
                f"the state store may evict the engine's keys (maxmemory-policy {policy} with maxmemory "
                f"{settings['maxmemory']}), which would drop nonces still inside their window: set "
                "maxmemory-policy noeviction on the store, or pass check_store=False to use it anyway"
            )
        if settings.get("appendonly", "no") == "no" and not settings.get("save", "").strip():
            without_persistence = True
    if without_persistence:
        warnings.warn(
            "the state store has no persistence (appendonly no, no save points): after a restart the "
            "engine refuses nonces for up to two minutes, and bans must be hydrated again",
            StateStoreWarning,
            skip_file_prefixes=_PACKAGE_FILES,
        )


def unreadable(error: BaseException) -> None:
    warnings.warn(
        f"could not read the state store's eviction and persistence settings ({type(error).__name__}: {error}); "
        "they were not checked",
        StateStoreWarning,
        skip_file_prefixes=_PACKAGE_FILES,
    )
