"""Property tests: extract_features_json against json.loads + extract_features_rs on
generated telemetry, hostile JSON and hostile envelopes around the telemetry, in
all four input types, and the batch rows of envelope lines against json.loads'
values of their kept members. Whatever road a body takes, the features are the
same to the bit, and a body json.loads refuses is refused with the same error.
HYPOTHESIS_PROFILE=long runs them thoroughly."""

from hypothesis import given
from hypothesis import strategies as st
from json_cases import any_json, damaged, envelope_texts, kept_name_lists, telemetry_keys, telemetry_texts
from json_contract import (
    BODY_KINDS,
    as_kind,
    assert_envelope_matches_json_loads,
    assert_line_matches_json_loads,
    assert_matches_json_loads,
)

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


@fuzz_settings
@given(damaged(envelope_texts), telemetry_keys, st.sampled_from(list(BODY_KINDS)))
def test_envelopes_read_as_json_loads_reads_them(body, telemetry_key, kind):
    body = as_kind(kind, body)
    if body is not None:
        assert_envelope_matches_json_loads(body, telemetry_key)


@fuzz_settings
@given(damaged(envelope_texts), telemetry_keys, kept_name_lists, st.booleans())
def test_envelope_lines_give_the_rows_json_loads_gives(line, telemetry_key, keep, as_text):
    if as_text:
        line = as_kind("str", line)
    if line is not None and line.strip():
        assert_line_matches_json_loads(line, telemetry_key, keep)
