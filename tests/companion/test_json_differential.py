"""Property tests: extract_features_json against json.loads + extract_features_rs on
generated telemetry and hostile JSON, in all four input types. Whatever road a
body takes, the features are the same to the bit, and a body json.loads refuses
is refused with the same error. HYPOTHESIS_PROFILE=long runs them thoroughly."""

from hypothesis import given
from hypothesis import strategies as st
from json_cases import any_json, damaged, telemetry_texts
from json_contract import BODY_KINDS, as_kind, assert_matches_json_loads

from fuzz_strategies import fuzz_settings


@fuzz_settings
@given(damaged(telemetry_texts), st.sampled_from(list(BODY_KINDS)))
def test_generated_telemetry_reads_as_json_loads_reads_it(body, kind):
    body = as_kind(kind, body)
    if body is not None:
        assert_matches_json_loads(body)


@fuzz_settings
@given(damaged(any_json), st.sampled_from(list(BODY_KINDS)))
def test_any_json_reads_as_json_loads_reads_it(body, kind):
    body = as_kind(kind, body)
    if body is not None:
        assert_matches_json_loads(body)


@fuzz_settings
@given(st.binary(max_size=40))
def test_arbitrary_bytes_read_as_json_loads_reads_them(body):
    assert_matches_json_loads(body)
