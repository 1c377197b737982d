"""CSV output: a header row, then one row per visit.

Values are written as Python's csv module writes them (floats in repr form, so
they read back to the same bits; True and False; nothing for a missing member),
kept objects and arrays as JSON text, quoted only where needed. Rows end in
a bare newline.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, BinaryIO

from veltrix.batch.extraction import FEATURE_NAMES, LINE_COLUMN, SOURCE_COLUMN, Extraction, RefusedLine
from veltrix.batch.formats.encoded import BytesWriter, EncodedChunk

try:
    # repr() of a row's 39 values takes as long as extracting them; natively a ninth of that.
    from veltrix._json_native import join_reprs
except ImportError:  # built without the native JSON reader

    def join_reprs(values: Sequence[Any]) -> str:
        return ",".join(map(repr, values))


# Characters that make a field need quotes, as the csv module's minimal quoting decides.
_QUOTE_TRIGGERS = frozenset(',"\r\n')
# Lone surrogates in kept strings have no UTF-8 form; they are written as \udXXX escapes.
_UNENCODABLE = "backslashreplace"


@dataclass(frozen=True, slots=True)
class CsvFormat:
    keep: tuple[str, ...]
    with_source: bool

    def encode(self, extraction: Extraction, source: str | None) -> EncodedChunk:
        source_field = f",{csv_field(source)}" if self.with_source else ""
        chunk = EncodedChunk(b"")
        kept_end = 1 + len(self.keep)
        if not self.keep:
            text = "".join([f"{row[0]}{source_field},{join_reprs(row[1:])}\n" for row in extraction.rows])
        else:
            lines = []
            for row in extraction.rows:
                try:
                    kept = "".join([f",{csv_field(value)}" for value in row[1:kept_end]])
                except RecursionError:
                    chunk.refused.append(RefusedLine(row[0], "a kept member is nested too deeply to write"))
                    continue
                lines.append(f"{row[0]}{source_field}{kept},{join_reprs(row[kept_end:])}\n")
            text = "".join(lines)
        chunk.payload = text.encode("utf-8", _UNENCODABLE)
        return chunk

    def open_writer(self, stream: BinaryIO) -> BytesWriter:
        names = [LINE_COLUMN, *([SOURCE_COLUMN] if self.with_source else []), *self.keep, *FEATURE_NAMES]
        header = ",".join(csv_field(name) for name in names) + "\n"
        return BytesWriter(stream, header.encode("utf-8", _UNENCODABLE))


def csv_field(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, (dict, list)):
        value = json.dumps(value)
    elif not isinstance(value, str):
        return repr(value)
    if _QUOTE_TRIGGERS.isdisjoint(value):
        return value
    return '"' + value.replace('"', '""') + '"'
