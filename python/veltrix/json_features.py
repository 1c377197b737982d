"""Features of one visit straight from its telemetry JSON body.

Two roads give the same result. The native one (``veltrix._json_native``, built
when simdjson is found) parses the body into the extension's own telemetry
record without building Python objects and without the interpreter lock. Bodies
it does not take exactly as json.loads would (see the module's reader for the
list: NaN literals, byte-order marks, UTF-16, lone surrogates, numbers beyond
64-bit integers or the double range, and every body that is not JSON) go the
exact road: json.loads, then ``extract_features_rs`` on the dict. So do bodies
without the telemetry member asked for, which that road then refuses.
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

import veltrix_core_rs

if TYPE_CHECKING:
    from veltrix_core_rs import VisitFeatures

try:
    from veltrix._json_native import extract_features as _native_features
except ImportError:  # built without simdjson, or its shared library is missing
    _native_features = None

NATIVE_JSON = _native_features is not None
"""True when bodies are read natively, False when every body goes through json.loads."""

_JSON_KINDS = {
    dict: "an object",
    list: "an array",
    str: "a string",
    int: "a number",
    float: "a number",
    bool: "a boolean",
    type(None): "null",
}


class MissingTelemetryError(ValueError):
    """A JSON body that holds no member of the telemetry key: its top level is no
    object, or it has no member of that name. The message is the reason alone
    (``no member "telemetry"``, ``not an object: an array``)."""


def json_kind(value: Any) -> str:
    """What a parsed JSON value is, as a reason names it ("an array", "null")."""
    return _JSON_KINDS.get(type(value), type(value).__name__)


def telemetry_member(document: Any, telemetry_key: str) -> Any:
    """``document[telemetry_key]`` of a parsed body, or MissingTelemetryError."""
    if not isinstance(document, dict):
        raise MissingTelemetryError(f"not an object: {json_kind(document)}")
    try:
        return document[telemetry_key]
    except KeyError:
        raise MissingTelemetryError(f"no member {json.dumps(telemetry_key)}") from None


def _through_json_loads(body: bytes | bytearray | memoryview | str, telemetry_key: str | None) -> VisitFeatures:
    if telemetry_key is not None and not isinstance(telemetry_key, str):
        raise TypeError(f"telemetry_key must be str or None, not {type(telemetry_key).__name__}")
    if isinstance(body, memoryview):
        body = body.tobytes()
    elif not isinstance(body, (bytes, bytearray, str)):
        raise TypeError(f"body must be bytes, bytearray, memoryview or str, not {type(body).__name__}")
    try:
        telemetry = json.loads(body)
    except RecursionError as error:
        # A body nested too deeply for json.loads is refused like any other it cannot read.
        raise ValueError("JSON body is nested too deeply to decode") from error
    if telemetry_key is not None:
        telemetry = telemetry_member(telemetry, telemetry_key)
    return veltrix_core_rs.extract_features_rs(telemetry)


def extract_features_json(
    body: bytes | bytearray | memoryview | str, *, telemetry_key: str | None = None
) -> VisitFeatures:
    """The 39 features of the visit whose telemetry `body` holds as JSON.

    Equal to ``veltrix_core_rs.extract_features_rs(json.loads(body))``, or with
    `telemetry_key` to ``extract_features_rs(json.loads(body)[telemetry_key])``
    (a member that is no object reads as extract_features_rs reads it: null or
    an array as the empty visit). A body that is not JSON raises ValueError
    (json.JSONDecodeError or UnicodeDecodeError); one whose top level is no
    object or lacks the member raises MissingTelemetryError, a ValueError too.
    """
    if _native_features is not None:
        features = _native_features(body, telemetry_key)
        if features is not None:
            return features
    return _through_json_loads(body, telemetry_key)
