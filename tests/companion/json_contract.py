"""What extract_features_json must give for a body: exactly what json.loads and
extract_features_rs give, or json.loads' own refusal. Shared by the tests and
the fuzzer, so it needs nothing beyond the module and the package."""

import json
import math

import veltrix
import veltrix_core_rs as core

from result_contracts import check_features

# The four input types, each made from the body's bytes; str only from bytes that decode.
BODY_KINDS = {
    "bytes": bytes,
    "bytearray": bytearray,
    "memoryview": memoryview,
    "str": lambda body: body.decode("utf-8"),
}


def as_kind(kind, body):
    """The body as `kind`, or None when it cannot be one (str of bytes that are not UTF-8)."""
    try:
        return BODY_KINDS[kind](body)
    except UnicodeDecodeError:
        return None


def same_value(a, b):
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1.0, a) == math.copysign(1.0, b))
    return a == b


def assert_same_features(got, expected):
    assert list(got) == list(expected)
    differing = {key: (got[key], expected[key]) for key in expected if not same_value(got[key], expected[key])}
    assert differing == {}


def outcome_of_json_loads(body):
    """("features", dict) or ("error", exception) for extract_features_rs(json.loads(body))."""
    try:
        telemetry = json.loads(body.tobytes() if isinstance(body, memoryview) else body)
    except (ValueError, RecursionError) as error:
        return "error", error
    return "features", core.extract_features_rs(telemetry)


def assert_matches_json_loads(body):
    """extract_features_json(body) gives what json.loads and the dict reader give, or the same refusal.

    Bodies nested too deeply for json.loads are valid JSON all the same: the
    native reader reads them, the exact road refuses them with a ValueError."""
    kind, expected = outcome_of_json_loads(body)
    try:
        features = veltrix.extract_features_json(body)
    except ValueError as error:
        if kind == "features":
            raise
        if not isinstance(expected, RecursionError):
            assert (type(error), str(error)) == (type(expected), str(expected))
        return
    if kind == "features":
        assert_same_features(features, expected)
    elif isinstance(expected, RecursionError):
        check_features(features)
    else:
        raise AssertionError(f"accepted a body json.loads refuses with {expected!r}")


def same_json_value(a, b):
    """a and b are the same parsed JSON value: same types throughout, floats to the bit, dicts in the same order.
    Compared without recursion: kept values may be nested as deeply as json.loads reads."""
    pending = [(a, b)]
    while pending:
        a, b = pending.pop()
        if type(a) is not type(b):
            return False
        if type(a) is dict:
            if list(a) != list(b):
                return False
            pending.extend((a[key], b[key]) for key in a)
        elif type(a) is list:
            if len(a) != len(b):
                return False
            pending.extend(zip(a, b))
        elif not same_value(a, b):
            return False
    return True


def loaded(body):
    """json.loads(body), or the exception it raises."""
    try:
        return json.loads(body.tobytes() if isinstance(body, memoryview) else body)
    except (ValueError, RecursionError) as error:
        return error


def assert_envelope_matches_json_loads(body, telemetry_key):
    """extract_features_json(body, telemetry_key=...) is extract_features_rs(json.loads(body)[telemetry_key]),
    raises json.loads' refusal, or MissingTelemetryError where json.loads(body)[telemetry_key] fails."""
    document = loaded(body)
    if isinstance(document, Exception) or telemetry_key is None:
        assert_matches_json_loads(body)
        return
    try:
        features = veltrix.extract_features_json(body, telemetry_key=telemetry_key)
    except veltrix.MissingTelemetryError:
        assert not isinstance(document, dict) or telemetry_key not in document
        return
    assert isinstance(document, dict) and telemetry_key in document
    assert_same_features(features, core.extract_features_rs(document[telemetry_key]))


def assert_line_matches_json_loads(line, telemetry_key, keep):
    """The batch row of a JSON line is (1, *[json.loads(line).get(name) for name in keep], *features of its
    telemetry), or the line is refused where json.loads or the row's rules refuse it."""
    from veltrix.batch import extract_lines

    extraction = extract_lines([line], telemetry_key=telemetry_key, keep=keep)
    document = loaded(line)
    telemetry = document if telemetry_key is None or not isinstance(document, dict) else document.get(telemetry_key)
    if isinstance(document, RecursionError) and extraction.rows:
        check_features(dict(zip(core.extract_features_rs({}), extraction.rows[0][1 + len(keep) :])))
        return  # valid JSON too deep for json.loads, which the native reader reads
    if not isinstance(document, dict) or not isinstance(telemetry, dict):
        assert extraction.rows == [] and len(extraction.refused) == 1
        return
    assert extraction.refused == []
    (row,) = extraction.rows
    expected = (1, *[document.get(name) for name in keep], *core.extract_features_rs(telemetry).values())
    assert len(row) == len(expected)
    differing = [index for index, (a, b) in enumerate(zip(row, expected)) if not same_json_value(a, b)]
    assert differing == []
