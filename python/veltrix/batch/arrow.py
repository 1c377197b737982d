"""Feature rows as Arrow data (pyarrow, the optional extra ``parquet``).

Features keep the module's types: int64, float64 and bool. A kept member's
column takes the type of its first non-null value, with objects and arrays
stored as their JSON text; a later value of another type does not fit it.
"""

from __future__ import annotations

import functools
import json
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import veltrix_core_rs
from veltrix.batch.extraction import FEATURE_NAMES, LINE_COLUMN
from veltrix.json_features import json_kind

if TYPE_CHECKING:
    import pyarrow

PYARROW_MISSING = "Arrow tables and Parquet output need pyarrow: pip install 'veltrix_core_rs[parquet]'"
INT64_RANGE = range(-(2**63), 2**63)


def pyarrow_module():
    """pyarrow, or ImportError with the command that installs it."""
    try:
        import pyarrow
    except ImportError as error:
        raise ImportError(PYARROW_MISSING) from error
    return pyarrow


@functools.cache
def feature_types() -> tuple[pyarrow.DataType, ...]:
    pa = pyarrow_module()
    arrow_type_of = {bool: pa.bool_(), int: pa.int64(), float: pa.float64()}
    return tuple(arrow_type_of[type(value)] for value in veltrix_core_rs.extract_features_rs({}).values())


def kept_type(values: Sequence[Any]) -> pyarrow.DataType:
    """The column type a kept member's first non-null value gives (string when all are null)."""
    pa = pyarrow_module()
    first = next((value for value in values if value is not None), None)
    if type(first) is bool:
        return pa.bool_()
    if type(first) is int:
        return pa.int64()
    if type(first) is float:
        return pa.float64()
    return pa.string()


def kept_misfit(value: Any, arrow_type: pyarrow.DataType) -> str | None:
    """Why `value` cannot be stored exactly in a column of `arrow_type`, or None if it can."""
    pa = pyarrow_module()
    if value is None:
        return None
    if arrow_type == pa.string():
        if isinstance(value, str):
            # Lone surrogates (from \ud800-style escapes) have no UTF-8 form.
            return None if value.isascii() or _encodes_as_utf8(value) else "holds a lone surrogate"
        if isinstance(value, (dict, list)):
            return None
    elif arrow_type == pa.bool_():
        if type(value) is bool:
            return None
    elif arrow_type == pa.int64():
        if type(value) is int:
            return None if value in INT64_RANGE else "is outside the 64-bit integer range"
    elif arrow_type == pa.float64():
        if type(value) is float or (type(value) is int and float(value) == value):
            return None
    return f"is {json_kind(value)}, not {arrow_type} like the column's first value"


def kept_misfits(values: Sequence[Any], arrow_type: pyarrow.DataType) -> list[tuple[int, str]]:
    """(position, why) of each value in `values` that a column of `arrow_type` cannot hold exactly."""
    pa = pyarrow_module()
    # The common columns, told at once: ids and labels of one type throughout.
    if arrow_type == pa.string():
        if all(value is None or (type(value) is str and value.isascii()) for value in values):
            return []
    elif arrow_type == pa.int64():
        if all(value is None or (type(value) is int and value in INT64_RANGE) for value in values):
            return []
    elif arrow_type == pa.float64():
        if all(value is None or type(value) is float for value in values):
            return []
    return [(row, misfit) for row, value in enumerate(values) if (misfit := kept_misfit(value, arrow_type)) is not None]


def kept_array(values: Sequence[Any], arrow_type: pyarrow.DataType) -> pyarrow.Array:
    """`values` (each fitting `arrow_type`) as an Arrow array."""
    pa = pyarrow_module()
    if arrow_type == pa.string():
        values = [json.dumps(value) if isinstance(value, (dict, list)) else value for value in values]
    return pa.array(values, type=arrow_type)


def transposed(rows: Sequence[tuple[Any, ...]], keep_count: int) -> list[Sequence[Any]]:
    """Rows ``(line, *kept, *features)`` turned into their columns, in the same order."""
    return list(zip(*rows)) or [()] * (1 + keep_count + len(FEATURE_NAMES))


def numbered_features(lines: Sequence[int], features: Sequence[Sequence[Any]]) -> pyarrow.Table:
    """The line column and the feature columns as a table."""
    pa = pyarrow_module()
    arrays = [
        pa.array(lines, type=pa.int64()),
        *(pa.array(values, type=arrow_type) for values, arrow_type in zip(features, feature_types())),
    ]
    return pa.Table.from_arrays(arrays, names=[LINE_COLUMN, *FEATURE_NAMES])


def table_of_rows(rows: Sequence[tuple[Any, ...]], keep: Sequence[str]) -> pyarrow.Table:
    """Rows ``(line, *kept, *features)`` as a table; ValueError if a kept value misfits its column."""
    columns = transposed(rows, len(keep))
    lines, kept_columns = columns[0], columns[1 : 1 + len(keep)]
    table = numbered_features(lines, columns[1 + len(keep) :])
    for position, (name, values) in enumerate(zip(keep, kept_columns), start=1):
        arrow_type = kept_type(values)
        if misfits := kept_misfits(values, arrow_type):
            row, misfit = misfits[0]
            raise ValueError(f"line {lines[row]}: member {json.dumps(name)} {misfit}")
        table = table.add_column(position, name, kept_array(values, arrow_type))
    return table


def _encodes_as_utf8(text: str) -> bool:
    try:
        text.encode()
    except UnicodeEncodeError:
        return False
    return True
