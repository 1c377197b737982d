"""The ``veltrix`` command.

    veltrix features INPUT... -o OUTPUT [--force] [--telemetry-key KEY] [--keep FIELD,...]
                     [--max-line-bytes N] [--jobs N] [--progress | --no-progress]

Exit status: 0 when every line gave a row, 1 when some were refused (or an
input could not be read to its end), 2 for a usage error, 128 + the signal's
number when stopped by SIGINT (130), SIGTERM (143) or SIGHUP (129).
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import stat
import sys
from collections.abc import Sequence
from concurrent.futures.process import BrokenProcessPool

from veltrix.batch.extraction import checked_keep
from veltrix.batch.formats import STANDARD_OUTPUT, ParquetFormat, format_for_output
from veltrix.batch.inputs import MAX_LINE_BYTES, STANDARD_INPUT
from veltrix.batch.output_file import PendingOutput
from veltrix.batch.run import RunSettings, run_features
from veltrix.batch.stopping import Stopped, stop_on_signals

BYTE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    arguments = parser.parse_args(argv)
    return arguments.command(arguments)


def default_jobs() -> int:
    """The cores this process may run on."""
    if hasattr(os, "process_cpu_count"):
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="veltrix", description="Tools of the veltrix bot-detection core.")
    commands = parser.add_subparsers(metavar="COMMAND", required=True)
    features = commands.add_parser(
        "features",
        help="features of recorded visits, from JSON lines to CSV, JSON lines or Parquet",
        description="Writes the 39 features of every visit in JSON-lines inputs, one row per accepted "
        "line in input order. Lines that hold no visit are named on standard error and skipped.",
    )
    features.add_argument(
        "inputs", nargs="+", metavar="INPUT", help="JSON-lines file, gzip-compressed or not, or - for standard input"
    )
    features.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="OUTPUT",
        help="a .csv, .jsonl or .parquet file, or - for CSV on standard output; "
        "a file appears only when the run is through",
    )
    features.add_argument("--force", action="store_true", help="replace OUTPUT if it is an existing file")
    features.add_argument(
        "--telemetry-key",
        metavar="KEY",
        help="each line is an object holding the visit's telemetry under KEY "
        "(default: each line is the telemetry itself)",
    )
    features.add_argument(
        "--keep",
        type=_names,
        action="extend",
        default=[],
        metavar="FIELD,...",
        help="top-level members of each line to copy into the output, such as an id or a label "
        "(spaces around names are dropped; may be given several times)",
    )
    features.add_argument(
        "--max-line-bytes",
        type=_byte_count,
        default=MAX_LINE_BYTES,
        metavar="N",
        help="refuse lines longer than N bytes (suffixes K, M, G: units of 1024) without reading them "
        f"(default: {MAX_LINE_BYTES >> 20}M)",
    )
    features.add_argument(
        "--jobs",
        type=_positive_int,
        default=default_jobs(),
        metavar="N",
        help="worker processes (default: the number of cores, here %(default)s)",
    )
    features.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="progress bar on standard error (default: when it is a terminal)",
    )
    features.set_defaults(command=lambda arguments: _features(arguments, features))
    return parser


def _features(arguments: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    stop_on_signals(with_workers=arguments.jobs > 1)  # before pyarrow or the pool start threads
    try:
        return _checked_run(arguments, parser)
    except Stopped as stop:
        # The workers, the fork server and the pending output are gone by now.
        name = signal.Signals(stop.signal_number).name
        sys.stderr.write(f"veltrix features: {'interrupted' if name == 'SIGINT' else f'stopped by {name}'}\n")
        return 128 + stop.signal_number


def _checked_run(arguments: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    try:
        keep = checked_keep(arguments.keep)
        output_format = format_for_output(arguments.output, keep, with_source=len(arguments.inputs) > 1)
    except ValueError as error:
        parser.error(str(error))
    if isinstance(output_format, ParquetFormat):
        try:
            import pyarrow.parquet  # noqa: F401
        except ImportError:
            parser.error("Parquet output needs pyarrow: pip install 'veltrix_core_rs[parquet]'")
    _check_inputs(arguments.inputs, arguments.output, parser)
    show_progress = sys.stderr.isatty() if arguments.progress is None else arguments.progress
    settings = RunSettings(arguments.telemetry_key, keep, output_format, arguments.max_line_bytes)
    try:
        output = PendingOutput(arguments.output, overwrite=arguments.force)
    except FileExistsError:
        parser.error(f"the output {arguments.output!r} exists: name another, or replace it with --force")
    except OSError as error:
        parser.error(f"cannot write {arguments.output!r}: {error.strerror}")
    try:
        with output as stream:
            return run_features(arguments.inputs, stream, settings, arguments.jobs, show_progress)
    except BrokenPipeError:
        # The reader of standard output went away (`| head`): stop quietly, and keep
        # the interpreter's final flush from failing again.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except BrokenProcessPool:
        sys.stderr.write("veltrix features: error: a worker process ended unexpectedly\n")
        return 1
    except OSError as error:  # reading errors are reported per input: this is the output
        sys.stderr.write(f"veltrix features: error: cannot write {arguments.output!r}: {error}\n")
        return 1


def _check_inputs(inputs: Sequence[str], output: str, parser: argparse.ArgumentParser) -> None:
    if inputs.count(STANDARD_INPUT) > 1:
        parser.error("standard input (-) can be read only once")
    for name in inputs:
        if name == STANDARD_INPUT:
            continue
        try:
            if stat.S_ISFIFO(os.stat(name).st_mode):
                # Opened once, when its turn comes: a FIFO closed by its reader loses its writer.
                if not os.access(name, os.R_OK):
                    raise PermissionError(13, os.strerror(13))
            else:
                with open(name, "rb"):
                    pass
        except OSError as error:
            parser.error(f"cannot read {name!r}: {error.strerror}")
        if output != STANDARD_OUTPUT and os.path.exists(output) and os.path.samefile(name, output):
            parser.error(f"the output {output!r} is also an input")


def _names(text: str) -> tuple[str, ...]:
    names = tuple(name.strip() for name in text.split(","))
    if not all(names):
        raise argparse.ArgumentTypeError(f"empty member name in {text!r}")
    return names


def _byte_count(text: str) -> int:
    match = re.fullmatch(r"\s*(\d+)\s*([KMG]?)i?B?\s*", text, re.IGNORECASE)
    if match is None or int(match[1]) < 1:
        raise argparse.ArgumentTypeError(f"not a positive byte count: {text!r} (such as 65536, 512K or 16M)")
    return int(match[1]) * BYTE_UNITS[match[2].upper()]


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value
