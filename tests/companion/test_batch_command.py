"""`veltrix features` end to end: the installed command on generated files."""

import csv
import gzip
import io
import json
import os
import pty
import subprocess
import sys

import pytest
from batch_visits import COMMAND, VISIT_LINES, reference_features, run_command, same_value

pq = pytest.importorskip("pyarrow.parquet")

FORMATS = ["csv", "jsonl", "parquet"]

# (line, reason named on standard error), for lines that are their own telemetry.
BAD_LINES = [
    (b'{"browser": ', "not JSON: Expecting value at column 13"),
    (b"hello", "not JSON: Expecting value at column 1"),
    (b'{"a": 1} trailing', "not JSON: Extra data at column 10"),
    (b'{"a": "\xff"}', "not JSON: not valid UTF-8 at byte 8"),
    (b"[" * 100_000 + b"]" * 100_000, "not JSON: nested too deeply to read"),
    (b"[1, 2]", "not an object: an array"),
    (b'"text"', "not an object: a string"),
    (b"42", "not an object: a number"),
    (b"true", "not an object: a boolean"),
    (b"null", "not an object: null"),
]
# Further bad lines when the telemetry sits under a key.
BAD_RECORDS = [
    (b'{"id": 7}', 'no member "telemetry"'),
    (b'{"id": 8, "telemetry": [1]}', 'member "telemetry" is not an object: an array'),
    (b'{"id": 9, "telemetry": null}', 'member "telemetry" is not an object: null'),
]


def expected_rows(lines, telemetry_key=None, keep=(), source=None):
    """Column names and the rows the command must write for `lines` (bytes, numbered from 1)."""
    rows = []
    for number, line in enumerate(lines, 1):
        try:
            record = json.loads(line)
        except (ValueError, RecursionError):
            continue
        telemetry = record.get(telemetry_key) if telemetry_key and isinstance(record, dict) else record
        if not isinstance(telemetry, dict):
            continue
        features = reference_features(line, telemetry_key)
        rows.append(
            {
                "line": number,
                **({"source": source} if source else {}),
                **{name: record.get(name) for name in keep},
                **features,
            }
        )
    return rows


def read_output(path):
    """The rows of an output file as dicts of typed values (CSV values stay text)."""
    if path.suffix == ".csv":
        return list(csv.DictReader(io.StringIO(path.read_text(), newline="")))
    if path.suffix == ".jsonl":
        return [json.loads(line) for line in path.read_text().splitlines()]
    return pq.read_table(path).to_pylist()


def assert_output_is(path, expected):
    actual = read_output(path)
    assert len(actual) == len(expected)
    for row, reference in zip(actual, expected):
        assert list(row) == list(reference)
        if path.suffix == ".csv":
            # Text as Python's csv module writes it: repr floats, True/False, nothing for None.
            assert row == {name: "" if value is None else str(value) for name, value in reference.items()}
        else:
            mismatches = {
                name: (row[name], value) for name, value in reference.items() if not same_value(row[name], value)
            }
            assert not mismatches, f"line {reference['line']}"


def write_lines(path, lines):
    data = b"\n".join(lines) + b"\n"
    path.write_bytes(gzip.compress(data) if path.suffix == ".gz" else data)
    return path


@pytest.fixture
def mixed_lines():
    """Good visits with every kind of bad line and a blank one among them."""
    lines = [line.encode() for line in VISIT_LINES[:12]]
    for position, (bad, _) in enumerate(BAD_LINES):
        lines.insert(1 + position, bad)
    lines.insert(3, b"   ")
    return lines


@pytest.mark.parametrize("extension", FORMATS)
def test_bad_lines_are_named_counted_and_skipped(tmp_path, mixed_lines, extension):
    source = write_lines(tmp_path / "visits.jsonl", mixed_lines)
    output = tmp_path / f"features.{extension}"
    result = run_command("features", source, "-o", output, "--no-progress")
    assert result.returncode == 1
    messages = result.stderr.decode().splitlines()
    expected_messages = [f"{source}:{mixed_lines.index(bad) + 1}: {reason}" for bad, reason in BAD_LINES]
    assert messages[:-1] == expected_messages
    assert messages[-1].startswith(f"veltrix features: {len(mixed_lines) - 1} lines read, {len(BAD_LINES)} refused, ")
    assert_output_is(output, expected_rows(mixed_lines))


@pytest.mark.parametrize("extension", FORMATS)
def test_wrapped_records_keep_members_and_exact_values(tmp_path, extension):
    """Every visit, the overflowing one with infinite and NaN features first, under a key with an id and a label."""
    lines = [
        json.dumps({"id": f"v-{number}", "label": number % 2, "telemetry": json.loads(line)}).encode()
        for number, line in enumerate(VISIT_LINES[:40])
    ]
    lines += [bad for bad, _ in BAD_RECORDS]
    source = write_lines(tmp_path / "visits.jsonl", lines)
    output = tmp_path / f"features.{extension}"
    result = run_command(
        "features", source, "-o", output, "--telemetry-key", "telemetry", "--keep", "id,label", "--no-progress"
    )
    assert result.returncode == 1
    assert result.stderr.decode().splitlines()[:-1] == [
        f"{source}:{lines.index(bad) + 1}: {reason}" for bad, reason in BAD_RECORDS
    ]
    assert_output_is(output, expected_rows(lines, "telemetry", ("id", "label")))
    if extension == "parquet":
        schema = pq.read_schema(output)
        assert [
            str(schema.field(name).type)
            for name in ("line", "id", "label", "mouse_points", "straightness", "webdriver")
        ] == ["int64", "string", "int64", "int64", "double", "bool"]


@pytest.mark.parametrize("extension", FORMATS)
def test_one_and_two_jobs_write_the_same(tmp_path, extension):
    lines = [line.encode() for line in VISIT_LINES] * 2 + [b"not json", b"[]"]
    source = write_lines(tmp_path / "visits.jsonl", lines)
    assert source.stat().st_size > 2 * 2**20, "too small to give the workers several chunks"
    runs = {}
    for jobs in (1, 2):
        output = tmp_path / f"jobs{jobs}.{extension}"
        result = run_command("features", source, "-o", output, "--jobs", jobs, "--no-progress")
        runs[jobs] = result.returncode, result.stderr.decode().splitlines()[:-1], output
    assert (
        runs[1][:2]
        == runs[2][:2]
        == (
            1,
            [
                f"{source}:{len(lines) - 1}: not JSON: Expecting value at column 1",
                f"{source}:{len(lines)}: not an object: an array",
            ],
        )
    )
    assert runs[1][2].read_bytes() == runs[2][2].read_bytes()
    assert_output_is(runs[2][2], expected_rows(lines))


def test_one_and_two_jobs_agree_on_standard_input_among_several_inputs(tmp_path):
    # Workers read plain files themselves but receive the bytes of standard input and gzip inputs.
    lines = [line.encode() for line in VISIT_LINES] * 2 + [b"[]"]
    plain = write_lines(tmp_path / "plain.jsonl", lines)
    packed = tmp_path / "packed.jsonl.gz"
    packed.write_bytes(gzip.compress(plain.read_bytes()))
    runs = [
        run_command("features", plain, "-", packed, "-o", "-", "--jobs", jobs, stdin=plain.read_bytes())
        for jobs in (1, 2)
    ]
    assert runs[0].stdout == runs[1].stdout
    assert runs[0].stderr.splitlines()[:-1] == runs[1].stderr.splitlines()[:-1]
    assert [run.returncode for run in runs] == [1, 1]
    assert runs[1].stdout.count(b"\n") == 1 + 3 * (len(lines) - 1)


def test_several_inputs_gzip_among_them(tmp_path):
    first = write_lines(tmp_path / "first.jsonl", [line.encode() for line in VISIT_LINES[:5]])
    second = write_lines(tmp_path / "second.jsonl.gz", [line.encode() for line in VISIT_LINES[5:9]])
    output = tmp_path / "features.jsonl"
    result = run_command("features", first, second, "-o", output, "--no-progress")
    assert result.returncode == 0, result.stderr
    assert_output_is(
        output,
        expected_rows([line.encode() for line in VISIT_LINES[:5]], source=str(first))
        + expected_rows([line.encode() for line in VISIT_LINES[5:9]], source=str(second)),
    )


def test_standard_input_to_standard_output(tmp_path):
    lines = [line.encode() for line in VISIT_LINES[:6]]
    result = run_command("features", "-", "-o", "-", stdin=b"\n".join(lines))
    assert result.returncode == 0
    (tmp_path / "stdout.csv").write_bytes(result.stdout)
    assert_output_is(tmp_path / "stdout.csv", expected_rows(lines))
    assert result.stderr.decode().startswith("veltrix features: 6 lines read, 0 refused, ")


def test_parquet_refuses_kept_values_unlike_the_first(tmp_path):
    telemetry = json.loads(VISIT_LINES[2])
    ids = [1, None, 2, "three", 4.5, True, 2**70, 5]
    lines = [json.dumps({"id": value, "telemetry": telemetry}).encode() for value in ids]
    source = write_lines(tmp_path / "visits.jsonl", lines)
    outputs, results = {}, {}
    for extension in FORMATS:
        outputs[extension] = tmp_path / f"features.{extension}"
        results[extension] = run_command(
            "features",
            source,
            "-o",
            outputs[extension],
            "--telemetry-key",
            "telemetry",
            "--keep",
            "id",
            "--no-progress",
        )
    assert [result.returncode for result in results.values()] == [0, 0, 1]
    assert [row["id"] for row in read_output(outputs["jsonl"])] == ids
    assert [row["id"] for row in read_output(outputs["parquet"])] == [1, None, 2, 5]
    refused = results["parquet"].stderr.decode().splitlines()[:-1]
    assert [line.split(":")[1] for line in refused] == ["4", "5", "6", "7"]
    assert all(line.endswith(": cannot be written to Parquet") for line in refused)


def test_truncated_gzip_keeps_the_rows_before_the_damage(tmp_path):
    lines = [line.encode() for line in VISIT_LINES] * 2
    source = tmp_path / "visits.jsonl.gz"
    source.write_bytes(gzip.compress(b"\n".join(lines) + b"\n")[:-5000])
    output = tmp_path / "features.csv"
    result = run_command("features", source, "-o", output, "--no-progress")
    assert result.returncode == 1
    message = result.stderr.decode().splitlines()[0]
    assert message.startswith(f"{source}: cannot be read after line ")
    read = int(message.split("after line ")[1].split(":")[0])
    assert 0 < read < len(lines)
    assert_output_is(output, expected_rows(lines[:read]))


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["visits.jsonl", "-o", "out.txt"], "cannot tell the output format of 'out.txt'"),
        (["missing.jsonl", "-o", "out.csv"], "cannot read 'missing.jsonl': No such file or directory"),
        (["visits.jsonl", "copy.csv", "-o", "copy.csv"], "the output 'copy.csv' is also an input"),
        (["visits.jsonl", "-o", "nowhere/out.csv"], "cannot write 'nowhere/out.csv'"),
        (["visits.jsonl", "-o", "out.csv", "--jobs", "0"], "argument --jobs: must be at least 1, not 0"),
        (["visits.jsonl", "-o", "out.csv", "--jobs", "two"], "argument --jobs: invalid int value: 'two'"),
        (["visits.jsonl", "-o", "out.csv", "--keep", "id,,label"], "argument --keep: empty member name"),
        (["visits.jsonl", "-o", "out.csv", "--keep", "straightness"], "cannot keep 'straightness'"),
        (["visits.jsonl", "-o", "out.csv", "--keep", "id,id"], "kept member named twice"),
        (["-", "-", "-o", "out.csv"], "standard input (-) can be read only once"),
        (["visits.jsonl"], "the following arguments are required: -o/--output"),
        (["-o", "out.csv"], "the following arguments are required: INPUT"),
    ],
)
def test_usage_errors(tmp_path, arguments, message):
    for name in ("visits.jsonl", "copy.csv"):
        (tmp_path / name).write_text("{}\n")
    result = run_command("features", *arguments, cwd=tmp_path)
    assert result.returncode == 2
    assert "usage: veltrix features" in result.stderr.decode()
    assert message in result.stderr.decode()
    assert not (tmp_path / "out.csv").exists()


def test_parquet_without_pyarrow_says_how_to_install_it(tmp_path):
    (tmp_path / "visits.jsonl").write_text("{}\n")
    hide_pyarrow = (
        "import sys; sys.modules['pyarrow'] = None; from veltrix.cli import main; "
        "sys.exit(main(['features', 'visits.jsonl', '-o', 'out.parquet']))"
    )
    result = subprocess.run([sys.executable, "-c", hide_pyarrow], capture_output=True, cwd=tmp_path, timeout=60)
    assert result.returncode == 2
    assert "Parquet output needs pyarrow: pip install 'veltrix_core_rs[parquet]'" in result.stderr.decode()


def test_progress_is_off_unless_standard_error_is_a_terminal(tmp_path):
    source = write_lines(tmp_path / "visits.jsonl", [line.encode() for line in VISIT_LINES[:3]])
    result = run_command("features", source, "-o", tmp_path / "out.csv")
    assert result.returncode == 0
    assert "\r" not in result.stderr.decode()
    assert result.stderr.decode().startswith("veltrix features: 3 lines read, 0 refused, ")


@pytest.mark.parametrize(("flag", "bar_shown"), [(None, True), ("--no-progress", False)])
def test_progress_bar_on_a_terminal(tmp_path, flag, bar_shown):
    source = write_lines(tmp_path / "visits.jsonl", [line.encode() for line in VISIT_LINES] * 4)
    controller, terminal = pty.openpty()
    try:
        arguments = ["features", source, "-o", tmp_path / "out.csv", "--jobs", "1", *([flag] if flag else [])]
        process = subprocess.run(
            [str(COMMAND), *map(str, arguments)], stderr=terminal, stdout=subprocess.DEVNULL, timeout=300
        )
        os.close(terminal)
        shown = b""
        while True:
            try:
                data = os.read(controller, 65536)
            except OSError:  # the terminal's other end is closed: all read
                break
            if not data:
                break
            shown += data
    finally:
        os.close(controller)
    assert process.returncode == 0
    text = shown.decode()
    assert ("visits/s  ETA " in text and "%" in text) is bar_shown
    assert (
        text.rstrip()
        .splitlines()[-1]
        .split("\x1b[K")[-1]
        .startswith(f"veltrix features: {len(VISIT_LINES) * 4:,} lines read, 0 refused, ")
    )
