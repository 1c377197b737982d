"""The keys that a challenge secret is turned into: one for the tag, one for
the hashes that bind a token to its action and client, and a one-byte key id
that picks the secret when tokens are verified during a key rotation.

Each is derived from the secret with HMAC-SHA-256 under a label of its own, so
no value of this module is ever computed with the secret itself, and nothing
else a service signs with the same secret can pass for one of them.
"""

from __future__ import annotations

import hashlib
import hmac
from collections.abc import Sequence

MIN_SECRET_BYTES = 32
TAG_BYTES = 16
BINDING_BYTES = 16
_DERIVATION_LABEL = b"veltrix challenge token v1\x00"
_SHA256_BLOCK_BYTES = 64
_ACTION_CACHE_SIZE = 256

Secret = bytes | bytearray | memoryview | str
Secrets = Secret | Sequence[Secret]


def _derive(secret: bytes, purpose: bytes) -> bytes:
    return hmac.digest(secret, _DERIVATION_LABEL + purpose, "sha256")


def _secret_bytes(secret: object) -> bytes:
    if isinstance(secret, str):
        value = secret.encode("utf-8")
    elif isinstance(secret, bytes | bytearray | memoryview):
        value = bytes(secret)
    else:
        raise TypeError(f"a challenge secret must be bytes or str, not {type(secret).__name__}")
    if len(value) < MIN_SECRET_BYTES:
        raise ValueError(
            f"a challenge secret must have at least {MIN_SECRET_BYTES} bytes, this one has {len(value)}:"
            " use secrets.token_bytes(32) or longer"
        )
    return value


def _keyed_hasher(key: bytes, person: bytes) -> hashlib.blake2s:
    return hashlib.blake2s(digest_size=BINDING_BYTES, key=key, person=person)


class _ActionHashes(dict[str, bytes]):
    """Keyed hashes of action names, computed on first use: a lookup that hits
    costs no Python call. Actions are the service's own names and few; the
    cache is emptied if a caller feeds it many."""

    def __init__(self, hasher: hashlib.blake2s) -> None:
        super().__init__()
        self._hasher = hasher

    def __missing__(self, action: str) -> bytes:
        if len(self) >= _ACTION_CACHE_SIZE:
            self.clear()
        hasher = self._hasher.copy()
        hasher.update(action.encode("utf-8", "surrogatepass"))
        digest = self[action] = hasher.digest()
        return digest


class SigningKey:
    """The keys of one secret: `tag` signs, `action_hashes[action]` and
    `client_hash` bind. `tag_prefix` is absorbed into every tag's input (the
    token's version prefix, so a tag never verifies under another format)."""

    __slots__ = ("_client_hasher", "_tag_inner", "_tag_outer", "_unbound_hash", "action_hashes", "key_id")

    def __init__(self, secret: bytes, tag_prefix: bytes) -> None:
        self.key_id = _derive(secret, b"key id")[0]
        # HMAC-SHA-256 with its two padded-key blocks hashed once, here: a tag
        # then costs two hash copies instead of the key schedule each time.
        tag_key = _derive(secret, b"tag").ljust(_SHA256_BLOCK_BYTES, b"\0")
        self._tag_inner = hashlib.sha256(bytes(byte ^ 0x36 for byte in tag_key))
        self._tag_inner.update(tag_prefix)
        self._tag_outer = hashlib.sha256(bytes(byte ^ 0x5C for byte in tag_key))
        binding_key = _derive(secret, b"binding")
        # Keyed BLAKE2s with its key block absorbed; copied for each client.
        self._client_hasher = _keyed_hasher(binding_key, b"vxclient")
        self._unbound_hash = _keyed_hasher(binding_key, b"vxnoclnt").digest()
        self.action_hashes = _ActionHashes(_keyed_hasher(binding_key, b"vxaction"))

    def tag(self, signed: bytes) -> bytes:
        """HMAC-SHA-256 of the tag prefix and `signed`, truncated to TAG_BYTES."""
        inner = self._tag_inner.copy()
        inner.update(signed)
        outer = self._tag_outer.copy()
        outer.update(inner.digest())
        return outer.digest()[:TAG_BYTES]

    def client_hash(self, client: str | None) -> bytes:
        """A keyed hash of `client`, so that a token does not reveal the address or
        name it is bound to; None (no binding) has a hash of its own."""
        if client is None:
            return self._unbound_hash
        hasher = self._client_hasher.copy()
        hasher.update(client.encode("utf-8", "surrogatepass"))
        return hasher.digest()


def signing_keys(secrets: Secrets, tag_prefix: bytes) -> tuple[SigningKey, ...]:
    """The keys of `secrets` (one secret, or several with the signing one first)."""
    if isinstance(secrets, str | bytes | bytearray | memoryview):
        secrets = [secrets]
    elif not isinstance(secrets, Sequence):
        raise TypeError(f"challenge secrets must be bytes, str or a sequence of them, not {type(secrets).__name__}")
    if not secrets:
        raise ValueError("at least one challenge secret is needed")
    return tuple(SigningKey(_secret_bytes(secret), tag_prefix) for secret in secrets)
