"""A worker process of the shared-state tests, with an engine of its own.

python engine_worker.py race URL NAMESPACE THREADS NONCES [cluster]
    connects, prints "ready", waits for a line on stdin, then every thread
    consumes each of the nonces race-0 ... race-(NONCES-1) in its own order
    and the process prints the accepted ones as a JSON list.
python engine_worker.py fresh URL NAMESPACE THREADS FIRST COUNT [cluster]
    connects, prints "ready", waits for a line on stdin, then its threads
    consume the nonces fresh-FIRST ... fresh-(FIRST+COUNT-1) between them and
    the process prints how many were accepted.
python engine_worker.py serve URL NAMESPACE
    answers JSON lines [method, args...] with the JSON result.
"""

import json
import random
import sys
import threading
import warnings

from veltrix import RedisStateEngine


def race(engine: RedisStateEngine, threads: int, nonces: int) -> None:
    start = threading.Barrier(threads)
    accepted: list[str] = []
    lock = threading.Lock()

    def consume_all() -> None:
        order = [f"race-{index}" for index in range(nonces)]
        random.shuffle(order)
        start.wait()
        mine = [nonce for nonce in order if engine.consume_nonce(nonce)]
        with lock:
            accepted.extend(mine)

    engine.stats()  # connected before the start
    print("ready", flush=True)
    sys.stdin.readline()
    workers = [threading.Thread(target=consume_all) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    print(json.dumps(accepted), flush=True)


def fresh(engine: RedisStateEngine, threads: int, first: int, count: int) -> None:
    engine.stats()
    print("ready", flush=True)
    sys.stdin.readline()
    accepted = [0] * threads

    def consume_share(thread: int) -> None:
        accepted[thread] = sum(
            engine.consume_nonce(f"fresh-{index}") for index in range(first + thread, first + count, threads)
        )

    workers = [threading.Thread(target=consume_share, args=(thread,)) for thread in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    print(json.dumps(sum(accepted)), flush=True)


def serve(engine: RedisStateEngine) -> None:
    for line in sys.stdin:
        method, *args = json.loads(line)
        print(json.dumps(getattr(engine, method)(*args)), flush=True)


if __name__ == "__main__":
    warnings.filterwarnings("ignore", "the state store has no persistence")
    mode, url, namespace, *rest = sys.argv[1:]
    if mode == "race":
        engine = RedisStateEngine.from_url(url, namespace, cluster=rest[2:] == ["cluster"], timeout=10)
        race(engine, int(rest[0]), int(rest[1]))
    elif mode == "fresh":
        engine = RedisStateEngine.from_url(url, namespace, cluster=rest[3:] == ["cluster"], timeout=10)
        fresh(engine, *map(int, rest[:3]))
    else:
        serve(RedisStateEngine.from_url(url, namespace))
