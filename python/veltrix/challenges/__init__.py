"""Server-issued challenges: signed, expiring, single-use tokens bound to an
action and optionally a client, with optional proof of work.

    issuer = ChallengeIssuer(secret, engine=RedisStateEngine.from_url(url))
    token = issuer.issue(action="score", client=address, difficulty=12)
    ...
    challenge = issuer.verify(token, action="score", client=address, solution=counter)

Every refusal raises :class:`ChallengeRefused` (a ValueError) whose ``reason``
says why; a failing store raises ``veltrix.StateStoreError``.
"""

from veltrix.challenges.challenge import Challenge
from veltrix.challenges.issuer import (
    DEFAULT_MAX_SKEW_SECONDS,
    DEFAULT_TTL_SECONDS,
    REPLAY_WINDOW_SECONDS,
    ChallengeIssuer,
    ReplayEngine,
)
from veltrix.challenges.proof_of_work import MAX_DIFFICULTY, solve_proof_of_work
from veltrix.challenges.refusal import REFUSAL_REASONS, ChallengeRefused, RefusalReason
from veltrix.challenges.signing_keys import MIN_SECRET_BYTES
from veltrix.challenges.token_format import TOKEN_LENGTH

__all__ = [
    "DEFAULT_MAX_SKEW_SECONDS",
    "DEFAULT_TTL_SECONDS",
    "MAX_DIFFICULTY",
    "MIN_SECRET_BYTES",
    "REFUSAL_REASONS",
    "REPLAY_WINDOW_SECONDS",
    "TOKEN_LENGTH",
    "Challenge",
    "ChallengeIssuer",
    "ChallengeRefused",
    "RefusalReason",
    "ReplayEngine",
    "solve_proof_of_work",
]
