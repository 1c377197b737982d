"""The Dask example on a LocalCluster of worker processes (loopback only)."""

import gzip
import importlib
import json
import sys
from pathlib import Path

import pytest
from batch_visits import VISIT_LINES, reference_features, same_value

distributed = pytest.importorskip("dask.distributed")
pq = pytest.importorskip("pyarrow.parquet")

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture(scope="module")
def example():
    # On sys.path before the cluster starts, so that its spawned workers import the example as we do.
    sys.path.insert(0, str(EXAMPLES))
    yield importlib.import_module("dask_features")
    sys.path.remove(str(EXAMPLES))


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_dask_bag_on_a_local_cluster(tmp_path, example, compressed):
    records = [{"id": f"visit-{index}", "telemetry": json.loads(line)} for index, line in enumerate(VISIT_LINES[:60])]
    lines = [json.dumps(record) for record in records]
    lines.insert(7, "not json")
    paths = []
    for part, (start, end) in enumerate([(0, 31), (31, len(lines))]):
        data = ("\n".join(lines[start:end]) + "\n").encode()
        path = tmp_path / f"visits-{part}.jsonl{'.gz' if compressed else ''}"
        path.write_bytes(gzip.compress(data) if compressed else data)
        paths.append(str(path))
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        ) as cluster,
        distributed.Client(cluster),
    ):
        rows, refused = example.extract_to_parquet(
            paths, str(tmp_path / "features"), telemetry_key="telemetry", keep=["id"], block_size=64 * 1024
        )
    assert (rows, refused) == (60, 1)
    parts = sorted((tmp_path / "features").glob("part-*.parquet"))
    assert len(parts) > (2 if not compressed else 1)
    written = {row["id"]: row for part in parts for row in pq.read_table(part).to_pylist()}
    assert sorted(written) == sorted(record["id"] for record in records)
    for record in records:
        expected = reference_features(json.dumps(record), "telemetry")
        assert all(same_value(written[record["id"]][name], value) for name, value in expected.items())
