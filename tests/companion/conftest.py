"""Fixtures of the companion package's tests: real Redis servers (see store_servers.py)."""

import os

import pytest
from store_servers import ADMIN_TOKEN, ExampleService, RedisCluster, RedisServer


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


@pytest.fixture(scope="session")
def redis_cluster(tmp_path_factory):
    cluster = RedisCluster(tmp_path_factory.mktemp("cluster"))
    try:
        yield cluster.start()
    finally:
        cluster.stop()


@pytest.fixture(scope="session")
def example_service(redis_server, tmp_path_factory):
    """The example service with 4 workers, on database 1 of the shared server."""
    service = ExampleService(
        tmp_path_factory.mktemp("service"), f"redis://127.0.0.1:{redis_server.port}/1", ADMIN_TOKEN
    )
    try:
        yield service.start()
    finally:
        service.stop()
