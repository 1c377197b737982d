"""One round trip of a plan's calls, whichever engine sends it: the commands
still to send, and what each reply means. Scripts go by their SHA first and
again in full, only those the store did not know (it restarted or flushed its
scripts), so that no call runs twice; with ``replicas`` a WAIT follows the
writes on the same connection. Any reply that is an error, or any error of the
client library, ends as StateStoreError."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from veltrix.state.errors import replicas_unconfirmed, store_failure, unexpected_reply
from veltrix.state.operations import StoreCall

_UNANSWERED = object()


class RoundTrip:
    """The calls of one round trip and their replies so far."""

    __slots__ = ("_by_sha", "_calls", "_no_script", "_pending", "_replicas", "_replies", "_wait_ms")

    def __init__(
        self, calls: Sequence[StoreCall[Any]], *, no_script: type[BaseException], replicas: int, wait_seconds: float
    ) -> None:
        self._calls = calls
        self._no_script = no_script
        self._replies: list[Any] = [_UNANSWERED] * len(calls)
        self._pending = list(range(len(calls)))
        self._by_sha = True
        self._replicas = replicas if any(call.writes for call in calls) else 0
        self._wait_ms = max(1, round(wait_seconds * 1000))

    @property
    def wait_seconds(self) -> float:
        return self._wait_ms / 1000

    def commands(self) -> list[tuple[Any, ...]]:
        """The commands to send next; none once every call is answered."""
        commands: list[tuple[Any, ...]] = []
        for index in self._pending:
            call = self._calls[index]
            script = call.script.sha if self._by_sha else call.script.source
            commands.append(("EVALSHA" if self._by_sha else "EVAL", script, len(call.keys), *call.keys, *call.args))
        if commands and self._replicas:
            commands.append(("WAIT", self._replicas, self._wait_ms))
        return commands

    def take(self, replies: Sequence[Any]) -> None:
        """Takes the replies to :meth:`commands` (an error object for a command that failed)."""
        if len(replies) != len(self._pending) + (1 if self._replicas else 0):
            raise unexpected_reply(self._calls[0].operation, replies)
        unknown_script: list[int] = []
        for index, reply in zip(self._pending, replies):
            if isinstance(reply, self._no_script) and self._by_sha:
                unknown_script.append(index)
            elif isinstance(reply, BaseException):
                raise store_failure(self._calls[index].operation, reply) from reply
            else:
                self._replies[index] = reply
        if self._replicas:
            self._check_replicas(replies[-1])
        self._pending = unknown_script
        self._by_sha = False

    def _check_replicas(self, reply: Any) -> None:
        operation = self._calls[0].operation
        if isinstance(reply, BaseException):
            raise store_failure(operation, reply) from reply
        if type(reply) is not int:
            raise unexpected_reply(operation, reply)
        if reply < self._replicas:
            raise replicas_unconfirmed(operation, self._replicas, reply, self.wait_seconds)

    def results(self) -> list[Any]:
        return [call.result(call.operation, reply) for call, reply in zip(self._calls, self._replies)]
