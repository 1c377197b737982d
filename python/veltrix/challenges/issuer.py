"""Signed, single-use challenge tokens: issued by the service, bound to an
action and optionally a client, verified in constant time and accepted once
across every worker and host through a state engine."""

from __future__ import annotations

import hmac
import math
import os
import time
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, NoReturn, Protocol

from veltrix.challenges import proof_of_work, token_format
from veltrix.challenges.challenge import Challenge, verified_challenge
from veltrix.challenges.refusal import ChallengeRefused, RefusalReason
from veltrix.challenges.signing_keys import Secrets, SigningKey, signing_keys
from veltrix.challenges.token_format import SIGNED_BYTES, decode, unpack

if TYPE_CHECKING:
    from collections.abc import Iterable

DEFAULT_TTL_SECONDS = 30.0
DEFAULT_MAX_SKEW_SECONDS = 5.0
# The least time every state engine refuses a consumed nonce: a bucket of 60 s
# and the one after it, so more than 60 s (see veltrix.state).
REPLAY_WINDOW_SECONDS = 60
MAX_ACTION_LENGTH = 128
# Keeps token ids apart from any other nonces the service consumes on the same engine.
REPLAY_KEY_PREFIX = "veltrix-challenge:"


class ReplayEngine(Protocol):
    """What the issuer needs of a state engine: LocalStateEngine, RedisStateEngine
    (sync) or AsyncRedisStateEngine (async: verify_async and consume_async only)."""

    def consume_nonce(self, nonce: str) -> bool | Awaitable[bool]: ...


def _seconds(value: object, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, int | float) or not math.isfinite(value):
        raise ValueError(f"{name} must be a finite number of seconds, not {value!r}")
    return float(value)


def _check_binding(action: object, client: object) -> None:
    """TypeError unless `action` is a str and `client` a str or None."""
    if type(action) is not str:
        raise TypeError(f"action must be a str, not {type(action).__name__}")
    if client is not None and type(client) is not str:
        raise TypeError(f"client must be a str or None, not {type(client).__name__}")


def _refuse(reason: RefusalReason, detail: str) -> NoReturn:
    raise ChallengeRefused(reason, detail)


class ChallengeIssuer:
    """Issues challenge tokens and verifies them, once each.

    `secret` is bytes or a str of at least 32 bytes (``secrets.token_bytes(32)``),
    or a list of them for key rotation: tokens are signed with the first and
    accepted under any. To rotate, put the new secret first and drop the old one
    once its last tokens have expired (`ttl` later). Every host and worker
    needs the same secrets.

    `ttl` is each token's lifetime in seconds. `max_skew` is how far the clocks
    of the hosts that issue and verify may disagree: a token issued up to that
    far in the future is accepted, one beyond it is refused as "expired".

    `engine` records each accepted token's id: LocalStateEngine for one process
    (the default), RedisStateEngine or AsyncRedisStateEngine for several. The
    engines refuse a consumed id for more than REPLAY_WINDOW_SECONDS (60 s),
    so a token must not be accepted anywhere later than that after its first
    acceptance. A token is first accepted no earlier than it was issued, and
    accepted no later than its expiry on the verifying host's clock, which may
    run up to `max_skew` behind the issuer's: hence the rule
    ``ttl + max_skew <= 60``, which the constructor enforces, and the clock is
    read again after the id is recorded so that a consumption delayed past the
    expiry is refused too. Tokens of a longer lifetime (signed by an issuer
    configured otherwise) are refused as "expired".

    `clock` returns the current epoch time in seconds (tests move it).
    """

    __slots__ = ("_clock", "_engine", "_keys_by_id", "_lifetime_ms", "_max_lifetime_ms", "_max_skew", "_signing_key")

    def __init__(
        self,
        secret: Secrets,
        *,
        ttl: float = DEFAULT_TTL_SECONDS,
        engine: ReplayEngine | None = None,
        max_skew: float = DEFAULT_MAX_SKEW_SECONDS,
        clock: Callable[[], float] = time.time,
    ) -> None:
        keys = signing_keys(secret, token_format.TAG_PREFIX)
        ttl = _seconds(ttl, "ttl")
        max_skew = _seconds(max_skew, "max_skew")
        if max_skew < 0:
            raise ValueError(f"max_skew must not be negative, not {max_skew!r}")
        lifetime_ms = round(ttl * 1000)
        self._max_lifetime_ms = REPLAY_WINDOW_SECONDS * 1000 - math.ceil(max_skew * 1000)
        if not 1 <= lifetime_ms <= self._max_lifetime_ms:
            raise ValueError(
                f"ttl must be from 0.001 s to {REPLAY_WINDOW_SECONDS} s less max_skew ({max_skew:g} s), not {ttl:g} s:"
                f" the state engines refuse a used token for only {REPLAY_WINDOW_SECONDS} s"
            )
        if engine is None:
            from veltrix.state import LocalStateEngine

            engine = LocalStateEngine()
        if not callable(clock):
            raise TypeError(f"clock must be a callable returning epoch seconds, not {type(clock).__name__}")
        if not callable(getattr(engine, "consume_nonce", None)):
            raise TypeError(f"engine must be a state engine with consume_nonce, not {type(engine).__name__}")
        self._signing_key = keys[0]
        self._keys_by_id = _keys_by_id(keys)
        self._lifetime_ms = lifetime_ms
        self._max_skew = max_skew
        self._engine = engine
        self._clock = clock

    @property
    def ttl(self) -> float:
        return self._lifetime_ms / 1000

    @property
    def max_skew(self) -> float:
        return self._max_skew

    @property
    def engine(self) -> ReplayEngine:
        return self._engine

    def issue(self, *, action: str = "score", client: str | None = None, difficulty: int = 0) -> str:
        """A new token for `action` (a name of the service's own, up to 128
        characters) bound to `client` (any str, e.g. the visitor's address; the
        token carries only a keyed hash of it), whose proof of work needs
        `difficulty` leading zero bits (0, none, to MAX_DIFFICULTY)."""
        _check_binding(action, client)
        if not 0 < len(action) <= MAX_ACTION_LENGTH:
            raise ValueError(f"action must have 1 to {MAX_ACTION_LENGTH} characters, not {len(action)}")
        if type(difficulty) is not int or not 0 <= difficulty <= proof_of_work.MAX_DIFFICULTY:
            raise ValueError(f"difficulty must be an int from 0 to {proof_of_work.MAX_DIFFICULTY}, not {difficulty!r}")
        key = self._signing_key
        signed = token_format.pack_signed(
            key.key_id,
            difficulty,
            os.urandom(token_format.ID_BYTES),
            math.floor(self._clock() * 1000),
            self._lifetime_ms,
            key.action_hashes[action],
            key.client_hash(client),
        )
        return token_format.encode(signed + key.tag(signed))

    def check(
        self, token: object, *, action: str = "score", client: str | None = None, solution: object = None
    ) -> Challenge:
        """Every check but the replay check, without calling the engine: form,
        tag, validity period, action, client, proof of work, in that order.
        Raises ChallengeRefused with the first failing reason. Anything that is
        not a well-formed token (None, bytes, 1 MB) is "malformed"; a wrong or
        absent `solution` is "unsolved" when the token asks for proof of work."""
        return self._check(token, action, client, solution)

    def _check(self, token: object, action: str, client: str | None, solution: object) -> Challenge:
        if type(action) is not str or (client is not None and type(client) is not str):
            _check_binding(action, client)
        raw, token_text = decode(token)
        key_id, difficulty, token_id, issued_ms, lifetime_ms, action_hash, client_hash, tag = unpack(raw)
        signed = raw[:SIGNED_BYTES]
        for key in self._keys_by_id.get(key_id, ()):
            if hmac.compare_digest(key.tag(signed), tag):
                break
        else:
            _refuse("forged", "the tag matches none of the issuer's secrets")
        now = self._clock()
        issued_at = issued_ms / 1000
        expires_at = (issued_ms + lifetime_ms) / 1000
        if now >= expires_at:
            _refuse("expired", f"expired {now - expires_at:.3f} s ago")
        if issued_at > now + self._max_skew:
            _refuse("expired", f"issued {issued_at - now:.3f} s in the future, beyond the {self._max_skew:g} s skew")
        if lifetime_ms > self._max_lifetime_ms:
            _refuse("expired", f"its lifetime of {lifetime_ms} ms outlasts the replay window with the skew")
        if action_hash != key.action_hashes[action]:  # keyed hashes of the service's own names: timing tells nothing
            _refuse("wrong_action", f"not issued for the action {action!r}")
        if not hmac.compare_digest(client_hash, key.client_hash(client)):
            _refuse("wrong_client", "issued for another client")
        if difficulty and not (
            proof_of_work.is_counter(solution) and proof_of_work.solves(token_text, solution, difficulty)
        ):
            _refuse("unsolved", f"needs a proof of work of {difficulty} leading zero bits")
        return verified_challenge(token_id.hex(), action, client, issued_at, expires_at, difficulty)

    def verify(
        self, token: object, *, action: str = "score", client: str | None = None, solution: object = None
    ) -> Challenge:
        """check(), then consume() on a synchronous engine: the Challenge once,
        ChallengeRefused otherwise; StateStoreError if the store fails (the token
        is then not accepted)."""
        challenge = self._check(token, action, client, solution)
        self.consume(challenge)
        return challenge

    async def verify_async(
        self, token: object, *, action: str = "score", client: str | None = None, solution: object = None
    ) -> Challenge:
        """verify() awaiting the engine (AsyncRedisStateEngine; a synchronous engine is called directly)."""
        challenge = self._check(token, action, client, solution)
        await self.consume_async(challenge)
        return challenge

    def consume(self, challenge: Challenge) -> None:
        """Records the id of a checked `challenge`: "replayed" if it was recorded
        before, "expired" if the expiry passed while recording."""
        accepted = self._engine.consume_nonce(REPLAY_KEY_PREFIX + challenge.id)
        if accepted is not True:
            _refuse_consumption(self._engine, accepted)
        if self._clock() >= challenge.expires_at:
            _refuse("expired", _EXPIRED_WHILE_RECORDING)

    async def consume_async(self, challenge: Challenge) -> None:
        """consume() awaiting the engine."""
        accepted = self._engine.consume_nonce(REPLAY_KEY_PREFIX + challenge.id)
        if accepted is not True and accepted is not False:
            accepted = await accepted
        if accepted is not True:
            _refuse_consumption(self._engine, accepted)
        if self._clock() >= challenge.expires_at:
            _refuse("expired", _EXPIRED_WHILE_RECORDING)


_EXPIRED_WHILE_RECORDING = "expired while its id was being recorded"


def _refuse_consumption(engine: ReplayEngine, accepted: object) -> NoReturn:
    if accepted is False:
        _refuse("replayed", "this token was accepted before")
    close = getattr(accepted, "close", None)
    if close is not None:
        close()  # an unawaited coroutine: the engine recorded nothing
        raise TypeError(f"{type(engine).__name__}.consume_nonce is asynchronous: use verify_async or consume_async")
    raise TypeError(f"{type(engine).__name__}.consume_nonce returned {type(accepted).__name__}, not bool")


def _keys_by_id(keys: Iterable[SigningKey]) -> dict[int, tuple[SigningKey, ...]]:
    """Keys by their id; ids of 8 bits may collide, and colliding keys are all tried."""
    by_id: dict[int, tuple[SigningKey, ...]] = {}
    for key in keys:
        by_id[key.key_id] = (*by_id.get(key.key_id, ()), key)
    return by_id
