"""The exception the shared state engines raise when their store fails, and the
warning they give about a store that may lose what they record."""

from __future__ import annotations

import time


class StateStoreError(Exception):
    """The state store could not be reached, did not answer within the timeout,
    refused the command, answered something that is not the engine's reply,
    could not confirm a write on the replicas asked for, or lost nonces it had
    recorded (the engine then refuses nonces until their window has passed).

    Raised by every method of :class:`RedisStateEngine` and
    :class:`AsyncRedisStateEngine` instead of the client library's own errors
    (which stay attached as ``__cause__``). The call's effect is then unknown:
    a nonce may or may not have been recorded, but ``consume_nonce`` has not
    accepted it. The engine reconnects by itself on a later call.
    """


class StateStoreWarning(UserWarning):
    """The store's settings let it lose what the engine records (no persistence)."""


def store_failure(operation: str, error: BaseException) -> StateStoreError:
    return StateStoreError(f"{operation} failed on the state store: {type(error).__name__}: {error}")


def unexpected_reply(operation: str, reply: object) -> StateStoreError:
    shown = repr(reply)
    if len(shown) > 80:
        shown = shown[:77] + "..."
    return StateStoreError(f"{operation} failed on the state store: not a reply of the engine's script: {shown}")


def store_forgot(refused_until: int) -> StateStoreError:
    when = time.strftime("%H:%M:%S UTC", time.gmtime(refused_until))
    return StateStoreError(
        "consume_nonce failed on the state store: the store lost nonces it had recorded (a restart without "
        f"persistence, a flush, an eviction or a failover to a replica behind); nonces are refused until {when}"
    )


def replicas_unconfirmed(operation: str, wanted: int, confirmed: int, seconds: float) -> StateStoreError:
    return StateStoreError(
        f"{operation} failed on the state store: {confirmed} of {wanted} replicas confirmed the write "
        f"within {seconds:g} s"
    )
