"""Nothing leaks: every call of the module, failures included, repeated.

The scenarios (one call each, with its expected result or exception) live in
``leak_scenarios.py``, which ``tools/leakcheck.py`` runs for much longer.
Here each runs a few hundred times; see ``leak_scenarios.measure`` for what
is compared.  The last tests check that the measurement notices leaks of
each kind at all, so that a tolerance grown too loose cannot pass quietly.
"""

from __future__ import annotations

import ctypes
import mmap

import numpy as np
import pytest

import leak_scenarios

SCENARIOS = leak_scenarios.scenarios()

# Iterations between the two checkpoints are 3 * n.
N_CHEAP = 80
N_COSTLY = 30


def _n(scenario: leak_scenarios.Scenario) -> int:
    return N_COSTLY if scenario.cost > 1 else N_CHEAP


@pytest.mark.parametrize("scenario", SCENARIOS, ids=[s.name for s in SCENARIOS])
def test_call_does_not_leak(scenario):
    figures = leak_scenarios.measure(scenario, _n(scenario))
    if not figures.ok:
        # A leak grows with the calls and shows again over twice as many; a
        # busy machine's allocator and collector noise seldom does twice.
        figures = leak_scenarios.measure(scenario, 2 * _n(scenario))
    assert figures.ok, (
        f"{scenario.name}: " + "; ".join(figures.problems) +
        f" over {figures.iterations} calls (resident {figures.rss_before} -> "
        f"{figures.rss_after} bytes, traced {figures.traced_before} -> {figures.traced_after})")


# ---------------------------------------------------------------------------
# The measurement itself


_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p
_libc.malloc.argtypes = [ctypes.c_size_t]
_libc.memset.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t]
_libc.mmap.restype = ctypes.c_void_p
_libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                       ctypes.c_long]


def _leaky(kind: str) -> leak_scenarios.Scenario:
    data = np.zeros((64, 96, 3), np.uint8)
    kept: list[object] = []

    if kind == "refcount":
        def call():
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(data))
    elif kind == "python object":
        def call():
            kept.append([0] * 4)
    elif kind == "python heap":
        def call():
            kept.append(bytearray(2000))
    elif kind == "C heap, a quarter of the data":
        # Fresh pages from the system each call: memory freed by earlier
        # tests, which malloc would hand out again, cannot hide the growth.
        size = (data.nbytes // 4 + 4095) & ~4095

        def call():
            p = _libc.mmap(None, size, mmap.PROT_READ | mmap.PROT_WRITE,
                           mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS, -1, 0)
            _libc.memset(p, 1, size)  # make the pages resident
    elif kind == "output reference":
        def call():
            out = np.empty(4)
            kept.append(out)
            return out
    else:
        raise AssertionError(kind)
    return leak_scenarios.Scenario(f"leaks ({kind})", call, inputs=(data,),
                                   data_bytes=data.nbytes)


@pytest.mark.parametrize("kind, problem", [
    ("refcount", "input refcounts"),
    ("python object", "tracked by the collector"),
    ("python heap", "traced memory"),
    ("C heap, a quarter of the data", "resident memory"),
    ("output reference", "references"),
])
def test_measurement_notices_a_leak(kind, problem):
    figures = leak_scenarios.measure(_leaky(kind), 1000 if "C heap" in kind else N_CHEAP)
    assert any(problem in p for p in figures.problems), figures.problems
