"""Features of one visit straight from its telemetry JSON body."""

from __future__ import annotations

import json
from typing import Any

import veltrix_core_rs

NATIVE_JSON = False
"""True when the native JSON reader is in use, False when bodies go through json.loads."""


def _parsed(body: bytes | bytearray | memoryview | str) -> Any:
    if isinstance(body, memoryview):
        body = body.tobytes()
    elif not isinstance(body, (bytes, bytearray, str)):
        raise TypeError(f"body must be bytes, bytearray, memoryview or str, not {type(body).__name__}")
    return json.loads(body)


def extract_features_json(body: bytes | bytearray | memoryview | str) -> dict[str, Any]:
    """The 39 features of the visit whose telemetry `body` holds as JSON.

    Equal to ``veltrix_core_rs.extract_features_rs(json.loads(body))``; a body
    that is not JSON raises ValueError (json.JSONDecodeError or UnicodeDecodeError).
    """
    return veltrix_core_rs.extract_features_rs(_parsed(body))
