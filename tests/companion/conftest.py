"""Real Redis servers for the shared state engines' tests: Debian's redis-server
on 127.0.0.1, a random free port, no persistence, started and stopped here."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import time
from pathlib import Path

import pytest
import redis

SERVER_START_SECONDS = 20
CLUSTER_NODES = 3
# The sanitized suite preloads its runtime into the interpreter; servers,
# browsers and child interpreters run plain, with the installed packages.
SANITIZER_VARIABLES = ("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")


def child_environment(**extra: str) -> dict[str, str]:
    env = {name: value for name, value in os.environ.items() if name not in SANITIZER_VARIABLES}
    env.update(extra)
    return env


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


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
            shutil.which("redis-server") or "redis-server", "--port", str(self.port), "--bind", "127.0.0.1",
            "--save", "", "--appendonly", "no", "--dir", str(self.directory), *self.extra_args,
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
            self.process.terminate()
            self.process.wait(timeout=SERVER_START_SECONDS)
        self.process = None


@pytest.fixture(scope="session")
def redis_server(tmp_path_factory):
    """A server shared by the whole session; tests keep to namespaces of their own."""
    server = RedisServer(tmp_path_factory.mktemp("redis")).start()
    yield server
    server.stop()


@pytest.fixture
def own_redis_server(tmp_path):
    """A server for one test, which the test may stop and restart."""
    server = RedisServer(tmp_path / "redis").start()
    yield server
    server.stop()


@pytest.fixture
def namespace(request) -> str:
    """A namespace of this test's own on the shared server."""
    return f"test:{request.node.name}:{os.getpid()}".replace("{", "(").replace("}", ")")


class RedisCluster:
    """Three master nodes joined by redis-cli --cluster create, no replicas."""

    def __init__(self, directory: Path) -> None:
        self.nodes = [
            RedisServer(directory / f"node{index}", "--cluster-enabled", "yes",
                        "--cluster-config-file", "nodes.conf", "--cluster-node-timeout", "5000")
            for index in range(CLUSTER_NODES)
        ]

    @property
    def url(self) -> str:
        return self.nodes[0].url

    def start(self) -> RedisCluster:
        for node in self.nodes:
            node.start()
        subprocess.run(
            ["redis-cli", "--cluster", "create", *(f"127.0.0.1:{node.port}" for node in self.nodes),
             "--cluster-replicas", "0", "--cluster-yes"],
            check=True, capture_output=True, env=child_environment(), timeout=SERVER_START_SECONDS,
        )
        for node in self.nodes:
            probe = node.client()
            wait_until(lambda: b"cluster_state:ok" in probe.execute_command("CLUSTER", "INFO"), f"node {node.port}")
            probe.close()
        return self

    def stop(self) -> None:
        for node in self.nodes:
            node.stop()


@pytest.fixture(scope="session")
def redis_cluster(tmp_path_factory):
    cluster = RedisCluster(tmp_path_factory.mktemp("cluster"))
    try:
        yield cluster.start()
    finally:
        cluster.stop()
