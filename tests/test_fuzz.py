"""Property tests: every function, fed arbitrary and hostile input, neither crashes
nor raises anything its failure rules do not name, and every result has its keys
in order and its types. HYPOTHESIS_PROFILE=long runs them thoroughly."""

import time

import numpy
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import veltrix_core_rs as core

import fuzz_strategies as fs
from fuzz_strategies import fuzz_settings
from hostile_objects import ACCEPTED_BUFFER_WRAPPERS
from result_contracts import call_checked, same_number

# A __float__ returning a float subclass is deprecated, and exercised on purpose.
pytestmark = pytest.mark.filterwarnings("ignore:.*returned non-float:DeprecationWarning")

EMPTY_STATS = {"current_bucket_nonces": 0, "previous_bucket_nonces": 0, "active_ip_bans": 0}


@fuzz_settings
@given(fs.telemetry)
def test_extract_features_reads_any_telemetry(telemetry):
    ok, _ = call_checked("extract_features_rs", telemetry)
    assert ok


@fuzz_settings
@given(fs.keystroke_lists)
def test_keystroke_dynamics_reads_any_list(keystrokes):
    # The length is read once, before any item's conversion can grow the list.
    length = list.__len__(keystrokes) if isinstance(keystrokes, list) else 0
    ok, result = call_checked("evaluate_keystroke_dynamics_rs", keystrokes)
    assert ok and result["key_count"] <= length


@fuzz_settings
@given(fs.curvature_sequences, fs.curvature_sequences, fs.curvature_sequences)
def test_curvature_over_any_sequences(x, y, t):
    call_checked("evaluate_curvature_naturalness_rs", x, y, t)


@fuzz_settings
@given(fs.float64_buffers, fs.float64_buffers, fs.float64_buffers)
def test_curvature_over_any_buffers(x_obj, y_obj, t_obj):
    call_checked("evaluate_curvature_zerocopy_rs", x_obj, y_obj, t_obj)


def _items_as_read(exporter):
    # Every layout is read in logical row order.
    return numpy.asarray(memoryview(exporter)).ravel(order="C").tolist()


# Two items at least, so the two-row layouts are not empty: an empty array.array exports
# an unaligned placeholder address, which is refused like any other misaligned buffer.
@fuzz_settings
@given(
    st.lists(
        st.tuples(
            st.sampled_from(ACCEPTED_BUFFER_WRAPPERS),
            st.lists(st.floats(-1000, 1000) | st.floats(), min_size=2, max_size=30),
        ),
        min_size=3,
        max_size=3,
    )
)
def test_buffers_of_any_layout_read_like_their_items(series):
    buffers = [wrap(values) for wrap, values in series]
    ok, in_place = call_checked("evaluate_curvature_zerocopy_rs", *buffers)
    assert ok
    _, copied = call_checked("evaluate_curvature_naturalness_rs", *map(_items_as_read, buffers))
    assert all(same_number(in_place[key], copied[key]) for key in copied), (in_place, copied)


@fuzz_settings
@given(fs.text_like)
def test_a_consumed_nonce_is_refused_next_time(nonce):
    ok, _ = call_checked("consume_nonce_rs", nonce)
    ok_again, second = call_checked("consume_nonce_rs", nonce)
    assert ok == ok_again
    if ok:
        assert second is False


@fuzz_settings
@given(fs.text_like, fs.durations)
def test_ban_query_and_unban_take_any_address(ip, duration_sec):
    ok, _ = call_checked("ban_ip_rs", ip, duration_sec)
    if ok and type(duration_sec) is int and type(ip) is str:
        # Zero expires at once; two seconds or more outlast this test's clock tick.
        if duration_sec == 0 or duration_sec >= 2:
            assert core.is_ip_banned_rs(ip) is (duration_sec >= 2)
    call_checked("is_ip_banned_rs", ip)
    call_checked("unban_ip_rs", ip)
    ok, banned = call_checked("is_ip_banned_rs", ip)
    assert not ok or banned is False


@fuzz_settings
@given(fs.ban_lists)
def test_a_refused_ban_list_changes_nothing(bans):
    core.clear_state_engine_rs()
    ok, _ = call_checked("hydrate_bans_rs", bans)
    if not ok:
        assert core.get_state_engine_stats_rs() == EMPTY_STATS
    core.clear_state_engine_rs()


@fuzz_settings
@given(fs.bound_calls())
def test_any_binding_of_any_function(call):
    name, arguments, keywords = call
    call_checked(name, *arguments, **keywords)


# ---------------------------------------------------------------- the state engine against a model

NONCES = st.sampled_from(["n1", "n2", "N1", "", "\U0001f600", "x" * 300])
ADDRESSES = st.sampled_from(["10.0.0.1", "10.0.0.01", "::1", "", "\u00e9"])
# Durations and expiries keep clear of the current second, so the clock's tick cannot flip an answer.
DURATIONS = st.sampled_from([0, 3600, 2**40, 2**64 - 1])
EXPIRY_OFFSETS = st.sampled_from([-(10**6), -60, 3600, None])  # None: the largest expiry


class StateEngineModel(RuleBasedStateMachine):
    """Nonces and bans as a Python set and dict; the engine must agree after every step."""

    @initialize()
    def start_empty(self):
        core.clear_state_engine_rs()  # also restarts the bucket clock: no rotation within one run
        self.nonces = set()
        self.bans = {}

    def _active(self):
        now = time.time()
        return {ip for ip, expiry in self.bans.items() if expiry > now}

    @rule(nonce=NONCES)
    def consume(self, nonce):
        assert core.consume_nonce_rs(nonce) is (nonce not in self.nonces)
        self.nonces.add(nonce)

    @rule(nonce=st.sampled_from(["\ud800", "a\udfff"]))
    def consume_unencodable(self, nonce):
        ok, _ = call_checked("consume_nonce_rs", nonce)
        assert not ok

    @rule(ip=ADDRESSES, duration=DURATIONS)
    def ban(self, ip, duration):
        core.ban_ip_rs(ip, duration)
        self.bans[ip] = time.time() + duration

    @rule(ip=ADDRESSES)
    def unban(self, ip):
        core.unban_ip_rs(ip)
        self.bans.pop(ip, None)

    @rule(pairs=st.lists(st.tuples(ADDRESSES, EXPIRY_OFFSETS), max_size=5), broken=st.booleans())
    def hydrate(self, pairs, broken):
        now = int(time.time())
        bans = [(ip, 2**64 - 1 if offset is None else now + offset) for ip, offset in pairs]
        if broken:
            ok, _ = call_checked("hydrate_bans_rs", [*bans, ["not", "a tuple"]])
            assert not ok
            return
        core.hydrate_bans_rs(bans)
        for ip, expiry in bans:
            if expiry > now:
                self.bans[ip] = expiry

    @rule()
    def clear(self):
        core.clear_state_engine_rs()
        self.nonces.clear()
        self.bans.clear()

    @rule(ip=ADDRESSES)
    def query(self, ip):
        assert core.is_ip_banned_rs(ip) is (ip in self._active())

    @invariant()
    def statistics_agree(self):
        assert core.get_state_engine_stats_rs() == {
            "current_bucket_nonces": len(self.nonces),
            "previous_bucket_nonces": 0,
            "active_ip_bans": len(self._active()),
        }

    def teardown(self):
        core.clear_state_engine_rs()


TestStateEngineModel = StateEngineModel.TestCase
TestStateEngineModel.settings = fuzz_settings
