"""Why a challenge token was refused."""

from __future__ import annotations

from typing import Literal

RefusalReason = Literal["malformed", "forged", "expired", "wrong_action", "wrong_client", "unsolved", "replayed"]

# In the order verification checks them: a token is refused for the first that fails.
REFUSAL_REASONS: tuple[RefusalReason, ...] = (
    "malformed",
    "forged",
    "expired",
    "wrong_action",
    "wrong_client",
    "unsolved",
    "replayed",
)


class ChallengeRefused(ValueError):
    """A challenge token that must not be accepted; ``reason`` says why.

    ``reason`` is one of :data:`REFUSAL_REASONS`: "malformed" (not a token of
    this format: wrong type, length, prefix or encoding), "forged" (its tag
    matches none of the issuer's secrets), "expired" (past its expiry, or
    issued further in the future than the allowed clock skew), "wrong_action",
    "wrong_client", "unsolved" (its proof of work is missing or wrong) and
    "replayed" (accepted once already). ``detail`` is a sentence for logs;
    answer clients with the reason at most.
    """

    def __init__(self, reason: RefusalReason, detail: str) -> None:
        super().__init__(reason, detail)
        self.reason: RefusalReason = reason
        self.detail = detail

    def __str__(self) -> str:
        return f"challenge refused ({self.reason}): {self.detail}"
