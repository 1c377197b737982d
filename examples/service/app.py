"""A bot-detection endpoint on shared state, to paste into an ASGI service.

    VELTRIX_REDIS_URL=redis://127.0.0.1:6379/0 VELTRIX_ADMIN_TOKEN=secret \
        gunicorn -k uvicorn.workers.UvicornWorker -w 4 -b 127.0.0.1:8000 --chdir examples/service app:app

POST /score: the visit's telemetry JSON as the body and a fresh nonce in the
X-Veltrix-Nonce header; answers the 39 features, 409 for a replayed nonce, 403
for a banned address, 503 when the store fails (closed, never open).
POST/DELETE /admin/bans {"ip": ..., "duration_sec": ...} with the admin token.
GET /: a page that records your pointer, keys, clicks and scrolls and posts them.
"""

import contextlib
import math
import os
from pathlib import Path

from starlette.applications import Starlette
from starlette.responses import FileResponse, JSONResponse
from starlette.routing import Route

import veltrix

REDIS_URL = os.environ.get("VELTRIX_REDIS_URL", "redis://127.0.0.1:6379/0")
ADMIN_TOKEN = os.environ.get("VELTRIX_ADMIN_TOKEN")  # no admin endpoint without one
PAGE = Path(__file__).with_name("page.html")


@contextlib.asynccontextmanager
async def lifespan(app):
    # One engine per worker, made after the fork; every worker shares the store's state.
    app.state.engine = veltrix.AsyncRedisStateEngine.from_url(REDIS_URL, namespace="veltrix")
    yield
    await app.state.engine.aclose()


async def score(request):
    engine = request.app.state.engine
    # Behind a proxy, run uvicorn with --proxy-headers so that this is the visitor's address.
    if await engine.is_ip_banned(request.client.host):
        return JSONResponse({"error": "address banned"}, status_code=403)
    nonce = request.headers.get("x-veltrix-nonce")
    if not nonce or not await engine.consume_nonce(nonce):
        return JSONResponse({"error": "nonce missing or already used"}, status_code=409)
    try:
        features = veltrix.extract_features_json(await request.body())
    except ValueError:
        return JSONResponse({"error": "body is not telemetry JSON"}, status_code=400)
    # JSON has no NaN or infinity: a non-finite feature goes out as null.
    return JSONResponse({k: None if isinstance(v, float) and not math.isfinite(v) else v for k, v in features.items()})


async def bans(request):
    if ADMIN_TOKEN is None or request.headers.get("authorization") != f"Bearer {ADMIN_TOKEN}":
        return JSONResponse({"error": "forbidden"}, status_code=403)
    body = await request.json()
    if request.method == "DELETE":
        await request.app.state.engine.unban_ip(body["ip"])
    else:
        await request.app.state.engine.ban_ip(body["ip"], int(body.get("duration_sec", 3600)))
    return JSONResponse({"ip": body["ip"], "banned": request.method == "POST"})


async def page(request):
    return FileResponse(PAGE)


async def store_failed(request, error):
    return JSONResponse({"error": "state store unavailable"}, status_code=503)


app = Starlette(
    routes=[
        Route("/", page),
        Route("/score", score, methods=["POST"]),
        Route("/admin/bans", bans, methods=["POST", "DELETE"]),
    ],
    exception_handlers={veltrix.StateStoreError: store_failed},
    lifespan=lifespan,
)
