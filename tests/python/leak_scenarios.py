"""The call mix of the leak checks: every public call of the codec module and
every failure path we can reach, each as a repeatable scenario.

Shared by ``test_leaks.py`` (a short run of every scenario) and
``tools/leakcheck.py`` (long runs with a table of the figures).  A scenario
makes one call and checks that it ended the way it must (its result, or the
exception type and text), so that a path that stopped raising, or raised
something else, is noticed instead of being measured.

Measurement (:func:`measure`): after a warm-up, the scenario runs ``n``
times, then ``3 * n`` times more.  Between the two checkpoints

- the reference counts of the scenario's inputs (codestreams, arrays, out=
  buffers, dtype objects) must not change,
- the number of objects the garbage collector tracks must not grow,
- memory traced by ``tracemalloc`` must not grow beyond a few KiB,
- resident memory (``/proc/self/statm``) may grow by at most a noise
  allowance plus a small fraction of one call's data per iteration.

Comparing the two later checkpoints, not the first call against the last,
keeps one-off allocations (caches, interned names, the first-use growth of
the allocator's arenas) out of the figures.
"""

from __future__ import annotations

import gc
import os
import re
import sys
import time
import tracemalloc
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from functools import lru_cache

import numpy as np

from ferroglyph._parallel_encode import encode as parallel_encode
from ferroglyph.codecs import _openjph as htj2k

import codestreams as cst

OpenJphError = htj2k.OpenJphError
Unsupported = htj2k.OpenJphUnsupportedFeature

PAGE = os.sysconf("SC_PAGE_SIZE")

# Resident memory may move by this much for reasons of its own (allocator
# arenas, thread stacks of the tiled decode, page-cache effects).
RSS_NOISE_BYTES = 2 * 1024 * 1024
# A leak of this fraction of one call's data per iteration, or more, fails.
RSS_FRACTION_PER_CALL = 1 / 8
# Python-heap growth allowed between the checkpoints (freelists, dict resizes).
TRACED_SLACK_BYTES = 16 * 1024
# Scenarios that start worker threads (tiled decodes with numthreads=2) move
# by up to ~20 KiB either way whatever the number of calls (thread states and
# the threading module's bookkeeping); a leak grows with the calls.
TRACED_SLACK_THREADS_BYTES = 64 * 1024


@dataclass
class Scenario:
    name: str
    call: Callable[[], object]
    expect: type[BaseException] | None = None  # None: the call must succeed
    match: str | None = None                   # regex the exception text must contain
    check: Callable[[object], None] | None = None  # checks a successful result
    inputs: tuple = ()                         # objects whose refcounts must stay flat
    data_bytes: int = 0                        # bytes one call reads or writes
    warning_action: str = "ignore"             # what RuntimeWarnings do during the run
    cost: int = 1                              # relative time of one call (1: ~1 ms or less)
    threads: bool = False                      # the call starts worker threads

    def run_once(self) -> object:
        """One call; the result (None for an expected exception)."""
        if self.expect is None:
            result = self.call()
            if self.check is not None:
                self.check(result)
            return result
        try:
            result = self.call()
        except self.expect as e:
            if self.match is not None and not re.search(self.match, str(e)):
                raise AssertionError(
                    f"{self.name}: {type(e).__name__} text {str(e)!r} does not match "
                    f"{self.match!r}") from None
            return None
        except BaseException as e:
            raise AssertionError(f"{self.name}: expected {self.expect.__name__}, got "
                                 f"{type(e).__name__}: {e}") from None
        raise AssertionError(f"{self.name}: expected {self.expect.__name__}, got {result!r}")


@dataclass
class Figures:
    name: str
    iterations: int
    rss_before: int
    rss_after: int
    traced_before: int
    traced_after: int
    refcount_deltas: list[int]
    gc_objects_delta: int
    output_refcount: int | None   # sys.getrefcount of a fresh result (2: ours only)
    seconds: float
    rss_allowed: int = 0
    problems: list[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.problems


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def _refcounts(objs: tuple) -> list[int]:
    return [sys.getrefcount(o) for o in objs]


def _repeat(scenario: Scenario, n: int) -> None:
    run = scenario.run_once
    for _ in range(n):
        run()


def measure(scenario: Scenario, n: int, warmup: int | None = None) -> Figures:
    """Runs ``scenario`` ``warmup + 4 * n`` times; the figures of the last ``3 * n``."""
    warmup = max(5, n // 4) if warmup is None else warmup
    started_tracing = not tracemalloc.is_tracing()
    if started_tracing:
        tracemalloc.start()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter(scenario.warning_action, RuntimeWarning)
            result = scenario.run_once()
            output_refcount = None
            if (isinstance(result, (np.ndarray, bytes, dict, tuple))
                    and not any(result is i for i in scenario.inputs)):
                output_refcount = sys.getrefcount(result) - 1
            del result
            _repeat(scenario, warmup + n)
            gc.collect()
            refs_before = _refcounts(scenario.inputs)
            gc_before = len(gc.get_objects())
            traced_before = tracemalloc.get_traced_memory()[0]
            rss_before = rss_bytes()
            t0 = time.perf_counter()
            _repeat(scenario, 3 * n)
            seconds = time.perf_counter() - t0
            gc.collect()
            rss_after = rss_bytes()
            traced_after = tracemalloc.get_traced_memory()[0]
            gc_after = len(gc.get_objects())
            refs_after = _refcounts(scenario.inputs)
    finally:
        if started_tracing:
            tracemalloc.stop()

    figures = Figures(
        name=scenario.name, iterations=3 * n, rss_before=rss_before, rss_after=rss_after,
        traced_before=traced_before, traced_after=traced_after,
        refcount_deltas=[a - b for a, b in zip(refs_after, refs_before)],
        gc_objects_delta=gc_after - gc_before, output_refcount=output_refcount,
        seconds=seconds)
    judge(figures, scenario)
    return figures


def judge(f: Figures, scenario: Scenario) -> None:
    per_call = max(scenario.data_bytes, 1024)
    f.rss_allowed = RSS_NOISE_BYTES + int(f.iterations * per_call * RSS_FRACTION_PER_CALL)
    if any(f.refcount_deltas):
        f.problems.append(f"input refcounts changed by {f.refcount_deltas}")
    if f.output_refcount is not None and f.output_refcount != 1:
        f.problems.append(f"a fresh result has {f.output_refcount} references (expected 1)")
    if f.gc_objects_delta > 0:
        f.problems.append(f"{f.gc_objects_delta} more objects tracked by the collector")
    slack = TRACED_SLACK_THREADS_BYTES if scenario.threads else TRACED_SLACK_BYTES
    if f.traced_after - f.traced_before > slack:
        f.problems.append(f"traced memory grew by {f.traced_after - f.traced_before} bytes")
    if f.rss_after - f.rss_before > f.rss_allowed:
        f.problems.append(f"resident memory grew by {f.rss_after - f.rss_before} bytes "
                          f"(allowed {f.rss_allowed})")


# ---------------------------------------------------------------------------
# Inputs


random_image = cst.random_image


def _equal_to(expected: np.ndarray) -> Callable[[object], None]:
    def check(result: object) -> None:
        assert isinstance(result, np.ndarray), type(result)
        assert result.dtype == expected.dtype and result.shape == expected.shape, (
            result.dtype, result.shape)
        assert np.array_equal(result.view(np.uint8), expected.view(np.uint8)), "pixels differ"
    return check


def _equal_bytes(expected: bytes) -> Callable[[object], None]:
    def check(result: object) -> None:
        assert result == expected, "a different codestream"
    return check


def _kind(t: type) -> Callable[[object], None]:
    def check(result: object) -> None:
        assert isinstance(result, t), type(result)
    return check


def _is_none(result: object) -> None:
    assert result is None, result


def _call(fn, *args, **kwargs) -> Callable[[], object]:
    return lambda: fn(*args, **kwargs)


@lru_cache(maxsize=1)
def scenarios() -> tuple[Scenario, ...]:
    enc, dec, info = htj2k.encode, htj2k.decode, htj2k.decode_info
    out: list[Scenario] = []

    def add(name, call, expect=None, match=None, *, inputs=(), data_bytes=0, check=None,
            warning_action="ignore", cost=1):
        # Tiled decodes with numthreads=2 start worker threads when every
        # tile-part is in place; they cost more than one thread's call.
        threads = cost > 1
        out.append(Scenario(name, call, expect, match, check, tuple(inputs), data_bytes,
                            warning_action, cost, threads))

    # Images and their codestreams.
    rgb = random_image((64, 96, 3), np.uint8, 1)
    gray16 = random_image((64, 80), np.uint16, 2) >> 4
    signed16 = random_image((3, 40, 56), np.int16, 3)
    u32 = random_image((40, 48), np.uint32, 4)
    f32 = random_image((48, 40), np.float32, 5)
    tiled_src = random_image((96, 96, 3), np.uint8, 6)
    swapped = gray16.astype(">u2")
    strided = rgb[:, ::2]

    cs_rgb = enc(rgb)
    cs_gray16 = enc(gray16)
    cs_signed16 = enc(signed16, planar=True)
    cs_u32 = enc(u32)
    cs_f32 = enc(f32)
    cs_lossy = enc(rgb, 90)
    lossy_ref = dec(cs_lossy)
    cs_tiled = enc(tiled_src, tile=(32, 32))
    cs_tiled_tlm = enc(tiled_src, tile=(48, 48), tlm=True, tilepart=1)
    f16 = random_image((24, 32), np.float16, 7)
    f16 = np.where(np.isfinite(f16), f16, np.float16(0))
    cs_f16 = cst.float16_codestream(enc, f16)
    n_rgb = rgb.nbytes

    # encode: successes of every sample type and the main settings.
    add("encode uint8 rgb lossless", _call(enc, rgb), inputs=(rgb,), data_bytes=n_rgb,
        check=_equal_bytes(cs_rgb))
    add("encode uint8 rgb q90", _call(enc, rgb, 90), inputs=(rgb,), data_bytes=n_rgb,
        check=_equal_bytes(cs_lossy))
    add("encode uint16 12-bit", _call(enc, gray16), inputs=(gray16,), data_bytes=gray16.nbytes,
        check=_equal_bytes(cs_gray16))
    add("encode int16 planar", _call(enc, signed16, planar=True), inputs=(signed16,),
        data_bytes=signed16.nbytes, check=_equal_bytes(cs_signed16))
    add("encode uint32", _call(enc, u32), inputs=(u32,), data_bytes=u32.nbytes,
        check=_equal_bytes(cs_u32))
    add("encode float32", _call(enc, f32), inputs=(f32,), data_bytes=f32.nbytes,
        check=_equal_bytes(cs_f32))
    add("encode tiled tlm tileparts", _call(enc, tiled_src, tile=(48, 48), tlm=True, tilepart=1),
        inputs=(tiled_src,), data_bytes=tiled_src.nbytes, check=_equal_bytes(cs_tiled_tlm))
    add("encode byte-swapped", _call(enc, swapped), inputs=(swapped,),
        data_bytes=swapped.nbytes, check=_equal_bytes(cs_gray16))
    add("encode non-contiguous", _call(enc, strided), inputs=(strided, rgb),
        data_bytes=strided.nbytes, check=_kind(bytes))
    add("encode settings", _call(enc, rgb, 0.01, block_size=(32, 32), prog_order="rpcl",
                                 resolutions=3), inputs=(rgb,), data_bytes=n_rgb,
        check=_kind(bytes))

    # _encode_ex and the parallel encode: precision, main header, views read
    # in place (their buffers exported and released), worker threads.
    ex = htj2k._encode_ex
    header = ex(tiled_src, tile=(32, 32), header_only=True)
    view = tiled_src[32:64, 32:]
    add("_encode_ex bits", _call(ex, gray16, bits=12), inputs=(gray16,),
        data_bytes=gray16.nbytes, check=_kind(bytes))
    add("_encode_ex header only", _call(ex, tiled_src, tile=(32, 32), header_only=True),
        inputs=(tiled_src,), check=_equal_bytes(header))
    add("_encode_ex view at an origin", _call(ex, view, tile=(32, 32), origin=(32, 32)),
        inputs=(view, tiled_src), data_bytes=view.nbytes, check=_kind(bytes))
    add("_encode_ex bits out of range", _call(ex, gray16, bits=17), ValueError, "bits must be",
        inputs=(gray16,))
    # OpenJPH asserts on these settings; the bridge traps the abort, and the
    # codestream and output block it owns are freed all the same.
    u25 = np.random.default_rng(5).integers(0, 1 << 25, (64, 64), dtype=np.uint32)
    add("_encode_ex trapped assertion", _call(ex, u25, 100, bits=25), OpenJphError,
        "failed internal check", inputs=(u25,), data_bytes=u25.nbytes)
    add("parallel encode", _call(parallel_encode, tiled_src, tile=(32, 32), numthreads=2),
        inputs=(tiled_src,), data_bytes=tiled_src.nbytes, check=_equal_bytes(cs_tiled), cost=2)

    # encode: argument errors.
    add("encode no args", _call(enc), TypeError, "positional")
    add("encode too many args", _call(enc, rgb, None, None), TypeError, "at most 2",
        inputs=(rgb,))
    add("encode unknown keyword", _call(enc, rgb, colour=True), TypeError, "unexpected keyword",
        inputs=(rgb,))
    add("encode level text", _call(enc, rgb, "abc"), ValueError, "could not convert",
        inputs=(rgb,))
    add("encode level nan", _call(enc, rgb, float("nan")), ValueError, "NaN", inputs=(rgb,))
    add("encode reversible lossy", _call(enc, rgb, 90, reversible=True), ValueError,
        "reversible", inputs=(rgb,))
    add("encode rgb on two components", _call(enc, rgb[:, :, :2], rgb=True), ValueError,
        "3 or more", inputs=(rgb,))
    add("encode rgb on float", _call(enc, np.stack([f32] * 3, -1), rgb=True), ValueError,
        "float32", inputs=(f32,))
    add("encode tile not iterable", _call(enc, rgb, tile=5), TypeError, "not iterable",
        inputs=(rgb,))
    add("encode tile three values", _call(enc, rgb, tile=(8, 8, 8)), ValueError, "too many",
        inputs=(rgb,))
    add("encode tile overflow", _call(enc, rgb, tile=(2 ** 40, 8)), OverflowError, "too large",
        inputs=(rgb,))
    add("encode num_decomp and resolutions", _call(enc, rgb, num_decomp=2, resolutions=2),
        ValueError, "not both", inputs=(rgb,))
    add("encode num_decomp negative", _call(enc, rgb, num_decomp=-1), ValueError, ">= 0",
        inputs=(rgb,))
    add("encode prog_order unknown", _call(enc, rgb, prog_order="XYZW"), ValueError,
        "prog_order", inputs=(rgb,))
    add("encode profile unknown", _call(enc, rgb, profile="cinema"), ValueError, "profile",
        inputs=(rgb,))

    # encode: refusals by the module, the bridge and OpenJPH.
    f64 = rgb.astype(np.float64)
    add("encode float64", _call(enc, f64), OpenJphError, "unsupported dtype", inputs=(f64,))
    add("encode 1-D", _call(enc, rgb.ravel()), OpenJphError, "ndim 1", inputs=(rgb,))
    empty = np.zeros((0, 5), np.uint8)
    add("encode empty", _call(enc, empty), OpenJphError, "empty image", inputs=(empty,))
    add("encode 0 decompositions reversible", _call(enc, gray16, num_decomp=0), OpenJphError,
        r"not lossless.*rc=2", inputs=(gray16,))
    add("encode too many decompositions", _call(enc, gray16, num_decomp=40), OpenJphError,
        r"cannot exceed 32.*rc=5", inputs=(gray16,))
    add("encode bad block size", _call(enc, rgb, block_size=(3, 3)), OpenJphError,
        r"code block dimensions.*rc=5", inputs=(rgb,))
    add("encode IMF block size", _call(enc, rgb, profile="IMF"), OpenJphError, "IMF profile",
        inputs=(rgb,))

    # decode_info.
    add("decode_info", _call(info, cs_rgb), inputs=(cs_rgb,), check=_kind(dict))
    add("decode_info reduce", _call(info, cs_rgb, reduce=2), inputs=(cs_rgb,), check=_kind(dict))
    mv = memoryview(cs_gray16)
    add("decode_info memoryview", _call(info, mv), inputs=(mv,), check=_kind(dict))
    as_array = np.frombuffer(cs_gray16, np.uint8)
    add("decode_info ndarray input", _call(info, as_array), inputs=(as_array,),
        check=_kind(dict))
    add("decode_info no args", _call(info), TypeError, "positional")
    add("decode_info None", _call(info, None), TypeError, "bytes")
    add("decode_info str", _call(info, "abc"), TypeError, "encoding")
    add("decode_info empty", _call(info, b""), OpenJphError, "empty input")
    add("decode_info reduce negative", _call(info, cs_rgb, reduce=-1), ValueError, ">= 0",
        inputs=(cs_rgb,))
    add("decode_info reduce text", _call(info, cs_rgb, reduce="1"), TypeError, "integer",
        inputs=(cs_rgb,))
    add("decode_info reduce overflow", _call(info, cs_rgb, reduce=2 ** 40), OverflowError,
        "too large", inputs=(cs_rgb,))
    add("decode_info skipres disagree", _call(info, cs_rgb, reduce=1, skipres=2), ValueError,
        "disagree", inputs=(cs_rgb,))
    add("decode_info skipres three", _call(info, cs_rgb, skipres=(1, 1, 1)), ValueError,
        "too many", inputs=(cs_rgb,))
    add("decode_info skipres recon beyond data", _call(info, cs_rgb, skipres=(1, 2)),
        ValueError, "cannot skip more", inputs=(cs_rgb,))
    add("decode_info reduce beyond levels", _call(info, cs_rgb, reduce=9), OpenJphError,
        r"decomposition count \(rc=4\)", inputs=(cs_rgb,))

    # Damaged codestreams.
    cut_siz = cs_rgb[:20]
    cut_main = cs_rgb[:100]
    cut_data = cst.truncate_tile_data(cs_rgb, 0.3)
    cut_tail = cst.truncate_tile_data(cs_rgb, 0.95)
    bad_order = cst.set_progression_order(cs_rgb, 7)
    pos, _ = cst.find_segment(cs_rgb, cst.COD)
    layers = cs_rgb[:pos + 6] + b"\x00\x03" + cs_rgb[pos + 8:]
    bad_ssiz = cst.set_all_ssiz(cs_rgb, 45)
    spoiled = cst.spoil_part_tail(cs_tiled, 4)
    rgn = cst.insert_before_first_sot(cs_rgb, cst.RGN_NOOP)
    scoc = cst.with_unknown_scoc_option(cs_rgb)
    qcd_in_tiles = cs_tiled
    for i in range(3):
        qcd_in_tiles = cst.insert_in_part_header(qcd_in_tiles, i,
                                                cst.main_segment(cs_tiled, cst.QCD))
    nlt0 = cst.with_nlt(cs_gray16, cst.ssiz(12, False), 0)
    nlt3_u8 = cst.with_nlt(cs_rgb, cst.ssiz(8, False), 3)
    nlt_points = cst.with_nlt(cs_rgb, cst.ssiz(8, False), 2)
    mixed = cst.set_component_ssiz(cs_rgb, 1, cst.ssiz(7, False))
    subsampled = cst.set_subsampling(cs_rgb, 1, 2, 2)

    add("decode_info cut in SIZ", _call(info, cut_siz), OpenJphError, "SIZ marker",
        inputs=(cut_siz,))
    add("decode_info cut in main header", _call(info, cut_main), OpenJphError,
        "ended before finding a tile", inputs=(cut_main,))
    add("decode_info progression order", _call(info, bad_order), OpenJphError,
        "invalid progression order 7", inputs=(bad_order,))
    add("decode_info quality layers", _call(info, layers), OpenJphError, "3 quality layers",
        inputs=(layers,))
    add("decode_info bad Ssiz", _call(info, bad_ssiz), OpenJphError, "SSiz value of 45",
        inputs=(bad_ssiz,))
    add("decode_info mixed components", _call(info, mixed), inputs=(mixed,), check=_kind(dict))

    # decode: successes.
    add("decode uint8 rgb", _call(dec, cs_rgb), inputs=(cs_rgb,), data_bytes=n_rgb,
        check=_equal_to(rgb))
    add("decode lossy", _call(dec, cs_lossy), inputs=(cs_lossy,), data_bytes=n_rgb,
        check=_equal_to(lossy_ref))
    add("decode uint16", _call(dec, cs_gray16), inputs=(cs_gray16,), data_bytes=gray16.nbytes,
        check=_equal_to(gray16))
    add("decode int16 planar", _call(dec, cs_signed16), inputs=(cs_signed16,),
        data_bytes=signed16.nbytes, check=_equal_to(signed16))
    add("decode uint32", _call(dec, cs_u32), inputs=(cs_u32,), data_bytes=u32.nbytes,
        check=_equal_to(u32))
    add("decode float32", _call(dec, cs_f32), inputs=(cs_f32,), data_bytes=f32.nbytes,
        check=_equal_to(f32))
    add("decode float16", _call(dec, cs_f16), inputs=(cs_f16,), data_bytes=f16.nbytes,
        check=_equal_to(f16))
    add("decode reduce", _call(dec, cs_rgb, reduce=1), inputs=(cs_rgb,), data_bytes=n_rgb // 4,
        check=_kind(np.ndarray))
    add("decode bytearray input", _call(dec, bytearray(cs_rgb)), data_bytes=n_rgb,
        check=_equal_to(rgb))
    out_u8 = np.empty_like(rgb)
    add("decode into ndarray", _call(dec, cs_rgb, out=out_u8), inputs=(cs_rgb, out_u8),
        data_bytes=n_rgb, check=_equal_to(rgb))
    out_buf = bytearray(n_rgb)
    add("decode into bytearray", _call(dec, cs_rgb, out=out_buf), inputs=(cs_rgb, out_buf),
        data_bytes=n_rgb, check=_equal_to(rgb))
    out_f32 = np.empty_like(f32)
    add("decode float32 into ndarray", _call(dec, cs_f32, out=out_f32),
        inputs=(cs_f32, out_f32), data_bytes=f32.nbytes, check=_equal_to(f32))
    add("decode tiled numthreads=1", _call(dec, cs_tiled, numthreads=1), inputs=(cs_tiled,),
        data_bytes=tiled_src.nbytes, check=_equal_to(tiled_src))
    add("decode tiled numthreads=2", _call(dec, cs_tiled, numthreads=2), inputs=(cs_tiled,),
        data_bytes=tiled_src.nbytes, check=_equal_to(tiled_src), cost=3)
    add("decode tiled tlm tileparts", _call(dec, cs_tiled_tlm, numthreads=2),
        inputs=(cs_tiled_tlm,), data_bytes=tiled_src.nbytes, check=_equal_to(tiled_src), cost=3)
    out_tiled = np.empty_like(tiled_src)
    add("decode tiled into ndarray", _call(dec, cs_tiled, numthreads=2, out=out_tiled),
        inputs=(cs_tiled, out_tiled), data_bytes=tiled_src.nbytes,
        check=_equal_to(tiled_src), cost=3)
    out_tiled_buf = bytearray(tiled_src.nbytes)
    add("decode tiled into bytearray", _call(dec, cs_tiled, numthreads=2, out=out_tiled_buf),
        inputs=(cs_tiled, out_tiled_buf), data_bytes=tiled_src.nbytes,
        check=_equal_to(tiled_src), cost=3)

    # decode: bad out= buffers, for a whole decode and a tiled one.
    sentinel = object()
    bad_outs = {}
    for label, src, cs, extra in [("", rgb, cs_rgb, {}),
                                  ("tiled ", tiled_src, cs_tiled, {"numthreads": 2})]:
        h, w, c = src.shape
        read_only = np.empty_like(src)
        read_only.flags.writeable = False
        bad_outs[label] = cases = [
            ("shape", np.empty((h, w), np.uint8), ValueError, "out.shape"),
            ("dtype", np.empty(src.shape, np.uint16), ValueError, "out.dtype"),
            ("non-contiguous", np.empty((h, 2 * w, c), np.uint8)[:, ::2], ValueError,
             "C-contiguous"),
            ("read-only", read_only, ValueError, "writable"),
            ("short bytearray", bytearray(src.nbytes - 1), ValueError, "holds"),
            ("bytes", bytes(src.nbytes), ValueError, "writable"),
            ("object", sentinel, TypeError, "writable buffer")]
        for name, bad, exc, text in cases:
            add(f"decode {label}out= {name}", _call(dec, cs, out=bad, **extra), exc, text,
                inputs=(cs, bad))
    wrong_shape = bad_outs[""][0][1]

    # decode: argument errors.
    add("decode no args", _call(dec), TypeError, "positional")
    add("decode positional extra", _call(dec, cs_rgb, 1), TypeError, "positional argument",
        inputs=(cs_rgb,))
    add("decode duplicate argument", lambda: dec(cs_rgb, **{"data": cs_rgb}), TypeError,
        "multiple values", inputs=(cs_rgb,))
    add("decode numthreads negative", _call(dec, cs_tiled, numthreads=-1), ValueError,
        "numthreads", inputs=(cs_tiled,))
    add("decode numthreads text", _call(dec, cs_tiled, numthreads="2"), ValueError,
        "numthreads", inputs=(cs_tiled,))
    add("decode skipres text", _call(dec, cs_rgb, skipres="ab"), ValueError, "invalid literal",
        inputs=(cs_rgb,))
    add("decode reduce negative", _call(dec, cs_rgb, reduce=-2), ValueError, ">= 0",
        inputs=(cs_rgb,))
    add("decode None", _call(dec, None), TypeError, "bytes")
    add("decode empty", _call(dec, b""), OpenJphError, "empty input")

    # decode: damaged and unsupported codestreams.
    add("decode cut in SIZ", _call(dec, cut_siz), OpenJphError, "SIZ marker",
        inputs=(cut_siz,))
    add("decode cut in packet data", _call(dec, cut_data), OpenJphError,
        r"decode: error reading from file \(rc=5\)", inputs=(cut_data,))
    add("decode progression order", _call(dec, bad_order), OpenJphError,
        "invalid progression order 7", inputs=(bad_order,))
    add("decode quality layers", _call(dec, layers), OpenJphError, "3 quality layers",
        inputs=(layers,))
    add("decode reduce beyond levels", _call(dec, cs_rgb, reduce=9), OpenJphError,
        "decomposition count", inputs=(cs_rgb,))
    add("decode tiled, one tile spoiled", _call(dec, spoiled, numthreads=2), OpenJphError,
        r"codeblock.*rc=5", inputs=(spoiled,), data_bytes=tiled_src.nbytes, cost=3)
    add("decode tiled, one tile spoiled, numthreads=1", _call(dec, spoiled, numthreads=1),
        OpenJphError, r"codeblock.*rc=5", inputs=(spoiled,), data_bytes=tiled_src.nbytes)
    add("decode unsupported RGN", _call(dec, rgn), Unsupported, "RGN is not supported",
        inputs=(rgn,))
    add("decode unsupported RGN ignored", _call(dec, rgn, ignore_unsupported=True),
        inputs=(rgn,), data_bytes=n_rgb, check=_equal_to(rgb))
    add("decode tiled QCD in tile-parts", _call(dec, qcd_in_tiles, numthreads=2), Unsupported,
        "QCD marker segment in a tile", inputs=(qcd_in_tiles,), data_bytes=tiled_src.nbytes,
        cost=3)
    add("decode tiled QCD in tile-parts ignored",
        _call(dec, qcd_in_tiles, ignore_unsupported=True), inputs=(qcd_in_tiles,),
        data_bytes=tiled_src.nbytes, check=_equal_to(tiled_src))
    add("decode warning Scoc (ignored)", _call(dec, scoc), inputs=(scoc,), data_bytes=n_rgb,
        check=_equal_to(rgb))
    add("decode warning Scoc (raised)", _call(dec, scoc), RuntimeWarning, "Scoc",
        inputs=(scoc,), warning_action="error")
    add("decode truncated tail (warning raised)", _call(dec, cut_tail), RuntimeWarning,
        "terminated early", inputs=(cut_tail,), data_bytes=n_rgb, warning_action="error")
    add("decode truncated tail (warning ignored)", _call(dec, cut_tail), inputs=(cut_tail,),
        data_bytes=n_rgb, check=_kind(np.ndarray))
    add("decode NLT type 0", _call(dec, nlt0), OpenJphError, r"decodes to zeros.*rc=8",
        inputs=(nlt0,))
    add("decode NLT type 3 on 8 bits", _call(dec, nlt3_u8), Unsupported,
        "no floating point type", inputs=(nlt3_u8,))
    add("decode NLT type 2 malformed", _call(dec, nlt_points), OpenJphError, "number of points",
        inputs=(nlt_points,))
    add("decode mixed components", _call(dec, mixed), OpenJphError, "components differ",
        inputs=(mixed,))
    add("decode subsampled components", _call(dec, subsampled), OpenJphError,
        "components differ", inputs=(subsampled,))

    # Components at their own sizes: 12-bit luma, 10-bit 4:2:2 chroma, and a
    # floating-point pair decoded into views of integer carriers.
    ycc = [random_image((40, 56), np.uint16, 8) >> 4, random_image((40, 28), np.uint16, 9) >> 6,
           random_image((40, 28), np.uint16, 10) >> 6]
    settings = {"reversible": 1, "qstep": 0.0, "qfactor": 0, "num_decomp": -1,
                "color_transform": 0, "tile_w": 0, "tile_h": 0, "tlm": 0, "tilepart": 0,
                "block_w": 0, "block_h": 0, "prog_order": None, "profile": None}
    geometry = (56, 40, [(1, 1, 12), (2, 1, 10), (2, 1, 10)])
    cs_422 = htj2k._encode_components(ycc, geometry, settings)
    n_ycc = sum(a.nbytes for a in ycc)

    def components_equal(expected):
        def check(result):
            arrays, warned = result
            assert warned == "" and all(np.array_equal(a, b) for a, b in zip(arrays, expected))
        return check

    add("_encode_components 4:2:2", _call(htj2k._encode_components, ycc, geometry, settings),
        inputs=(ycc, settings, geometry), data_bytes=n_ycc, check=_equal_bytes(cs_422))
    add("_encode_components size off its subsampling",
        _call(htj2k._encode_components, ycc, (56, 40, [(1, 1, 12), (3, 1, 10), (2, 1, 10)]),
              settings), OpenJphError, "does not follow", inputs=(ycc, settings))
    add("_components_info", _call(htj2k._components_info, cs_422, 1, 1, False),
        inputs=(cs_422,), check=_kind(list))
    add("_decode_components 4:2:2", _call(htj2k._decode_components, cs_422, 0, 0, False),
        inputs=(cs_422,), data_bytes=n_ycc, check=components_equal(ycc))
    add("_decode_components float32", _call(htj2k._decode_components, cs_f32, 0, 0, False),
        inputs=(cs_f32,), data_bytes=f32.nbytes, check=components_equal([f32]))
    add("_decode_components reduce too far", _call(htj2k._decode_components, cs_422, 9, 9, False),
        OpenJphError, "decomposition count", inputs=(cs_422,))

    # The module's helpers.
    u1 = np.dtype(np.uint8)
    factors = [(1, 1), (2, 1), (2, 1)]
    add("_encode_settings", _call(htj2k._encode_settings, "encode_components", 56, 40, 3, 90,
                                  {"prog_order": "rpcl", "resolutions": 3}, planar=True),
        check=_kind(dict))
    add("_encode_settings reversible and lossy",
        _call(htj2k._encode_settings, "encode_components", 56, 40, 3, 90, {"reversible": True}),
        ValueError, "lossy quantization")
    add("_encode_settings transform on subsampled components",
        _call(htj2k._encode_settings, "encode_components", 56, 40, 3, None, {"rgb": True},
              subsampling=factors), ValueError, "subsampled", inputs=(factors,))
    add("_dtype_coded", _call(htj2k._dtype_coded, ">u2"), check=_kind(bool))
    add("_dtype_coded not a dtype", _call(htj2k._dtype_coded, "nope"), TypeError, "data type")
    add("last_warnings", htj2k.last_warnings, check=_kind(str))
    add("last_warnings with an argument", _call(htj2k.last_warnings, 1), TypeError,
        "0 positional")
    add("_output_dtype bad depth", _call(htj2k._output_dtype, 40, False, 0), OpenJphError,
        "bit depth 40")
    add("_output_dtype NLT 5", _call(htj2k._output_dtype, 8, False, 5), Unsupported, "type 5")
    add("_decode_target shape", _call(htj2k._decode_target, wrong_shape, (2, 2), u1),
        ValueError, "out.shape", inputs=(wrong_shape, u1))
    add("_decode_target buffer", _call(htj2k._decode_target, out_buf, rgb.shape, u1),
        inputs=(out_buf, u1), check=_kind(np.ndarray))
    add("_tile_plan", _call(htj2k._tile_plan, cs_tiled), inputs=(cs_tiled,),
        check=_kind(tuple))
    add("_tile_plan garbage", _call(htj2k._tile_plan, b"\xff\x4f\xff\x51" + bytes(60)),
        check=_is_none)
    add("_tile_codestream bad span", _call(htj2k._tile_codestream, cs_rgb, [(0, 10 ** 6)],
                                           (0, 0, 1, 1, b"", [])),
        ValueError, "does not fit", inputs=(cs_rgb,))
    add("_quantization text", _call(htj2k._quantization, "x"), ValueError, "could not convert")
    add("_reductions", _call(htj2k._reductions, 1, (2, 1)), ValueError, "disagree")
    return tuple(out)


def by_name() -> dict[str, Scenario]:
    return {s.name: s for s in scenarios()}
