"""SIGINT, SIGTERM and SIGHUP stop a batch run as Ctrl-C does, wherever its main thread waits.

The kernel hands a signal sent to the process to any thread that does not
block it. Taken by the pool's helper threads (or pyarrow's), it would only set
a flag, and the main thread would stay blocked on a FIFO or on standard input
for good. So the signals are blocked in every thread, a watcher thread takes
them with sigwait(), and wakes the main thread with a signal aimed at it alone,
whose handler raises Stopped there: the run unwinds through its `finally`
blocks, so the pool, the fork server and the workers are shut down and a
pending output is removed. Only the first signal counts; later ones would break
off that shutdown and are dropped.
"""

from __future__ import annotations

import signal
import threading
import time
from multiprocessing import resource_tracker
from types import FrameType

STOPPING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
WAKE_SIGNAL = signal.SIGUSR1
REWAKE_SECONDS = 0.1


class Stopped(BaseException):
    """Raised in the main thread by the first stopping signal."""

    def __init__(self, signal_number: int) -> None:
        super().__init__(signal_number)
        self.signal_number = signal_number


def stop_on_signals(with_workers: bool) -> None:
    """Makes the stopping signals raise Stopped in the main thread from now on.

    Call it from the main thread before any other thread starts, so that every
    thread started later inherits the blocked signals. A signal ignored when it
    is called (SIGHUP under nohup) stays ignored. `with_workers` when the run
    may start worker processes.
    """
    numbers = {number for number in STOPPING_SIGNALS if signal.getsignal(number) is not signal.SIG_IGN}
    stop = _Stop(threading.get_ident())
    for number in (*numbers, WAKE_SIGNAL):
        signal.signal(number, stop.raise_in_main_thread)
    signal.pthread_sigmask(signal.SIG_BLOCK, numbers)
    if with_workers:
        # Started now, the resource tracker inherits the blocked signals (it ignores
        # SIGINT and SIGTERM itself, not SIGHUP); it unblocks SIGINT and SIGTERM in
        # the thread that starts it, so they are blocked again.
        resource_tracker.ensure_running()
        signal.pthread_sigmask(signal.SIG_BLOCK, numbers)
    threading.Thread(target=stop.watch, args=(numbers,), name="stopping signals", daemon=True).start()


class _Stop:
    def __init__(self, main_thread: int) -> None:
        self._main_thread = main_thread
        self._signal_number: int | None = None
        self._raised = False

    def watch(self, numbers: set[int]) -> None:
        while True:
            number = signal.sigwait(numbers)
            if self._signal_number is not None:
                continue
            self._signal_number = number
            # A wake that lands after the main thread last looked for signals and
            # before it blocks in a read is not seen there: wake it until it raises.
            while not self._raised:
                signal.pthread_kill(self._main_thread, WAKE_SIGNAL)
                time.sleep(REWAKE_SECONDS)

    def raise_in_main_thread(self, number: int, _frame: FrameType | None) -> None:
        if number != WAKE_SIGNAL and self._signal_number is None:  # unblocked by someone and taken here
            self._signal_number = number
        if self._signal_number is not None and not self._raised:
            self._raised = True
            raise Stopped(self._signal_number)
