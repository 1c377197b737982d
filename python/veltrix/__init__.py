"""Companion package of the veltrix_core_rs extension module.

What a service needs beyond the module itself: features straight from a JSON
request body (:func:`extract_features_json`).
"""

from veltrix.json_features import NATIVE_JSON, extract_features_json

__all__ = ["NATIVE_JSON", "extract_features_json"]
