"""Output formats of the batch command, chosen by the output's file extension."""

from __future__ import annotations

from pathlib import PurePath

from veltrix.batch.formats.csv_rows import CsvFormat
from veltrix.batch.formats.encoded import ChunkWriter, EncodedChunk, OutputFormat
from veltrix.batch.formats.jsonl_rows import JsonlFormat
from veltrix.batch.formats.parquet_rows import ParquetFormat

STANDARD_OUTPUT = "-"
FORMATS_BY_SUFFIX = {".csv": CsvFormat, ".jsonl": JsonlFormat, ".parquet": ParquetFormat}

__all__ = [
    "ChunkWriter",
    "CsvFormat",
    "EncodedChunk",
    "JsonlFormat",
    "OutputFormat",
    "ParquetFormat",
    "format_for_output",
]


def format_for_output(output: str, keep: tuple[str, ...], with_source: bool) -> OutputFormat:
    """The format that `output`'s extension names (CSV for "-"); ValueError for any other."""
    if output == STANDARD_OUTPUT:
        return CsvFormat(keep, with_source)
    suffix = PurePath(output).suffix.lower()
    if suffix not in FORMATS_BY_SUFFIX:
        raise ValueError(
            f"cannot tell the output format of {output!r}: "
            f"name a .csv, .jsonl or .parquet file, or - for CSV on standard output"
        )
    return FORMATS_BY_SUFFIX[suffix](keep, with_source)
