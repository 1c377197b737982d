"""Resident memory per stored nonce, measured in a process of its own.

    python nonce_memory.py extension|reference [count]

Prints one JSON object: bytes per nonce and how many nonces were accepted. The
nonces are made one at a time and not kept, so only what the engine stores
counts: the extension copies the bytes, the Python sets keep the str objects.
"""

import gc
import json
import os
import sys

NONCE_COUNT = 1_000_000
# An odd multiplier makes i -> i * MULTIPLIER mod 2**128 a bijection: distinct, random-looking nonces.
MULTIPLIER = 0x9E3779B97F4A7C15F39CC0605CEDC835
OFFSET = 0x6A09E667F3BCC908B2FB1366EA957D3E


def distinct_nonces(count, first=0):
    """`count` distinct nonces of 36 characters in the 8-4-4-4-12 hexadecimal form, from index `first` on."""
    for i in range(first, first + count):
        digits = f"{(i * MULTIPLIER + OFFSET) % 2**128:032x}"
        yield f"{digits[:8]}-{digits[8:12]}-{digits[12:16]}-{digits[16:20]}-{digits[20:]}"


def settled_resident_bytes():
    gc.collect()
    with open("/proc/self/statm") as statm:
        resident_pages = int(statm.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


def consume_function(engine):
    if engine == "extension":
        import veltrix_core_rs

        veltrix_core_rs.clear_state_engine_rs()  # creates the engine before the baseline
        return veltrix_core_rs.consume_nonce_rs
    if engine == "reference":
        from reference_state_engine import ReferenceStateEngine

        return ReferenceStateEngine().consume_nonce
    raise SystemExit(f"unknown engine {engine!r}: expected 'extension' or 'reference'")


def main(argv):
    engine = argv[1] if len(argv) > 1 else ""
    count = int(argv[2]) if len(argv) > 2 else NONCE_COUNT
    consume = consume_function(engine)
    before = settled_resident_bytes()
    accepted = sum(consume(nonce) for nonce in distinct_nonces(count))
    after = settled_resident_bytes()
    print(json.dumps({"bytes_per_nonce": (after - before) / count, "accepted": accepted}))


if __name__ == "__main__":
    main(sys.argv)
