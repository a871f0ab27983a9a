"""ferroglyph.core.parallel: the worker policy and the thread runner."""

from __future__ import annotations

import os
import threading
import time

import numpy as np
import pytest

import ferroglyph.core.parallel as par
from ferroglyph.core.parallel import (MIN_PARALLEL_BYTES, parallel_call, resolve_workers,
                                      run_batched)

BIG = 64 * MIN_PARALLEL_BYTES


@pytest.fixture
def cpus(monkeypatch):
    """Sets the CPU count that the policy sees."""
    def set_cpus(n):
        monkeypatch.setattr(par, "available_cpus", lambda: n)
    return set_cpus


# ---------------------------------------------------------------------------
# available_cpus


@pytest.mark.parametrize("affinity, cpu_count, want", [
    ({0, 1, 2}, 64, 3),
    ({5}, 64, 1),
    (set(), 64, 1),
    (OSError("no affinity"), 6, 6),
    (OSError("no affinity"), None, 1),
    (AttributeError, 4, 4),
], ids=["three CPUs", "one CPU", "empty mask", "OSError", "OSError, no count",
        "no sched_getaffinity"])
def test_available_cpus_follows_the_affinity_mask(monkeypatch, affinity, cpu_count, want):
    monkeypatch.setattr(os, "cpu_count", lambda: cpu_count)
    if affinity is AttributeError:
        monkeypatch.delattr(os, "sched_getaffinity", raising=False)
    elif isinstance(affinity, Exception):
        def raise_(pid):
            raise affinity
        monkeypatch.setattr(os, "sched_getaffinity", raise_)
    else:
        monkeypatch.setattr(os, "sched_getaffinity", lambda pid: affinity)
    assert par.available_cpus() == want


def test_automatic_count_reads_the_affinity_mask(monkeypatch):
    monkeypatch.setattr(os, "sched_getaffinity", lambda pid: {0, 3, 7})
    monkeypatch.setattr(os, "cpu_count", lambda: 64)
    assert resolve_workers(None, 100, output_bytes=BIG) == 3


# ---------------------------------------------------------------------------
# resolve_workers


@pytest.mark.parametrize("numthreads", [None, 0])
@pytest.mark.parametrize("ncpus, ntasks, output_bytes, want", [
    (8, 100, BIG, 8),
    (8, 3, BIG, 3),
    (2, 2, BIG, 2),
    (8, 1, BIG, 1),
    (8, 0, BIG, 1),
    (1, 100, BIG, 1),
    (8, 100, MIN_PARALLEL_BYTES, 8),
    (8, 100, MIN_PARALLEL_BYTES - 1, 1),
    (8, 100, 0, 1),
], ids=["cpus", "capped by tasks", "two", "one task", "no task", "one cpu", "at the threshold",
        "below the threshold", "nothing"])
def test_automatic_worker_count(cpus, numthreads, ncpus, ntasks, output_bytes, want):
    cpus(ncpus)
    assert resolve_workers(numthreads, ntasks, output_bytes=output_bytes) == want


@pytest.mark.parametrize("numthreads, ntasks, want", [
    (3, 100, 3), (16, 100, 16), (5, 4, 4), (1, 100, 1), (2, 1, 1),
    (np.int64(3), 100, 3), (np.uint8(2), 10, 2),
])
def test_explicit_count_is_a_cap(cpus, numthreads, ntasks, want):
    # Whatever the CPUs and the output size: the caller asked for threads.
    cpus(2)
    assert resolve_workers(numthreads, ntasks, output_bytes=1) == want


@pytest.mark.parametrize("numthreads", [-1, -100, 2.0, 1.5, "2", "auto", [2], np.float64(2.0),
                                        np.bool_(True)],
                         ids=repr)
def test_invalid_counts_raise(numthreads):
    with pytest.raises(ValueError, match="numthreads"):
        resolve_workers(numthreads, 10, output_bytes=BIG)


@pytest.mark.parametrize("numthreads", [True, False])
def test_bool_counts_raise(numthreads):
    with pytest.raises(ValueError, match="numthreads"):
        resolve_workers(numthreads, 10, output_bytes=BIG)


def test_inside_a_parallel_region_the_automatic_count_is_one(cpus):
    cpus(8)
    seen = {}
    lock = threading.Lock()

    def task(i):
        with lock:
            seen[i] = (resolve_workers(None, 10, output_bytes=BIG),
                       resolve_workers(3, 10, output_bytes=BIG))

    with parallel_call():
        assert resolve_workers(None, 10, output_bytes=BIG) == 1
        run_batched(task, range(4), 2, name="outer")
    assert seen == {i: (1, 3) for i in range(4)}
    assert resolve_workers(None, 10, output_bytes=BIG) == 8


def test_worker_threads_are_marked_without_a_region_on_the_caller(cpus):
    cpus(8)
    seen = []
    run_batched(lambda i: seen.append(resolve_workers(0, 10, output_bytes=BIG)), range(3), 3,
                name="w")
    assert seen == [1, 1, 1]
    assert resolve_workers(0, 10, output_bytes=BIG) == 8


# ---------------------------------------------------------------------------
# parallel_call


def test_parallel_call_nests_and_unwinds(cpus):
    cpus(4)
    auto = lambda: resolve_workers(None, 10, output_bytes=BIG)  # noqa: E731
    with parallel_call():
        with parallel_call():
            assert auto() == 1
        assert auto() == 1
    assert auto() == 4
    with pytest.raises(KeyError):
        with parallel_call():
            with parallel_call():
                raise KeyError("passes through")
    assert auto() == 4


def test_parallel_call_belongs_to_its_thread(cpus):
    cpus(4)
    other = []
    with parallel_call():
        t = threading.Thread(target=lambda: other.append(
            resolve_workers(None, 10, output_bytes=BIG)))
        t.start()
        t.join()
    assert other == [4]


# ---------------------------------------------------------------------------
# run_batched


@pytest.mark.parametrize("workers", [1, 2, 3, 8, 50])
@pytest.mark.parametrize("nitems", [0, 1, 2, 7, 40])
def test_every_item_runs_once(workers, nitems):
    seen = []
    lock = threading.Lock()

    def task(item):
        with lock:
            seen.append(item)

    assert run_batched(task, (i for i in range(nitems)), workers, name="x") is None
    assert sorted(seen) == list(range(nitems))


@pytest.mark.parametrize("workers, nitems", [(1, 5), (4, 1), (3, 0)])
def test_one_worker_or_one_item_runs_on_the_calling_thread(workers, nitems):
    threads = []
    run_batched(lambda i: threads.append(threading.current_thread()), range(nitems), workers,
                name="x")
    assert threads == [threading.current_thread()] * nitems


@pytest.mark.parametrize("workers, nitems", [(2, 6), (3, 12), (4, 3)])
def test_workers_run_side_by_side_and_no_more(workers, nitems):
    lock = threading.Lock()
    active = [0, 0]  # now, most
    names = set()
    expect = min(workers, nitems)
    barrier = threading.Barrier(expect, timeout=10)

    def task(i):
        with lock:
            active[0] += 1
            active[1] = max(active[1], active[0])
            names.add(threading.current_thread().name)
        if i < expect:
            barrier.wait()  # the first ``expect`` items must be running together
        time.sleep(0.002)
        with lock:
            active[0] -= 1

    run_batched(task, range(nitems), workers, name="htj2k-tiles")
    assert active == [0, expect]
    assert names and all(n.startswith("htj2k-tiles-") for n in names)
    assert len(names) <= expect
    assert threading.current_thread().name not in names


def test_first_exception_is_raised_after_every_thread_stopped():
    threads = []
    finished = []
    lock = threading.Lock()
    both_running = threading.Barrier(2, timeout=10)

    def task(i):
        with lock:
            threads.append(threading.current_thread())
        both_running.wait()
        if i == 0:
            time.sleep(0.01)
            raise KeyError("first")
        if i == 1:
            time.sleep(0.2)
            with lock:
                finished.append(i)
            raise ValueError("later")

    with pytest.raises(KeyError, match="first"):
        run_batched(task, range(2), 2, name="x")
    assert finished == [1]
    assert not any(t.is_alive() for t in threads)


def test_items_after_an_error_are_skipped():
    started = []
    lock = threading.Lock()

    def task(i):
        with lock:
            started.append(i)
        if i == 0:
            raise RuntimeError("stop")
        time.sleep(0.01)

    with pytest.raises(RuntimeError):
        run_batched(task, range(200), 2, name="x")
    assert len(started) < 10


def test_serial_run_stops_at_the_first_error():
    started = []

    def task(i):
        started.append(i)
        if i == 2:
            raise LookupError(i)

    with pytest.raises(LookupError):
        run_batched(task, range(10), 1, name="x")
    assert started == [0, 1, 2]


def test_base_exceptions_of_workers_reach_the_caller():
    def task(i):
        if i == 3:
            raise SystemExit(7)

    with pytest.raises(SystemExit):
        run_batched(task, range(6), 3, name="x")
