"""A worker process of the challenge tests, with an issuer and engine of its own.

python challenge_worker.py URL NAMESPACE SECRET_HEX
    connects, prints "ready", reads one line: a JSON list of tokens, verifies
    each of them (bound to no client) in its own order, and prints the ids it
    accepted and the refusal reasons as one JSON object.
"""

import json
import random
import sys
from collections import Counter

from veltrix import ChallengeIssuer, ChallengeRefused, RedisStateEngine

if __name__ == "__main__":
    url, namespace, secret_hex = sys.argv[1:]
    engine = RedisStateEngine.from_url(url, namespace, timeout=10)
    issuer = ChallengeIssuer(bytes.fromhex(secret_hex), engine=engine)
    engine.stats()  # connected before the start
    print("ready", flush=True)
    tokens = json.loads(sys.stdin.readline())
    random.shuffle(tokens)
    accepted, refused = [], Counter()
    for token in tokens:
        try:
            accepted.append(issuer.verify(token).id)
        except ChallengeRefused as refusal:
            refused[refusal.reason] += 1
    print(json.dumps({"accepted": accepted, "refused": refused}), flush=True)
