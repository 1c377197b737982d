"""The token's wire form: ``v1.`` and the unpadded base64url of 78 bytes,
107 ASCII characters in all.

Layout, big-endian: key id (1 byte), difficulty (1), random id (16), issue
time in epoch milliseconds (8), lifetime in milliseconds (4), keyed hash of the
action (16), keyed hash of the client binding (16), then the tag (16): the
first 128 bits of HMAC-SHA-256 over the prefix and the 62 bytes before it.

78 bytes are 26 whole base64 groups, so the encoding has neither padding nor
spare bits: a token has exactly one spelling, and decoding refuses any other
(padding, whitespace, the standard alphabet's ``+`` and ``/``).
"""

from __future__ import annotations

import binascii
import struct
from collections.abc import Callable

from veltrix.challenges.refusal import ChallengeRefused
from veltrix.challenges.signing_keys import TAG_BYTES

PREFIX = "v1."
TAG_PREFIX = PREFIX.encode("ascii")
_SIGNED = struct.Struct(">BB16sQI16s16s")
_TOKEN = struct.Struct(f">BB16sQI16s16s{TAG_BYTES}s")
SIGNED_BYTES = _SIGNED.size
TOKEN_BYTES = _TOKEN.size
TOKEN_LENGTH = len(PREFIX) + TOKEN_BYTES // 3 * 4
ID_BYTES = 16
MAX_LIFETIME_MS = 2**32 - 1

_URLSAFE = b"-_"
_STANDARD = b"+/"
_TO_URLSAFE = bytes.maketrans(_STANDARD, _URLSAFE)
# The standard alphabet's own two characters become "!", which strict decoding refuses.
_FROM_URLSAFE = bytes.maketrans(_URLSAFE + _STANDARD, _STANDARD + b"!!")

TokenFields = tuple[int, int, bytes, int, int, bytes, bytes, bytes]


def pack_signed(
    key_id: int,
    difficulty: int,
    token_id: bytes,
    issued_ms: int,
    lifetime_ms: int,
    action_hash: bytes,
    client_hash: bytes,
) -> bytes:
    return _SIGNED.pack(key_id, difficulty, token_id, issued_ms, lifetime_ms, action_hash, client_hash)


# key id, difficulty, id, issue ms, lifetime ms, action hash, client hash, tag.
unpack: Callable[[bytes], TokenFields] = _TOKEN.unpack


def encode(raw: bytes) -> str:
    return PREFIX + binascii.b2a_base64(raw, newline=False).translate(_TO_URLSAFE).decode("ascii")


def _malformed(detail: str) -> ChallengeRefused:
    return ChallengeRefused("malformed", detail)


def decode(token: object) -> tuple[bytes, bytes]:
    """The 78 bytes of `token` and its ASCII text; ChallengeRefused("malformed")
    for anything but a token's one spelling. Length comes first, so an
    oversized value costs nothing."""
    if type(token) is not str:
        raise _malformed(f"a challenge token is a str, not {type(token).__name__}")
    if len(token) != TOKEN_LENGTH:
        raise _malformed(f"a challenge token has {TOKEN_LENGTH} characters, not {len(token)}")
    if not token.startswith(PREFIX):
        raise _malformed(f"a challenge token starts with {PREFIX!r}")
    try:
        text = token.encode("ascii")
    except UnicodeEncodeError:
        raise _malformed("a challenge token is ASCII") from None
    try:
        raw = binascii.a2b_base64(text[len(PREFIX) :].translate(_FROM_URLSAFE), strict_mode=True)
    except binascii.Error:
        raise _malformed("a challenge token is unpadded base64url") from None
    if len(raw) != TOKEN_BYTES:
        raise _malformed("a challenge token is unpadded base64url")
    return raw, text
