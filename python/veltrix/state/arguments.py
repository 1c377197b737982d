"""Arguments read exactly as the native state-engine functions read theirs, so
that a bad argument raises the same exception, with the same message, whichever
engine a service uses.

Type tests go through the real type (``issubclass(type(value), ...)``), never
``isinstance``, which an object can fool with a ``__class__`` property; tuple
sizes and items are read through ``tuple``'s own methods, which a subclass
cannot override. An exact ``TypeError`` gains the prefix
``argument '<name>': `` as the native binder adds it; other errors pass as they are.
"""

from __future__ import annotations

import ctypes
import operator
from typing import Any, NoReturn

UNSIGNED_64_LIMIT = 1 << 64
BAN_PAIR_LENGTH = 2

# The interpreter's own sequence test (a type with an item slot, dicts excluded),
# which has no exact Python spelling. A private function object, so that no
# other user of ctypes.pythonapi sees its argument types changed.
_passes_sequence_check = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(("PySequence_Check", ctypes.pythonapi))
# type.__qualname__ read through type's own descriptor, as the native message
# reads it, whatever a metaclass defines.
_qualified_name = type.__dict__["__qualname__"].__get__


def _conversion_message(value: object, target: str) -> str:
    try:
        name = _qualified_name(type(value))
    except Exception:
        name = "<failed to extract type name>"
    return f"'{name}' object cannot be converted to '{target}'"


def _raise_named(parameter: str, error: BaseException) -> NoReturn:
    if type(error) is TypeError:
        raise TypeError(f"argument '{parameter}': {error}") from error.__cause__
    raise error


def _utf8(value: object) -> bytes:
    if not issubclass(type(value), str):
        raise TypeError(_conversion_message(value, "PyString"))
    return str.encode(value)  # type: ignore[arg-type]


def _unsigned_64(value: object) -> int:
    integer = operator.index(value)  # type: ignore[arg-type]  # an exact int; int subclasses are copied, never asked
    if integer < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if integer >= UNSIGNED_64_LIMIT:
        raise OverflowError("int too big to convert")
    return integer


def _address_expiry(element: object) -> tuple[bytes, int]:
    if not issubclass(type(element), tuple):
        raise TypeError(_conversion_message(element, "PyTuple"))
    length = tuple.__len__(element)  # type: ignore[arg-type]
    if length != BAN_PAIR_LENGTH:
        raise ValueError(f"expected tuple of length {BAN_PAIR_LENGTH}, but got tuple of length {length}")
    pair: tuple[object, ...] = element  # type: ignore[assignment]  # its type was tested above
    return _utf8(tuple.__getitem__(pair, 0)), _unsigned_64(tuple.__getitem__(pair, 1))


def text_argument(value: object, parameter: str) -> bytes:
    """The UTF-8 bytes of the str `value`; a lone surrogate raises UnicodeEncodeError."""
    try:
        return _utf8(value)
    except TypeError as error:
        _raise_named(parameter, error)


def unsigned_argument(value: object, parameter: str) -> int:
    """`value` as an int from 0 to 2**64 - 1."""
    try:
        return _unsigned_64(value)
    except TypeError as error:
        _raise_named(parameter, error)


def ban_list_argument(bans: Any) -> list[tuple[bytes, int]]:
    """Every (address, expiry) pair of `bans`, in order: the whole list is read
    before anything is written, and the first bad element raises."""
    try:
        if issubclass(type(bans), str):
            raise TypeError("Can't extract `str` to `Vec`")
        if not _passes_sequence_check(bans):
            raise TypeError(_conversion_message(bans, "Sequence"))
        return [_address_expiry(element) for element in bans]
    except TypeError as error:
        _raise_named("bans", error)
