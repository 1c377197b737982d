"""The batch API under the command: lines or records in, rows or Arrow tables out, and input chunking."""

import gzip
import json

import pytest
from batch_visits import VISIT_LINES, VISITS, reference_features, same_value

import veltrix.batch.extraction
from veltrix.batch import FEATURE_NAMES, RefusedLine, extract_lines, extract_records
from veltrix.batch.formats import CsvFormat
from veltrix.batch.inputs import InputChanged, InputReader
from veltrix.batch.run import ChunkTask, RunSettings, process_chunk


def assert_rows_equal(rows, expected):
    assert len(rows) == len(expected)
    for row, reference in zip(rows, expected):
        assert len(row) == len(reference)
        assert all(same_value(a, b) for a, b in zip(row, reference)), row[0]


@pytest.mark.parametrize("as_bytes", [True, False], ids=["bytes", "str"])
def test_lines_give_the_reference_rows_numbered_from_first_line(as_bytes):
    lines = [line + "\n" for line in VISIT_LINES[:8]]  # as text files and dask.bag.read_text give them
    lines[3] = "\n"
    lines = [line.encode() for line in lines] if as_bytes else lines
    extraction = extract_lines(lines, first_line=101)
    expected = [(101 + index, *reference_features(line).values()) for index, line in enumerate(lines) if line.strip()]
    assert_rows_equal(extraction.rows, expected)
    assert extraction.refused == []
    assert extraction.columns == ("line", *FEATURE_NAMES)


def test_lines_the_fast_reader_refuses_are_read_by_json_loads(monkeypatch):
    """A JSON reader stricter than json.loads (NaN literals, say) must not cost any line."""

    monkeypatch.setattr(veltrix.batch.extraction, "_native_row", lambda *arguments: None)
    lines = [*VISIT_LINES[:4], '{"mouse_movements": [{"x": NaN, "y": 1, "t": 0}]}', "{oops"]
    extraction = extract_lines(lines)
    assert_rows_equal(
        extraction.rows, [(number, *reference_features(line).values()) for number, line in enumerate(lines[:5], 1)]
    )
    assert extraction.refused == [
        RefusedLine(6, "not JSON: Expecting property name enclosed in double quotes at column 2")
    ]


def test_records_under_a_key_with_kept_members():
    records = [{"id": index, "telemetry": visit, "label": "bot"} for index, visit in enumerate(VISITS[:5])]
    records[2:2] = [{"id": "missing"}, ["not", "a", "dict"], {"telemetry": 3}]
    extraction = extract_records(records, telemetry_key="telemetry", keep=["label", "id", "absent"])
    assert extraction.refused == [
        RefusedLine(3, 'no member "telemetry"'),
        RefusedLine(4, "not an object: an array"),
        RefusedLine(5, 'member "telemetry" is not an object: a number'),
    ]
    expected = [
        (number, "bot", record["id"], None, *reference_features(json.dumps(record), "telemetry").values())
        for number, record in enumerate(records, 1)
        if number not in (3, 4, 5)
    ]
    assert_rows_equal(extraction.rows, expected)


def test_arrow_table_types_and_values():
    lines = [
        json.dumps({"id": f"v{index}", "score": index / 3, "meta": {"tag": [index]}, "telemetry": json.loads(line)})
        for index, line in enumerate(VISIT_LINES[:6])
    ]
    extraction = extract_lines(lines, telemetry_key="telemetry", keep=["id", "score", "meta", "nothing"])
    table = extraction.to_arrow()
    assert table.column_names == list(extraction.columns)
    types = {name: str(table.schema.field(name).type) for name in table.column_names}
    assert [types[name] for name in ("line", "id", "score", "meta", "nothing")] == [
        "int64",
        "string",
        "double",
        "string",
        "string",
    ]
    features = veltrix.batch.extraction.veltrix_core_rs.extract_features_rs({})
    assert all(
        types[name] == {bool: "bool", int: "int64", float: "double"}[type(value)] for name, value in features.items()
    )
    for row, arrow_row in zip(extraction.rows, table.to_pylist()):
        kept = (row[1], row[2], json.dumps(row[3]), None)
        assert all(same_value(a, b) for a, b in zip((row[0], *kept, *row[5:]), arrow_row.values()))
    assert extract_lines([]).to_arrow().num_rows == 0


@pytest.mark.parametrize(
    ("values", "message"),
    [
        ([1, "two"], 'line 2: member "id" is a string, not int64'),
        ([1.5, True], 'line 2: member "id" is a boolean, not double'),
        ([None, 3, 2**64], 'line 3: member "id" is outside the 64-bit integer range'),
        (["ok", "\ud800"], 'line 2: member "id" holds a lone surrogate'),
    ],
)
def test_arrow_table_refuses_kept_values_unlike_the_first(values, message):
    extraction = extract_records([{"id": value} for value in values], keep=["id"])
    with pytest.raises(ValueError, match=message):
        extraction.to_arrow()


@pytest.mark.parametrize("chunk_bytes", [1, 5, 64, 1 << 20])
@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_chunks_hold_whole_lines_numbered_in_order(tmp_path, chunk_bytes, compressed):
    lines = [b"{}", b"", b'{"a": "' + b"x" * 200 + b'"}', b"\r", b"[1]", b"last line without newline"]
    data = b"\xef\xbb\xbf" + b"\n".join(lines)
    path = tmp_path / "visits"  # gzip is told by its magic bytes, not by the name
    path.write_bytes(gzip.compress(data) if compressed else data)
    with InputReader(str(path)) as reader:
        chunks = list(reader.chunks(chunk_bytes))
    read = [line for chunk in chunks for line in chunk.data.split(b"\n")]
    assert read == lines
    assert [chunk.first_line for chunk in chunks] == [
        1 + sum(chunk.line_count for chunk in chunks[:index]) for index in range(len(chunks))
    ]
    assert chunks[-1].end_offset == path.stat().st_size
    assert all(chunk.data.count(b"\n") + 1 == chunk.line_count for chunk in chunks)


@pytest.mark.parametrize(
    "change",
    [
        lambda path: path.write_bytes(path.read_bytes()[:10]),  # truncated
        lambda path: path.with_name("new").replace(path),  # replaced by another file
    ],
    ids=["truncated", "replaced"],
)
def test_a_file_changed_after_its_lines_were_found_is_refused_not_misread(tmp_path, change):
    path = tmp_path / "visits.jsonl"
    path.write_bytes(b"{}\n" * 50 + b"{}")
    (tmp_path / "new").write_bytes(b"[]\n" * 50 + b"[]")
    with InputReader(str(path)) as reader:
        first, second = list(reader.chunks(64))[:2]
    change(path)
    with pytest.raises(InputChanged):
        second.data  # noqa: B018
    task = ChunkTask(RunSettings(None, (), CsvFormat((), False)), 0, None, first, None)
    assert process_chunk(task).read_failure == "cannot be read: the file changed while it was read"


@pytest.mark.parametrize("chunk_bytes", [1, 3, 7, 64])
@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_lines_longer_than_the_limit_are_refused_whatever_the_blocks(tmp_path, chunk_bytes, compressed):
    """Found before their end they come as overlong chunks, unread; found whole, the worker refuses them."""
    limit = 12
    lines = [b"{}", b"x" * 40, b"[]", b"", b"y" * 13, b"z" * 12, b"{}", b"w" * 100]  # the last without newline
    data = b"\n".join(lines)
    path = tmp_path / "visits"
    path.write_bytes(gzip.compress(data) if compressed else data)
    settings = RunSettings(None, (), CsvFormat((), False), max_line_bytes=limit)
    read, too_long = {}, set()
    with InputReader(str(path)) as reader:
        for chunk in reader.chunks(chunk_bytes, max_line_bytes=limit):
            if not chunk.overlong:
                read |= {chunk.first_line + index: line for index, line in enumerate(chunk.data.split(b"\n"))}
            result = process_chunk(ChunkTask(settings, 0, None, chunk, None))
            too_long |= {refusal.line for refusal in result.refused if refusal.reason.startswith("line too long")}
    assert all(read[number] == lines[number - 1] for number in read)
    assert set(read) | too_long == set(range(1, len(lines) + 1))
    assert too_long == {number for number, line in enumerate(lines, 1) if len(line) > limit}
    if chunk_bytes <= 7:  # blocks smaller than the limit: the two longest lines are never held whole
        assert {2, 8}.isdisjoint(read)
