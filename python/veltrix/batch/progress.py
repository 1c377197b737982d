"""Progress bar and closing summary of a batch run, on standard error."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import TextIO

REDRAW_SECONDS = 0.2
BAR_WIDTH = 24
ERASE_LINE = "\r\x1b[K"


class Progress:
    """Shows visits done, visits per second and, when the input size is known, share done and time left.

    Disabled, it draws nothing; messages always go through, above the bar.
    """

    def __init__(
        self, stream: TextIO, enabled: bool, total_bytes: int | None, clock: Callable[[], float] = time.monotonic
    ) -> None:
        self._stream = stream
        self._enabled = enabled
        self._total_bytes = total_bytes
        self._clock = clock
        self.started = clock()
        self._last_drawn = float("-inf")
        self._bar = ""

    def update(self, visits: int, position_bytes: int) -> None:
        now = self._clock()
        if not self._enabled or now - self._last_drawn < REDRAW_SECONDS:
            return
        self._last_drawn = now
        elapsed = max(now - self.started, 1e-9)
        parts = [f"{visits:,} visits", f"{visits / elapsed:,.0f} visits/s"]
        if self._total_bytes:
            done = min(position_bytes / self._total_bytes, 1.0)
            filled = round(done * BAR_WIDTH)
            parts.insert(0, f"[{'#' * filled}{'-' * (BAR_WIDTH - filled)}] {done:4.0%}")
            if done > 0:
                parts.append(f"ETA {_clock_time(elapsed * (1 - done) / done)}")
        self._bar = "  ".join(parts)
        self._stream.write(ERASE_LINE + self._bar)
        self._stream.flush()

    def message(self, text: str) -> None:
        """A line of its own (a refused line, say), with the bar drawn again below it."""
        if self._bar:
            self._stream.write(ERASE_LINE + text + "\n" + self._bar)
        else:
            self._stream.write(text + "\n")
        self._stream.flush()

    def close(self) -> None:
        if self._bar:
            self._stream.write(ERASE_LINE)
            self._stream.flush()
            self._bar = ""

    def elapsed(self) -> float:
        return self._clock() - self.started


def summary(lines_read: int, refused: int, elapsed: float) -> str:
    rate = lines_read / elapsed if elapsed > 0 else 0.0
    return f"veltrix features: {lines_read:,} lines read, {refused:,} refused, {elapsed:.1f} s, {rate:,.0f} visits/s"


def _clock_time(seconds: float) -> str:
    minutes, seconds = divmod(round(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}"
