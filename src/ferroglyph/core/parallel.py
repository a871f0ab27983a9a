"""Worker policy and thread runner for ferroglyph's parallel work.

OpenJPH decodes one codestream on one thread; ferroglyph gets parallelism by
splitting work (the tiles of a codestream) into independent tasks.  This module
decides how many threads a job deserves and runs the tasks on them:

- :func:`resolve_workers` turns a caller's ``numthreads`` into a worker count;
- :func:`parallel_call` marks a parallel region, so that work started inside a
  task runs serially instead of starting a pool of its own;
- :func:`run_batched` runs a function over items on named threads and waits.
"""

from __future__ import annotations

import contextlib
import os
import threading
from collections.abc import Callable, Iterable, Iterator
from typing import TypeVar

import numpy as np

__all__ = ["MIN_PARALLEL_BYTES", "available_cpus", "parallel_call", "resolve_workers",
           "run_batched"]

T = TypeVar("T")

#: Outputs smaller than this are decoded on one thread: below it, starting
#: threads and building the per-tile codestreams cost about as much as a
#: second thread saves (whole decodes of well under a millisecond).
MIN_PARALLEL_BYTES = 256 * 1024

_state = threading.local()


def available_cpus() -> int:
    """The number of CPUs this process may run on (its affinity mask)."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def resolve_workers(numthreads: int | None, ntasks: int, *, output_bytes: int) -> int:
    """How many threads to use for ``ntasks`` tasks producing ``output_bytes``.

    ``numthreads`` of ``None`` or 0 chooses automatically: the CPUs this
    process may use, never more than ``ntasks``, and 1 when the output is
    smaller than :data:`MIN_PARALLEL_BYTES` or when called from inside a task
    of another parallel region.  A positive integer is a cap (also limited by
    ``ntasks``).  Anything else raises :class:`ValueError`.
    """
    # NumPy before 2.3 still lets its bool scalar act as an index (with a
    # DeprecationWarning): refuse it here like Python's bool.
    if isinstance(numthreads, (bool, np.bool_)):
        raise ValueError(  # noqa: TRY004 (ValueError: this function's documented refusal)
            f"numthreads must be None or a non-negative integer, got {numthreads!r}")
    if not (numthreads is None or isinstance(numthreads, int)):
        try:
            numthreads = int(numthreads.__index__())  # NumPy integers and the like
        except (AttributeError, TypeError):
            raise ValueError(
                f"numthreads must be None or a non-negative integer, got {numthreads!r}") from None
    if numthreads is not None and numthreads < 0:
        raise ValueError(f"numthreads must be None or a non-negative integer, got {numthreads!r}")
    ntasks = max(0, int(ntasks))
    if ntasks <= 1:
        return 1
    if numthreads:
        return max(1, min(numthreads, ntasks))
    if getattr(_state, "depth", 0) > 0 or output_bytes < MIN_PARALLEL_BYTES:
        return 1
    return max(1, min(available_cpus(), ntasks))


@contextlib.contextmanager
def parallel_call() -> Iterator[None]:
    """Marks a parallel region on the calling thread.

    While it is active, :func:`resolve_workers` run automatically on a worker
    thread of the region chooses 1, so nested calls do not start pools of
    their own.  Exceptions pass through unchanged.
    """
    _state.depth = getattr(_state, "depth", 0) + 1
    try:
        yield
    finally:
        _state.depth -= 1


def run_batched(fn: Callable[[T], object], items: Iterable[T], workers: int, *,
                name: str) -> None:
    """Calls ``fn(item)`` for every item on at most ``workers`` threads.

    The threads are named ``"{name}-{i}"`` and marked as inside a parallel
    region.  Returns when every call has finished; if any call raised, the
    first exception raised (in time) is re-raised after all threads have
    stopped, and items not yet started are skipped.  With ``workers`` of 1 or
    a single item, the calls run on the calling thread.
    """
    work = list(items)
    workers = max(1, min(int(workers), len(work)))
    if workers == 1:
        for item in work:
            fn(item)
        return

    lock = threading.Lock()
    next_index = 0
    first_error: list[BaseException] = []

    def worker() -> None:
        nonlocal next_index
        _state.depth = getattr(_state, "depth", 0) + 1
        while True:
            with lock:
                if first_error or next_index >= len(work):
                    return
                item = work[next_index]
                next_index += 1
            try:
                fn(item)
            except BaseException as e:  # noqa: BLE001 (any: re-raised on the calling thread)
                with lock:
                    if not first_error:
                        first_error.append(e)
                return

    threads = [threading.Thread(target=worker, name=f"{name}-{i}", daemon=True)
               for i in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if first_error:
        raise first_error[0]
