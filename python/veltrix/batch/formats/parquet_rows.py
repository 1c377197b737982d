"""Parquet output (pyarrow): line int64, source string, kept members, features
as int64, float64 and bool.

Workers turn a chunk's rows into its columns of plain values, so that they never
import pyarrow and a chunk pickles small; the writer types each kept member's
column by its first non-null value in the run (string if there is none before
the first row group is written), refuses rows whose value does not fit that
type, and builds and writes row groups of ROW_GROUP_ROWS rows, one Arrow array
a column.
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
    columns: list[Sequence[Any]]  # line, the kept members, the features
    source: str | None


@dataclass(frozen=True, slots=True)
class ParquetFormat:
    keep: tuple[str, ...]
    with_source: bool

    def encode(self, extraction: Extraction, source: str | None) -> EncodedChunk:
        return EncodedChunk(ParquetChunk(arrow.transposed(extraction.rows, len(self.keep)), source))

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
        self._pending: list[list[Any]] = [[] for _ in range(1 + len(keep) + len(FEATURE_NAMES))]
        self._pending_sources: list[str | None] = []
        self._writer: pyarrow.parquet.ParquetWriter | None = None

    def write(self, chunk: ParquetChunk) -> list[RefusedLine]:
        columns = chunk.columns
        lines = columns[0]
        refused_rows = self._misfits(lines, columns[1 : 1 + len(self._keep)])
        if refused_rows:
            columns = [[value for row, value in enumerate(values) if row not in refused_rows] for values in columns]
        for pending, values in zip(self._pending, columns):
            pending.extend(values)
        if self._with_source:
            self._pending_sources.extend([chunk.source] * len(columns[0]))
        if len(self._pending[0]) >= ROW_GROUP_ROWS:
            self._flush()
        return [RefusedLine(lines[row], reason) for row, reason in sorted(refused_rows.items())]

    def close(self) -> None:
        self._flush()
        if self._writer is not None:
            self._writer.close()

    def _misfits(self, lines: Sequence[int], kept_columns: Sequence[Sequence[Any]]) -> dict[int, str]:
        """Reasons by row position, for rows with a kept value its column cannot hold."""
        misfits: dict[int, str] = {}
        for column, (name, values) in enumerate(zip(self._keep, kept_columns)):
            if self._kept_types[column] is None and any(value is not None for value in values):
                self._kept_types[column] = arrow.kept_type(values)
            arrow_type = self._kept_types[column]
            if arrow_type is None:
                continue
            for row, misfit in arrow.kept_misfits(values, arrow_type):
                misfits.setdefault(row, f"member {json.dumps(name)} {misfit}: cannot be written to Parquet")
        return misfits

    def _flush(self) -> None:
        pa = self._pa
        if self._writer is None:
            self._kept_types = [arrow_type or pa.string() for arrow_type in self._kept_types]
            self._writer = self._parquet.ParquetWriter(self._stream, self._schema())
        if not self._pending[0]:
            return
        lines, kept, features = (
            self._pending[0],
            self._pending[1 : 1 + len(self._keep)],
            self._pending[1 + len(self._keep) :],
        )
        arrays = [
            pa.array(lines, type=pa.int64()),
            *([pa.array(self._pending_sources, type=pa.string())] if self._with_source else []),
            *(arrow.kept_array(values, arrow_type) for values, arrow_type in zip(kept, self._kept_types)),
            *(pa.array(values, type=arrow_type) for values, arrow_type in zip(features, arrow.feature_types())),
        ]
        self._writer.write_table(
            pa.Table.from_arrays(arrays, schema=self._writer.schema), row_group_size=ROW_GROUP_ROWS
        )
        self._pending = [[] for _ in self._pending]
        self._pending_sources = []

    def _schema(self) -> pyarrow.Schema:
        pa = self._pa
        fields = [
            pa.field(LINE_COLUMN, pa.int64()),
            *([pa.field(SOURCE_COLUMN, pa.string())] if self._with_source else []),
            *(pa.field(name, arrow_type) for name, arrow_type in zip(self._keep, self._kept_types)),
            *(pa.field(name, arrow_type) for name, arrow_type in zip(FEATURE_NAMES, arrow.feature_types())),
        ]
        return pa.schema(fields)
