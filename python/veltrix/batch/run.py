"""One batch run: inputs read in chunks, chunks extracted and encoded by worker
processes, encoded chunks written in input order, refusals reported as they come.
"""

from __future__ import annotations

import sys
import zlib
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, BinaryIO, TextIO

from veltrix.batch.extraction import RefusedLine, extract_lines
from veltrix.batch.formats import OutputFormat
from veltrix.batch.inputs import Chunk, InputReader, input_size
from veltrix.batch.pipeline import ordered_map
from veltrix.batch.progress import Progress, summary

# What a damaged input raises mid-way: truncated or corrupt gzip data, I/O errors.
READ_ERRORS = (OSError, EOFError, zlib.error)


@dataclass(frozen=True, slots=True)
class RunSettings:
    telemetry_key: str | None
    keep: tuple[str, ...]
    output_format: OutputFormat


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
    payload: Any
    refused: list[RefusedLine]
    read_failure: str | None


def process_chunk(task: ChunkTask) -> ChunkResult:
    """Extraction and encoding of one chunk (runs in a worker process)."""
    if task.chunk is None:
        return ChunkResult(task.input_index, 0, 0, None, [], task.read_failure)
    settings = task.settings
    try:
        data = task.chunk.data
    except READ_ERRORS as error:
        return ChunkResult(task.input_index, 0, 0, None, [], read_failure(task.chunk.first_line, error))
    extraction = extract_lines(
        data.split(b"\n"),
        telemetry_key=settings.telemetry_key,
        keep=settings.keep,
        first_line=task.chunk.first_line,
    )
    encoded = settings.output_format.encode(extraction, task.source)
    refused = extraction.refused
    if encoded.refused:
        refused = sorted(refused + encoded.refused, key=lambda refusal: refusal.line)
    return ChunkResult(
        task.input_index,
        task.chunk.end_offset,
        len(extraction.rows) + len(extraction.refused),
        encoded.payload,
        refused,
        None,
    )


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
    try:
        for result in ordered_map(process_chunk, _tasks(inputs, settings), jobs):
            name = inputs[result.input_index]
            if result.input_index in failed_inputs:
                continue  # a worker found the file changed: what follows it is not read either
            if result.read_failure is not None:
                failed_inputs.add(result.input_index)
                progress.message(f"{name}: {result.read_failure}")
                continue
            refused = result.refused + writer.write(result.payload)
            visits += result.visits
            refused_count += len(refused)
            for refusal in sorted(refused, key=lambda refusal: refusal.line):
                progress.message(f"{name}:{refusal.line}: {refusal.reason}")
            progress.update(visits, input_starts[result.input_index] + result.end_offset)
        writer.close()
    finally:
        progress.close()
    errors.write(summary(visits, refused_count, progress.elapsed()) + "\n")
    return 0 if refused_count == len(failed_inputs) == 0 else 1


def _tasks(inputs: Sequence[str], settings: RunSettings) -> Iterator[ChunkTask]:
    several = len(inputs) > 1
    for index, name in enumerate(inputs):
        source = name if several else None
        next_line = 1
        try:
            with InputReader(name) as reader:
                for chunk in reader.chunks():
                    next_line = chunk.first_line + chunk.line_count
                    yield ChunkTask(settings, index, source, chunk, None)
        except READ_ERRORS as error:
            yield ChunkTask(settings, index, source, None, read_failure(next_line, error))


def read_failure(next_line: int, error: BaseException) -> str:
    """Why an input stopped being read before line `next_line`."""
    where = "" if next_line == 1 else f" after line {next_line - 1}"
    return f"cannot be read{where}: {error}"
