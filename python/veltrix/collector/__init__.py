"""The browser collector a service ships: ``collector.js``, one dependency-free
script to serve as a static file. It records a visit's telemetry in the format
:func:`veltrix.extract_features_json` reads, fetches a challenge right before
sending, solves its proof of work in a Web Worker and posts the visit with the
challenge's headers (see README, "Protecting an endpoint").
"""

from pathlib import Path

SCRIPT_NAME = "collector.js"
# The longest body the collector sends, in bytes of UTF-8 (LIMITS.bodyBytes in the
# script): a service's body limit should be at least this.
MAX_BODY_BYTES = 131_072
# The headers of POST /score that carry the challenge and its proof of work.
CHALLENGE_HEADER = "X-Veltrix-Challenge"
PROOF_HEADER = "X-Veltrix-Proof"


def script_path() -> Path:
    """Where the installed script is, for a static-file route."""
    return Path(__file__).with_name(SCRIPT_NAME)


def script_text() -> str:
    """The script's source, to inline in a page or a bundle."""
    return script_path().read_text(encoding="utf-8")


__all__ = ["CHALLENGE_HEADER", "MAX_BODY_BYTES", "PROOF_HEADER", "SCRIPT_NAME", "script_path", "script_text"]
