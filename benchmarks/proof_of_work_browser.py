"""What a challenge's proof of work costs a visitor: the shipped collector's solver
in headless Chromium, per difficulty.

    python benchmarks/proof_of_work_browser.py [--quick] [--difficulties 8,12,16,18,20] [--tokens 7]

Serves a blank page with the collector on 127.0.0.1 (a secure context, so that
crypto.subtle is there), opens it in Debian's chromium through selenium and its
/usr/bin/chromedriver, and for each difficulty N solves fresh tokens one after
the other with ``VeltrixCollector.solveProofOfWork`` (a Web Worker hashing with
crypto.subtle), timed in the page from the call to the answer, worker start
included. Every answer is checked here with hashlib and with the issuer's check. The
number of hashes a token needs is random (about 2**N on average, geometric), so
beside the median solve time the table shows the hashing rate (counters tried
per second over all tokens of that N) and the expected time at that rate,
and at the end the rate of the library's own Python solver, what a client of
its own (a bot) spends instead.
"""

import argparse
import hashlib
import http.server
import os
import shutil
import statistics
import sys
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

import veltrix
from veltrix import collector
from veltrix.challenges import solve_proof_of_work

CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
SOLVE_SECONDS = 600
PAGE = f"<!doctype html><meta charset=utf-8><title>proof of work</title><script>{collector.script_text()}</script>"
SOLVE = """
const [token, difficulty, done] = arguments;
const started = performance.now();
VeltrixCollector.solveProofOfWork(token, difficulty, { timeoutMs: %d })
  .then((counter) => done({ counter, ms: performance.now() - started }), (error) => done({ error: String(error) }));
""" % (SOLVE_SECONDS * 1000)


class PageHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        body = PAGE.encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def leading_zero_bits(digest: bytes) -> int:
    value = int.from_bytes(digest, "big")
    return len(digest) * 8 - value.bit_length()


def browser() -> webdriver.Chrome:
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_script_timeout(SOLVE_SECONDS)
    return driver


def solve_all(driver, issuer, difficulty: int, tokens: int) -> tuple[list[float], int]:
    """Solve times in ms, and the counters tried over all tokens."""
    times, tried = [], 0
    for _ in range(tokens):
        token = issuer.issue(difficulty=difficulty)
        answer = driver.execute_async_script(SOLVE, token, difficulty)
        if "error" in answer:
            sys.exit(f"the solver failed at N={difficulty}: {answer['error']}")
        counter = answer["counter"]
        digest = hashlib.sha256(f"{token}:{counter}".encode()).digest()
        assert leading_zero_bits(digest) >= difficulty, (token, counter)
        issuer.check(token, solution=counter)
        times.append(answer["ms"])
        tried += int(counter) + 1
    return times, tried


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="3 tokens per difficulty, up to N=16")
    parser.add_argument("--difficulties", default="8,12,16,18,20")
    parser.add_argument("--tokens", type=int, default=7, help="tokens solved per difficulty")
    arguments = parser.parse_args()
    difficulties = [int(n) for n in arguments.difficulties.split(",")]
    tokens = arguments.tokens
    if arguments.quick:
        difficulties, tokens = [n for n in difficulties if n <= 16], 3

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), PageHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    driver = browser()
    # A stopped clock: a slow solve at N=20 may outlast any ttl, and only the proof is checked here.
    now = time.time()
    issuer = veltrix.ChallengeIssuer(os.urandom(32), clock=lambda: now)
    try:
        driver.get(f"http://127.0.0.1:{server.server_address[1]}/")
        version = driver.capabilities.get("browserVersion", "?")
        print(f"Proof of work in headless Chromium {version}, {tokens} tokens per difficulty (times in ms)")
        print(f"{'N':>3} {'median':>9} {'min':>9} {'max':>9} {'hashes/s':>11} {'expected 2**N':>14}")
        for difficulty in difficulties:
            times, tried = solve_all(driver, issuer, difficulty, tokens)
            rate = tried / (sum(times) / 1000)
            print(
                f"{difficulty:>3} {statistics.median(times):>9.1f} {min(times):>9.1f} {max(times):>9.1f}"
                f" {rate:>11,.0f} {2**difficulty / rate * 1000:>14.1f}"
            )
        # The same work for a client of its own: the library's solver, one CPython thread.
        started, tried = time.process_time(), 0
        for _ in range(tokens):
            tried += int(solve_proof_of_work(issuer.issue(difficulty=16), 16)) + 1
        rate = tried / (time.process_time() - started)
        print(f"CPython's hashlib (solve_proof_of_work, one thread): {rate:,.0f} hashes/s")
    finally:
        driver.quit()
        server.shutdown()


if __name__ == "__main__":
    main()
