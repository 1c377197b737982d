"""What every call of the module may return or raise, checked the same way by the
property tests and by the coverage-guided fuzzer.

call_checked() makes one call and fails with an AssertionError when the result
has the wrong keys, order or types, or when the call raises anything that the
function's failure rules do not name.
"""

import math
import re

import veltrix_core_rs as core

from hostile_objects import HostileError

FEATURE_TYPES = {
    "mouse_points": int,
    "total_distance": float,
    "straightness": float,
    "avg_velocity": float,
    "max_velocity": float,
    "velocity_var": float,
    "avg_acceleration": float,
    "acceleration_var": float,
    "avg_jerk": float,
    "dt_var": float,
    "click_count": int,
    "key_count": int,
    "key_interval_avg": float,
    "key_interval_var": float,
    "webdriver": bool,
    "screen_valid": bool,
    "scroll_count": int,
    "terminal_decel_ratio": float,
    "plugins_length": int,
    "touch_supported": bool,
    "screen_width": float,
    "spectral_purity": float,
    "spectral_entropy": float,
    "submovement_count": int,
    "max_touch_points": int,
    "avg_touch_radius": float,
    "touch_radius_var": float,
    "avg_touch_force": float,
    "touch_event_count": int,
    "curvature_score": float,
    "mean_curvature": float,
    "curvature_var": float,
    "curvature_rate_var": float,
    "avg_dwell_time": float,
    "dwell_time_var": float,
    "avg_flight_time": float,
    "flight_time_var": float,
    "digraph_entropy": float,
    "keystroke_score": float,
}
UNSIGNED_FEATURES = (
    "mouse_points",
    "click_count",
    "key_count",
    "scroll_count",
    "submovement_count",
    "touch_event_count",
)
# The kinematics look at the earliest pointer samples only, the reader at the first keystroke positions.
MAX_MOUSE_POINTS = 300
MAX_KEY_COUNT = 150

CURVATURE_TYPES = dict.fromkeys(("curvature_score", "mean_curvature", "curvature_var", "curvature_rate_var"), float)
KEYSTROKE_TYPES = {
    "key_count": int,
    **dict.fromkeys(
        (
            "avg_dwell_time",
            "dwell_time_var",
            "avg_flight_time",
            "flight_time_var",
            "digraph_entropy",
            "keystroke_score",
        ),
        float,
    ),
}
STATS_TYPES = dict.fromkeys(("current_bucket_nonces", "previous_bucket_nonces", "active_ip_bans"), int)

PARAMETERS = {
    "is_rust_core_active": (),
    "get_core_version": (),
    "extract_features_rs": ("telemetry",),
    "evaluate_curvature_naturalness_rs": ("x", "y", "t"),
    "evaluate_curvature_zerocopy_rs": ("x_obj", "y_obj", "t_obj"),
    "evaluate_keystroke_dynamics_rs": ("keystrokes",),
    "consume_nonce_rs": ("nonce",),
    "is_ip_banned_rs": ("ip",),
    "ban_ip_rs": ("ip", "duration_sec"),
    "unban_ip_rs": ("ip",),
    "hydrate_bans_rs": ("bans",),
    "clear_state_engine_rs": (),
    "get_state_engine_stats_rs": (),
}

# Beyond the binding TypeError every function may raise. Hostile objects' own
# errors pass through the strict conversions; the lenient readers swallow them.
_TEXT_REFUSALS = (TypeError, UnicodeEncodeError)
REFUSALS = {
    "extract_features_rs": (),
    "evaluate_keystroke_dynamics_rs": (),
    "evaluate_curvature_naturalness_rs": (TypeError, OverflowError, HostileError),
    "evaluate_curvature_zerocopy_rs": (TypeError, BufferError, HostileError, ValueError),
    "consume_nonce_rs": _TEXT_REFUSALS,
    "is_ip_banned_rs": _TEXT_REFUSALS,
    "unban_ip_rs": _TEXT_REFUSALS,
    "ban_ip_rs": (*_TEXT_REFUSALS, OverflowError, HostileError),
    "hydrate_bans_rs": (*_TEXT_REFUSALS, ValueError, OverflowError, HostileError),
}
BUFFER_REFUSAL_MESSAGES = {
    "shape is null",
    "strides is null",
    "buffer contents are not compatible with f64",
    "buffer contents are insufficiently aligned for f64",
}
TUPLE_LENGTH_MESSAGE = re.compile(r"expected tuple of length 2, but got tuple of length \d+")
RELEASED_VIEW_MESSAGE = "operation forbidden on released memoryview object"
# The version answers the same for the life of the process; its value is checked
# against the package's metadata in test_module_surface.py.
CORE_VERSION = core.get_core_version()


def same_number(a, b):
    """Equal, or both NaN: for results that must be the very same value."""
    return a == b or (math.isnan(a) and math.isnan(b))


def check_dict(result, types):
    assert type(result) is dict, type(result)
    assert list(result) == list(types), list(result)
    for key, expected in types.items():
        assert type(result[key]) is expected, (key, type(result[key]))


def check_features(result):
    check_dict(result, FEATURE_TYPES)
    assert all(result[key] >= 0 for key in UNSIGNED_FEATURES), result
    assert result["mouse_points"] <= MAX_MOUSE_POINTS and result["key_count"] <= MAX_KEY_COUNT, result
    # One flight-time mean and variance feed both pairs of entries.
    assert same_number(result["key_interval_avg"], result["avg_flight_time"]), result
    assert same_number(result["key_interval_var"], result["flight_time_var"]), result


def check_keystrokes(result):
    check_dict(result, KEYSTROKE_TYPES)
    assert result["key_count"] >= 0


def check_stats(result):
    check_dict(result, STATS_TYPES)
    assert all(value >= 0 for value in result.values()), result


def _is_bool(result):
    assert type(result) is bool, result


def _is_none(result):
    assert result is None, result


def _is_true(result):
    assert result is True, result


def _is_version(result):
    assert type(result) is str and result == CORE_VERSION, result


RESULT_CHECKS = {
    "is_rust_core_active": _is_true,
    "get_core_version": _is_version,
    "extract_features_rs": check_features,
    "evaluate_curvature_naturalness_rs": lambda result: check_dict(result, CURVATURE_TYPES),
    "evaluate_curvature_zerocopy_rs": lambda result: check_dict(result, CURVATURE_TYPES),
    "evaluate_keystroke_dynamics_rs": check_keystrokes,
    "consume_nonce_rs": _is_bool,
    "is_ip_banned_rs": _is_bool,
    "ban_ip_rs": _is_none,
    "unban_ip_rs": _is_none,
    "hydrate_bans_rs": _is_none,
    "clear_state_engine_rs": _is_none,
    "get_state_engine_stats_rs": check_stats,
}


def _is_binding_error(name, message):
    # Functions without parameters are refused arguments by the interpreter, in its own words.
    owner = "veltrix_core_rs." if not PARAMETERS[name] else ""
    return message.startswith(f"{owner}{name}() ")


def _check_refusal(name, error):
    message = str(error)
    if type(error) is TypeError and _is_binding_error(name, message):
        return
    assert isinstance(error, REFUSALS.get(name, ())), f"{name} raised {type(error).__name__}: {message}"
    named = message.startswith("argument '")
    if name == "evaluate_curvature_zerocopy_rs":
        # An exporter's refusal is raised as the exporter raised it.
        assert not named, message
        if type(error) is BufferError:
            assert message in BUFFER_REFUSAL_MESSAGES, message
        if type(error) is ValueError:
            assert message == RELEASED_VIEW_MESSAGE, message
    elif type(error) is TypeError:
        assert any(message.startswith(f"argument '{p}': ") for p in PARAMETERS[name]), message
    else:
        # Other types, TypeError subclasses included, keep their own message.
        assert not named, message
    if type(error) is ValueError and name == "hydrate_bans_rs":
        assert TUPLE_LENGTH_MESSAGE.fullmatch(message), message


def call_checked(name, *args, **kwargs):
    """Calls core.<name>; returns (True, result) or (False, the allowed exception)."""
    try:
        result = getattr(core, name)(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - judged against the function's failure rules
        _check_refusal(name, error)
        return False, error
    RESULT_CHECKS[name](result)
    return True, result
