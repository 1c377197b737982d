"""redis-server processes for the state store benchmark: one node (optionally
a replica of another), or a 3-master cluster, on 127.0.0.1 and random free
ports, without persistence, stopped by the benchmark."""

import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

import redis

CLUSTER_BUS_OFFSET = 10_000
START_SECONDS = 20


def _free_port():
    while True:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        if port + CLUSTER_BUS_OFFSET < 65_536:
            return port


def _wait(condition, what):
    deadline = time.monotonic() + START_SECONDS
    while True:
        try:
            if condition():
                return
        except redis.RedisError:
            pass
        if time.monotonic() > deadline:
            sys.exit(f"error: gave up waiting for {what}")
        time.sleep(0.05)


class Server:
    def __init__(self, directory, *args):
        self.port = _free_port()
        Path(directory).mkdir(parents=True, exist_ok=True)
        command = [shutil.which("redis-server") or "redis-server", "--port", str(self.port), "--bind", "127.0.0.1"]
        command += ["--save", "", "--appendonly", "no", "--dir", str(directory), *args]
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
        self.client = redis.Redis(port=self.port)
        _wait(self.client.ping, f"redis-server on port {self.port}")

    @property
    def url(self):
        return f"redis://127.0.0.1:{self.port}/0"

    def replica(self, directory):
        replica = Server(directory, "--replicaof", "127.0.0.1", str(self.port))
        _wait(lambda: replica.client.info("replication")["master_link_status"] == "up", "the replica")
        return replica

    def stop(self):
        self.client.close()
        self.process.terminate()
        self.process.wait()


class Cluster:
    def __init__(self, directory, masters=3):
        config = ("--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf")
        self.nodes = []
        try:
            for index in range(masters):
                self.nodes.append(Server(Path(directory) / f"node{index}", *config))
            subprocess.run(
                ["redis-cli", "--cluster", "create", *(f"127.0.0.1:{node.port}" for node in self.nodes)]
                + ["--cluster-replicas", "0", "--cluster-yes"],
                check=True,
                capture_output=True,
                timeout=START_SECONDS,
            )
            for node in self.nodes:
                _wait(lambda node=node: b"cluster_state:ok" in node.client.execute_command("CLUSTER", "INFO"), "a node")
        except BaseException:
            self.stop()
            raise

    @property
    def url(self):
        return self.nodes[0].url

    def stop(self):
        for node in self.nodes:
            node.stop()
