"""Features of recorded visits on a Dask cluster: one Parquet file per partition.

    python examples/dask_features.py visits-*.jsonl --output features/
    python examples/dask_features.py visits-*.jsonl --output features/ --scheduler tcp://scheduler-host:8786 \
        --telemetry-key telemetry --keep id,label

Needs `pip install 'veltrix_core_rs[dask,parquet]'` wherever the workers run.
Without --scheduler it starts a LocalCluster of two worker processes here.

The JSON-lines files are read as a dask.bag of lines (plain files split into
blocks, gzip files one partition each); every partition is one map task that
turns its lines into feature rows with veltrix.batch.extract_lines and writes
them to its own Parquet file. The "line" column counts within the partition:
keep an id to join the features with other data.
"""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Sequence
from pathlib import Path

import dask
import dask.bag
import pyarrow.parquet
from dask.distributed import Client, LocalCluster

from veltrix.batch import extract_lines

BLOCK_SIZE = "64MiB"


def features_of_partition(
    lines: Sequence[str], path: str, telemetry_key: str | None, keep: Sequence[str]
) -> tuple[int, int]:
    """Writes the rows of one partition's lines to `path`; returns (rows written, lines refused)."""
    extraction = extract_lines(lines, telemetry_key=telemetry_key, keep=keep)
    pyarrow.parquet.write_table(extraction.to_arrow(), path)
    return len(extraction.rows), len(extraction.refused)


def extract_to_parquet(
    paths: Sequence[str],
    output: str,
    *,
    telemetry_key: str | None = None,
    keep: Sequence[str] = (),
    block_size: str | int = BLOCK_SIZE,
) -> tuple[int, int]:
    """Runs on the current Dask client; returns the rows written and the lines refused, over all partitions."""
    Path(output).mkdir(parents=True, exist_ok=True)
    compressed = any(str(path).endswith(".gz") for path in paths)
    lines = dask.bag.read_text(list(paths), blocksize=None if compressed else block_size)
    tasks = [
        dask.delayed(features_of_partition)(partition, f"{output}/part-{index:05d}.parquet", telemetry_key, tuple(keep))
        for index, partition in enumerate(lines.to_delayed())
    ]
    counts = dask.compute(*tasks)
    return sum(rows for rows, _ in counts), sum(refused for _, refused in counts)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inputs", nargs="+", metavar="INPUT")
    parser.add_argument("--output", required=True, help="folder for the part-NNNNN.parquet files")
    parser.add_argument("--scheduler", help="address of a running scheduler (default: a local cluster)")
    parser.add_argument("--telemetry-key")
    parser.add_argument("--keep", default="", help="comma-separated top-level members to copy")
    arguments = parser.parse_args()
    keep = [name for name in arguments.keep.split(",") if name]
    with contextlib.ExitStack() as stack:
        cluster = arguments.scheduler or stack.enter_context(
            LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None)
        )
        stack.enter_context(Client(cluster))
        rows, refused = extract_to_parquet(
            arguments.inputs, arguments.output, telemetry_key=arguments.telemetry_key, keep=keep
        )
    print(f"{rows:,} rows written to {arguments.output}, {refused:,} lines refused")


if __name__ == "__main__":
    main()
