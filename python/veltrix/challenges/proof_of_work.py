"""Proof of work on a token: a counter (a decimal ASCII integer, no sign, no
leading zeros, at most 20 digits) such that SHA-256 of the token, ``:`` and
the counter starts with `difficulty` zero bits. Finding one takes about
2**difficulty hashes; checking it takes one."""

from __future__ import annotations

import hashlib
from typing import TypeGuard

MAX_DIFFICULTY = 32
MAX_SOLUTION_DIGITS = 20
_SEPARATOR = b":"


def is_counter(solution: object) -> TypeGuard[str]:
    """Whether `solution` is a counter's one spelling (checked before any hashing)."""
    return (
        type(solution) is str
        and 0 < len(solution) <= MAX_SOLUTION_DIGITS
        and solution.isascii()
        and solution.isdigit()
        and (solution[0] != "0" or len(solution) == 1)
    )


def leading_zero_bits_at_least(digest: bytes, difficulty: int) -> bool:
    return int.from_bytes(digest, "big") >> (len(digest) * 8 - difficulty) == 0


def solves(token_text: bytes, solution: str, difficulty: int) -> bool:
    """Whether the counter `solution` (already checked by is_counter) solves the
    token of ASCII text `token_text` at `difficulty` (1 to 255: a token signed
    by a later version may ask for more than this one issues)."""
    digest = hashlib.sha256(token_text + _SEPARATOR + solution.encode("ascii")).digest()
    return leading_zero_bits_at_least(digest, difficulty)


def solve_proof_of_work(token: str, difficulty: int) -> str:
    """The smallest counter that solves `token` at `difficulty`, found by trying
    0, 1, 2, ... (about 2**difficulty hashes): for Python clients and tests."""
    if type(difficulty) is not int or not 0 <= difficulty <= MAX_DIFFICULTY:
        raise ValueError(f"difficulty must be an int from 0 to {MAX_DIFFICULTY}, not {difficulty!r}")
    if difficulty == 0:
        return "0"
    prefix = hashlib.sha256(token.encode("ascii") + _SEPARATOR)
    counter = 0
    while True:
        attempt = prefix.copy()
        attempt.update(b"%d" % counter)
        if leading_zero_bits_at_least(attempt.digest(), difficulty):
            return str(counter)
        counter += 1
