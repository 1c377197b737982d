"""One batch run: inputs read in chunks, chunks extracted and encoded by worker
processes, encoded chunks written in input order, refusals reported as they come,
and warnings at the end for what looks like a mistaken command: no telemetry
found in any line, or a kept member that no line holds.
"""

from __future__ import annotations

import json
import sys
import zlib
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, BinaryIO, TextIO

import veltrix_core_rs
from veltrix.batch.extraction import RefusedLine, extract_lines
from veltrix.batch.formats import OutputFormat
from veltrix.batch.inputs import MAX_LINE_BYTES, Chunk, InputReader, input_size
from veltrix.batch.pipeline import ordered_map
from veltrix.batch.progress import Progress, summary

# What a damaged input raises mid-way: truncated or corrupt gzip data, I/O errors.
READ_ERRORS = (OSError, EOFError, zlib.error)
# The features of a line that holds none of the telemetry's keys.
EMPTY_VISIT = tuple(veltrix_core_rs.extract_features_rs({}).values())


@dataclass(frozen=True, slots=True)
class RunSettings:
    telemetry_key: str | None
    keep: tuple[str, ...]
    output_format: OutputFormat
    max_line_bytes: int = MAX_LINE_BYTES


@dataclass(frozen=True, slots=True)
class ChunkTask:
    settings: RunSettings
    input_index: int
    source: str | None  # the source column's value, with several inputs
    chunk: Chunk | None
    read_failure: str | None  # instead of a chunk: why the input could not be read on


@dataclass(slots=True)
class ChunkResult:
    input_index: int
    end_offset: int
    visits: int  # accepted and refused lines (blank lines are no visits)
    payload: Any  # None when there is nothing to write
    refused: list[RefusedLine]
    read_failure: str | None
    telemetry_read: bool = False  # some row is not an empty visit
    kept_present: tuple[bool, ...] = ()  # for each kept member, whether some row holds a value for it


def process_chunk(task: ChunkTask) -> ChunkResult:
    """Extraction and encoding of one chunk (runs in a worker process)."""
    chunk, settings = task.chunk, task.settings
    if chunk is None:
        return ChunkResult(task.input_index, 0, 0, None, [], task.read_failure)
    if chunk.overlong:
        refusal = RefusedLine(chunk.first_line, overlong_reason(settings.max_line_bytes))
        return ChunkResult(task.input_index, chunk.end_offset, 1, None, [refusal], None)
    try:
        data = chunk.data
    except READ_ERRORS as error:
        return ChunkResult(task.input_index, 0, 0, None, [], read_failure(chunk.first_line, error))
    lines = data.split(b"\n")
    # Only a chunk longer than the limit can hold a line longer than it.
    overlong = (
        _blank_overlong(lines, chunk.first_line, settings.max_line_bytes) if len(data) > settings.max_line_bytes else []
    )
    extraction = extract_lines(
        lines, telemetry_key=settings.telemetry_key, keep=settings.keep, first_line=chunk.first_line
    )
    encoded = settings.output_format.encode(extraction, task.source)
    refused = extraction.refused
    if encoded.refused or overlong:
        refused = sorted(refused + encoded.refused + overlong, key=lambda refusal: refusal.line)
    rows, kept_end = extraction.rows, 1 + len(settings.keep)
    return ChunkResult(
        task.input_index,
        chunk.end_offset,
        len(rows) + len(extraction.refused) + len(overlong),
        encoded.payload,
        refused,
        None,
        telemetry_read=any(row[kept_end:] != EMPTY_VISIT for row in rows),
        kept_present=tuple(any(row[column] is not None for row in rows) for column in range(1, kept_end)),
    )


def overlong_reason(max_line_bytes: int) -> str:
    return f"line too long (over {max_line_bytes:,} bytes, the --max-line-bytes limit)"


def _blank_overlong(lines: list[bytes], first_line: int, max_line_bytes: int) -> list[RefusedLine]:
    """Refusals of the lines longer than the limit, blanked in `lines` so that they are not read."""
    refused = []
    for index, line in enumerate(lines):
        if len(line) > max_line_bytes:
            lines[index] = b""
            refused.append(RefusedLine(first_line + index, overlong_reason(max_line_bytes)))
    return refused


def run_features(
    inputs: Sequence[str],
    output: BinaryIO,
    settings: RunSettings,
    jobs: int,
    show_progress: bool,
    errors: TextIO = sys.stderr,
) -> int:
    """Writes the features of every input's lines to `output`; returns the exit status (0 or 1).

    Refused lines and unreadable inputs are named on `errors`, followed by a summary.
    """
    sizes = [input_size(name) for name in inputs]
    total_bytes = None if None in sizes else sum(sizes)
    input_starts = [sum(size or 0 for size in sizes[:index]) for index in range(len(sizes))]
    progress = Progress(errors, show_progress, total_bytes)
    writer = settings.output_format.open_writer(output)
    visits = refused_count = 0
    failed_inputs: set[int] = set()
    tally = _Tally(settings)
    try:
        for result in ordered_map(process_chunk, _tasks(inputs, settings), jobs):
            name = inputs[result.input_index]
            if result.input_index in failed_inputs:
                continue  # a worker found the file changed: what follows it is not read either
            if result.read_failure is not None:
                failed_inputs.add(result.input_index)
                progress.message(f"{name}: {result.read_failure}")
                continue
            refused = result.refused + (writer.write(result.payload) if result.payload is not None else [])
            visits += result.visits
            refused_count += len(refused)
            tally.add(result, refused)
            for refusal in sorted(refused, key=lambda refusal: refusal.line):
                progress.message(f"{name}:{refusal.line}: {refusal.reason}")
            progress.update(visits, input_starts[result.input_index] + result.end_offset)
        writer.close()
    finally:
        progress.close()
    for warning in tally.warnings(accepted=visits - refused_count):
        errors.write(f"veltrix features: warning: {warning}\n")
    errors.write(summary(visits, refused_count, progress.elapsed()) + "\n")
    return 0 if refused_count == len(failed_inputs) == 0 else 1


class _Tally:
    """What the whole run's chunks tell about the command itself."""

    def __init__(self, settings: RunSettings) -> None:
        self._settings = settings
        self._telemetry_read = False
        self._kept_present = [False] * len(settings.keep)
        key = settings.telemetry_key
        self._no_key_reason = None if key is None else f"no member {json.dumps(key)}"
        self._lines_without_key = 0

    def add(self, result: ChunkResult, refused: list[RefusedLine]) -> None:
        self._telemetry_read = self._telemetry_read or result.telemetry_read
        for column, present in enumerate(result.kept_present):
            self._kept_present[column] = self._kept_present[column] or present
        if self._no_key_reason is not None:
            self._lines_without_key += sum(1 for refusal in refused if refusal.reason == self._no_key_reason)

    def warnings(self, accepted: int) -> list[str]:
        key = self._settings.telemetry_key
        if not accepted:
            if not self._lines_without_key:
                return []
            return [
                f"no line gave a row, and {self._lines_without_key:,} have no member {json.dumps(key)}: "
                "if each line is the telemetry itself, leave out --telemetry-key"
            ]
        warnings = []
        if not self._telemetry_read:
            if key is None:
                warnings.append(
                    "no line holds any telemetry key: every row is an empty visit; "
                    "if the telemetry sits under a member of each line, name it with --telemetry-key"
                )
            else:
                warnings.append(f"no member {json.dumps(key)} holds any telemetry key: every row is an empty visit")
        warnings += [
            f"no line has a member {json.dumps(name)} (or only null): its column is empty"
            for name, present in zip(self._settings.keep, self._kept_present)
            if not present
        ]
        return warnings


def _tasks(inputs: Sequence[str], settings: RunSettings) -> Iterator[ChunkTask]:
    several = len(inputs) > 1
    for index, name in enumerate(inputs):
        source = name if several else None
        next_line = 1
        try:
            with InputReader(name) as reader:
                for chunk in reader.chunks(max_line_bytes=settings.max_line_bytes):
                    next_line = chunk.first_line + chunk.line_count
                    yield ChunkTask(settings, index, source, chunk, None)
        except READ_ERRORS as error:
            yield ChunkTask(settings, index, source, None, read_failure(next_line, error))


def read_failure(next_line: int, error: BaseException) -> str:
    """Why an input stopped being read before line `next_line`."""
    where = "" if next_line == 1 else f" after line {next_line - 1}"
    return f"cannot be read{where}: {error}"
