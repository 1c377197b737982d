"""What every output format provides: chunk encoding (in the workers) and a writer."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, BinaryIO, Protocol

from veltrix.batch.extraction import Extraction, RefusedLine


@dataclass(slots=True)
class EncodedChunk:
    """One chunk's rows in the writer's form, and the rows that could not be encoded."""

    payload: Any
    refused: list[RefusedLine] = field(default_factory=list)


class ChunkWriter(Protocol):
    def write(self, payload: Any) -> list[RefusedLine]:
        """Writes one encoded chunk; returns the rows it refused to store."""

    def close(self) -> None: ...


class OutputFormat(Protocol):
    """Picklable, so that worker processes encode chunks themselves."""

    def encode(self, extraction: Extraction, source: str | None) -> EncodedChunk: ...

    def open_writer(self, stream: BinaryIO) -> ChunkWriter: ...


class BytesWriter:
    """Writes text formats: a header, then each chunk's bytes as they come."""

    def __init__(self, stream: BinaryIO, header: bytes = b"") -> None:
        self._stream = stream
        stream.write(header)

    def write(self, payload: bytes) -> list[RefusedLine]:
        self._stream.write(payload)
        return []

    def close(self) -> None:
        self._stream.flush()
