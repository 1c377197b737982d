"""The one exception the shared state engines raise when their store fails."""


class StateStoreError(Exception):
    """The state store could not be reached, did not answer within the timeout,
    or refused the command.

    Raised by every method of :class:`RedisStateEngine` and
    :class:`AsyncRedisStateEngine` instead of the client library's own errors
    (which stay attached as ``__cause__``). The call's effect is then unknown:
    a nonce may or may not have been recorded, but ``consume_nonce`` has not
    accepted it. The engine reconnects by itself on a later call.
    """


def store_failure(operation: str, error: BaseException) -> StateStoreError:
    return StateStoreError(f"{operation} failed on the state store: {type(error).__name__}: {error}")
