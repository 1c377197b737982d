"""Feature rows of many visits: JSON lines or parsed records in, rows out.

A row is ``(line, *kept, *features)``: the visit's line number, the kept
top-level members of its record (None where absent) and the 39 feature values
in the module's order. A line or record that holds no visit is refused with a
reason instead; one refusal never stops the rest.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import veltrix_core_rs
from veltrix.json_features import MissingTelemetryError, json_kind, telemetry_member

if TYPE_CHECKING:
    import pyarrow

try:
    # The row of a line read natively: no Python object is built but the row's.
    from veltrix._json_native import feature_row as _native_row
except ImportError:  # built without the native JSON reader
    _native_row = None

FEATURE_NAMES: tuple[str, ...] = tuple(veltrix_core_rs.extract_features_rs({}))
"""The 39 feature names in the order of every result dict, hence of every row."""

LINE_COLUMN = "line"
SOURCE_COLUMN = "source"
RESERVED_COLUMNS = frozenset({LINE_COLUMN, SOURCE_COLUMN, *FEATURE_NAMES})


@dataclass(frozen=True, slots=True)
class RefusedLine:
    """A line (or record) that gave no row, and why."""

    line: int
    reason: str


@dataclass(slots=True)
class Extraction:
    """Rows of the accepted visits, in input order, and the refused lines."""

    keep: tuple[str, ...]
    rows: list[tuple[Any, ...]] = field(default_factory=list)
    refused: list[RefusedLine] = field(default_factory=list)

    @property
    def columns(self) -> tuple[str, ...]:
        return column_names(self.keep)

    def to_arrow(self) -> pyarrow.Table:
        """The rows as an Arrow table: features typed int64, float64 or bool.

        A kept column takes the type of its first non-null value (objects and
        arrays as JSON text); a later value of another type raises ValueError.
        """
        from veltrix.batch.arrow import table_of_rows

        return table_of_rows(self.rows, self.keep)


def column_names(keep: Sequence[str] = ()) -> tuple[str, ...]:
    """Names of a row's values: "line", the kept members, the 39 features."""
    return (LINE_COLUMN, *keep, *FEATURE_NAMES)


class _Refused(Exception):
    """Raised with the reason a line or record gives no row."""


def checked_keep(keep: Iterable[str]) -> tuple[str, ...]:
    """`keep` as a tuple, refused (ValueError) if a name repeats or is taken by a column."""
    keep = tuple(keep)
    for name in keep:
        if not isinstance(name, str):
            raise TypeError(f"kept member names must be str, not {type(name).__name__}")
        if name in RESERVED_COLUMNS:
            raise ValueError(f"cannot keep {name!r}: the output already has a column of that name")
    if len(set(keep)) != len(keep):
        raise ValueError(f"kept member named twice in {list(keep)}")
    return keep


def checked_telemetry_key(telemetry_key: str | None) -> str | None:
    """`telemetry_key`, refused (TypeError) unless it is a str or None."""
    if telemetry_key is not None and not isinstance(telemetry_key, str):
        raise TypeError(f"telemetry_key must be str or None, not {type(telemetry_key).__name__}")
    return telemetry_key


def extract_lines(
    lines: Iterable[bytes | str], *, telemetry_key: str | None = None, keep: Sequence[str] = (), first_line: int = 1
) -> Extraction:
    """Rows of the JSON lines `lines`, numbered from `first_line`.

    Each line holds one JSON object: the visit's telemetry itself, or with
    `telemetry_key` an object holding the telemetry under that member. Blank
    lines are skipped (they still count in the numbering). The features equal
    ``extract_features_rs(json.loads(line))`` (or of its `telemetry_key` member).
    """
    extraction = Extraction(checked_keep(keep))
    keep, telemetry_key = extraction.keep, checked_telemetry_key(telemetry_key)
    rows, refused = extraction.rows, extraction.refused
    for number, line in enumerate(lines, first_line):
        if not line.strip():
            continue
        # The native reader gives None for every line it cannot read exactly as
        # json.loads does, and for every line it would refuse: json.loads names the fault.
        row = None if _native_row is None else _native_row(number, line, telemetry_key, keep)
        if row is None:
            try:
                row = _record_row(number, _parsed(line), telemetry_key, keep)
            except _Refused as refusal:
                refused.append(RefusedLine(number, str(refusal)))
                continue
        rows.append(row)
    return extraction


def extract_records(
    records: Iterable[Any], *, telemetry_key: str | None = None, keep: Sequence[str] = (), first_line: int = 1
) -> Extraction:
    """Rows of already parsed records (dicts), numbered from `first_line`.

    The same rules as :func:`extract_lines` after parsing: a record that is not
    a dict, or has no dict under `telemetry_key`, is refused.
    """
    extraction = Extraction(checked_keep(keep))
    telemetry_key = checked_telemetry_key(telemetry_key)
    for number, record in enumerate(records, first_line):
        try:
            extraction.rows.append(_record_row(number, record, telemetry_key, extraction.keep))
        except _Refused as refusal:
            extraction.refused.append(RefusedLine(number, str(refusal)))
    return extraction


def _parsed(line: bytes | str) -> Any:
    try:
        return json.loads(line)
    except json.JSONDecodeError as error:
        raise _Refused(f"not JSON: {error.msg} at column {error.colno}") from None
    except UnicodeDecodeError as error:
        raise _Refused(f"not JSON: not valid {error.encoding.upper()} at byte {error.start + 1}") from None
    except RecursionError:
        raise _Refused("not JSON: nested too deeply to read") from None


def _record_row(number: int, record: Any, telemetry_key: str | None, keep: tuple[str, ...]) -> tuple[Any, ...]:
    if not isinstance(record, dict):
        raise _Refused(f"not an object: {json_kind(record)}")
    telemetry = record
    if telemetry_key is not None:
        try:
            telemetry = telemetry_member(record, telemetry_key)
        except MissingTelemetryError as error:
            raise _Refused(str(error)) from None
        if not isinstance(telemetry, dict):
            raise _Refused(f"member {json.dumps(telemetry_key)} is not an object: {json_kind(telemetry)}")
    return (number, *[record.get(name) for name in keep], *veltrix_core_rs.extract_features_rs(telemetry).values())
