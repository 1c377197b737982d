"""Reading JSON-lines inputs in chunks of whole lines.

An input is a file or "-" for standard input; gzip data is recognised by its
magic bytes and decompressed on the fly. A chunk holds the raw bytes of whole
lines, so that memory follows the chunk size whatever the input's size (a
single line longer than a chunk makes its chunk that long, up to the line
limit: a longer line is skipped unread and stands as an overlong chunk of its
own). A chunk of a plain regular file holds only where its lines lie: the
worker that extracts it reads them itself, so the bytes never pass through a
pipe between processes.

Every input is opened once, so that a FIFO or a process substitution keeps its
single writer. A regular file is watched for changes from the moment it is
opened: one unlinked, replaced, truncated, rewritten in place or grown while it
is read is reported, never read as a mix of its versions.
"""

from __future__ import annotations

import gzip
import io
import os
import stat
import sys
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from typing import BinaryIO

STANDARD_INPUT = "-"
CHUNK_BYTES = 1 << 20
MAX_LINE_BYTES = 16 << 20
GZIP_MAGIC = b"\x1f\x8b"
UTF8_BOM = b"\xef\xbb\xbf"


class InputChanged(OSError):
    """A regular file no longer holds the lines found in it when a chunk of it is read again."""

    def __init__(self) -> None:
        super().__init__("the file changed while it was read")


type FileVersion = tuple[int, int, int, int, int]


def file_version(status: os.stat_result) -> FileVersion:
    """What changes when a file is replaced (device, inode) or written to (size, modification and change times)."""
    return (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns)


@dataclass(frozen=True, slots=True)
class FileSpan:
    """Bytes of a regular file, read where they are needed."""

    path: str
    version: FileVersion  # the file's when it was opened: its lines were found in that version
    offset: int
    length: int

    def read(self) -> bytes:
        with open(self.path, "rb", buffering=0) as file:
            data = os.pread(file.fileno(), self.length, self.offset)
            # Looked at after the read, so that a write during it shows in the file's times.
            changed = file_version(os.fstat(file.fileno())) != self.version
        if changed or len(data) != self.length:
            raise InputChanged
        return data


@dataclass(frozen=True, slots=True)
class OverlongLine:
    """A chunk's content when it is a single line longer than the limit, skipped unread."""


@dataclass(frozen=True, slots=True)
class Chunk:
    content: bytes | FileSpan | OverlongLine  # lines separated by b"\n", without the final one
    first_line: int  # 1-based number of the chunk's first line in its input
    line_count: int
    end_offset: int  # bytes of the (compressed) input read so far, for progress

    @property
    def overlong(self) -> bool:
        return isinstance(self.content, OverlongLine)

    @property
    def data(self) -> bytes:
        """The chunk's lines; reading a file span may raise OSError (InputChanged among them)."""
        if isinstance(self.content, OverlongLine):
            raise ValueError("an overlong line is not read")
        return self.content if isinstance(self.content, bytes) else self.content.read()


class InputReader:
    """Chunks of one input, opened on creation and closed on leaving its `with` block."""

    def __init__(self, name: str) -> None:
        self.name = name
        self._raw: BinaryIO = sys.stdin.buffer if name == STANDARD_INPUT else open(name, "rb")
        status = os.fstat(self._raw.fileno())
        self._version = file_version(status) if stat.S_ISREG(status.st_mode) else None
        self._counter = _CountingReader(self._raw)
        self._stream: BinaryIO = self._counter
        if _peek(self._raw, len(GZIP_MAGIC)) == GZIP_MAGIC:
            self._stream = gzip.GzipFile(fileobj=self._counter, mode="rb")

    def chunks(self, chunk_bytes: int = CHUNK_BYTES, max_line_bytes: int = MAX_LINE_BYTES) -> Iterator[Chunk]:
        """The input's lines in chunks of about `chunk_bytes`; read errors (OSError, EOFError) pass through.

        A line found longer than `max_line_bytes` before its end is skipped and
        given as an overlong chunk; one within a chunk is left to its reader to
        measure, so the bytes held stay below `chunk_bytes` + `max_line_bytes`.
        """
        if self._stream is self._counter and self.name != STANDARD_INPUT and self._version is not None:
            return self._file_spans(self._version, chunk_bytes, max_line_bytes)
        return self._read_chunks(chunk_bytes, max_line_bytes)

    def _file_spans(self, version: FileVersion, chunk_bytes: int, max_line_bytes: int) -> Iterator[Chunk]:
        # Only newlines are looked for here, in one buffer used again for every block.
        buffer = bytearray(chunk_bytes)
        bom_length = len(UTF8_BOM) if _peek(self._raw, len(UTF8_BOM)) == UTF8_BOM else 0
        start, position, next_line = 0, 0, 1  # where the next chunk starts, bytes read, its first line
        skipping = False  # through an overlong line, to its newline
        while size := self._raw.readinto(buffer):
            scan_from = 0
            if skipping:
                if (end := buffer.find(b"\n", 0, size)) < 0:
                    position += size
                    continue
                yield Chunk(OverlongLine(), next_line, 1, position + size)
                skipping, start, next_line, scan_from = False, position + end + 1, next_line + 1, end + 1
            cut = buffer.rfind(b"\n", scan_from, size)
            if cut >= 0:
                line_count = buffer.count(b"\n", scan_from, cut) + 1
                yield Chunk(
                    self._span(version, start, position + cut, bom_length), next_line, line_count, position + size
                )
                start, next_line = position + cut + 1, next_line + line_count
            position += size
            skipping = position - start > max_line_bytes  # [start, position) holds no newline
        if skipping:
            yield Chunk(OverlongLine(), next_line, 1, position)
        elif start < position:
            yield Chunk(self._span(version, start, position, bom_length), next_line, 1, position)

    def _span(self, version: FileVersion, start: int, end: int, bom_length: int) -> FileSpan:
        offset = start + bom_length if start == 0 else start
        return FileSpan(os.path.abspath(self.name), version, offset, end - offset)

    def _read_chunks(self, chunk_bytes: int, max_line_bytes: int) -> Iterator[Chunk]:
        next_line = 1
        unfinished: list[bytes] = []  # the start of a line that no block has ended yet
        unfinished_bytes = 0
        skipping = False  # through an overlong line, to its newline
        while block := self._read_block(chunk_bytes):
            if skipping:
                if (end := block.find(b"\n")) < 0:
                    continue
                yield Chunk(OverlongLine(), next_line, 1, self._counter.count)
                skipping, next_line, block = False, next_line + 1, block[end + 1 :]
            cut = block.rfind(b"\n")
            if cut >= 0:
                data = b"".join([*unfinished, block[:cut]])
                unfinished, unfinished_bytes, block = [], 0, block[cut + 1 :]
                yield (chunk := self._chunk(data, next_line))
                next_line += chunk.line_count
            if block:
                unfinished.append(block)
                unfinished_bytes += len(block)
            if unfinished_bytes > max_line_bytes:
                unfinished, unfinished_bytes, skipping = [], 0, True
        if skipping:
            yield Chunk(OverlongLine(), next_line, 1, self._counter.count)
        elif data := b"".join(unfinished):
            yield self._chunk(data, next_line)

    def _read_block(self, size: int) -> bytes:
        # Streamed regular files (gzip ones, standard input from a file) are read by
        # this process alone, so it looks for changes itself; a change also explains
        # gzip data that turns corrupt.
        try:
            block = self._stream.read(size)
        except (OSError, EOFError, zlib.error):
            self._check_unchanged()
            raise
        self._check_unchanged()
        return block

    def _check_unchanged(self) -> None:
        if self._version is not None and file_version(os.fstat(self._raw.fileno())) != self._version:
            raise InputChanged

    def _chunk(self, data: bytes, first_line: int) -> Chunk:
        if first_line == 1:
            data = data.removeprefix(UTF8_BOM)
        return Chunk(data, first_line, data.count(b"\n") + 1, self._counter.count)

    def __enter__(self) -> InputReader:
        return self

    def __exit__(self, *exception: object) -> None:
        if self._raw is not sys.stdin.buffer:
            self._raw.close()


class _CountingReader(io.RawIOBase):
    """The raw input, counting the bytes taken from it (progress through a gzip file)."""

    def __init__(self, raw: BinaryIO) -> None:
        self._raw = raw
        self.count = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        count = self._raw.readinto(buffer) or 0
        self.count += count
        return count

    def read(self, size: int = -1) -> bytes:
        data = self._raw.read(size)
        self.count += len(data)
        return data


def _peek(stream: BinaryIO, count: int) -> bytes:
    peek = getattr(stream, "peek", None)
    return peek(count)[:count] if peek is not None else b""


def input_size(name: str) -> int | None:
    """Bytes in the input when it is a regular file (standard input may be one), else None."""
    try:
        status = os.fstat(sys.stdin.fileno()) if name == STANDARD_INPUT else os.stat(name)
    except (OSError, ValueError, io.UnsupportedOperation):
        return None
    return status.st_size if stat.S_ISREG(status.st_mode) else None
