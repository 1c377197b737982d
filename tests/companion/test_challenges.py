"""Challenge tokens under attack: forged, bit-flipped, truncated, extended,
re-encoded, expired, issued in the future, for another action or client,
replayed (in one process and across processes on Redis), oversized, with wrong
proofs of work, and on a store that is down. Clocks are moved, never waited for."""

import asyncio
import base64
import hashlib
import hmac
import json
import pickle
import struct
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest
from store_servers import RedisServer, child_environment

from veltrix import (
    AsyncRedisStateEngine,
    Challenge,
    ChallengeIssuer,
    ChallengeRefused,
    LocalStateEngine,
    RedisStateEngine,
    StateStoreError,
)
from veltrix.challenges import MAX_DIFFICULTY, REFUSAL_REASONS, TOKEN_LENGTH, solve_proof_of_work

SECRET = bytes(range(32))
OTHER_SECRET = bytes(range(1, 33))
NOW = 1_800_000_000.0
WORKER = str(Path(__file__).with_name("challenge_worker.py"))
WORKER_SECONDS = 120


class Clock:
    """A clock the test moves."""

    def __init__(self, now: float = NOW) -> None:
        self.now = now

    def __call__(self) -> float:
        return self.now


@pytest.fixture
def clock():
    return Clock()


@pytest.fixture
def issuer(clock):
    return ChallengeIssuer(SECRET, clock=clock)


def refusal_reason(issuer, token, **checks):
    with pytest.raises(ChallengeRefused) as refused:
        issuer.verify(token, **checks)
    return refused.value.reason


def raw_bytes(token: str) -> bytes:
    return base64.urlsafe_b64decode(token[3:])


def from_raw(raw: bytes) -> str:
    return "v1." + base64.urlsafe_b64encode(raw).decode()


def test_a_token_is_accepted_once_with_what_it_was_issued_for(issuer):
    token = issuer.issue(action="login", client="203.0.113.7")
    assert len(token) == TOKEN_LENGTH and token.isascii()
    assert set(token[3:]) <= set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_")
    checked = issuer.check(token, action="login", client="203.0.113.7")
    challenge = issuer.verify(token, action="login", client="203.0.113.7")
    assert challenge == checked
    assert (challenge.action, challenge.client, challenge.difficulty) == ("login", "203.0.113.7", 0)
    assert (challenge.issued_at, challenge.expires_at) == (NOW, NOW + 30)
    assert len(challenge.id) == 32 and int(challenge.id, 16) >= 0
    assert refusal_reason(issuer, token, action="login", client="203.0.113.7") == "replayed"


def test_the_layout_is_the_documented_one(issuer):
    """What a client in another language may rely on: fields at fixed offsets, the tag over prefix + 62 bytes."""
    raw = raw_bytes(issuer.issue(difficulty=3))
    _, difficulty, _, issued_ms, lifetime_ms = struct.unpack_from(">BB16sQI", raw)
    assert (len(raw), difficulty, issued_ms, lifetime_ms) == (78, 3, NOW * 1000, 30_000)
    tag_key = hmac.digest(SECRET, b"veltrix challenge token v1\x00tag", "sha256")
    assert raw[62:] == hmac.digest(tag_key, b"v1." + raw[:62], "sha256")[:16]


def test_every_token_has_an_id_of_its_own(issuer):
    ids = {issuer.check(issuer.issue()).id for _ in range(1000)}
    assert len(ids) == 1000


@pytest.mark.parametrize(
    "signer",
    [
        pytest.param(lambda clock: ChallengeIssuer(OTHER_SECRET, clock=clock), id="another secret"),
        pytest.param(lambda clock: ChallengeIssuer("x" * 32, clock=clock), id="a guessable secret"),
    ],
)
def test_tokens_of_another_secret_are_forged(signer, issuer, clock):
    assert refusal_reason(issuer, signer(clock).issue()) == "forged"


def test_a_payload_re_signed_with_another_key_under_the_issuers_key_id_is_forged(issuer):
    """An attacker who rewrites the fields (a later expiry, no proof of work) cannot make the tag."""
    from veltrix.challenges.signing_keys import SigningKey

    raw = raw_bytes(issuer.issue(difficulty=20))
    attacker = SigningKey(OTHER_SECRET, b"v1.")
    signed = raw[:1] + b"\x00" + raw[2:26] + struct.pack(">I", 3_600_000) + raw[30:62]
    assert refusal_reason(issuer, from_raw(signed + attacker.tag(signed))) == "forged"
    assert refusal_reason(issuer, from_raw(signed + raw[62:])) == "forged"


def test_flipping_any_bit_of_a_token_is_refused(issuer):
    token = issuer.issue(client="203.0.113.7")
    raw = raw_bytes(token)
    reasons = Counter()
    for bit in range(len(raw) * 8):
        flipped = bytearray(raw)
        flipped[bit // 8] ^= 1 << (bit % 8)
        with pytest.raises(ChallengeRefused) as refused:
            issuer.check(from_raw(bytes(flipped)), client="203.0.113.7")
        reasons[refused.value.reason] += 1
    assert reasons == Counter(forged=len(raw) * 8)
    issuer.verify(token, client="203.0.113.7")  # the original, still unused


def test_changing_any_character_of_a_token_is_refused(issuer):
    token = issuer.issue()
    for position in range(len(token)):
        for replacement in {"A", "-", "+", "=", ".", "\n", "é"} - {token[position]}:
            changed = token[:position] + replacement + token[position + 1 :]
            with pytest.raises(ChallengeRefused) as refused:
                issuer.check(changed)
            assert refused.value.reason in ("malformed", "forged"), (position, replacement)


@pytest.mark.parametrize(
    "spoil",
    [
        pytest.param(lambda token: token[:-1], id="one character short"),
        pytest.param(lambda token: token[:50], id="truncated"),
        pytest.param(lambda token: token[:3], id="prefix only"),
        pytest.param(lambda token: "", id="empty"),
        pytest.param(lambda token: token + "A", id="extended"),
        pytest.param(lambda token: token + "==", id="padded"),
        pytest.param(lambda token: token + "\n", id="trailing newline"),
        pytest.param(lambda token: " " + token, id="leading space"),
        pytest.param(lambda token: "V1." + token[3:], id="other prefix"),
        pytest.param(lambda token: "v2." + token[3:], id="other version"),
        pytest.param(lambda token: token[3:] + "AAA", id="no prefix"),
        pytest.param(lambda token: token[:-2] + "==", id="padding in place of data"),
        pytest.param(lambda token: token[:60] + "\n" + token[61:], id="newline inside"),
        pytest.param(lambda token: token[:60] + "é" + token[61:], id="non-ASCII"),
        pytest.param(lambda token: token.encode(), id="bytes"),
        pytest.param(lambda token: bytearray(token.encode()), id="bytearray"),
        pytest.param(lambda token: None, id="None"),
        pytest.param(lambda token: 42, id="int"),
        pytest.param(lambda token: [token], id="list"),
        pytest.param(lambda token: type("Token", (str,), {})(token), id="str subclass"),
        pytest.param(lambda token: "A" * 1_000_000, id="1 MB"),
        pytest.param(lambda token: token * 10_000, id="a token repeated to 1 MB"),
    ],
)
def test_anything_but_a_tokens_one_spelling_is_malformed(spoil, issuer):
    token = issuer.issue()
    assert refusal_reason(issuer, spoil(token)) == "malformed"
    issuer.verify(token)


def test_the_standard_base64_alphabet_is_not_a_second_spelling(issuer):
    """ "-" and "_" are the only spellings of their values: "+" and "/" decode to the same bytes elsewhere."""
    spelled = {"-": "+", "_": "/"}
    tried = set()
    while tried != set(spelled):
        token = issuer.issue()
        for urlsafe, standard in spelled.items():
            if urlsafe in token[3:]:
                tried.add(urlsafe)
                assert refusal_reason(issuer, token[:3] + token[3:].replace(urlsafe, standard)) == "malformed"
        issuer.verify(token)


def test_a_token_expires_on_the_servers_clock(issuer, clock):
    tokens = [issuer.issue() for _ in range(3)]
    clock.now = NOW + 29.999
    issuer.verify(tokens[0])
    clock.now = NOW + 30
    assert refusal_reason(issuer, tokens[1]) == "expired"
    clock.now = NOW + 86_400
    assert refusal_reason(issuer, tokens[2]) == "expired"


def test_a_token_from_the_future_is_accepted_within_the_skew_only(clock):
    ahead = Clock(NOW + 5)
    issuer_ahead = ChallengeIssuer(SECRET, clock=ahead)
    token_within = issuer_ahead.issue()
    ahead.now = NOW + 5.001
    token_beyond = issuer_ahead.issue()
    verifier = ChallengeIssuer(SECRET, clock=clock)
    verifier.verify(token_within)
    assert refusal_reason(verifier, token_beyond) == "expired"


def test_a_token_whose_lifetime_outlasts_the_replay_window_here_is_refused(clock):
    """A host allowing more skew than the issuer did cannot keep a 55 s token refused for its whole life."""
    token = ChallengeIssuer(SECRET, ttl=55, max_skew=5, clock=clock).issue()
    verifier = ChallengeIssuer(SECRET, ttl=30, max_skew=10, clock=clock)
    assert refusal_reason(verifier, token) == "expired"
    ChallengeIssuer(SECRET, ttl=10, max_skew=5, clock=clock).verify(token)


def test_a_consumption_that_ends_after_the_expiry_is_refused():
    """The clock is read again once the id is recorded: a stalled call cannot outlive the replay window."""
    readings = iter([NOW, NOW + 29.9, NOW + 30.1])
    issuer = ChallengeIssuer(SECRET, clock=lambda: next(readings))
    assert refusal_reason(issuer, issuer.issue()) == "expired"


@pytest.mark.parametrize(
    ("issued_for", "checked_for", "reason"),
    [
        ({"action": "score"}, {"action": "login"}, "wrong_action"),
        ({"action": "login"}, {}, "wrong_action"),
        ({"action": "score"}, {"action": "Score"}, "wrong_action"),
        ({"client": "203.0.113.7"}, {"client": "203.0.113.8"}, "wrong_client"),
        ({"client": "203.0.113.7"}, {}, "wrong_client"),
        ({}, {"client": "203.0.113.7"}, "wrong_client"),
        ({"client": ""}, {}, "wrong_client"),
        ({"action": "login", "client": "a"}, {"action": "score", "client": "b"}, "wrong_action"),
    ],
)
def test_a_token_is_bound_to_its_action_and_client(issuer, issued_for, checked_for, reason):
    token = issuer.issue(**issued_for)
    assert refusal_reason(issuer, token, **checked_for) == reason
    issuer.verify(token, **issued_for)


def test_a_token_reveals_neither_its_client_nor_its_action(issuer):
    raw = raw_bytes(issuer.issue(action="login", client="203.0.113.7"))
    assert b"203.0.113.7" not in raw and b"login" not in raw
    assert hashlib.sha256(b"203.0.113.7").digest()[:16] not in raw


def test_refusals_are_checked_in_order(issuer, clock):
    """An expired token for another action is "expired", a forged one "forged": the cheaper, surer check first."""
    token = issuer.issue(action="login", client="a", difficulty=8)
    clock.now = NOW + 60
    assert refusal_reason(issuer, token, action="score", client="b") == "expired"
    clock.now = NOW
    assert refusal_reason(issuer, token, action="score", client="b") == "wrong_action"
    assert refusal_reason(issuer, token, action="login", client="b") == "wrong_client"
    assert refusal_reason(issuer, token, action="login", client="a") == "unsolved"
    forged = ChallengeIssuer(OTHER_SECRET, clock=clock).issue()
    clock.now = NOW + 60
    assert refusal_reason(issuer, forged, action="other") == "forged"


def non_solution(token: str, difficulty: int) -> str:
    """A counter whose hash does not have `difficulty` leading zero bits."""
    counter = 0
    while True:
        digest = hashlib.sha256(f"{token}:{counter}".encode()).digest()
        if int.from_bytes(digest[:4], "big") >> (32 - difficulty):
            return str(counter)
        counter += 1


def test_a_proof_of_work_is_one_hash_with_enough_leading_zero_bits(issuer):
    token = issuer.issue(difficulty=12)
    solution = solve_proof_of_work(token, 12)
    digest = hashlib.sha256(f"{token}:{solution}".encode()).digest()
    assert int.from_bytes(digest[:2], "big") >> 4 == 0
    assert refusal_reason(issuer, token, solution=non_solution(token, 12)) == "unsolved"
    assert issuer.verify(token, solution=solution).difficulty == 12


@pytest.mark.parametrize(
    "spoil",
    [
        pytest.param(lambda solution: None, id="missing"),
        pytest.param(lambda solution: "", id="empty"),
        pytest.param(lambda solution: "0" + solution, id="leading zero"),
        pytest.param(lambda solution: "+" + solution, id="sign"),
        pytest.param(lambda solution: " " + solution, id="space"),
        pytest.param(lambda solution: solution + "\n", id="newline"),
        pytest.param(lambda solution: solution.translate(str.maketrans("0123456789", "٠١٢٣٤٥٦٧٨٩")), id="other digits"),
        pytest.param(lambda solution: "0" * (20 - len(solution)) + solution + "0", id="21 digits"),
        pytest.param(lambda solution: int(solution), id="int"),
        pytest.param(lambda solution: solution.encode(), id="bytes"),
        pytest.param(lambda solution: "9" * 1_000_000, id="1 MB"),
    ],
)
def test_a_proof_of_work_in_any_but_its_one_spelling_is_unsolved(issuer, spoil):
    token = issuer.issue(difficulty=6)
    solution = solve_proof_of_work(token, 6)
    assert refusal_reason(issuer, token, solution=spoil(solution)) == "unsolved"
    issuer.verify(token, solution=solution)


def test_a_token_without_proof_of_work_ignores_any_solution(issuer):
    issuer.verify(issuer.issue(), solution="junk")


def test_the_largest_difficulty_is_issued_and_checked(issuer):
    token = issuer.issue(difficulty=MAX_DIFFICULTY)
    assert refusal_reason(issuer, token, solution=non_solution(token, MAX_DIFFICULTY)) == "unsolved"


def test_a_signed_token_asking_for_more_work_than_this_version_issues_is_unsolved(issuer):
    from veltrix.challenges.signing_keys import SigningKey

    raw = raw_bytes(issuer.issue())
    signed = raw[:1] + bytes([255]) + raw[2:62]
    token = from_raw(signed + SigningKey(SECRET, b"v1.").tag(signed))
    assert refusal_reason(issuer, token, solution="0") == "unsolved"


@pytest.mark.parametrize("difficulty", [-1, MAX_DIFFICULTY + 1, 1.0, True, "4", None])
def test_difficulties_outside_the_range_are_not_issued(issuer, difficulty):
    with pytest.raises(ValueError, match="difficulty"):
        issuer.issue(difficulty=difficulty)


def test_key_rotation_accepts_the_old_secret_and_signs_with_the_new(clock):
    old = ChallengeIssuer(SECRET, clock=clock)
    rotated = ChallengeIssuer([OTHER_SECRET, SECRET], clock=clock)
    rotated.verify(old.issue())
    new_token = rotated.issue()
    assert refusal_reason(old, new_token) == "forged"
    ChallengeIssuer(OTHER_SECRET, clock=clock).verify(new_token)
    assert refusal_reason(rotated, ChallengeIssuer(b"\xff" * 32, clock=clock).issue()) == "forged"


def test_secrets_whose_key_ids_collide_are_both_accepted(clock):
    from veltrix.challenges.signing_keys import SigningKey

    by_id = {}
    for index in range(1000):
        secret = b"%032d" % index
        key_id = SigningKey(secret, b"v1.").key_id
        if key_id in by_id:
            break
        by_id[key_id] = secret
    first, second = by_id[key_id], secret
    both = ChallengeIssuer([first, second], clock=clock)
    both.verify(ChallengeIssuer(first, clock=clock).issue())
    both.verify(ChallengeIssuer(second, clock=clock).issue())


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"secret": b"k" * 31}, ValueError, "at least 32 bytes"),
        ({"secret": "k" * 31}, ValueError, "at least 32 bytes"),
        ({"secret": [SECRET, b"short"]}, ValueError, "at least 32 bytes"),
        ({"secret": []}, ValueError, "at least one"),
        ({"secret": 12345}, TypeError, "bytes, str or a sequence"),
        ({"secret": [SECRET, None]}, TypeError, "bytes or str"),
        ({"ttl": 0}, ValueError, "ttl"),
        ({"ttl": -1}, ValueError, "ttl"),
        ({"ttl": float("nan")}, ValueError, "ttl"),
        ({"ttl": float("inf")}, ValueError, "ttl"),
        ({"ttl": "30"}, ValueError, "ttl"),
        ({"ttl": 56}, ValueError, "60 s"),
        ({"ttl": 41, "max_skew": 20}, ValueError, "60 s"),
        ({"max_skew": -1}, ValueError, "max_skew"),
        ({"engine": object()}, TypeError, "consume_nonce"),
        ({"clock": 1_800_000_000.0}, TypeError, "clock"),
    ],
)
def test_unsafe_settings_are_refused_at_construction(arguments, error, message):
    arguments = {"secret": SECRET} | arguments
    with pytest.raises(error, match=message):
        ChallengeIssuer(arguments.pop("secret"), **arguments)


def test_the_longest_lifetime_allowed_by_the_replay_window(clock):
    assert ChallengeIssuer(SECRET, ttl=55, clock=clock).ttl == 55
    assert ChallengeIssuer(SECRET, ttl=60, max_skew=0, clock=clock).ttl == 60


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda issuer: issuer.issue(action=""), ValueError),
        (lambda issuer: issuer.issue(action="a" * 129), ValueError),
        (lambda issuer: issuer.issue(action=b"score"), TypeError),
        (lambda issuer: issuer.issue(client=b"203.0.113.7"), TypeError),
        (lambda issuer: issuer.check(issuer.issue(), action=None), TypeError),
        (lambda issuer: issuer.check(issuer.issue(), client=42), TypeError),
    ],
)
def test_bad_actions_and_clients_are_programming_errors(issuer, call, error):
    with pytest.raises(error):
        call(issuer)


def test_a_refusal_is_a_value_error_that_survives_pickling(issuer):
    with pytest.raises(ValueError) as refused:
        issuer.verify("junk")
    copy = pickle.loads(pickle.dumps(refused.value))
    assert (copy.reason, copy.detail, str(copy)) == (refused.value.reason, refused.value.detail, str(refused.value))
    assert copy.reason in REFUSAL_REASONS
    assert "malformed" in str(copy)


def test_the_issuer_keeps_no_secret_in_view(issuer):
    assert SECRET.hex() not in repr(issuer) and "SECRET" not in repr(issuer)
    assert not hasattr(issuer, "__dict__")


# The engines: accepted once, refused after, failing closed when the store fails.


class SyncVerifier:
    def __init__(self, engine):
        self.engine = engine

    def verify(self, issuer, token, **checks):
        return issuer.verify(token, **checks)

    def close(self):
        if hasattr(self.engine, "close"):
            self.engine.close()


class AsyncVerifier:
    def __init__(self, engine):
        self.engine = engine
        self.loop = asyncio.new_event_loop()

    def verify(self, issuer, token, **checks):
        return self.loop.run_until_complete(issuer.verify_async(token, **checks))

    def close(self):
        if hasattr(self.engine, "aclose"):
            self.loop.run_until_complete(self.engine.aclose())
        self.loop.close()


ENGINE_KINDS = ["local", "local awaited", "redis", "async redis"]


def make_verifier(kind, url, namespace, **settings):
    if kind == "local":
        return SyncVerifier(LocalStateEngine())
    if kind == "local awaited":
        return AsyncVerifier(LocalStateEngine())
    if kind == "redis":
        return SyncVerifier(RedisStateEngine.from_url(url, namespace, **settings))
    return AsyncVerifier(AsyncRedisStateEngine.from_url(url, namespace, **settings))


@pytest.fixture(params=ENGINE_KINDS)
def verifier(request, redis_server, namespace):
    verifier = make_verifier(request.param, redis_server.url, namespace)
    yield verifier
    verifier.close()


def test_every_engine_accepts_a_token_once(verifier, clock):
    issuer = ChallengeIssuer(SECRET, engine=verifier.engine, clock=clock)
    tokens = [issuer.issue(client=f"198.51.100.{index}") for index in range(20)]
    for index, token in enumerate(tokens):
        verifier.verify(issuer, token, client=f"198.51.100.{index}")
    for index, token in enumerate(tokens):
        with pytest.raises(ChallengeRefused) as refused:
            verifier.verify(issuer, token, client=f"198.51.100.{index}")
        assert refused.value.reason == "replayed"


def test_a_refused_check_leaves_the_token_unused(verifier, clock):
    issuer = ChallengeIssuer(SECRET, engine=verifier.engine, clock=clock)
    token = issuer.issue(action="login", difficulty=4)
    for checks in ({"action": "score"}, {"action": "login", "solution": None}):
        with pytest.raises(ChallengeRefused):
            verifier.verify(issuer, token, **checks)
    verifier.verify(issuer, token, action="login", solution=solve_proof_of_work(token, 4))


def test_check_never_consumes_and_consume_does_once(verifier, clock):
    issuer = ChallengeIssuer(SECRET, engine=verifier.engine, clock=clock)
    token = issuer.issue()
    challenge = issuer.check(token)
    assert issuer.check(token) == challenge
    assert verifier.verify(issuer, token) == challenge
    assert issuer.check(token) == challenge  # check alone knows nothing of replays
    with pytest.raises(ChallengeRefused, match="replayed"):
        verifier.verify(issuer, token)


def test_the_synchronous_verify_refuses_an_asyncio_engine_without_consuming(redis_server, namespace, clock):
    verifier = make_verifier("async redis", redis_server.url, namespace)
    issuer = ChallengeIssuer(SECRET, engine=verifier.engine, clock=clock)
    token = issuer.issue()
    try:
        with pytest.raises(TypeError, match="verify_async"):
            issuer.verify(token)
        verifier.verify(issuer, token)
    finally:
        verifier.close()


@pytest.mark.parametrize("kind", ["redis", "async redis"])
def test_a_store_that_is_down_refuses_every_token(tmp_path, kind, clock):
    # A store that keeps its data: one that comes back empty refuses tokens for a while more.
    server = RedisServer(tmp_path / "redis", "--appendonly", "yes").start()
    verifier = make_verifier(kind, server.url, "down", timeout=0.5)
    issuer = ChallengeIssuer(SECRET, engine=verifier.engine, clock=clock)
    token = issuer.issue()
    verifier.verify(issuer, token)
    server.stop()
    try:
        for _ in range(3):
            with pytest.raises(StateStoreError):
                verifier.verify(issuer, issuer.issue())
        server.start()  # the same port and data
        verifier.verify(issuer, issuer.issue())
        with pytest.raises(ChallengeRefused, match="accepted before"):
            verifier.verify(issuer, token)
    finally:
        verifier.close()
        server.stop()


def test_processes_sharing_a_store_accept_each_token_once(redis_server, namespace):
    processes, count = 4, 200
    tokens = [ChallengeIssuer(SECRET).issue() for _ in range(count)]
    workers = [
        subprocess.Popen(
            [sys.executable, WORKER, redis_server.url, namespace, SECRET.hex()],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=child_environment(),
        )
        for _ in range(processes)
    ]
    for worker in workers:
        assert worker.stdout.readline().strip() == "ready"
    for worker in workers:  # released together
        worker.stdin.write(json.dumps(tokens) + "\n")
        worker.stdin.flush()
    accepted, refused = Counter(), Counter()
    for worker in workers:
        output, _ = worker.communicate(timeout=WORKER_SECONDS)
        assert worker.returncode == 0
        outcome = json.loads(output)
        accepted.update(outcome["accepted"])
        refused.update(outcome["refused"])
    assert sorted(accepted.values()) == [1] * count
    assert refused == Counter(replayed=count * (processes - 1))


def test_importing_veltrix_loads_no_challenge_code():
    code = "import sys, veltrix; print('veltrix.challenges' in sys.modules)"
    output = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_environment())
    assert output.stdout.split() == ["False"], output.stderr


def test_a_token_issued_in_one_process_verifies_in_another_with_the_secret():
    code = (
        "import sys; from veltrix import ChallengeIssuer;"
        "print(ChallengeIssuer(bytes(range(32))).issue(action='login', client='c'))"
    )
    token = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=child_environment(), check=True
    ).stdout.strip()
    assert isinstance(ChallengeIssuer(SECRET).verify(token, action="login", client="c"), Challenge)
