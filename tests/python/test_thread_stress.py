"""Threads never see each other's state.

Eight threads call the codec at the same time for a fixed number of rounds
(a barrier starts every round, and in lock-step schedules every operation,
so the calls really overlap).  Each thread works on its own images and its
own damaged codestreams, built so that the error texts and the warnings of
one thread differ from every other thread's:

- errors carry a number that is the thread's own (a progression order of
  5 + t, 2 + t quality layers, an Ssiz of 40 + t);
- warnings come from a COD or QCD segment copied into t + 1 tile-part
  headers, so thread t's ``last_warnings()`` has exactly t + 1 lines.

Every result is compared with what the main thread computed before the
threads started: encoded bytes, decoded pixels (bit-exact against the
thread's own source for lossless codestreams), decode_info's dict, the
exception type and text, and ``last_warnings()`` after every codec call.
Tiled decodes with ``numthreads=2`` start worker threads of their own inside
the stress, and their tile failures must come back to the right caller.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass, field

import numpy as np
import pytest

from ferroglyph._parallel_encode import encode as parallel_encode
from ferroglyph.codecs import _openjph as htj2k

import codestreams as cst
from leak_scenarios import random_image as _image

# The warnings a decode draws become exceptions, so that each one is checked
# on the thread that caused it.
pytestmark = pytest.mark.filterwarnings("error::RuntimeWarning")

THREADS = 8
ROUNDS = 12
TILE = 32                       # 96 x 96 images: 9 tiles, more than THREADS
JOIN_TIMEOUT = 120.0            # a hang, not a slow machine


@dataclass
class Expected:
    """One operation: a call and everything it must produce."""
    name: str
    call: object                      # () -> result
    result: object = None             # bytes, ndarray or dict; None: not compared
    error: type[BaseException] | None = None
    text: str | None = None           # the exact exception text
    warnings: str = ""                # the exact last_warnings() after the call
    out: object = None                # an out= buffer whose contents must equal `result`


@dataclass
class ThreadWork:
    index: int
    ops: list[Expected] = field(default_factory=list)


def _with_layers(cs: bytes, layers: int) -> bytes:
    pos, _ = cst.find_segment(cs, cst.COD)
    return cs[:pos + 6] + layers.to_bytes(2, "big") + cs[pos + 8:]


def _copy_into_tiles(cs: bytes, marker: int, count: int) -> bytes:
    seg = cst.main_segment(cs, marker)
    for i in range(count):
        cs = cst.insert_in_part_header(cs, i, seg)
    return cs


def _work_for(t: int) -> ThreadWork:
    """Thread t's operations, with results computed here, on the main thread."""
    enc, dec, info = htj2k.encode, htj2k.decode, htj2k.decode_info
    w = ThreadWork(t)
    add = w.ops.append

    rgb = _image((48, 64, 3), np.uint8, 100 + t)
    gray12 = _image((40, 56), np.uint16, 200 + t) >> 4
    planar16 = _image((2, 32, 40), np.int16, 300 + t)
    f32 = _image((32, 48), np.float32, 400 + t)
    u32 = _image((24, 40), np.uint32, 500 + t)
    big = _image((96, 96, 3), np.uint8, 600 + t)
    quality = 60 + 4 * t                       # a different lossy codestream per thread

    cs_rgb, cs_gray, cs_planar = enc(rgb), enc(gray12), enc(planar16, planar=True)
    cs_f32, cs_u32 = enc(f32), enc(u32)
    cs_lossy = enc(rgb, quality)
    lossy = dec(cs_lossy)
    cs_tiled = enc(big, tile=(TILE, TILE))
    cs_tiled_tp = enc(big, tile=(TILE, TILE), tlm=True, tilepart=1, prog_order="RPCL")
    reduced = dec(cs_rgb, reduce=1)

    # Encodes: the same bytes as on the main thread.
    add(Expected("encode uint8 rgb", lambda: enc(rgb), cs_rgb))
    add(Expected("encode uint16 12-bit", lambda: enc(gray12), cs_gray))
    add(Expected("encode int16 planar", lambda: enc(planar16, planar=True), cs_planar))
    add(Expected("encode float32", lambda: enc(f32), cs_f32))
    add(Expected("encode uint32", lambda: enc(u32), cs_u32))
    add(Expected(f"encode quality {quality}", lambda: enc(rgb, quality), cs_lossy))
    add(Expected("encode tiled", lambda: enc(big, tile=(TILE, TILE)), cs_tiled))
    add(Expected("encode tiled, tiles on two threads", lambda: parallel_encode(
        big, tile=(TILE, TILE), tlm=True, tilepart=1, prog_order="RPCL", numthreads=2),
        cs_tiled_tp))

    # Decodes: bit-exact against this thread's source.
    add(Expected("decode uint8 rgb", lambda: dec(cs_rgb), rgb))
    add(Expected("decode uint16", lambda: dec(cs_gray), gray12))
    add(Expected("decode int16 planar", lambda: dec(cs_planar), planar16))
    add(Expected("decode float32", lambda: dec(cs_f32), f32))
    add(Expected("decode uint32", lambda: dec(cs_u32), u32))
    add(Expected("decode lossy", lambda: dec(cs_lossy), lossy))
    add(Expected("decode reduce=1", lambda: dec(cs_rgb, reduce=1), reduced))
    for n in (1, 2):
        add(Expected(f"decode tiled numthreads={n}", lambda n=n: dec(cs_tiled, numthreads=n),
                     big))
    add(Expected("decode tiled, tile-parts and TLM, numthreads=2",
                 lambda: dec(cs_tiled_tp, numthreads=2), big))
    out_rgb = np.empty_like(rgb)
    add(Expected("decode into ndarray", lambda: dec(cs_rgb, out=out_rgb), rgb, out=out_rgb))
    out_tiled = np.empty_like(big)
    add(Expected("decode tiled into ndarray, numthreads=2",
                 lambda: dec(cs_tiled, out=out_tiled, numthreads=2), big, out=out_tiled))
    out_buf = bytearray(big.nbytes)
    add(Expected("decode tiled into bytearray, numthreads=2",
                 lambda: dec(cs_tiled, out=out_buf, numthreads=2), big,
                 out=np.frombuffer(out_buf, np.uint8).reshape(big.shape)))
    out_f32 = np.empty_like(f32)
    add(Expected("decode float32 into ndarray", lambda: dec(cs_f32, out=out_f32), f32,
                 out=out_f32))

    # decode_info.
    for name, cs in [("rgb", cs_rgb), ("tiled", cs_tiled), ("float32", cs_f32)]:
        add(Expected(f"decode_info {name}", lambda cs=cs: info(cs), info(cs)))

    # Errors with this thread's own number in the text.
    order = cst.set_progression_order(cs_rgb, 5 + t)
    order_tiled = cst.set_progression_order(cs_tiled, 5 + t)
    order_text = f"decode_info: invalid progression order {5 + t} in the COD marker segment (rc=2)"
    layers = _with_layers(cs_tiled, 2 + t)
    layers_text = ("decode_info: The current implementation supports 1 quality layer only.  "
                   f"This codestream has {2 + t} quality layers (rc=2)")
    ssiz = cst.set_all_ssiz(cs_rgb, 40 + t)
    ssiz_text = f"decode_info: Wrong SIZ-SSiz value of {40 + t} (rc=2)"
    E = htj2k.OpenJphError
    add(Expected("decode bad progression order", lambda: dec(order), error=E, text=order_text))
    add(Expected("decode_info bad progression order", lambda: info(order), error=E,
                 text=order_text))
    add(Expected("decode tiled bad progression order, numthreads=2",
                 lambda: dec(order_tiled, numthreads=2), error=E, text=order_text))
    add(Expected("decode tiled quality layers, numthreads=2",
                 lambda: dec(layers, numthreads=2), error=E, text=layers_text))
    add(Expected("decode_info quality layers", lambda: info(layers), error=E, text=layers_text))
    add(Expected("decode bad Ssiz", lambda: dec(ssiz), error=E, text=ssiz_text))
    add(Expected("decode_info bad Ssiz", lambda: info(ssiz), error=E, text=ssiz_text))

    # Errors of packet data: a thread's own cut, a thread's own spoiled tile.
    cut = cst.truncate_tile_data(cs_rgb, 0.1 + 0.05 * t)
    add(Expected("decode cut in packet data", lambda: dec(cut), error=E,
                 text="decode: error reading from file (rc=5)"))
    spoiled = cst.spoil_part_tail(cs_tiled, t % 9)
    for n in (1, 2):
        add(Expected(f"decode tiled, tile {t % 9} spoiled, numthreads={n}",
                     lambda n=n: dec(spoiled, numthreads=n), error=E,
                     text="decode: Error decoding a codeblock. (rc=5)"))
    add(Expected("decode reduce beyond the levels", lambda: dec(cs_rgb, reduce=9), error=E,
                 text="decode_info: reduce exceeds the codestream's decomposition count (rc=4)"))
    add(Expected("encode bad block size", lambda: enc(rgb, block_size=(3, 3)), error=E,
                 text="encode: incorrect code block dimensions (rc=5)"))

    # Warnings: t + 1 lines of this thread's own.
    for marker, seg_name in [(cst.QCD, "QCD"), (cst.COD, "COD")]:
        line = f"{seg_name} marker segment in a tile is not supported yet"
        lines = "\n".join([line] * (t + 1))
        damaged = _copy_into_tiles(cs_tiled, marker, t + 1)
        add(Expected(f"decode {seg_name} in {t + 1} tiles, ignored",
                     lambda d=damaged: dec(d, ignore_unsupported=True), big, warnings=lines))
        unsupported = ("OpenJPH could not read part of this codestream, so the decoded image "
                       f"would not match the encoder's: {line}. Pass ignore_unsupported=True to "
                       "decode anyway.")
        for n in (1, 2):
            add(Expected(f"decode {seg_name} in {t + 1} tiles, numthreads={n}",
                         lambda d=damaged, n=n: dec(d, numthreads=n),
                         error=htj2k.OpenJphUnsupportedFeature, text=unsupported,
                         warnings=lines))
    # The same with the last tile cut short: an unsupported segment skipped
    # quietly, and a lost tail reported as a RuntimeWarning.
    damaged = _copy_into_tiles(cs_tiled, cst.QCD, t + 1)
    damaged = damaged[:len(damaged) - 40 - 8 * t]
    add(Expected(f"decode QCD in {t + 1} tiles, cut short",
                 lambda: dec(damaged, ignore_unsupported=True), error=RuntimeWarning,
                 text="OpenJPH: File terminated early",
                 warnings="\n".join(["QCD marker segment in a tile is not supported yet"]
                                    * (t + 1) + ["File terminated early"])))
    return w


def _check(op: Expected, got: object) -> str | None:
    want = op.result
    if isinstance(want, bytes):
        if got != want:
            return "encoded bytes differ from the main thread's"
    elif isinstance(want, np.ndarray):
        if not isinstance(got, np.ndarray):
            return f"returned {type(got).__name__}"
        if got.dtype != want.dtype or got.shape != want.shape:
            return f"returned {got.dtype} {got.shape}, expected {want.dtype} {want.shape}"
        if not np.array_equal(got.view(np.uint8), want.view(np.uint8)):
            return "pixels differ"
        if op.out is not None and not np.array_equal(op.out, want):
            return "the out= buffer does not hold the image"
    elif isinstance(want, dict):
        if got != want:
            return f"returned {got!r}, expected {want!r}"
    return None


def _run_op(op: Expected) -> str | None:
    """Runs one operation; a description of what went wrong, or None."""
    try:
        got = op.call()
    except BaseException as e:  # noqa: BLE001 - every outcome is compared
        if op.error is None:
            return f"raised {type(e).__name__}: {e}"
        if type(e) is not op.error or str(e) != op.text:
            return f"raised {type(e).__name__}: {e!s}; expected {op.error.__name__}: {op.text}"
    else:
        if op.error is not None:
            return f"returned instead of raising {op.error.__name__}: {op.text}"
        problem = _check(op, got)
        if problem:
            return problem
    warned = htj2k.last_warnings()
    if warned != op.warnings:
        return f"last_warnings() is {warned!r}, expected {op.warnings!r}"
    return None


@pytest.fixture(scope="module")
def work() -> list[ThreadWork]:
    return [_work_for(t) for t in range(THREADS)]


def test_threads_see_distinct_errors_and_warnings(work):
    """The inputs really tell the threads apart (else the stress proves less)."""
    for name_part in ("bad progression order", "quality layers", "Ssiz", "in "):
        texts = [[(op.text, op.warnings) for op in w.ops if name_part in op.name
                  and (op.error or op.warnings)] for w in work]
        flat = [tuple(x) for x in texts]
        assert all(flat), name_part
        assert len(set(flat)) == THREADS, name_part


@pytest.mark.parametrize("schedule", ["lockstep", "staggered"])
def test_thread_stress(work, schedule):
    """All threads run every operation each round.

    ``lockstep``: every thread runs the same operation at the same moment (a
    barrier before each one), the most contention on one code path.
    ``staggered``: thread t starts its round at operation t * 5, so different
    paths (encode, tiled decode, errors, warnings) overlap.
    """
    nops = len(work[0].ops)
    assert all(len(w.ops) == nops for w in work)
    barrier = threading.Barrier(THREADS, timeout=JOIN_TIMEOUT)
    failures: list[str] = []
    lock = threading.Lock()

    def body(w: ThreadWork) -> None:
        try:
            for rnd in range(ROUNDS):
                barrier.wait()
                for k in range(nops):
                    if schedule == "lockstep":
                        barrier.wait()
                        op = w.ops[k]
                    else:
                        op = w.ops[(k + 5 * w.index + rnd) % nops]
                    problem = _run_op(op)
                    if problem:
                        with lock:
                            failures.append(
                                f"thread {w.index}, round {rnd}, {op.name}: {problem}")
        except threading.BrokenBarrierError:
            with lock:
                failures.append(f"thread {w.index}: the barrier broke (another thread stopped)")
        except BaseException as e:  # noqa: BLE001
            barrier.abort()
            with lock:
                failures.append(f"thread {w.index}: the harness failed: {e!r}")

    threads = [threading.Thread(target=body, args=(w,), name=f"stress-{w.index}", daemon=True)
               for w in work]
    for th in threads:
        th.start()
    for th in threads:
        th.join(JOIN_TIMEOUT)
    hung = [th.name for th in threads if th.is_alive()]
    if hung:
        barrier.abort()
    assert not hung, f"threads still running after {JOIN_TIMEOUT} s: {hung}"
    assert not failures, f"{len(failures)} failures:\n" + "\n".join(failures[:40])
