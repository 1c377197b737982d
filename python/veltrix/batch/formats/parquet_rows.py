"""Parquet output (pyarrow): line int64, source string, kept members, features
as int64, float64 and bool.

Workers turn a chunk's line and feature columns into Arrow; the writer types
each kept member's column by its first non-null value in the run (string if
there is none before the first row group is written), refuses rows whose value
does not fit that type, and writes row groups of ROW_GROUP_ROWS rows.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, BinaryIO

from veltrix.batch import arrow
from veltrix.batch.extraction import FEATURE_NAMES, LINE_COLUMN, SOURCE_COLUMN, Extraction, RefusedLine
from veltrix.batch.formats.encoded import EncodedChunk

if TYPE_CHECKING:
    import pyarrow

ROW_GROUP_ROWS = 65_536


@dataclass(frozen=True, slots=True)
class ParquetChunk:
    numbered_features: pyarrow.Table
    kept_columns: list[Sequence[Any]]
    source: str | None


@dataclass(frozen=True, slots=True)
class ParquetFormat:
    keep: tuple[str, ...]
    with_source: bool

    def encode(self, extraction: Extraction, source: str | None) -> EncodedChunk:
        columns = arrow.transposed(extraction.rows, len(self.keep))
        kept_end = 1 + len(self.keep)
        table = arrow.numbered_features(columns[0], columns[kept_end:])
        return EncodedChunk(ParquetChunk(table, columns[1:kept_end], source))

    def open_writer(self, stream: BinaryIO) -> ParquetChunkWriter:
        return ParquetChunkWriter(stream, self.keep, self.with_source)


class ParquetChunkWriter:
    def __init__(self, stream: BinaryIO, keep: tuple[str, ...], with_source: bool) -> None:
        self._pa = arrow.pyarrow_module()
        import pyarrow.parquet

        self._parquet = pyarrow.parquet
        self._stream = stream
        self._keep = keep
        self._with_source = with_source
        self._kept_types: list[pyarrow.DataType | None] = [None] * len(keep)
        self._pending: list[pyarrow.Table] = []
        self._pending_rows = 0
        self._writer: pyarrow.parquet.ParquetWriter | None = None

    def write(self, chunk: ParquetChunk) -> list[RefusedLine]:
        pa = self._pa
        lines = chunk.numbered_features.column(LINE_COLUMN).to_pylist()
        refused_rows = self._misfits(lines, chunk.kept_columns)
        table, kept_columns = chunk.numbered_features, chunk.kept_columns
        if refused_rows:
            keep_row = [row not in refused_rows for row in range(len(lines))]
            table = table.filter(pa.array(keep_row))
            kept_columns = [[value for value, kept in zip(values, keep_row) if kept] for values in kept_columns]
        for position, (name, values, arrow_type) in enumerate(zip(self._keep, kept_columns, self._kept_types), start=1):
            table = table.add_column(position, name, arrow.kept_array(values, arrow_type or pa.null()))
        if self._with_source:
            table = table.add_column(1, SOURCE_COLUMN, pa.array([chunk.source] * table.num_rows, pa.string()))
        self._pending.append(table)
        self._pending_rows += table.num_rows
        if self._pending_rows >= ROW_GROUP_ROWS:
            self._flush()
        return [RefusedLine(lines[row], reason) for row, reason in sorted(refused_rows.items())]

    def close(self) -> None:
        self._flush()
        if self._writer is not None:
            self._writer.close()

    def _misfits(self, lines: list[int], kept_columns: list[Sequence[Any]]) -> dict[int, str]:
        """Reasons by row position, for rows with a kept value its column cannot hold."""
        misfits: dict[int, str] = {}
        for column, (name, values) in enumerate(zip(self._keep, kept_columns)):
            if self._kept_types[column] is None and any(value is not None for value in values):
                self._kept_types[column] = arrow.kept_type(values)
            arrow_type = self._kept_types[column]
            if arrow_type is None:
                continue
            for row, value in enumerate(values):
                if row not in misfits and (misfit := arrow.kept_misfit(value, arrow_type)) is not None:
                    misfits[row] = f"member {json.dumps(name)} {misfit}: cannot be written to Parquet"
        return misfits

    def _flush(self) -> None:
        if self._writer is None:
            self._kept_types = [arrow_type or self._pa.string() for arrow_type in self._kept_types]
            self._writer = self._parquet.ParquetWriter(self._stream, self._schema())
        if self._pending:
            schema = self._writer.schema
            table = self._pa.concat_tables([table.cast(schema) for table in self._pending])
            self._writer.write_table(table, row_group_size=ROW_GROUP_ROWS)
        self._pending, self._pending_rows = [], 0

    def _schema(self) -> pyarrow.Schema:
        pa = self._pa
        fields = [
            pa.field(LINE_COLUMN, pa.int64()),
            *([pa.field(SOURCE_COLUMN, pa.string())] if self._with_source else []),
            *(pa.field(name, arrow_type) for name, arrow_type in zip(self._keep, self._kept_types)),
            *(pa.field(name, arrow_type) for name, arrow_type in zip(FEATURE_NAMES, arrow.feature_types())),
        ]
        return pa.schema(fields)
