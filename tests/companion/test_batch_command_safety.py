"""`veltrix features` where a run could mislead: signals, half-written outputs, overlong lines,
FIFOs, files changing under the run, likely mistakes in the command and narrow terminals."""

import fcntl
import gzip
import json
import os
import pty
import re
import signal
import struct
import subprocess
import termios
import threading
import time

import pytest
from batch_visits import COMMAND, VISIT_LINES, run_command

VISITS = [line.encode() for line in VISIT_LINES]
# More than two chunks of the reader, so that the run takes worker processes.
MANY_VISITS = b"\n".join(VISITS * 3) + b"\n"
HEADER_LINES = 1


def group_processes(group):
    """Live processes (zombies aside) of the process group `group`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as status:
                fields = status.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == group and fields[0] != "Z":
            found.append(int(entry))
    return found


def end_group(process):
    """Kills what is left of a failed test's command and its helpers (their group is the command's)."""
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def wait_for(condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


@pytest.mark.parametrize(
    ("number", "whole_group", "status"),
    [
        (signal.SIGTERM, False, 143),  # kill PID
        (signal.SIGTERM, True, 143),  # a service manager stopping the command's whole group
        (signal.SIGINT, True, 130),  # Ctrl-C
        (signal.SIGHUP, True, 129),  # the terminal closed
    ],
    ids=["TERM", "TERM-group", "INT-group", "HUP-group"],
)
@pytest.mark.parametrize("extension", ["csv", "parquet"])
def test_a_stopping_signal_ends_every_process_and_keeps_the_earlier_output(
    tmp_path, number, whole_group, status, extension
):
    output = tmp_path / f"features.{extension}"
    output.write_bytes(b"the previous run's output")
    command = [str(COMMAND), "features", "-", "-o", str(output), "--force", "--jobs", "2", "--no-progress"]
    process = subprocess.Popen(
        command, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True
    )
    try:
        process.stdin.write(MANY_VISITS)  # and standard input stays open: the run waits for more
        process.stdin.flush()
        # The command, the fork server, the resource tracker and two workers.
        wait_for(lambda: len(group_processes(process.pid)) >= 5)
        if whole_group:
            os.killpg(process.pid, number)
        else:
            process.send_signal(number)
        assert process.wait(timeout=60) == status
        wait_for(lambda: not group_processes(process.pid), timeout=10)
    finally:
        end_group(process)
        process.stdin.close()
        stderr = process.stderr.read().decode()
        process.stderr.close()
    assert stderr.splitlines()[-1] in {"veltrix features: interrupted", f"veltrix features: stopped by {number.name}"}
    assert "Traceback" not in stderr
    assert output.read_bytes() == b"the previous run's output"
    assert sorted(path.name for path in tmp_path.iterdir()) == [output.name]


def test_standard_output_stays_streamed_when_stopped(tmp_path):
    process = subprocess.Popen(
        [str(COMMAND), "features", "-", "-o", "-", "--jobs", "2"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
        start_new_session=True,
    )
    rows = []
    reader = threading.Thread(target=lambda: rows.extend(process.stdout))
    reader.start()
    try:
        process.stdin.write(MANY_VISITS)
        process.stdin.flush()
        wait_for(lambda: len(rows) > HEADER_LINES)  # rows reach the reader while the run goes on
        process.terminate()
        assert process.wait(timeout=60) == 143
    finally:
        end_group(process)
        process.stdin.close()
        reader.join(timeout=60)


@pytest.mark.parametrize(
    ("existing", "arguments", "status", "replaced"),
    [
        ("file", [], 2, False),
        ("file", ["--force"], 0, True),
        ("link to a file", ["--force"], 0, True),
        ("none", [], 0, True),
    ],
)
def test_an_existing_output_is_replaced_only_with_force(tmp_path, existing, arguments, status, replaced):
    source = tmp_path / "visits.jsonl"
    source.write_bytes(b"\n".join(VISITS[:3]) + b"\n")
    output = tmp_path / "features.csv"
    target = tmp_path / "elsewhere.csv"
    if existing == "file":
        output.write_bytes(b"old")
        output.chmod(0o640)
    elif existing == "link to a file":
        target.write_bytes(b"old")
        output.symlink_to(target)
    result = run_command("features", source, "-o", output, "--no-progress", *arguments)
    assert result.returncode == status, result.stderr
    if status == 2:
        assert f"the output '{output}' exists: name another, or replace it with --force" in result.stderr.decode()
    written = (target if existing == "link to a file" else output).read_bytes()
    assert (written != b"old") is replaced
    if existing == "file" and replaced:
        assert output.stat().st_mode & 0o777 == 0o640  # the replaced file's mode stays
    if existing == "link to a file":
        assert output.is_symlink()
    assert not [path for path in tmp_path.iterdir() if path.name.endswith(".partial")]


def test_an_output_that_is_not_a_regular_file_is_written_without_force(tmp_path):
    fifo = tmp_path / "rows.csv"
    os.mkfifo(fifo)
    source = tmp_path / "visits.jsonl"
    source.write_bytes(b"\n".join(VISITS[:3]) + b"\n")
    read = []
    reader = threading.Thread(target=lambda: read.append(fifo.read_bytes()))
    reader.start()
    result = run_command("features", source, "-o", fifo, "--no-progress")
    reader.join(timeout=60)
    assert result.returncode == 0, result.stderr
    assert read[0].count(b"\n") == HEADER_LINES + 3


OVERLONG_CASES = {
    # An overlong line found before its end (under the default limit), the last one without a newline.
    "default limit": (None, [VISITS[2], b'{"a": "' + b"x" * (17 << 20) + b'"}', VISITS[3], b" " * (20 << 20)]),
    # Overlong lines within a chunk, and lines just at the limit.
    "small limit": (
        "2K",
        [b'{"clicks": [1]}', b" " * 2047 + b"{}", b" " * 2046 + b"{}", b"[" * 5000, b'{"scrolls": [1]}', b"{}"],
    ),
}


@pytest.mark.parametrize("case", OVERLONG_CASES, ids=list(OVERLONG_CASES))
@pytest.mark.parametrize("given_as", ["plain", "gzip", "standard input"])
def test_overlong_lines_are_refused_by_number(tmp_path, case, given_as):
    limit, lines = OVERLONG_CASES[case]
    limit_bytes = 2048 if limit else 16 << 20
    data = b"\n".join(lines)
    source = tmp_path / ("visits.jsonl.gz" if given_as == "gzip" else "visits.jsonl")
    source.write_bytes(gzip.compress(data, compresslevel=1) if given_as == "gzip" else data)
    name = "-" if given_as == "standard input" else source
    result = run_command(
        "features",
        name,
        "-o",
        "-",
        "--no-progress",
        *(["--max-line-bytes", limit] if limit else []),
        stdin=data if name == "-" else b"",
    )
    assert result.returncode == 1
    overlong = [number for number, line in enumerate(lines, 1) if len(line) > limit_bytes]
    assert [message for message in result.stderr.decode().splitlines() if "line too long" in message] == [
        f"{name}:{number}: line too long (over {limit_bytes:,} bytes, the --max-line-bytes limit)"
        for number in overlong
    ]
    written = [int(row.split(b",")[0]) for row in result.stdout.splitlines()[HEADER_LINES:]]
    assert written == [number for number, line in enumerate(lines, 1) if number not in overlong]


@pytest.mark.parametrize("fifo_count", [1, 2])
def test_fifo_inputs_are_opened_once_each(tmp_path, fifo_count):
    """Written one after the other by a single writer, as `mkfifo` users do; several chunks each."""
    fifos = [tmp_path / f"visits{index}.jsonl" for index in range(fifo_count)]
    for fifo in fifos:
        os.mkfifo(fifo)
    output = tmp_path / "features.csv"
    process = subprocess.Popen(
        [str(COMMAND), "features", *map(str, fifos), "-o", str(output), "--jobs", "2", "--no-progress"],
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    try:
        for fifo in fifos:
            # Opening without blocking fails until the command opens its end.
            deadline = time.monotonic() + 60
            while True:
                try:
                    descriptor = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                    break
                except OSError:
                    assert time.monotonic() < deadline and process.poll() is None, "the FIFO was never opened"
                    time.sleep(0.01)
            os.set_blocking(descriptor, True)
            with open(descriptor, "wb") as writer:
                writer.write(MANY_VISITS)
        assert process.wait(timeout=120) == 0, process.stderr.read()
    finally:
        end_group(process)
        process.stderr.close()
    assert output.read_bytes().count(b"\n") == HEADER_LINES + fifo_count * len(VISITS) * 3


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_a_file_rewritten_in_place_mid_run_is_reported_not_mixed(tmp_path, compressed):
    source = tmp_path / ("visits.jsonl.gz" if compressed else "visits.jsonl")
    old = [
        json.dumps({"id": f"old-{number}", "telemetry": json.loads(VISIT_LINES[number % 40 + 2])}).encode()
        for number in range(6000)
    ]
    data = b"\n".join(old) + b"\n"
    new = data.replace(b'"old-', b'"new-')
    source.write_bytes(gzip.compress(data, compresslevel=1) if compressed else data)
    output = tmp_path / "features.jsonl"
    process = subprocess.Popen(
        [
            str(COMMAND),
            "features",
            str(source),
            "-o",
            str(output),
            "--telemetry-key",
            "telemetry",
            "--keep",
            "id",
            "--jobs",
            "2",
            "--no-progress",
        ],
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    try:
        wait_for(
            lambda: any(
                os.path.realpath(f"/proc/{process.pid}/fd/{fd}") == str(source)
                for fd in os.listdir(f"/proc/{process.pid}/fd")
            )
        )
        # Held still while the file changes: read natively, the whole input can be done
        # within the moment it takes to rewrite it.
        os.killpg(process.pid, signal.SIGSTOP)
        time.sleep(0.05)  # past the clock tick of the file times the command saw when it opened it
        with open(source, "r+b") as file:  # the same file (inode) and size, another content
            file.write(gzip.compress(new, compresslevel=1) if compressed else new)
        os.killpg(process.pid, signal.SIGCONT)
        status = process.wait(timeout=120)
    finally:
        process.kill()
        stderr = process.stderr.read().decode()
        process.stderr.close()
    assert status == 1
    # After the rows of the chunks read before the change, if any.
    assert re.fullmatch(
        f"{re.escape(str(source))}: cannot be read( after line [0-9]+)?: the file changed while it was read",
        stderr.splitlines()[0],
    )
    ids = [json.loads(row)["id"] for row in output.read_text().splitlines()]
    assert ids == [f"old-{number}" for number in range(len(ids))]
    assert len(ids) < len(old)


WRAPPED = [
    json.dumps({"id": number, "label": None, "telemetry": json.loads(VISIT_LINES[number + 2])}).encode()
    for number in range(6)
]


@pytest.mark.parametrize(
    ("lines", "arguments", "status", "warnings", "columns"),
    [
        # The telemetry key forgotten on wrapped lines: rows of empty visits.
        (
            WRAPPED,
            [],
            0,
            [
                "no line holds any telemetry key: every row is an empty visit; "
                "if the telemetry sits under a member of each line, name it with --telemetry-key"
            ],
            None,
        ),
        # The reverse: bare lines read with a key.
        (
            VISITS[2:8],
            ["--telemetry-key", "telemetry"],
            1,
            [
                'no line gave a row, and 6 have no member "telemetry": '
                "if each line is the telemetry itself, leave out --telemetry-key"
            ],
            None,
        ),
        (WRAPPED, ["--telemetry-key", "id"], 1, [], None),  # refused as "not an object": said per line
        (
            WRAPPED,
            ["--telemetry-key", "telemetry", "--keep", "id,lable"],
            0,
            ['no line has a member "lable" (or only null): its column is empty'],
            ["id", "lable"],
        ),
        (
            WRAPPED,
            ["--telemetry-key", "telemetry", "--keep", "label"],
            0,
            ['no line has a member "label" (or only null): its column is empty'],
            ["label"],
        ),
        # Spaces around names are dropped; repeated --keep options add up.
        (
            WRAPPED,
            ["--telemetry-key", "telemetry", "--keep", " id , label", "--keep", "telemetry"],
            0,
            ['no line has a member "label" (or only null): its column is empty'],
            ["id", "label", "telemetry"],
        ),
        (WRAPPED, ["--telemetry-key", "telemetry", "--keep", "id"], 0, [], ["id"]),
    ],
)
def test_likely_mistakes_in_the_command_are_warned_of(tmp_path, lines, arguments, status, warnings, columns):
    source = tmp_path / "visits.jsonl"
    source.write_bytes(b"\n".join(lines) + b"\n")
    result = run_command("features", source, "-o", "-", "--no-progress", *arguments)
    assert result.returncode == status
    messages = result.stderr.decode().splitlines()
    assert [
        message.removeprefix("veltrix features: warning: ")
        for message in messages
        if message.startswith("veltrix features: warning: ")
    ] == warnings
    if columns is not None:
        assert result.stdout.split(b"\n")[0].decode().split(",")[1 : 1 + len(columns)] == columns


def test_a_member_kept_twice_across_options_is_refused(tmp_path):
    (tmp_path / "visits.jsonl").write_bytes(b"{}\n")
    result = run_command("features", "visits.jsonl", "-o", "-", "--keep", "id,label", "--keep", "id", cwd=tmp_path)
    assert result.returncode == 2
    assert "kept member named twice in ['id', 'label', 'id']" in result.stderr.decode()


def read_terminal(controller, into):
    while True:
        try:
            data = os.read(controller, 65536)
        except OSError:  # the terminal's other end is closed: all read
            return
        if not data:
            return
        into.append(data)


@pytest.mark.parametrize("columns", [20, 45, 200])
def test_the_progress_bar_fits_the_terminal(tmp_path, columns):
    source = tmp_path / "visits.jsonl"
    source.write_bytes(b"\n".join(VISITS * 4) + b"\n" + b"[]\n")  # and a refusal: the bar drawn again
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    shown = []
    reader = threading.Thread(target=read_terminal, args=(controller, shown))
    reader.start()
    try:
        environment = {name: value for name, value in os.environ.items() if name not in {"COLUMNS", "LINES"}}
        process = subprocess.run(
            [str(COMMAND), "features", str(source), "-o", str(tmp_path / "out.csv"), "--jobs", "1"],
            stderr=terminal,
            stdout=subprocess.DEVNULL,
            env=environment,
            timeout=300,
        )
    finally:
        os.close(terminal)
        reader.join(timeout=60)
        os.close(controller)
    assert process.returncode == 1
    text = b"".join(shown).decode()
    drawn = [piece.split("\r\n")[-1] for piece in text.split("\r\x1b[K")]  # what each redraw left on its line
    bars = [piece for piece in drawn if "visits" in piece and not piece.startswith("veltrix features:")]
    assert bars
    assert all(len(bar) < columns for bar in bars), max(bars, key=len)
    if columns >= 80:
        assert any(bar.startswith("[") and "ETA" in bar for bar in bars)
