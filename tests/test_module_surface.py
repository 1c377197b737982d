import importlib
import importlib.metadata
import inspect
import subprocess
import sys
import textwrap

import pytest

import veltrix_core_rs as core

FUNCTION_TABLE = [
    ("is_rust_core_active", ()),
    ("get_core_version", ()),
    ("extract_features_rs", ("telemetry",)),
    ("evaluate_curvature_naturalness_rs", ("x", "y", "t")),
    ("evaluate_curvature_zerocopy_rs", ("x_obj", "y_obj", "t_obj")),
    ("evaluate_keystroke_dynamics_rs", ("keystrokes",)),
    ("consume_nonce_rs", ("nonce",)),
    ("is_ip_banned_rs", ("ip",)),
    ("ban_ip_rs", ("ip", "duration_sec")),
    ("unban_ip_rs", ("ip",)),
    ("hydrate_bans_rs", ("bans",)),
    ("clear_state_engine_rs", ()),
    ("get_state_engine_stats_rs", ()),
]


def test_all_lists_functions_in_table_order():
    assert core.__all__ == [name for name, _ in FUNCTION_TABLE]


@pytest.mark.parametrize("name,parameters", FUNCTION_TABLE)
def test_signature_and_identity(name, parameters):
    function = getattr(core, name)
    assert function.__module__ == "veltrix_core_rs"
    assert function.__self__ is core
    assert function.__doc__ is None
    assert function.__text_signature__ == f"({', '.join(parameters)})"
    signature = inspect.signature(function)
    assert list(signature.parameters) == list(parameters)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())


def test_probes():
    assert core.is_rust_core_active() is True
    # The number is the one in pyproject.toml, which the build hands to the C++ code.
    assert core.get_core_version() == importlib.metadata.version("veltrix_core_rs") + "-native-rust"
    assert core.__doc__ == ""


def test_reimport_gives_the_identical_module():
    del sys.modules["veltrix_core_rs"]
    again = importlib.import_module("veltrix_core_rs")
    assert again is core
    assert again.__all__ == [name for name, _ in FUNCTION_TABLE]


def test_second_interpreter_is_refused():
    script = textwrap.dedent(
        """
        import _testcapi, veltrix_core_rs
        code = '''
        try:
            import veltrix_core_rs
        except ImportError as error:
            assert "sub-interpreters" in str(error), error
        else:
            raise SystemExit("imported in a second interpreter")
        '''
        assert _testcapi.run_in_subinterp(code) == 0
        assert veltrix_core_rs.is_rust_core_active()
        """
    )
    pytest.importorskip("_testcapi")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: core.ban_ip_rs("a", 1, 2), "ban_ip_rs() takes 2 positional arguments but 3 were given"),
        (lambda: core.consume_nonce_rs("a", "b"), "consume_nonce_rs() takes 1 positional arguments but 2 were given"),
        (lambda: core.is_ip_banned_rs(addr="x"), "is_ip_banned_rs() got an unexpected keyword argument 'addr'"),
        (lambda: core.consume_nonce_rs("n", nonce="n"), "consume_nonce_rs() got multiple values for argument 'nonce'"),
        (lambda: core.ban_ip_rs(ip="a", ip2=1), "ban_ip_rs() got an unexpected keyword argument 'ip2'"),
        (lambda: core.is_ip_banned_rs(), "is_ip_banned_rs() missing 1 required positional argument: 'ip'"),
        (lambda: core.ban_ip_rs("a"), "ban_ip_rs() missing 1 required positional argument: 'duration_sec'"),
        (lambda: core.ban_ip_rs(), "ban_ip_rs() missing 2 required positional arguments: 'ip' and 'duration_sec'"),
        (lambda: core.is_ip_banned_rs(5), "argument 'ip': 'int' object cannot be converted to 'PyString'"),
        (lambda: core.hydrate_bans_rs("abc"), "argument 'bans': Can't extract `str` to `Vec`"),
    ],
)
def test_binding_errors(engine, call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message
    assert engine.get_state_engine_stats_rs() == {
        "current_bucket_nonces": 0,
        "previous_bucket_nonces": 0,
        "active_ip_bans": 0,
    }


def test_keywords_bind_in_any_order(engine):
    engine.ban_ip_rs(duration_sec=60, ip="10.0.0.1")
    assert engine.is_ip_banned_rs(ip="10.0.0.1")


@pytest.mark.parametrize("name", ["get_core_version", "is_rust_core_active", "clear_state_engine_rs"])
def test_no_argument_functions_refuse_arguments(name):
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(core, name)(1)


class Named(str):
    pass


class IndexRaisesTypeError:
    def __index__(self):
        raise TypeError("custom refusal") from KeyError("root")


class MyTypeError(TypeError):
    pass


class IndexRaisesSubclass:
    def __index__(self):
        raise MyTypeError("kept as is")


def test_type_error_prefix_keeps_the_cause(engine):
    with pytest.raises(TypeError) as caught:
        engine.ban_ip_rs("a", IndexRaisesTypeError())
    assert str(caught.value) == "argument 'duration_sec': custom refusal"
    assert isinstance(caught.value.__cause__, KeyError)


def test_type_error_subclasses_pass_unchanged(engine):
    with pytest.raises(MyTypeError, match="^kept as is$"):
        engine.ban_ip_rs("a", IndexRaisesSubclass())


@pytest.mark.parametrize(
    "duration,error,message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.5, TypeError, "argument 'duration_sec': 'float' object cannot be interpreted as an integer"),
        ("10", TypeError, "argument 'duration_sec': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'duration_sec': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_duration_refusals_leave_no_ban(engine, duration, error, message):
    with pytest.raises(error) as caught:
        engine.ban_ip_rs("10.0.0.9", duration)
    if message:
        assert str(caught.value) == message
    assert not engine.is_ip_banned_rs("10.0.0.9")
    assert engine.get_state_engine_stats_rs()["active_ip_bans"] == 0


def test_text_conversions(engine):
    assert engine.consume_nonce_rs(Named("subclass")) is True
    assert engine.consume_nonce_rs("subclass") is False
    with pytest.raises(UnicodeEncodeError):
        engine.consume_nonce_rs("\ud800")
    with pytest.raises(TypeError, match="^argument 'nonce': 'bytes' object cannot be converted to 'PyString'$"):
        engine.consume_nonce_rs(b"abc")
    assert engine.get_state_engine_stats_rs()["current_bucket_nonces"] == 1


def test_bool_and_index_objects_are_unsigned_integers(engine):
    class Index:
        def __index__(self):
            return 3600

    engine.ban_ip_rs("a", True)
    engine.ban_ip_rs("b", Index())
    assert engine.is_ip_banned_rs("a") and engine.is_ip_banned_rs("b")
