"""Progress bar and closing summary of a batch run, on standard error."""

from __future__ import annotations

import io
import os
import time
from collections.abc import Callable
from typing import TextIO

REDRAW_SECONDS = 0.2
BAR_WIDTH = 24
MIN_BAR_WIDTH = 8
DEFAULT_COLUMNS = 80
SEPARATOR = "  "
ERASE_LINE = "\r\x1b[K"


class Progress:
    """Shows visits done, visits per second and, when the input size is known, share done and time left.

    The bar fits the terminal's width at every redraw (a line that wrapped would
    leave its first rows behind): its graphic narrows, then the time left, the
    rate and the count go. Disabled, it draws nothing; messages always go
    through, above the bar.
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
        fields = [f"{visits:,} visits", f"{visits / elapsed:,.0f} visits/s"]
        done = None
        if self._total_bytes:
            done = min(position_bytes / self._total_bytes, 1.0)
            if done > 0:
                fields.append(f"ETA {_clock_time(elapsed * (1 - done) / done)}")
        # Writing the last column moves some terminals to the next line.
        self._bar = fitted_bar(terminal_columns(self._stream) - 1, done, fields)
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


def fitted_bar(width: int, done: float | None, fields: list[str]) -> str:
    """The bar at most `width` characters wide: the share `done` with its graphic, then `fields` that fit."""
    fields = [f"{done:4.0%}", *fields] if done is not None else [*fields]
    text = SEPARATOR.join(fields)
    graphic_width = min(BAR_WIDTH, width - len(text) - len("[] "))
    if done is not None and graphic_width >= MIN_BAR_WIDTH:
        filled = round(done * graphic_width)
        return f"[{'#' * filled}{'-' * (graphic_width - filled)}] {text}"
    while len(text) > width and len(fields) > 1:
        fields.pop()
        text = SEPARATOR.join(fields)
    return text[: max(width, 0)]


def terminal_columns(stream: TextIO) -> int:
    """Columns of the terminal `stream` writes to: $COLUMNS if set, else its size, else 80."""
    try:
        if (columns := int(os.environ.get("COLUMNS", "0"))) > 0:
            return columns
        columns = os.get_terminal_size(stream.fileno()).columns
    except (ValueError, OSError, io.UnsupportedOperation):
        return DEFAULT_COLUMNS
    return columns or DEFAULT_COLUMNS  # a terminal that was never given a size reports 0


def summary(lines_read: int, refused: int, elapsed: float) -> str:
    rate = lines_read / elapsed if elapsed > 0 else 0.0
    return f"veltrix features: {lines_read:,} lines read, {refused:,} refused, {elapsed:.1f} s, {rate:,.0f} visits/s"


def _clock_time(seconds: float) -> str:
    minutes, seconds = divmod(round(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}"
