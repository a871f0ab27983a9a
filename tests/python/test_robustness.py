"""No input crashes, hangs or exhausts memory: fuzzers, saved reproducers, hostile headers.

Every codec call here runs in a child process (fuzz/pychild.py) under an
address-space limit, so that a crash, an abort from an OpenJPH assertion or a
hang fails a test instead of the test run.
"""

from __future__ import annotations

import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import ferroglyph.codecs._openjph as ojph
import codestreams as cst

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))
FUZZ = os.path.join(ROOT, "fuzz")
REGRESSIONS = os.path.join(FUZZ, "regressions")
sys.path.insert(0, FUZZ)
# The child-process runner lives in the checkout's fuzz/, not in the package.
pychild = pytest.importorskip("pychild", reason="fuzz/ is not beside these tests")

pytestmark = pytest.mark.slow

CLEAN = {"ok", "warn", "OpenJphError", "OpenJphUnsupportedFeature", "ValueError"}
PEAK_MIB = 300
M32 = 0xFFFFFFFF


# ---------------------------------------------------------------------------
# The fuzzers, briefly


@pytest.fixture(scope="module")
def fuzzer_runs(tmp_path_factory):
    """Starts the quick sweep and a 20 s fuzz run side by side."""
    out = tmp_path_factory.mktemp("findings")
    commands = {
        "sweep": [sys.executable, os.path.join(FUZZ, "sweep.py"), "--quick", "--out", str(out)],
        "pyfuzz": [sys.executable, os.path.join(FUZZ, "pyfuzz.py"), "--seconds", "20", "--seed",
                   "1", "--out", str(out)],
    }
    procs = {name: subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    text=True, cwd=ROOT) for name, cmd in commands.items()}
    yield procs
    for p in procs.values():
        if p.poll() is None:
            p.kill()
            p.wait()


@pytest.mark.parametrize("name", ["sweep", "pyfuzz"])
def test_fuzzer_finds_nothing(fuzzer_runs, name):
    proc = fuzzer_runs[name]
    try:
        output, _ = proc.communicate(timeout=300)
    except subprocess.TimeoutExpired:
        proc.kill()
        output, _ = proc.communicate()
        pytest.fail(f"{name} did not finish:\n{output}")
    assert proc.returncode == 0 and "findings: 0" in output, output


# ---------------------------------------------------------------------------
# Saved reproducers (fuzz/regressions/<target>/<name>)


def regression_files():
    found = []
    for dirpath, _, files in os.walk(REGRESSIONS):
        found += [os.path.join(dirpath, f) for f in files if not f.startswith(".")]
    return sorted(found)


@pytest.fixture(scope="module")
def runner(tmp_path_factory):
    with pychild.Runner(str(tmp_path_factory.mktemp("child")), verbose=False, watchdog=30.0,
                        address_limit=3 << 30) as r:
        yield r


REPLAY_CALLS = [("info", {})] + [
    ("decode", {"resilient": resilient, "reduce": reduce})
    for resilient in (False, True) for reduce in (0, 1, 3)] + [
    ("decode", {"numthreads": 2}), ("decode", {"numthreads": 2, "resilient": True})]


@pytest.mark.parametrize("path", regression_files() or [None],
                         ids=lambda p: os.path.relpath(p, REGRESSIONS) if p else "none")
def test_regression_replays_cleanly(runner, path):
    if path is None:
        pytest.skip("no saved reproducers under fuzz/regressions")
    with open(path, "rb") as f:
        data = f.read()
    # Inputs of the native fuzz targets may carry a settings byte in front
    # of the codestream (fuzz/fuzz_params.h): both are replayed.
    inputs = [data] + ([data[1:]] if data[:1] not in (b"", b"\xff") else [])
    bad = []
    for payload in inputs:
        for op, kw in REPLAY_CALLS:
            r = runner.call(payload, op, **kw)
            if not r.ok:
                bad.append(f"{pychild.describe(op, kw)}: {r.outcome}\n{r.detail}")
    assert not bad, "\n".join(bad)


# ---------------------------------------------------------------------------
# Hostile headers: each ends in a clean error (or a correct result) without
# trying to allocate what it declares.

IMAGE = np.arange(64 * 64, dtype=np.uint32).reshape(64, 64).astype(np.uint8)
BASE = ojph.encode(IMAGE)
TILED = ojph.encode(IMAGE, tile=(32, 32))


def with_components(cs: bytes, n: int) -> bytes:
    """``cs`` (one component) with a SIZ segment declaring ``n`` copies of it."""
    siz = cst.siz_segment(cs)
    body = siz[4:38] + struct.pack(">H", n) + siz[40:43] * n
    return cs[:2] + cst.segment(0xFF51, body) + cs[2 + len(siz):]


def with_cod_byte(cs: bytes, offset: int, value: int) -> bytes:
    pos, _ = cst.find_segment(cs, cst.COD)
    return cs[:pos + offset] + bytes([value]) + cs[pos + offset + 1:]


def with_coc_levels(cs: bytes, levels: int) -> bytes:
    pos, length = cst.find_segment(cs, cst.COD)
    spcod = cs[pos + 9:pos + length]  # levels, code-block sizes, style, wavelet
    return cst.insert_before_first_sot(
        cs, cst.segment(cst.COC, bytes([0, 0, levels]) + spcod[1:]))


HOSTILE = {
    "4G x 4G, one tile": cst.set_siz(BASE, Xsiz=M32, Ysiz=M32, XTsiz=M32, YTsiz=M32),
    "4G x 4G, 64-sample tiles": cst.set_siz(BASE, Xsiz=M32, Ysiz=M32),
    "2G x 2G at offsets 2^31": cst.set_siz(BASE, Xsiz=M32, Ysiz=M32, XOsiz=1 << 31,
                                          YOsiz=1 << 31, XTsiz=M32, YTsiz=M32),
    "64 x 64 at offsets 2^32-65": cst.set_siz(BASE, Xsiz=M32, Ysiz=M32, XOsiz=M32 - 64,
                                             YOsiz=M32 - 64, XTsiz=M32, YTsiz=M32),
    "16384 components": with_components(BASE, 16384),
    "16384 components of 65536 x 65536": cst.set_siz(with_components(BASE, 16384), Xsiz=65536,
                                                    Ysiz=65536, XTsiz=65536, YTsiz=65536),
    "1x1 tiles on 4096 x 4096": cst.set_siz(BASE, Xsiz=4096, Ysiz=4096, XTsiz=1, YTsiz=1),
    "65,792 tiles": cst.set_siz(TILED, Xsiz=256 * 32, Ysiz=257 * 32),
    "2x2 tiles on 4G x 4G": cst.set_siz(TILED, Xsiz=M32, Ysiz=M32, XTsiz=2, YTsiz=2),
    "tile grid past 2^32": cst.set_siz(TILED, Xsiz=M32, Ysiz=M32, XOsiz=1 << 31, YOsiz=1 << 31,
                                      XTOsiz=1 << 31, YTOsiz=1 << 31, XTsiz=(1 << 31) + 7,
                                      YTsiz=(1 << 31) + 7),
    **{f"progression order {p}": with_cod_byte(TILED if p % 2 else BASE, 5, p)
       for p in range(5, 256)},
    **{f"COD levels {n}": with_cod_byte(TILED if n % 2 else BASE, 9, n) for n in range(33, 256)},
    **{f"COC levels {n}": with_coc_levels(BASE, n) for n in (33, 34, 64, 128, 255)},
}
HOSTILE_CALLS = [("info", {}), ("decode", {"resilient": False}), ("decode", {"resilient": True}),
                 ("decode", {"numthreads": 2})]


@pytest.mark.parametrize("name", list(HOSTILE))
def test_hostile_header_ends_cleanly(runner, name):
    data = HOSTILE[name]
    bad = []
    for op, kw in HOSTILE_CALLS:
        r = runner.call(data, op, **kw)
        # Images beyond the machine's memory are refused before any allocation.
        refused = r.outcome == "MemoryError" and "more than this machine's memory" in r.detail
        if (r.outcome not in CLEAN and not refused) or r.peak_mib > PEAK_MIB:
            bad.append(f"{pychild.describe(op, kw)}: {r.outcome} (peak RSS {r.peak_mib:.0f} MiB)"
                       f" {r.detail}")
    assert not bad, "\n".join(bad)
