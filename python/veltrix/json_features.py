"""Features of one visit straight from its telemetry JSON body.

Two roads give the same result. The native one (``veltrix._json_native``, built
when simdjson is found) parses the body into the extension's own telemetry
record without building Python objects and without the interpreter lock. Bodies
it does not take exactly as json.loads would (see the module's reader for the
list: NaN literals, byte-order marks, UTF-16, lone surrogates, numbers beyond
64-bit integers or the double range, and every body that is not JSON) go the
exact road: json.loads, then ``extract_features_rs`` on the dict.
"""

from __future__ import annotations

import json
from typing import Any

import veltrix_core_rs

try:
    from veltrix._json_native import extract_features as _native_features
except ImportError:  # built without simdjson, or its shared library is missing
    _native_features = None

NATIVE_JSON = _native_features is not None
"""True when bodies are read natively, False when every body goes through json.loads."""


def _through_json_loads(body: bytes | bytearray | memoryview | str) -> dict[str, Any]:
    if isinstance(body, memoryview):
        body = body.tobytes()
    elif not isinstance(body, (bytes, bytearray, str)):
        raise TypeError(f"body must be bytes, bytearray, memoryview or str, not {type(body).__name__}")
    try:
        telemetry = json.loads(body)
    except RecursionError as error:
        # A body nested too deeply for json.loads is refused like any other it cannot read.
        raise ValueError("JSON body is nested too deeply to decode") from error
    return veltrix_core_rs.extract_features_rs(telemetry)


def extract_features_json(body: bytes | bytearray | memoryview | str) -> dict[str, Any]:
    """The 39 features of the visit whose telemetry `body` holds as JSON.

    Equal to ``veltrix_core_rs.extract_features_rs(json.loads(body))``; a body
    that is not JSON raises ValueError (json.JSONDecodeError or UnicodeDecodeError).
    """
    if _native_features is not None:
        features = _native_features(body)
        if features is not None:
            return features
    return _through_json_loads(body)
