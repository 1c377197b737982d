"""The batch's native road (rows read by veltrix._json_native, JSON lines written by
it) against the Python road it replaced (json.loads, record.get, the json module's
encoder): the same rows, the same refusals and, in every output format, the same bytes."""

import io
import json

import pytest
from batch_visits import VISITS, run_command
from json_contract import same_json_value

import veltrix.batch.extraction
import veltrix.batch.formats.csv_rows
import veltrix.batch.formats.jsonl_rows
from veltrix._json_native import feature_row as native_row
from veltrix.batch import extract_lines
from veltrix.batch.formats import CsvFormat, JsonlFormat, ParquetFormat

pytest.importorskip("pyarrow.parquet")

KEPT_VALUES = [
    7, -0, 2**63 - 1, 2**64 - 1, -(2**63), 0.1, -0.0, 1e300, 5e-324, True, None, "plain", "a,b \"quoted\"\nline",
    "é\U0001f600\x7f\x00", "", [], {}, [1, [2.5, {"k": None}]], {"z": 1, "a": {"b": [True, "x"]}},
]  # fmt: skip
# Lines the native reader leaves to json.loads, or that the batch refuses.
HOSTILE_LINES = [
    '{"id": NaN, "label": Infinity, "telemetry": {}}',
    '{"id": 123456789012345678901234567890, "telemetry": {}}',
    '{"id": "\\ud800", "telemetry": {}}',
    '{"id": {"k": 1, "k": 2, "j": 3, "k": 4}, "label": 1, "label": 2, "telemetry": {}, "telemetry": {"clicks": [1]}}',
    '{"\\u0069d": "escaped name", "telemetry": {"scrolls": [1]}}',
    '{"id": ' + "[" * 200 + "]" * 200 + ', "telemetry": {}}',
    '{"telemetry": null}',
    '{"telemetry": [1]}',
    '{"id": 1}',
    "[1, 2]",
    '{"telemetry": {}',
    "",
]


def wrapped_lines():
    lines = [
        json.dumps({"id": KEPT_VALUES[index % len(KEPT_VALUES)], "label": f"l{index}", "telemetry": visit})
        for index, visit in enumerate(VISITS[:40])
    ]
    return [line.encode() for line in lines + HOSTILE_LINES]


def python_road(monkeypatch):
    monkeypatch.setattr(veltrix.batch.extraction, "_native_row", None)
    monkeypatch.setattr(veltrix.batch.formats.jsonl_rows, "json_object", lambda names, values: None)
    monkeypatch.setattr(veltrix.batch.formats.csv_rows, "join_reprs", lambda values: ",".join(map(repr, values)))


def encoded(output_format, extraction, source):
    chunk = output_format.encode(extraction, source)
    stream = io.BytesIO()
    writer = output_format.open_writer(stream)
    refused = writer.write(chunk.payload)
    writer.close()
    return stream.getvalue(), chunk.refused + refused


@pytest.mark.parametrize(
    ("telemetry_key", "keep"),
    [(None, ()), ("telemetry", ()), ("telemetry", ("id", "label")), ("telemetry", ("label", "telemetry", "absent"))],
)
@pytest.mark.parametrize("source", [None, "day1.jsonl"])
def test_native_rows_and_outputs_equal_the_python_roads(monkeypatch, telemetry_key, keep, source):
    lines = wrapped_lines()
    native = extract_lines(lines, telemetry_key=telemetry_key, keep=keep)
    with monkeypatch.context() as patch:
        python_road(patch)
        python = extract_lines(lines, telemetry_key=telemetry_key, keep=keep)
        formats = [
            CsvFormat(keep, source is not None),
            JsonlFormat(keep, source is not None),
            ParquetFormat(keep, source is not None),
        ]
        python_outputs = [encoded(output_format, python, source) for output_format in formats]
    assert native.refused == python.refused
    assert len(native.rows) == len(python.rows) > 0
    assert all(same_json_value(list(a), list(b)) for a, b in zip(native.rows, python.rows))
    for output_format, python_output in zip(formats, python_outputs):
        assert encoded(output_format, native, source) == python_output


def test_the_command_writes_wrapped_lines_as_the_python_writers_do(tmp_path, monkeypatch):
    lines = wrapped_lines()
    path = tmp_path / "visits.jsonl"
    path.write_bytes(b"\n".join(lines * 12) + b"\n")  # several chunks: worker processes take part
    for suffix in ("csv", "jsonl"):
        result = run_command(
            "features", path, "-o", tmp_path / f"out.{suffix}", "--telemetry-key", "telemetry", "--keep", "id,label"
        )
        assert result.returncode == 1  # the hostile lines are refused
    with monkeypatch.context() as patch:
        python_road(patch)
        extraction = extract_lines(lines * 12, telemetry_key="telemetry", keep=("id", "label"))
        for output_format in (CsvFormat(("id", "label"), False), JsonlFormat(("id", "label"), False)):
            suffix = type(output_format).__name__.removesuffix("Format").lower()
            assert (tmp_path / f"out.{suffix}").read_bytes() == encoded(output_format, extraction, None)[0]


@pytest.mark.parametrize("keep", [(), ("id",)])
def test_a_line_too_deep_for_json_loads_is_read_unless_its_deep_member_is_kept(keep):
    """Valid JSON all the same: only building the kept value needs json.loads' depth."""
    line = '{"id": ' + "[" * 100_000 + "]" * 100_000 + ', "telemetry": {"clicks": [1]}}'
    extraction = extract_lines([line], telemetry_key="telemetry", keep=keep)
    if keep:
        assert extraction.refused == [veltrix.batch.RefusedLine(1, "not JSON: nested too deeply to read")]
    else:
        assert extraction.refused == [] and extraction.rows[0][1 + 10] == 1  # click_count


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        ((b"{}", b"telemetry", ()), "telemetry_key must be str or None, not bytes"),
        ((b"{}", None, ["id"]), "keep must be a tuple of str, not list"),
        ((b"{}", None, ("id", 5)), "kept member names must be str, not int"),
    ],
)
def test_the_native_row_refuses_arguments_of_the_wrong_type(arguments, message):
    with pytest.raises(TypeError, match=message):
        native_row(1, *arguments)


@pytest.mark.parametrize("road", ["native", "python"])
def test_a_telemetry_key_that_is_no_str_is_refused_on_either_road(monkeypatch, road):
    if road == "python":
        python_road(monkeypatch)
    with pytest.raises(TypeError, match="telemetry_key must be str or None, not int"):
        extract_lines(['{"5": {}}'], telemetry_key=5)


def test_names_without_a_utf8_form_leave_the_line_to_json_loads():
    line = '{"\\ud800": 1, "telemetry": {}}'
    assert native_row(1, line, "\ud800", ()) is None and native_row(1, line, None, ("\ud800",)) is None
    assert extract_lines([line], keep=("\ud800",)).rows[0][1] == 1
