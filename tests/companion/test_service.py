"""The example service under gunicorn with 4 uvicorn workers: a nonce is
accepted once whichever worker answers, and a banned address gets nothing."""

import asyncio
import importlib.util
import json
import uuid

import httpx
import pytest
from store_servers import ADMIN_TOKEN, EXAMPLE_SERVICE

VISIT = json.dumps(
    {
        "browser": {"webdriver": False, "screen_width": 1920, "screen_height": 1080, "plugins_length": 3},
        "mouse_movements": [{"x": 10 + 3 * i, "y": 20 + i, "t": 16 * i} for i in range(40)],
        "keystrokes": [{"key": "h", "t": 1200, "up": 1290}, {"key": "i", "t": 1410, "duration_ms": 85}],
    }
)
REPLAYED_NONCES = 20
COPIES_PER_NONCE = 19  # 380 concurrent requests
BANNED_REQUESTS = 80
# No keep-alive: every request is a new connection, which any worker may accept.
NEW_CONNECTION_EACH = httpx.Limits(max_keepalive_connections=0, max_connections=64)


def score(client, nonce):
    return client.post("/score", content=VISIT, headers={"X-Veltrix-Nonce": nonce})


def admin(client, method, **body):
    response = client.request(method, "/admin/bans", json=body, headers={"Authorization": f"Bearer {ADMIN_TOKEN}"})
    assert response.status_code == 200
    return response


@pytest.fixture
def client(example_service):
    with httpx.Client(base_url=example_service.url, limits=NEW_CONNECTION_EACH, timeout=30) as client:
        yield client


def test_the_same_nonce_sent_twenty_times_is_accepted_once(client):
    nonce = uuid.uuid4().hex
    statuses = [score(client, nonce).status_code for _ in range(20)]
    assert statuses == [200] + [409] * 19
    features = score(client, uuid.uuid4().hex).json()
    assert features["mouse_points"] == 40 and features["key_count"] == 2


def test_concurrent_replays_are_accepted_once_per_nonce(example_service):
    nonces = [uuid.uuid4().hex for _ in range(REPLAYED_NONCES)]

    async def send_all():
        async with httpx.AsyncClient(base_url=example_service.url, limits=NEW_CONNECTION_EACH, timeout=60) as client:
            requests = [
                client.post("/score", content=VISIT, headers={"X-Veltrix-Nonce": nonce})
                for nonce in nonces
                for _ in range(COPIES_PER_NONCE)
            ]
            return [response.status_code for response in await asyncio.gather(*requests)]

    statuses = asyncio.run(send_all())
    assert statuses.count(200) == REPLAYED_NONCES
    assert statuses.count(409) == REPLAYED_NONCES * (COPIES_PER_NONCE - 1)


def test_a_banned_address_gets_nothing_from_any_worker(client):
    admin(client, "POST", ip="127.0.0.1", duration_sec=600)
    try:
        statuses = [score(client, uuid.uuid4().hex).status_code for _ in range(BANNED_REQUESTS)]
    finally:
        admin(client, "DELETE", ip="127.0.0.1")
    assert statuses == [403] * BANNED_REQUESTS
    assert score(client, uuid.uuid4().hex).status_code == 200


@pytest.mark.parametrize("headers", [{}, {"Authorization": "Bearer wrong"}])
def test_admin_endpoint_needs_the_token(client, headers):
    response = client.post("/admin/bans", json={"ip": "127.0.0.1"}, headers=headers)
    assert response.status_code == 403


def test_bad_body_and_missing_nonce_are_refused(client):
    assert client.post("/score", content=VISIT).status_code == 409
    assert client.post("/score", content=b"{not json", headers={"X-Veltrix-Nonce": uuid.uuid4().hex}).status_code == 400


def test_a_store_that_is_down_closes_the_service(monkeypatch):
    monkeypatch.setenv("VELTRIX_REDIS_URL", "redis://127.0.0.1:1/0")  # nothing listens there
    spec = importlib.util.spec_from_file_location("example_service_app", EXAMPLE_SERVICE / "app.py")
    service = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(service)

    async def post_once():
        async with service.lifespan(service.app):
            transport = httpx.ASGITransport(app=service.app)
            async with httpx.AsyncClient(transport=transport, base_url="http://service") as client:
                return await client.post("/score", content=VISIT, headers={"X-Veltrix-Nonce": uuid.uuid4().hex})

    assert asyncio.run(post_once()).status_code == 503
