"""JSON-lines output: one compact object per visit, members in column order.

Floats are written in repr form, so they read back to the same bits (NaN and
infinities as Python's json module writes them); kept members keep their JSON
value; non-ASCII text is escaped, so every line is ASCII. Rows are written natively
(json_object), to the byte what the json module writes; a value it leaves to
the json module (one nested beyond the recursion limit, say) is written by it.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any, BinaryIO

from veltrix.batch.extraction import FEATURE_NAMES, LINE_COLUMN, SOURCE_COLUMN, Extraction, RefusedLine
from veltrix.batch.formats.encoded import BytesWriter, EncodedChunk

_encode = json.JSONEncoder(separators=(",", ":")).encode

try:
    from veltrix._json_native import json_object
except ImportError:  # built without the native JSON reader

    def json_object(names: tuple[str, ...], values: tuple[Any, ...]) -> str | None:
        return None


@dataclass(frozen=True, slots=True)
class JsonlFormat:
    keep: tuple[str, ...]
    with_source: bool

    def encode(self, extraction: Extraction, source: str | None) -> EncodedChunk:
        chunk = EncodedChunk(b"")
        lines = []
        if self.with_source:
            names = (LINE_COLUMN, SOURCE_COLUMN, *self.keep, *FEATURE_NAMES)
            rows = ((row[0], source, *row[1:]) for row in extraction.rows)
        else:
            names = (LINE_COLUMN, *self.keep, *FEATURE_NAMES)
            rows = iter(extraction.rows)
        for row in rows:
            line = json_object(names, row)
            if line is None:
                try:
                    line = _encode(dict(zip(names, row)))
                except RecursionError:
                    chunk.refused.append(RefusedLine(row[0], "a kept member is nested too deeply to write"))
                    continue
            lines.append(line)
        chunk.payload = ("\n".join(lines) + "\n").encode("ascii") if lines else b""
        return chunk

    def open_writer(self, stream: BinaryIO) -> BytesWriter:
        return BytesWriter(stream)
