"""veltrix.extract_features_json: which road each kind of body takes, and that
both roads give exactly what json.loads + extract_features_rs give."""

import array
import json
import os
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest
from json_contract import BODY_KINDS, as_kind, assert_matches_json_loads, assert_same_features

import veltrix
import veltrix_core_rs as core
from veltrix import _json_native as native

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))

from json_bodies import all_bodies  # noqa: E402

NATIVE, EXACT = "native", "exact"

# (body, road the body takes); every body is checked against json.loads in all four types.
ROADS = {
    "integers, -0 is the int 0": (b'{"browser":{"screen_width":-0,"screen_height":1,"plugins_length":-0}}', NATIVE),
    "-0.0 keeps its sign": (b'{"browser":{"screen_width":-0.0,"screen_height":1}}', NATIVE),
    "ints round to the nearest double": (
        b'{"mouse_movements":[{"x":9007199254740993,"y":18446744073709551615,"t":-9223372036854775808},'
        b'{"x":1,"y":2,"t":3},{"x":5,"y":4,"t":9},{"x":9,"y":9,"t":20}]}',
        NATIVE,
    ),
    "integer fields beyond int64 fail": (
        b'{"browser":{"plugins_length":9223372036854775808,"max_touch_points":-9223372036854775808}}',
        NATIVE,
    ),
    "integer fields given as floats fail": (b'{"browser":{"max_touch_points":5.0,"plugins_length":2e0}}', NATIVE),
    "true and false read as numbers": (
        b'{"browser":{"screen_width":true,"screen_height":true,"max_touch_points":true,"plugins_length":false}}',
        NATIVE,
    ),
    "ints are no flags": (b'{"browser":{"webdriver":1,"touch_supported":true}}', NATIVE),
    "duplicate keys, the last counts": (
        b'{"browser":{"webdriver":true},"browser":5,"clicks":[1,2],"clicks":[3],"scrolls":{},"scrolls":[1,1,1]}',
        NATIVE,
    ),
    "duplicate fields inside items": (
        b'{"mouse_movements":[{"x":1,"x":"a","y":2,"t":3},{"x":1,"y":2,"t":3,"t":4},{"x":1,"y":2,"t":3,"r":2,"r":"a"}],'
        b'"keystrokes":[{"t":5,"t":null,"down":7,"key":"a","key":"b"}]}',
        NATIVE,
    ),
    "escapes in key names": (
        b'{"\\u0062rowser":{"w\\u0065bdriver":true},"cl\\u0069cks":[1],'
        b'"mouse_movements":[{"\\u0078":1,"y":2,"\\u0074":3}]}',
        NATIVE,
    ),
    "escapes in key labels": (
        b'{"keystrokes":[{"key":"\\u0054","t":1,"up":90},{"key":"h","t":180,"up":260},'
        b'{"key":"\\u212a","t":300},{"key":"\\ud83d\\ude00","t":400},{"key":5,"t":500}]}',
        NATIVE,
    ),
    "keystroke down times and releases": (
        b'{"keystrokes":[{"t":"x","down":5,"up":"u","duration_ms":80},{"time":10},{"key":"a"},{"t":20,"up":null}]}',
        NATIVE,
    ),
    "lists of anything are counted": (b'{"clicks":[1,"a",{},[],null,true],"scrolls":[[[]]]}', NATIVE),
    "not a list, not a dict": (b'{"clicks":{"a":1},"browser":[1],"keystrokes":"abc","mouse_movements":7}', NATIVE),
    "top-level array": (b'[{"clicks":[1]}]', NATIVE),
    "top-level string": (b'"telemetry"', NATIVE),
    "top-level number": (b" 5 ", NATIVE),
    "whitespace everywhere": (b'\r\n\t{ "clicks" : [ 1 , 2 ] }\n', NATIVE),
    "NaN literal": (b'{"mouse_movements":[{"x":NaN,"y":1,"t":2},{"x":1,"y":2,"t":3,"r":NaN}]}', EXACT),
    "Infinity literals": (b'{"keystrokes":[{"t":1,"up":Infinity},{"t":-Infinity,"down":3}]}', EXACT),
    "byte-order mark": (b'\xef\xbb\xbf{"clicks":[1]}', EXACT),
    "lone surrogate escape": (b'{"keystrokes":[{"key":"\\ud800","t":1},{"key":"a","t":2}]}', EXACT),
    "surrogate in a key name": (b'{"clicks\\udc00":[1],"scrolls":[1]}', EXACT),
    "UTF-8 encoded surrogate": (b'{"keystrokes":[{"key":"\xed\xa0\x80","t":1}]}', EXACT),
    "integer beyond 64 bits": (b'{"browser":{"screen_width":123456789012345678901234567890,"screen_height":1}}', EXACT),
    "integer beyond the double range": (b'{"browser":{"screen_width":1' + b"0" * 400 + b',"screen_height":1}}', EXACT),
    "float beyond the double range": (
        b'{"browser":{"screen_width":1e400,"screen_height":1.7976931348623159e308}}',
        EXACT,
    ),
    "UTF-16 with byte-order mark": ('{"clicks":[1,2]}'.encode("utf-16"), EXACT),
    "UTF-16 without byte-order mark": ('{"clicks":[1,2]}'.encode("utf-16-le"), EXACT),
    "UTF-32": ('{"clicks":[1,2]}'.encode("utf-32-be"), EXACT),
    "empty": (b"", EXACT),
    "truncated": (b'{"clicks":[1,2', EXACT),
    "trailing garbage": (b'{"clicks":[1]}x', EXACT),
    "two documents": (b"{}{}", EXACT),
    "leading zero": (b'{"clicks":[01]}', EXACT),
    "unescaped control character": (b'{"key":"a\x01"}', EXACT),
    "bad escape": (b'{"key":"\\x41"}', EXACT),
    "trailing comma": (b'{"clicks":[1,],}', EXACT),
    "missing colon": (b'{"clicks" [1]}', EXACT),
    "broken literal": (b'{"browser":{"webdriver":tru}}', EXACT),
    "invalid UTF-8": (b'{"key":"\xff"}', EXACT),
    "overlong UTF-8": (b'{"key":"\xc0\x80"}', EXACT),
    "too many digits for an int": (b"1" * 5000, EXACT),
    # Faults inside members the reader ignores, and after the visit: a reader that
    # skipped them unread would take bodies json.loads refuses.
    "empty array item in an ignored member": (b'{"clicks":[1],"extra":[1,,2]}', EXACT),
    "trailing comma in an ignored object": (b'{"clicks":[1],"extra":{"a":1,}}', EXACT),
    "trailing comma in an ignored list item": (b'{"mouse_movements":[{"x":1,"y":2,"t":3,"z":[1,]}]}', EXACT),
    "missing comma in an ignored member": (b'{"extra":[1 2],"clicks":[1]}', EXACT),
    "missing colon in an ignored object": (b'{"extra":{"a" 1},"clicks":[1]}', EXACT),
    "key that is not a string in an ignored object": (b'{"extra":{1:2},"clicks":[1]}', EXACT),
    "unclosed ignored member": (b'{"extra":[1,2}', EXACT),
    "garbage after the visit": (b'{"clicks":[1]} ]', EXACT),
    "a second value after the visit": (b'{"clicks":[1]} 5', EXACT),
    "raw control character in an ignored string": (b'{"extra":"a\x1fb","clicks":[1]}', EXACT),
    "raw control character in an ignored key": (b'{"ex\ttra":1,"clicks":[1]}', EXACT),
    "invalid escape in an ignored string": (b'{"extra":"\\q","clicks":[1]}', EXACT),
    "invalid escape in an ignored key": (b'{"\\q":1,"clicks":[1]}', EXACT),
    "short unicode escape in a key label": (b'{"keystrokes":[{"key":"\\u12","t":1}]}', EXACT),
    "leading zero in an ignored member": (b'{"extra":01,"clicks":[1]}', EXACT),
    "number without fraction digits in a sample": (b'{"mouse_movements":[{"x":1.,"y":2,"t":3}]}', EXACT),
    "lone minus in an ignored member": (b'{"extra":[-],"clicks":[1]}', EXACT),
    "number without exponent digits in an ignored member": (b'{"extra":1e,"clicks":[1]}', EXACT),
    "letters after a number in an ignored member": (b'{"extra":1x,"clicks":[1]}', EXACT),
    "broken null in an ignored member": (b'{"extra":nul,"clicks":[1]}', EXACT),
    "letters after true in an ignored member": (b'{"extra":truex,"clicks":[1]}', EXACT),
    "invalid UTF-8 in an ignored string": (b'{"extra":"\xc3","clicks":[1]}', EXACT),
    "big integer in an ignored member": (b'{"extra":[123456789012345678901234567890],"clicks":[1]}', EXACT),
    "number beyond the double range in an ignored member": (b'{"extra":{"a":-1e400},"clicks":[1]}', EXACT),
    "valid escapes in ignored strings and keys": (
        b'{"\\u0065xtra\\n":"\\"\\\\\\/\\b\\f\\n\\r\\t","clicks":[1]}',
        NATIVE,
    ),
}


@pytest.mark.parametrize("kind", BODY_KINDS)
@pytest.mark.parametrize("case", ROADS)
def test_each_body_takes_its_road_and_reads_as_json_loads_reads_it(case, kind):
    raw, road = ROADS[case]
    body = as_kind(kind, raw)
    if body is None:
        pytest.skip("not UTF-8, so no str")
    taken = EXACT if native.extract_features(body, None) is None else NATIVE
    assert taken == road
    assert_matches_json_loads(body)


@pytest.mark.parametrize("shape, kind, body", all_bodies(), ids=lambda value: getattr(value, "name", None))
def test_visit_shapes_read_natively(shape, kind, body):
    assert native.extract_features(body, None) is not None
    assert_matches_json_loads(body)


@pytest.mark.parametrize("body", [b"", "", bytearray(), memoryview(b"")])
def test_empty_body_as_a_threads_first_is_refused(body):
    # A new thread's reader has no buffer yet.
    errors = []
    thread = threading.Thread(
        target=lambda: errors.append(pytest.raises(json.JSONDecodeError, veltrix.extract_features_json, body))
    )
    thread.start()
    thread.join()
    assert len(errors) == 1


def test_keystroke_positions_beyond_the_first_150_are_never_read():
    entries = [{"t": "x"}] * 60 + [{"key": "a", "t": 100.0 * i, "up": 100.0 * i + 80} for i in range(140)]
    body = json.dumps({"keystrokes": entries}).encode()
    assert native.extract_features(body, None)["key_count"] == 90
    assert_matches_json_loads(body)


def test_bodies_beyond_the_kept_buffer_size_read_alike_and_leave_the_reader_working():
    path = [{"x": i % 97, "y": i % 89, "t": 8.5 * i} for i in range(6000)]
    large = json.dumps({"mouse_movements": path, "clicks": [0] * 100_000}).encode()
    small = json.dumps({"mouse_movements": path[:40]}).encode()
    assert len(large) > 256 * 1024
    for body in (small, large, small, large):
        assert native.extract_features(body, None) is not None
        assert_matches_json_loads(body)


@pytest.mark.parametrize("depth", [1500, 100_000])
def test_deep_nesting_in_ignored_fields_is_read_natively(depth):
    visit = b'{"clicks":[1],"extra":%s,"scrolls":[1,2]}'
    deep = visit % (b"[" * depth + b"{}" + b"]" * depth)
    # json.loads gives up on the nesting; the ignored field is as good as null.
    assert_same_features(veltrix.extract_features_json(deep), core.extract_features_rs(json.loads(visit % b"null")))


@pytest.mark.parametrize(
    "body",
    [
        b"[" * 100_000,
        b"[" * 50_000 + b"]" * 49_999,
        b'{"a":' * 100_000 + b"1",
        b"[" * 100_000 + b"NaN" + b"]" * 100_000,
    ],
)
def test_deep_bodies_that_are_not_read_natively_are_refused_with_a_value_error(body):
    assert native.extract_features(body, None) is None
    with pytest.raises(ValueError):
        veltrix.extract_features_json(body)


def test_memoryviews_that_are_not_contiguous_or_released_go_the_exact_road():
    body = b'{"clicks":[1,2,3]}'
    spread = memoryview(bytes(byte for character in body for byte in (character, 0x20)))[::2]
    assert native.extract_features(spread, None) is None
    assert veltrix.extract_features_json(spread)["click_count"] == 3
    released = memoryview(body)
    released.release()
    with pytest.raises(ValueError, match="released"):
        veltrix.extract_features_json(released)
    assert veltrix.extract_features_json(memoryview(array.array("B", body)))["click_count"] == 3


@pytest.mark.parametrize("body", [None, 5, [b"{}"], array.array("b", b"{}"), {"clicks": []}])
def test_other_objects_are_refused_with_a_type_error(body):
    assert native.extract_features(body, None) is None
    with pytest.raises(TypeError, match="body must be bytes, bytearray, memoryview or str"):
        veltrix.extract_features_json(body)


def test_native_function_binds_its_two_arguments():
    assert native.extract_features(body=b"{}", telemetry_key=None) is not None
    with pytest.raises(TypeError):
        native.extract_features(b"{}")
    with pytest.raises(TypeError, match="telemetry_key must be str or None, not bytes"):
        native.extract_features(b"{}", b"{}")


def test_threads_reading_at_once_each_get_their_own_body_read():
    bodies = [body for _, _, body in all_bodies()]
    expected = [core.extract_features_rs(json.loads(body)) for body in bodies]
    failures = []

    def read_all(offset):
        for index in range(60):
            which = (index + offset) % len(bodies)
            try:
                assert_same_features(veltrix.extract_features_json(bodies[which]), expected[which])
            except AssertionError as error:
                failures.append(error)

    threads = [threading.Thread(target=read_all, args=(offset,)) for offset in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_other_threads_run_while_a_body_is_read():
    # About 2 MB of samples: reading it takes far longer than a thread switch interval.
    body = json.dumps({"mouse_movements": [{"x": i, "y": i, "t": i} for i in range(100_000)]}).encode()
    reading = threading.Event()
    done = threading.Event()
    steps_during_read = []

    def read():
        reading.set()
        for _ in range(5):
            veltrix.extract_features_json(body)
        done.set()

    previous_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    try:
        reader = threading.Thread(target=read)
        reader.start()
        reading.wait()
        steps = 0
        while not done.is_set():
            steps += 1
        steps_during_read.append(steps)
        reader.join()
    finally:
        sys.setswitchinterval(previous_interval)
    # With the lock held throughout, this thread would only run between the calls.
    assert steps_during_read[0] > 10_000


def test_without_the_native_module_every_body_goes_through_json_loads():
    script = textwrap.dedent(
        """
        import json, sys
        sys.modules["veltrix._json_native"] = None  # as if built without simdjson
        import veltrix, veltrix_core_rs
        assert veltrix.NATIVE_JSON is False
        body = b'{"browser":{"screen_width":1920,"screen_height":1080},"clicks":[1,2]}'
        assert veltrix.extract_features_json(body) == veltrix_core_rs.extract_features_rs(json.loads(body))
        try:
            veltrix.extract_features_json(b"[" * 100000)
        except ValueError:
            pass
        else:
            raise SystemExit("deep body accepted")
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=dict(os.environ))
    assert result.returncode == 0, result.stderr


def test_native_reader_is_in_use():
    assert veltrix.NATIVE_JSON is True


def test_second_interpreter_is_refused():
    code = textwrap.dedent(
        f"""
        import importlib.util
        spec = importlib.util.spec_from_file_location("veltrix._json_native", {native.__file__!r})
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as error:
            assert "veltrix._json_native does not support sub-interpreters" in str(error), error
        else:
            raise SystemExit("imported in a second interpreter")
        """
    )
    script = (
        f"import _testcapi, veltrix\nassert _testcapi.run_in_subinterp({code!r}) == 0\n"
        "assert veltrix.extract_features_json(b'{}')\n"
    )
    pytest.importorskip("_testcapi")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr + result.stdout


VISIT = b'{"browser":{"webdriver":true},"mouse_movements":[{"x":1,"y":2,"t":3},{"x":4,"y":6,"t":19}]}'


@pytest.mark.parametrize(
    ("body", "road"),
    [
        (b'{"challenge":"c","telemetry":' + VISIT + b"}", NATIVE),
        (b'{"telemetry":{},"telemetry":' + VISIT + b"}", NATIVE),  # the last duplicate counts
        (b'{"tele\\u006detry":' + VISIT + b',"x":' + b"[" * 500 + b"]" * 500 + b"}", NATIVE),
        (b'{"telemetry":' + VISIT + b',"other":NaN}', EXACT),
        (b'{"telemetry":' + VISIT + b',"id":123456789012345678901234567890}', EXACT),
    ],
    ids=["envelope", "duplicate member", "escaped name, deep sibling", "NaN elsewhere", "huge int elsewhere"],
)
def test_the_telemetry_under_a_member_reads_as_json_loads_reads_it(body, road):
    assert (EXACT if native.extract_features(body, "telemetry") is None else NATIVE) == road
    for kind in BODY_KINDS:
        features = veltrix.extract_features_json(as_kind(kind, body), telemetry_key="telemetry")
        assert_same_features(features, core.extract_features_rs(json.loads(body)["telemetry"]))
    assert features["webdriver"] is True and features["mouse_points"] == 2


@pytest.mark.parametrize("member", [b"null", b"[1,2]", b"5", b'"text"'])
def test_a_member_that_is_no_object_reads_as_extract_features_rs_reads_it(member):
    body = b'{"telemetry":' + member + b"}"
    features = veltrix.extract_features_json(body, telemetry_key="telemetry")
    assert_same_features(features, core.extract_features_rs(json.loads(member)))


@pytest.mark.parametrize(
    ("body", "reason"),
    [
        (b'{"meta":{"telemetry":{}}}', 'no member "telemetry"'),
        (b'{"Telemetry":{}}', 'no member "telemetry"'),
        (b"[{}]", "not an object: an array"),
        (b"null", "not an object: null"),
    ],
)
def test_a_body_without_the_member_is_refused_with_the_reason(body, reason):
    assert native.extract_features(body, "telemetry") is None
    with pytest.raises(veltrix.MissingTelemetryError, match=f"^{reason}$") as refusal:
        veltrix.extract_features_json(body, telemetry_key="telemetry")
    assert isinstance(refusal.value, ValueError)


@pytest.mark.parametrize("built_with_native_reader", [True, False])
def test_a_key_that_is_no_str_is_a_type_error(monkeypatch, built_with_native_reader):
    if not built_with_native_reader:
        monkeypatch.setattr(veltrix.json_features, "_native_features", None)
    with pytest.raises(TypeError, match="telemetry_key must be str or None, not bytes"):
        veltrix.extract_features_json(b"{}", telemetry_key=b"telemetry")
