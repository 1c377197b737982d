"""A bot-detection endpoint on shared state, to paste into an ASGI service.

    VELTRIX_REDIS_URL=redis://127.0.0.1:6379/0 VELTRIX_CHALLENGE_SECRETS=$(openssl rand -hex 32) \
    VELTRIX_ADMIN_TOKEN=$(openssl rand -hex 32) \
        gunicorn -k uvicorn.workers.UvicornWorker -w 4 -b 127.0.0.1:8000 \
            --forwarded-allow-ips '' --chdir examples/service app:app

GET /challenge: a signed, single-use token bound to the visitor's address, as
{"token": ..., "difficulty": N} (N leading zero bits of proof of work, 0 for none).
POST /score: the visit's telemetry JSON as the body, the token in X-Veltrix-Challenge,
the proof of work in X-Veltrix-Proof; answers {"verdict": "human" or "suspect",
"visit": id}. Refusals answer {"error": ..., "reason": ...}: 413 a body over the
limit, 400 a malformed token or a body that is not telemetry JSON, 403 a forged,
expired, unsolved or misdirected token and a banned or unknown address, 409 a token
used before; 503 when the store fails (closed, never open). An IPv4 visitor of a
dual-stack socket is known by its IPv4 address, in bans and challenges alike.
POST/DELETE /admin/bans {"ip": ..., "duration_sec": ...} with the admin token;
without VELTRIX_ADMIN_TOKEN there is no admin endpoint.
GET /: a page that records your pointer, touches, keys, clicks and scrolls with the
shipped collector (/collector.js) and sends them.

Trusted proxies: the visitor's address is what bans and challenges bind to. uvicorn
and gunicorn take it from X-Forwarded-For when the connection comes from an address
in --forwarded-allow-ips (FORWARDED_ALLOW_IPS), which is 127.0.0.1 by default: on a
host where anything local can connect, anyone could then claim any address. Set it
explicitly: '' with no proxy in front, the proxy's own address when there is one.
"""

import contextlib
import hmac
import ipaddress
import json
import logging
import math
import os

from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.middleware.cors import CORSMiddleware
from starlette.responses import FileResponse, JSONResponse
from starlette.routing import Route

import veltrix
from veltrix import collector
from veltrix.challenges import MAX_DIFFICULTY

REDIS_URL = os.environ.get("VELTRIX_REDIS_URL", "redis://127.0.0.1:6379/0")
ADMIN_TOKEN = os.environ.get("VELTRIX_ADMIN_TOKEN")  # no admin endpoint without one
# The keys that sign challenges, the same on every worker and host: the first signs, any
# verifies, so a new key goes first and the old one stays until its tokens have expired.
CHALLENGE_SECRETS = [secret for secret in os.environ.get("VELTRIX_CHALLENGE_SECRETS", "").split(",") if secret]
CHALLENGE_TTL = float(os.environ.get("VELTRIX_CHALLENGE_TTL", "30"))
DIFFICULTY = int(os.environ.get("VELTRIX_DIFFICULTY", "0"))
# Clients from these networks work harder for each challenge.
DISTRUSTED_NETWORKS = [
    ipaddress.ip_network(network) for network in os.environ.get("VELTRIX_DISTRUSTED_NETWORKS", "").split(",") if network
]
DISTRUSTED_DIFFICULTY = int(os.environ.get("VELTRIX_DISTRUSTED_DIFFICULTY", "16"))
# Origins of pages on other sites that may send visits here; none by default.
ALLOWED_ORIGINS = [origin for origin in os.environ.get("VELTRIX_ALLOWED_ORIGINS", "").split(",") if origin]
# The collector never sends more than this; anything longer is not one of its visits.
MAX_BODY_BYTES = collector.MAX_BODY_BYTES
MAX_ADMIN_BODY_BYTES = 1024
MAX_BAN_SECONDS = 2**64 - 1
# The admin endpoint answers anyone who can reach it and counts no failures: a short token
# would be guessed.
MIN_ADMIN_TOKEN_BYTES = 32
PAGE = os.path.join(os.path.dirname(__file__), "page.html")
if not CHALLENGE_SECRETS:
    raise SystemExit("set VELTRIX_CHALLENGE_SECRETS: one or more comma-separated keys, the same on every worker")
if ADMIN_TOKEN and len(ADMIN_TOKEN.encode()) < MIN_ADMIN_TOKEN_BYTES:
    raise SystemExit(f"VELTRIX_ADMIN_TOKEN needs at least {MIN_ADMIN_TOKEN_BYTES} bytes: openssl rand -hex 32")
# Checked here, or every challenge for those visitors would fail with a 500.
for setting, bits in (("VELTRIX_DIFFICULTY", DIFFICULTY), ("VELTRIX_DISTRUSTED_DIFFICULTY", DISTRUSTED_DIFFICULTY)):
    if not 0 <= bits <= MAX_DIFFICULTY:
        raise SystemExit(f"{setting} must be from 0 to {MAX_DIFFICULTY} bits, not {bits}")

# Features are recorded here, with the visit's id, for scoring and training; callers never see them.
visits_log = logging.getLogger("veltrix.example.visits")


class Refused(Exception):
    """A request answered with `status` and {"error": ..., "reason": ...}."""

    def __init__(self, status: int, reason: str, error: str) -> None:
        super().__init__(error)
        self.status, self.reason, self.error = status, reason, error


@contextlib.asynccontextmanager
async def lifespan(app):
    # One engine per worker, made after the fork; every worker shares the store's state.
    engine = veltrix.AsyncRedisStateEngine.from_url(REDIS_URL, namespace="veltrix")
    app.state.engine = engine
    app.state.issuer = veltrix.ChallengeIssuer(CHALLENGE_SECRETS, ttl=CHALLENGE_TTL, engine=engine)
    if not visits_log.handlers:
        handler = logging.StreamHandler()
        handler.setFormatter(logging.Formatter("%(message)s"))
        visits_log.addHandler(handler)
        visits_log.setLevel(logging.INFO)
        visits_log.propagate = False
    yield
    await engine.aclose()


async def read_body(request, limit: int) -> bytes:
    """The body, refused once it passes `limit` bytes, before the rest is read."""
    too_large = Refused(413, "too_large", f"the body is limited to {limit} bytes")
    declared = request.headers.get("content-length", "")
    if declared.isascii() and declared.isdigit() and int(declared) > limit:
        raise too_large
    chunks, size = [], 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > limit:
            raise too_large
        chunks.append(chunk)
    return b"".join(chunks)


def canonical_address(text: str) -> str | None:
    """`text` as an IP address in its one spelling, or None. An IPv4 visitor of a dual-stack
    socket (::ffff:192.0.2.7) is its IPv4 address: one ban holds for it on either socket."""
    try:
        address = ipaddress.ip_address(text)
    except ValueError:
        return None
    return str(getattr(address, "ipv4_mapped", None) or address)


def visitor_address(request) -> str:
    """What bans and challenges bind to: the visitor's address as canonical_address spells it,
    or what a trusted proxy forwarded that is no address, as it is."""
    if request.client is None:  # a UNIX socket and no proxy header: nothing to bind or ban
        raise Refused(403, "no_address", "the visitor's address is unknown")
    return canonical_address(request.client.host) or request.client.host


def difficulty_for(client: str) -> int:
    try:
        address = ipaddress.ip_address(client)
    except ValueError:  # a proxy forwarded something else
        return DISTRUSTED_DIFFICULTY
    return DISTRUSTED_DIFFICULTY if any(address in network for network in DISTRUSTED_NETWORKS) else DIFFICULTY


async def refuse_banned(request, client: str) -> None:
    if await request.app.state.engine.is_ip_banned(client):
        raise Refused(403, "banned", "address banned")


async def challenge(request):
    client = visitor_address(request)
    await refuse_banned(request, client)
    difficulty = difficulty_for(client)
    token = request.app.state.issuer.issue(action="score", client=client, difficulty=difficulty)
    return JSONResponse({"token": token, "difficulty": difficulty}, headers={"Cache-Control": "no-store"})


# This example's reading of a few plain tells; a real service weighs all 39 features.
def verdict_of(features) -> str:
    scripted = (
        features["webdriver"]
        or features["mouse_points"] < 3
        or features["straightness"] > 0.99
        or features["velocity_var"] == 0.0
        or features["keystroke_score"] >= 0.5
    )
    return "suspect" if scripted else "human"


async def score(request):
    issuer = request.app.state.issuer
    client = visitor_address(request)
    token = request.headers.get(collector.CHALLENGE_HEADER)
    if not token:
        raise Refused(400, "malformed", "no challenge token")
    # Every check but the replay check, with no store call: forged, expired and misdirected
    # tokens cost neither a store round trip nor reading the body.
    challenge = issuer.check(token, action="score", client=client, solution=request.headers.get(collector.PROOF_HEADER))
    body = await read_body(request, MAX_BODY_BYTES)
    # An unreadable body leaves the token unused, so that the visitor can send again.
    if not body.lstrip(b" \t\r\n").startswith(b"{"):
        raise Refused(400, "not_telemetry", "body is not a telemetry JSON object")
    try:
        features = veltrix.extract_features_json(body)
    except ValueError:
        raise Refused(400, "not_telemetry", "body is not a telemetry JSON object") from None
    await issuer.consume_async(challenge)
    await refuse_banned(request, client)
    verdict = verdict_of(features)
    # JSON has no NaN or infinity: a non-finite feature is logged as null.
    logged = {name: None if isinstance(v, float) and not math.isfinite(v) else v for name, v in features.items()}
    record = {"visit": challenge.id, "client": client, "verdict": verdict, "features": logged}
    visits_log.info("visit %s", json.dumps(record, allow_nan=False))
    # The verdict only: features sent back would show a bot which of its tells to tune.
    return JSONResponse({"verdict": verdict, "visit": challenge.id})


def ban_request(payload, *, with_duration: bool) -> tuple[str, int]:
    """The address (normalised) and duration of an admin body, or Refused."""
    allowed = {"ip", "duration_sec"} if with_duration else {"ip"}
    if not isinstance(payload, dict) or "ip" not in payload or not payload.keys() <= allowed:
        raise Refused(400, "bad_request", f"body must be a JSON object with keys {sorted(allowed)}")
    ip = payload["ip"]
    address = canonical_address(ip) if isinstance(ip, str) else None
    if address is None:
        raise Refused(400, "bad_request", "ip must be an IPv4 or IPv6 address")
    duration = payload.get("duration_sec", 3600)
    # JSON's true is Python's True, an int too: refused like 3600.0 and "3600".
    if type(duration) is not int or not 1 <= duration <= MAX_BAN_SECONDS:
        raise Refused(400, "bad_request", f"duration_sec must be a whole number of seconds from 1 to {MAX_BAN_SECONDS}")
    return address, duration


async def bans(request):
    expected = f"Bearer {ADMIN_TOKEN}".encode()
    given = request.headers.get("authorization", "").encode("latin-1")
    if not hmac.compare_digest(given, expected):
        return JSONResponse({"error": "forbidden", "reason": "forbidden"}, status_code=403)
    try:
        payload = json.loads(await read_body(request, MAX_ADMIN_BODY_BYTES))
    except (ValueError, RecursionError):
        raise Refused(400, "bad_request", "body is not JSON") from None
    engine = request.app.state.engine
    if request.method == "DELETE":
        address, _ = ban_request(payload, with_duration=False)
        await engine.unban_ip(address)
        return JSONResponse({"ip": address, "banned": False})
    address, duration = ban_request(payload, with_duration=True)
    await engine.ban_ip(address, duration)
    return JSONResponse({"ip": address, "banned": True, "duration_sec": duration})


async def page(request):
    return FileResponse(PAGE)


async def collector_script(request):
    return FileResponse(collector.script_path(), media_type="text/javascript")


async def refused(request, error):
    return JSONResponse({"error": error.error, "reason": error.reason}, status_code=error.status)


async def challenge_refused(request, error):
    status = {"malformed": 400, "replayed": 409}.get(error.reason, 403)
    return JSONResponse({"error": "challenge refused", "reason": error.reason}, status_code=status)


async def store_failed(request, error):
    return JSONResponse({"error": "state store unavailable", "reason": "store_unavailable"}, status_code=503)


routes = [
    Route("/", page),
    Route("/collector.js", collector_script),
    Route("/challenge", challenge),
    Route("/score", score, methods=["POST"]),
]
if ADMIN_TOKEN:
    routes.append(Route("/admin/bans", bans, methods=["POST", "DELETE"]))
# Pages on other origins need CORS for the challenge headers; visits carry no cookies
# (the token is bound to the address), so credentials stay off.
middleware = [
    Middleware(
        CORSMiddleware,
        allow_origins=ALLOWED_ORIGINS,
        allow_methods=["GET", "POST"],
        allow_headers=["Content-Type", collector.CHALLENGE_HEADER, collector.PROOF_HEADER],
    )
]
app = Starlette(
    routes=routes,
    middleware=middleware if ALLOWED_ORIGINS else [],
    exception_handlers={
        Refused: refused,
        veltrix.ChallengeRefused: challenge_refused,
        veltrix.StateStoreError: store_failed,
    },
    lifespan=lifespan,
)
