"""Do the Python contenders compute what the extension computes?

A speed ratio means nothing unless both sides return the same features, so the
benchmark run and the test suite both call `reference_mismatches` first.
"""

import math

import numpy as np

import reference_numpy
import reference_python
from visit_shapes import SHAPES, curvature_path, make_visit

REFERENCES = (("pure Python", reference_python), ("NumPy", reference_numpy))
RELATIVE_TOLERANCE = 1e-9
# Features that are zero up to rounding (a mean of signed accelerations, say)
# differ between summation orders by far less than this.
ABSOLUTE_TOLERANCE = 1e-12
CURVATURE_KEYS = ("curvature_score", "mean_curvature", "curvature_var", "curvature_rate_var")


def _same_value(expected, actual):
    if type(expected) is not type(actual):
        return False
    if isinstance(expected, float):
        if math.isnan(expected) or math.isnan(actual):
            return math.isnan(expected) and math.isnan(actual)
        return math.isclose(expected, actual, rel_tol=RELATIVE_TOLERANCE, abs_tol=ABSOLUTE_TOLERANCE)
    return expected == actual


def feature_mismatches(expected, actual):
    """Descriptions of every difference in keys, key order, Python types or values (floats within tolerance)."""
    if list(expected) != list(actual):
        return [f"keys differ: expected {list(expected)}, got {list(actual)}"]
    return [
        f"{key}: expected {expected[key]!r}, got {actual[key]!r}"
        for key in expected
        if not _same_value(expected[key], actual[key])
    ]


def visit_mismatches(core, shape, reference):
    visit = make_visit(shape)
    return feature_mismatches(core.extract_features_rs(visit), reference.extract_features(visit))


def curvature_mismatches(core, reference):
    xs, ys, ts = curvature_path()
    if reference is reference_numpy:
        metrics = reference.curvature_metrics(*(np.array(series) for series in (xs, ys, ts)))
    else:
        metrics = reference.curvature_metrics(xs, ys, ts)
    expected = core.evaluate_curvature_naturalness_rs(xs, ys, ts)
    return feature_mismatches(expected, dict(zip(CURVATURE_KEYS, map(float, metrics))))


def reference_mismatches(core):
    """Every disagreement between the extension and the two contenders, each line naming where."""
    problems = []
    for name, reference in REFERENCES:
        for shape in SHAPES:
            problems += [f"{name}, {shape.name} visit: {line}" for line in visit_mismatches(core, shape, reference)]
        problems += [f"{name}, curvature path: {line}" for line in curvature_mismatches(core, reference)]
    return problems
