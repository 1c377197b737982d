"""A function over a stream of tasks in worker processes, results in task order.

At most TASKS_IN_FLIGHT_PER_WORKER tasks per worker are submitted ahead of the
result being waited for, so memory stays bounded however long the stream is,
and the workers never wait for the parent while it writes a result out.

Workers are forked from a fork server where the platform has one: a single
fresh interpreter imports the function's module once, and each worker starts
as a copy of it instead of importing everything again. The server is started
afresh rather than forked from the caller, so threads the caller may run
(pyarrow's, say) never reach a worker.
"""

from __future__ import annotations

import itertools
import multiprocessing
import signal
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor

TASKS_IN_FLIGHT_PER_WORKER = 2


def ordered_map[Task, Result](
    function: Callable[[Task], Result], tasks: Iterable[Task], workers: int
) -> Iterator[Result]:
    """``map(function, tasks)`` computed by `workers` processes (in this one when 1 or a single task).

    `function` and the tasks must be picklable; nothing of the parent's state
    but the task reaches the workers.
    """
    tasks = iter(tasks)
    head = list(itertools.islice(tasks, 2))
    if workers == 1 or len(head) < 2:
        yield from map(function, itertools.chain(head, tasks))
        return
    pool = ProcessPoolExecutor(workers, mp_context=_context(function), initializer=_leave_interrupts_to_parent)
    pending: deque[Future[Result]] = deque()
    try:
        for task in itertools.chain(head, tasks):
            pending.append(pool.submit(function, task))
            if len(pending) >= workers * TASKS_IN_FLIGHT_PER_WORKER:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _context(function: Callable[..., object]) -> multiprocessing.context.BaseContext:
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(["__main__", function.__module__])
    return context


def _leave_interrupts_to_parent() -> None:
    # Ctrl-C, a closed terminal's SIGHUP and a service manager's SIGTERM reach the
    # whole process group: the parent stops the pool itself, each worker after its task.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_IGN)
