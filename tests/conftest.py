import ctypes

import pytest

import veltrix_core_rs as core


@pytest.fixture
def engine():
    """The process-wide state engine, emptied before and after the test."""
    core.clear_state_engine_rs()
    yield core
    core.clear_state_engine_rs()


def pytest_unconfigure(config):
    """Under the sanitizers, checks for leaks now rather than at exit.

    During finalization the interpreter ends every daemon thread that wakes
    (a pool that polls its queue, for one). A thread ending while LeakSanitizer
    stops the world can crash its tracer, so the check runs while the suite's
    threads are still parked. The module's globals are never freed at exit, so
    an earlier check misses none of its leaks; it also turns off the one at exit.
    """
    leak_check = getattr(ctypes.CDLL(None), "__lsan_do_leak_check", None)
    if leak_check is not None:
        leak_check()
