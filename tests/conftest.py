import pytest

import veltrix_core_rs as core


@pytest.fixture
def engine():
    """The process-wide state engine, emptied before and after the test."""
    core.clear_state_engine_rs()
    yield core
    core.clear_state_engine_rs()
