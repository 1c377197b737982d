"""Real Redis servers for the shared state engines' tests: Debian's redis-server
on 127.0.0.1, a random free port, no persistence, started and stopped (or
paused, or killed) by the tests; a replica, a 3-master cluster; endpoints that
answer garbage, and a forwarding address that moves to another server as a
failover moves a service address; and the helpers the tests share."""

from __future__ import annotations

import asyncio
import json
import os
import random
import shutil
import signal
import socket
import socketserver
import subprocess
import sys
import threading
import time
from pathlib import Path

import redis

from veltrix import AsyncRedisStateEngine, RedisStateEngine

SERVER_START_SECONDS = 20
# For tests that load the store on purpose (many concurrent calls): they test what the engine
# answers, not how fast, and a sanitized interpreter is several times slower.
SLOW_TIMEOUT = 10.0
CLUSTER_NODES = 3
# The sanitized suite preloads its runtime into the interpreter; servers,
# browsers and child interpreters run plain, with the installed packages.
SANITIZER_VARIABLES = ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")


def child_environment(**extra: str) -> dict[str, str]:
    env = {name: value for name, value in os.environ.items() if name not in SANITIZER_VARIABLES}
    env.update(extra)
    return env


# A cluster node also listens on its port + 10000, so its port must stay below 55536.
CLUSTER_BUS_OFFSET = 10_000
PORT_RANGE = (20_000, 65_535 - CLUSTER_BUS_OFFSET)


def port_is_free(port: int) -> bool:
    with socket.socket() as probe:
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return False
        return True


def free_port() -> int:
    """A free port whose cluster bus port is free too."""
    while True:
        port = random.randint(*PORT_RANGE)
        if port_is_free(port) and port_is_free(port + CLUSTER_BUS_OFFSET):
            return port


def wait_until(condition, what: str, seconds: float = SERVER_START_SECONDS) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError(f"gave up waiting for {what}")
        time.sleep(0.05)


class RedisServer:
    """One redis-server process, which can be stopped and started again on its port."""

    def __init__(self, directory: Path, *extra_args: str, env: dict[str, str] | None = None) -> None:
        self.directory = directory
        self.port = free_port()
        self.extra_args = extra_args
        self.env = env or child_environment()
        self.process: subprocess.Popen | None = None
        directory.mkdir(parents=True, exist_ok=True)

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def client(self, **settings) -> redis.Redis:
        return redis.Redis(host="127.0.0.1", port=self.port, **settings)

    def start(self) -> RedisServer:
        command = [
            shutil.which("redis-server") or "redis-server",
            "--port",
            str(self.port),
            "--bind",
            "127.0.0.1",
            "--save",
            "",
            "--appendonly",
            "no",
            "--dir",
            str(self.directory),
            *self.extra_args,
        ]
        with open(self.directory / "server.log", "ab") as log:
            self.process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=self.env)
        probe = self.client(socket_timeout=1)

        def answers() -> bool:
            if self.process.poll() is not None:
                raise RuntimeError(f"redis-server exited: {(self.directory / 'server.log').read_text()[-2000:]}")
            try:
                return probe.ping()
            except redis.RedisError:
                return False

        wait_until(answers, f"redis-server on port {self.port}")
        probe.close()
        return self

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)  # a paused server could not act on SIGTERM
            self.process.terminate()
            self.process.wait(timeout=SERVER_START_SECONDS)
        self.process = None

    def kill(self) -> None:
        """Ends the server at once, as a crash would: nothing it did not yet send to a replica gets there."""
        self.process.kill()
        self.process.wait(timeout=SERVER_START_SECONDS)
        self.process = None

    def pause(self) -> None:
        """Stops the process (SIGSTOP): connections stay open and nothing answers."""
        self.process.send_signal(signal.SIGSTOP)

    def resume(self) -> None:
        self.process.send_signal(signal.SIGCONT)


def start_replica(directory: Path, master: RedisServer) -> RedisServer:
    """A replica of `master`, started and caught up with it."""
    replica = RedisServer(directory, "--replicaof", "127.0.0.1", str(master.port)).start()
    probe = replica.client()
    wait_until(lambda: probe.info("replication")["master_link_status"] == "up", "the replica's link")
    probe.close()
    return replica


class _AnswerAll(socketserver.BaseRequestHandler):
    def handle(self) -> None:
        self.request.settimeout(SERVER_START_SECONDS)
        try:
            while data := self.request.recv(65536):
                self.request.sendall(self.server.answer(data))  # type: ignore[attr-defined]
        except OSError:
            pass


class GarbageEndpoint(socketserver.ThreadingTCPServer):
    """A TCP endpoint on loopback that answers each request with `answer(request)`:
    an echo (what a socket connected to itself does), another service's reply, or noise."""

    daemon_threads = True

    def __init__(self, answer) -> None:
        super().__init__(("127.0.0.1", 0), _AnswerAll)
        self.answer = answer
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)
        self.thread.start()

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.server_address[1]}/0"

    def stop(self) -> None:
        self.shutdown()
        self.server_close()


class ForwardingAddress:
    """A loopback address that forwards every connection to a server, and can
    be moved to another one as a failover moves a service's address: the
    connections open at the move are cut."""

    def __init__(self, target: RedisServer) -> None:
        self.target_port = target.port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.connections: list[socket.socket] = []
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def _accept(self) -> None:
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            try:
                upstream = socket.create_connection(("127.0.0.1", self.target_port))
            except OSError:
                client.close()
                continue
            for end in (client, upstream):  # no Nagle delay on the relayed round trips
                end.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                self.connections += [client, upstream]
            for source, sink in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pump, args=(source, sink), daemon=True).start()

    @staticmethod
    def _pump(source: socket.socket, sink: socket.socket) -> None:
        try:
            while data := source.recv(65536):
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def move_to(self, target: RedisServer) -> None:
        self.target_port = target.port
        self._cut_connections()

    def _cut_connections(self) -> None:
        with self.lock:
            cut, self.connections = self.connections, []
        for connection in cut:
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            connection.close()

    def stop(self) -> None:
        self.listener.close()
        self._cut_connections()


class AwaitedEngine:
    """An asyncio engine driven from synchronous test code, on a loop of its own."""

    def __init__(self, engine: AsyncRedisStateEngine) -> None:
        self.engine = engine
        self.loop = asyncio.new_event_loop()

    def __getattr__(self, name):
        method = getattr(self.engine, name)
        return lambda *args: self.loop.run_until_complete(method(*args))

    def close(self) -> None:
        self.loop.run_until_complete(self.engine.aclose())
        self.loop.close()


def engine_from_url(kind: str, url: str, **options) -> RedisStateEngine | AwaitedEngine:
    """A "sync" engine, or an "async" one whose calls are awaited here, made by from_url."""
    if kind == "sync":
        return RedisStateEngine.from_url(url, **options)
    return AwaitedEngine(AsyncRedisStateEngine.from_url(url, **options))


class RedisCluster:
    """Three master nodes joined by redis-cli --cluster create, no replicas."""

    def __init__(self, directory: Path) -> None:
        self.nodes = [
            RedisServer(
                directory / f"node{index}",
                "--cluster-enabled",
                "yes",
                "--cluster-config-file",
                "nodes.conf",
                "--cluster-node-timeout",
                "5000",
            )
            for index in range(CLUSTER_NODES)
        ]

    @property
    def url(self) -> str:
        return self.nodes[0].url

    def start(self) -> RedisCluster:
        for node in self.nodes:
            node.start()
        subprocess.run(
            [
                "redis-cli",
                "--cluster",
                "create",
                *(f"127.0.0.1:{node.port}" for node in self.nodes),
                "--cluster-replicas",
                "0",
                "--cluster-yes",
            ],
            check=True,
            capture_output=True,
            env=child_environment(),
            timeout=SERVER_START_SECONDS,
        )
        for node in self.nodes:
            probe = node.client()
            wait_until(
                lambda probe=probe: b"cluster_state:ok" in probe.execute_command("CLUSTER", "INFO"), f"node {node.port}"
            )
            probe.close()
        return self

    def stop(self) -> None:
        for node in self.nodes:
            node.stop()


EXAMPLE_SERVICE = Path(__file__).resolve().parents[2] / "examples" / "service"
SERVICE_WORKERS = 4
ADMIN_TOKEN = "test-admin-token-of-at-least-32-bytes"
CHALLENGE_SECRET = "test-challenge-secret-of-at-least-32-bytes"
# Every visit from loopback solves a small proof of work, so that the page's worker runs on each send.
SERVICE_DIFFICULTY = 6
# Loopback addresses of their own: the one proxy the service trusts with X-Forwarded-For,
# and a client it distrusts, which gets a harder proof of work.
TRUSTED_PROXY = "127.0.0.2"
DISTRUSTED_CLIENT = "127.0.0.3"
DISTRUSTED_DIFFICULTY = 10
VISIT_LINE = "visit "


class ExampleService:
    """examples/service/app.py under gunicorn with uvicorn workers, on loopback. Pages
    served at http://localhost:<port> are the one other origin it allows."""

    def __init__(self, directory: Path, redis_url: str, admin_token: str) -> None:
        self.port = free_port()
        self.log = directory / "gunicorn.log"
        self.env = child_environment(
            VELTRIX_REDIS_URL=redis_url,
            VELTRIX_ADMIN_TOKEN=admin_token,
            VELTRIX_CHALLENGE_SECRETS=CHALLENGE_SECRET,
            VELTRIX_DIFFICULTY=str(SERVICE_DIFFICULTY),
            VELTRIX_DISTRUSTED_NETWORKS=f"{DISTRUSTED_CLIENT}/32",
            VELTRIX_DISTRUSTED_DIFFICULTY=str(DISTRUSTED_DIFFICULTY),
            VELTRIX_ALLOWED_ORIGINS=self.other_origin,
        )
        self.process: subprocess.Popen | None = None

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    @property
    def other_origin(self) -> str:
        return f"http://localhost:{self.port}"

    def start(self) -> ExampleService:
        command = [
            sys.executable,
            "-m",
            "gunicorn",
            "-k",
            "uvicorn.workers.UvicornWorker",
            "-w",
            str(SERVICE_WORKERS),
            "-b",
            f"127.0.0.1:{self.port}",
            "--forwarded-allow-ips",
            TRUSTED_PROXY,
            "--chdir",
            str(EXAMPLE_SERVICE),
            "app:app",
        ]
        with open(self.log, "ab") as log:
            self.process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=self.env)

        def all_workers_ready() -> bool:
            if self.process.poll() is not None:
                raise RuntimeError(f"gunicorn exited: {self.log.read_text()[-3000:]}")
            return self.log.read_text().count("Application startup complete") >= SERVICE_WORKERS

        wait_until(all_workers_ready, "the example service's workers", seconds=60)
        return self

    def visit(self, visit_id: str) -> dict:
        """What the service recorded of one scored visit (features, verdict, client), from its log."""
        found: list[dict] = []

        def logged() -> bool:
            for line in self.log.read_text().splitlines():
                if line.startswith(VISIT_LINE):
                    record = json.loads(line[len(VISIT_LINE) :])
                    if record["visit"] == visit_id:
                        found.append(record)
                        return True
            return False

        wait_until(logged, f"visit {visit_id} in the service's log", seconds=5)
        return found[0]

    def stop(self) -> None:
        if self.process is not None:
            self.process.terminate()
            self.process.wait(timeout=SERVER_START_SECONDS)
