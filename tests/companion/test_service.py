"""The example service under gunicorn with 4 uvicorn workers, driven over HTTP from
loopback addresses: a challenge is accepted once whichever worker answers, every
forged, altered, expired, misdirected or replayed one is refused with its reason,
bodies are bounded, bans hold against X-Forwarded-For, and the admin endpoint
stores only what it validated."""

import asyncio
import importlib.util
import itertools
import json
import secrets
import time

import httpx
import pytest
from store_servers import (
    ADMIN_TOKEN,
    CHALLENGE_SECRET,
    DISTRUSTED_CLIENT,
    DISTRUSTED_DIFFICULTY,
    EXAMPLE_SERVICE,
    SERVICE_DIFFICULTY,
    TRUSTED_PROXY,
)

import veltrix
from veltrix import collector
from veltrix.challenges import solve_proof_of_work
from veltrix.challenges.proof_of_work import solves

VISIT = json.dumps(
    {
        "browser": {"webdriver": False, "screen_width": 1920, "screen_height": 1080, "plugins_length": 3},
        "mouse_movements": [{"x": 10 + 3 * i + (i * i) % 7, "y": 20 + i, "t": 16 * i + i % 3} for i in range(40)],
        "keystrokes": [{"key": "h", "t": 1200, "up": 1290}, {"key": "i", "t": 1410, "duration_ms": 85}],
    }
).encode()
REPLAYED_TOKENS = 10
COPIES_PER_TOKEN = 19  # 190 concurrent requests
BANNED_REQUESTS = 20
SPOOFED_ADDRESS = "198.51.100.9"
# No keep-alive: every request is a new connection, which any worker may accept.
NEW_CONNECTION_EACH = httpx.Limits(max_keepalive_connections=0, max_connections=64)


def proof_for(token: str, difficulty: int) -> str:
    return solve_proof_of_work(token, difficulty)


def solved(token: str, difficulty: int) -> dict[str, str]:
    """The headers of a visit that carries `token` and its proof of work."""
    return {collector.CHALLENGE_HEADER: token, collector.PROOF_HEADER: proof_for(token, difficulty)}


class Visitor:
    """A client on one loopback address: fetches challenges, solves them, posts visits."""

    def __init__(self, url: str, address: str = "127.0.0.1") -> None:
        transport = httpx.HTTPTransport(local_address=address, limits=NEW_CONNECTION_EACH)
        self.http = httpx.Client(base_url=url, transport=transport, timeout=30)

    def challenge(self, **headers) -> tuple[str, int]:
        response = self.http.get("/challenge", headers=headers)
        assert response.status_code == 200, response.text
        answer = response.json()
        return answer["token"], answer["difficulty"]

    def solved(self, **headers) -> dict[str, str]:
        return solved(*self.challenge(**headers))

    def score(self, headers: dict[str, str], body: bytes = VISIT) -> httpx.Response:
        return self.http.post("/score", content=body, headers=headers)

    def admin(self, method: str, body, token: str = ADMIN_TOKEN) -> httpx.Response:
        content = body if isinstance(body, bytes) else json.dumps(body).encode()
        return self.http.request(method, "/admin/bans", content=content, headers={"Authorization": f"Bearer {token}"})


def refusal(response: httpx.Response) -> tuple[int, str]:
    return response.status_code, response.json()["reason"]


@pytest.fixture
def visitor(example_service):
    visitor = Visitor(example_service.url)
    yield visitor
    visitor.http.close()


@pytest.fixture
def store(redis_server):
    """The service's own engine, on database 1 of the shared server."""
    engine = veltrix.RedisStateEngine.from_url(f"redis://127.0.0.1:{redis_server.port}/1", namespace="veltrix")
    yield engine
    engine.close()


def test_a_solved_challenge_is_accepted_once_and_the_features_stay_server_side(visitor, example_service):
    headers = visitor.solved()
    answer = visitor.score(headers)
    assert answer.status_code == 200
    assert set(answer.json()) == {"verdict", "visit"}
    recorded = example_service.visit(answer.json()["visit"])
    assert recorded["features"] == veltrix.extract_features_json(VISIT)
    assert recorded["verdict"] == answer.json()["verdict"] and recorded["client"] == "127.0.0.1"
    assert refusal(visitor.score(headers)) == (409, "replayed")


def test_features_beyond_the_float_range_are_logged_as_json_nulls(visitor, example_service):
    far = json.dumps({"mouse_movements": [{"x": 1e308 * (i % 2), "y": 0, "t": i} for i in range(10)]}).encode()
    answer = visitor.score(visitor.solved(), far)
    assert answer.status_code == 200
    features = example_service.visit(answer.json()["visit"])["features"]
    assert features["total_distance"] is None and features["velocity_var"] is None


def test_concurrent_replays_are_accepted_once_per_token_across_workers(visitor, example_service):
    tokens = [visitor.solved() for _ in range(REPLAYED_TOKENS)]

    async def send_all():
        async with httpx.AsyncClient(base_url=example_service.url, limits=NEW_CONNECTION_EACH, timeout=60) as client:
            requests = [
                client.post("/score", content=VISIT, headers=headers)
                for headers in tokens
                for _ in range(COPIES_PER_TOKEN)
            ]
            return await asyncio.gather(*requests)

    answers = asyncio.run(send_all())
    accepted = [response.json()["visit"] for response in answers if response.status_code == 200]
    assert len(accepted) == len(set(accepted)) == REPLAYED_TOKENS
    refused = [refusal(response) for response in answers if response.status_code != 200]
    assert refused == [(409, "replayed")] * (REPLAYED_TOKENS * (COPIES_PER_TOKEN - 1))


def altered(token: str, position: int) -> str:
    """The token with one character replaced by another of the URL-safe alphabet."""
    replacement = "A" if token[position] != "A" else "B"
    return token[:position] + replacement + token[position + 1 :]


def test_every_single_character_change_of_a_token_is_refused(visitor):
    token, difficulty = visitor.challenge()
    outcomes = set()
    for position in range(len(token)):
        changed = altered(token, position)
        response = visitor.score(solved(changed, difficulty))
        outcomes.add(refusal(response))
    assert outcomes <= {(403, "forged"), (400, "malformed")}
    # The original was never used up by its altered copies.
    assert visitor.score(solved(token, difficulty)).status_code == 200


def minted(secret=CHALLENGE_SECRET, **issue) -> dict[str, str]:
    """Headers with a token issued here, outside the service, solved."""
    issue.setdefault("client", "127.0.0.1")
    issue.setdefault("difficulty", SERVICE_DIFFICULTY)
    token = veltrix.ChallengeIssuer(secret, ttl=30).issue(**issue)
    return solved(token, issue["difficulty"])


def truncated(visitor, keep) -> dict[str, str]:
    token, difficulty = visitor.challenge()
    token = token[: keep(len(token))]
    return solved(token, difficulty)


def with_proof(visitor, proof) -> dict[str, str]:
    token, difficulty = visitor.challenge()
    headers = {collector.CHALLENGE_HEADER: token}
    if proof is not None:
        headers[collector.PROOF_HEADER] = proof(token, difficulty)
    return headers


def wrong_proof(token: str, difficulty: int) -> str:
    """A counter that does not prove the work."""
    return next(str(n) for n in itertools.count() if not solves(token.encode(), str(n), difficulty))


ATTACKS = {
    "forged with another key": (lambda v: minted(secret=secrets.token_hex(32)), 403, "forged"),
    "for another action": (lambda v: minted(action="login"), 403, "wrong_action"),
    "for another client": (lambda v: minted(client=SPOOFED_ADDRESS), 403, "wrong_client"),
    "without the proof": (lambda v: with_proof(v, None), 403, "unsolved"),
    "with a wrong proof": (lambda v: with_proof(v, wrong_proof), 403, "unsolved"),
    "proof with a leading zero": (lambda v: with_proof(v, lambda t, d: "0" + proof_for(t, d)), 403, "unsolved"),
    "truncated by one": (lambda v: truncated(v, lambda n: n - 1), None, None),
    "truncated to half": (lambda v: truncated(v, lambda n: n // 2), None, None),
    "self-minted nonce": (lambda v: {collector.CHALLENGE_HEADER: secrets.token_hex(16)}, 400, "malformed"),
    "the old page's nonce header": (lambda v: {"X-Veltrix-Nonce": secrets.token_hex(16)}, 400, "malformed"),
    "oversized token": (lambda v: {collector.CHALLENGE_HEADER: "A" * 5000}, 400, "malformed"),
    "token of other characters": (lambda v: {collector.CHALLENGE_HEADER: "ä" * 40}, 400, "malformed"),
}


@pytest.mark.parametrize("attack", ATTACKS, ids=list(ATTACKS))
def test_attacks_are_refused_with_their_reason(visitor, attack):
    make_headers, status, reason = ATTACKS[attack]
    headers = {name: value.encode("utf-8") for name, value in make_headers(visitor).items()}
    answer = refusal(visitor.score(headers))
    if reason is None:  # a cut token may fail on its form or on its tag
        assert answer in {(400, "malformed"), (403, "forged")}
    else:
        assert answer == (status, reason)


def test_an_expired_challenge_is_refused(visitor):
    # Issued 5 minutes ago: long expired on the service's clock, whatever its skew allowance.
    issuer = veltrix.ChallengeIssuer(CHALLENGE_SECRET, ttl=30, clock=lambda: time.time() - 300)
    token = issuer.issue(client="127.0.0.1", difficulty=SERVICE_DIFFICULTY)
    headers = solved(token, SERVICE_DIFFICULTY)
    assert refusal(visitor.score(headers)) == (403, "expired")


def test_a_challenge_fetched_by_one_address_is_refused_from_another(visitor, example_service):
    other = Visitor(example_service.url, DISTRUSTED_CLIENT)
    try:
        assert refusal(other.score(visitor.solved())) == (403, "wrong_client")
        # The distrusted address works harder for its own.
        token, difficulty = other.challenge()
        assert difficulty == DISTRUSTED_DIFFICULTY
        assert other.score(solved(token, difficulty)).status_code == 200
    finally:
        other.http.close()


def chunks_of(size: int):
    yield b'{"clicks": ['
    for _ in range(size // 1000):
        yield b"[]," * 333
    yield b"[]]}"


@pytest.mark.parametrize(
    ("body", "status", "reason"),
    [
        (b"{" + b" " * collector.MAX_BODY_BYTES + b"}", 413, "too_large"),
        (chunks_of(4 * collector.MAX_BODY_BYTES), 413, "too_large"),  # streamed, no length given
        (b"{not json", 400, "not_telemetry"),
        (b"[1, 2]", 400, "not_telemetry"),
        (b"", 400, "not_telemetry"),
        (b'{"clicks": [1]}\xff', 400, "not_telemetry"),
    ],
    ids=["over the limit", "streamed over the limit", "not JSON", "an array", "empty", "not UTF-8"],
)
def test_bodies_that_are_no_visit_are_refused_without_using_the_challenge(visitor, body, status, reason):
    headers = visitor.solved()
    assert refusal(visitor.score(headers, body)) == (status, reason)
    assert visitor.score(headers).status_code == 200


def test_a_body_of_exactly_the_limit_is_scored(visitor):
    body = VISIT[:-1] + b" " * (collector.MAX_BODY_BYTES - len(VISIT)) + b"}"
    assert len(body) == collector.MAX_BODY_BYTES
    assert visitor.score(visitor.solved(), body).status_code == 200


@pytest.fixture
def banned(visitor):
    """127.0.0.1 banned for the test, lifted after it."""
    headers = visitor.solved()  # fetched before the ban
    assert visitor.admin("POST", {"ip": "127.0.0.1", "duration_sec": 600}).status_code == 200
    yield headers
    assert visitor.admin("DELETE", {"ip": "127.0.0.1"}).status_code == 200


def test_a_banned_address_gets_nothing_from_any_worker_whatever_it_forwards(visitor, banned):
    spoofed = {"X-Forwarded-For": SPOOFED_ADDRESS}
    assert refusal(visitor.score(banned)) == (403, "banned")
    refusals = {refusal(visitor.http.get("/challenge", headers=spoofed)) for _ in range(BANNED_REQUESTS)}
    # Tokens of the service's own, since a banned address gets none.
    refusals |= {refusal(visitor.score(minted() | spoofed)) for _ in range(BANNED_REQUESTS)}
    assert refusals == {(403, "banned")}


def test_only_the_trusted_proxy_forwards_an_address(visitor, example_service):
    proxy = Visitor(example_service.url, TRUSTED_PROXY)
    forwarded = {"X-Forwarded-For": SPOOFED_ADDRESS}
    try:
        answer = proxy.score(proxy.solved(**forwarded) | forwarded)
        assert example_service.visit(answer.json()["visit"])["client"] == SPOOFED_ADDRESS
        # What the client wrote before the address the proxy appended is not believed.
        appended = {"X-Forwarded-For": f"203.0.113.66, {SPOOFED_ADDRESS}"}
        answer = proxy.score(proxy.solved(**appended) | appended)
        assert example_service.visit(answer.json()["visit"])["client"] == SPOOFED_ADDRESS
        assert visitor.admin("POST", {"ip": SPOOFED_ADDRESS, "duration_sec": 600}).status_code == 200
        assert refusal(proxy.http.get("/challenge", headers=forwarded)) == (403, "banned")
        assert proxy.score(proxy.solved()).status_code == 200  # the proxy itself is not banned
        # Something that is no address, from the proxy: distrusted, not a failure.
        assert proxy.challenge(**{"X-Forwarded-For": "unknown"})[1] == DISTRUSTED_DIFFICULTY
    finally:
        visitor.admin("DELETE", {"ip": SPOOFED_ADDRESS})
        proxy.http.close()


@pytest.mark.parametrize(
    "authorization",
    [None, "Bearer", "Bearer wrong", f"Bearer {ADMIN_TOKEN}x", f"Bearer {ADMIN_TOKEN[:-1]}", ADMIN_TOKEN],
)
def test_the_admin_endpoint_needs_the_token(visitor, store, authorization):
    headers = {} if authorization is None else {"Authorization": authorization}
    response = visitor.http.post("/admin/bans", json={"ip": "192.0.2.1", "duration_sec": 60}, headers=headers)
    assert refusal(response) == (403, "forbidden")
    assert not store.is_ip_banned("192.0.2.1")


MALFORMED_BANS = {
    "empty ip": {"ip": "", "duration_sec": 60},
    "no ip": {"duration_sec": 60},
    "ip a number": {"ip": 3232235777, "duration_sec": 60},
    "ip a list": {"ip": ["192.0.2.7"], "duration_sec": 60},
    "ip null": {"ip": None},
    "a network": {"ip": "192.0.2.0/24"},
    "a host name": {"ip": "localhost"},
    "octet over 255": {"ip": "192.0.2.256"},
    "leading zeros": {"ip": "192.0.2.007"},
    "padded": {"ip": " 192.0.2.7"},
    "duration true": {"ip": "192.0.2.7", "duration_sec": True},
    "duration float": {"ip": "192.0.2.7", "duration_sec": 60.0},
    "duration string": {"ip": "192.0.2.7", "duration_sec": "60"},
    "duration zero": {"ip": "192.0.2.7", "duration_sec": 0},
    "duration negative": {"ip": "192.0.2.7", "duration_sec": -60},
    "duration past 2**64-1": {"ip": "192.0.2.7", "duration_sec": 2**64},
    "duration null": {"ip": "192.0.2.7", "duration_sec": None},
    "unknown key": {"ip": "192.0.2.7", "duration_sec": 60, "reason": "x"},
    "an array": [{"ip": "192.0.2.7"}],
    "a string": "192.0.2.7",
    "not JSON": b"ip=192.0.2.7",
    "not UTF-8": b'{"ip": "192.0.2.7\xff"}',
    "nested deeply": b"[" * 500 + b"]" * 500,
    "huge integer": b'{"ip": "192.0.2.7", "duration_sec": 1' + b"0" * 900 + b"}",
}


@pytest.mark.parametrize("method", ["POST", "DELETE"])
@pytest.mark.parametrize("body", MALFORMED_BANS, ids=list(MALFORMED_BANS))
def test_malformed_admin_bodies_are_refused_and_store_nothing(visitor, store, method, body):
    before = store.stats()["active_ip_bans"]
    assert refusal(visitor.admin(method, MALFORMED_BANS[body])) == (400, "bad_request")
    assert store.stats()["active_ip_bans"] == before


def test_an_admin_body_over_its_limit_is_refused(visitor, store):
    before = store.stats()["active_ip_bans"]
    assert refusal(visitor.admin("POST", {"ip": "1" * 1_000_000, "duration_sec": 60})) == (413, "too_large")
    assert store.stats()["active_ip_bans"] == before


def test_a_ban_is_stored_under_the_address_as_the_service_sees_it(visitor, store):
    answer = visitor.admin("POST", {"ip": "2001:DB8:0:0::7", "duration_sec": 60})
    assert answer.json() == {"ip": "2001:db8::7", "banned": True, "duration_sec": 60}
    assert store.is_ip_banned("2001:db8::7")
    assert visitor.admin("DELETE", {"ip": "2001:db8::7"}).json() == {"ip": "2001:db8::7", "banned": False}
    assert not store.is_ip_banned("2001:db8::7")


def in_process_service(monkeypatch, redis_url: str, admin_token: str = ADMIN_TOKEN):
    """The example's app in this process, on `redis_url`: for what no loopback socket of
    gunicorn's can show (a store that is down, a dual-stack or UNIX socket's peer)."""
    monkeypatch.setenv("VELTRIX_REDIS_URL", redis_url)
    monkeypatch.setenv("VELTRIX_CHALLENGE_SECRETS", CHALLENGE_SECRET)
    monkeypatch.setenv("VELTRIX_ADMIN_TOKEN", admin_token)
    spec = importlib.util.spec_from_file_location("example_service_app", EXAMPLE_SERVICE / "app.py")
    service = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(service)
    return service


def requests_from(service, peer, *requests) -> list[httpx.Response]:
    """Each (method, path, keyword arguments) of `requests` sent in turn from the socket peer `peer`."""

    async def send_all():
        async with service.lifespan(service.app):
            transport = httpx.ASGITransport(app=service.app, client=peer)
            async with httpx.AsyncClient(transport=transport, base_url="http://service") as client:
                return [await client.request(method, path, **arguments) for method, path, arguments in requests]

    return asyncio.run(send_all())


@pytest.mark.parametrize("path", ["/challenge", "/score"])
def test_a_store_that_is_down_closes_the_service(monkeypatch, path):
    service = in_process_service(monkeypatch, "redis://127.0.0.1:1/0")  # nothing listens there
    token = veltrix.ChallengeIssuer(CHALLENGE_SECRET).issue(client="127.0.0.1")
    request = (
        ("GET", path, {})
        if path == "/challenge"
        else ("POST", path, {"content": VISIT, "headers": {collector.CHALLENGE_HEADER: token}})
    )
    assert [refusal(answer) for answer in requests_from(service, ("127.0.0.1", 40000), request)] == [
        (503, "store_unavailable")
    ]


@pytest.mark.parametrize(
    ("setting", "value", "message"),
    [
        ("VELTRIX_ADMIN_TOKEN", "admin", "at least 32 bytes"),
        ("VELTRIX_ADMIN_TOKEN", "x" * 31, "at least 32 bytes"),
        ("VELTRIX_ADMIN_TOKEN", "é" * 15, "at least 32 bytes"),
        ("VELTRIX_DIFFICULTY", "-1", "from 0 to 32"),
        ("VELTRIX_DISTRUSTED_DIFFICULTY", "33", "from 0 to 32"),
    ],
)
def test_unsafe_settings_keep_the_service_from_starting(monkeypatch, setting, value, message):
    """A short admin token would be guessed over HTTP; a difficulty out of range would fail every challenge."""
    monkeypatch.setenv(setting, value)
    admin_token = value if setting == "VELTRIX_ADMIN_TOKEN" else ADMIN_TOKEN
    with pytest.raises(SystemExit, match=message):
        in_process_service(monkeypatch, "redis://127.0.0.1:1/0", admin_token)


ADMIN = {"Authorization": f"Bearer {ADMIN_TOKEN}"}


@pytest.mark.parametrize("banned_as", ["192.0.2.44", "::ffff:192.0.2.44", "::FFFF:c000:22c"])
@pytest.mark.parametrize("peer", ["192.0.2.44", "::ffff:192.0.2.44"], ids=["IPv4 socket", "dual-stack socket"])
def test_a_ban_holds_for_an_ipv4_visitor_on_either_socket(monkeypatch, redis_server, banned_as, peer):
    """A dual-stack socket shows an IPv4 visitor as ::ffff:a.b.c.d, which Python 3.12 spells ::ffff:xxxx:xxxx."""
    service = in_process_service(monkeypatch, f"redis://127.0.0.1:{redis_server.port}/2")
    ban, challenge, lift = requests_from(
        service,
        (peer, 40000),
        ("POST", "/admin/bans", {"json": {"ip": banned_as, "duration_sec": 60}, "headers": ADMIN}),
        ("GET", "/challenge", {}),
        ("DELETE", "/admin/bans", {"json": {"ip": banned_as}, "headers": ADMIN}),
    )
    assert ban.json()["ip"] == lift.json()["ip"] == "192.0.2.44"
    assert refusal(challenge) == (403, "banned")


def test_a_dual_stack_visitor_is_known_by_its_ipv4_address_to_challenges(monkeypatch, redis_server):
    monkeypatch.setenv("VELTRIX_DISTRUSTED_NETWORKS", "192.0.2.0/24")
    service = in_process_service(monkeypatch, f"redis://127.0.0.1:{redis_server.port}/2")
    (challenge,) = requests_from(service, ("::ffff:192.0.2.45", 40000), ("GET", "/challenge", {}))
    assert challenge.json()["difficulty"] == service.DISTRUSTED_DIFFICULTY  # its IPv4 network is distrusted
    headers = solved(challenge.json()["token"], challenge.json()["difficulty"])
    scoring = ("POST", "/score", {"content": VISIT, "headers": headers})
    (scored,) = requests_from(service, ("192.0.2.45", 40001), scoring)
    assert scored.status_code == 200


@pytest.mark.parametrize("path", ["/challenge", "/score"])
def test_a_visitor_without_an_address_is_refused_not_failed_on(monkeypatch, redis_server, path):
    """uvicorn on a UNIX socket, with no proxy header, gives no client at all: nothing to bind or ban."""
    service = in_process_service(monkeypatch, f"redis://127.0.0.1:{redis_server.port}/2")
    token = veltrix.ChallengeIssuer(CHALLENGE_SECRET).issue()
    request = (
        ("GET", path, {})
        if path == "/challenge"
        else ("POST", path, {"content": VISIT, "headers": {collector.CHALLENGE_HEADER: token}})
    )
    assert [refusal(answer) for answer in requests_from(service, None, request)] == [(403, "no_address")]
