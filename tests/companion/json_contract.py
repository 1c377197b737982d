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
