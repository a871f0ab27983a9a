"""Rate and distortion targets: a size or a quality asked for, the quantization step searched.

OpenJPH has no rate control: it takes a quantization step (or a quality
factor) and gives whatever size that makes.  A target is met by coding the
image at several steps and keeping the one that fits, so every pass goes
through the public encode with an explicit step (``level`` below 1): tiles on
threads as any encode, and the same rules on which data may be coded lossy.

The search works in log-step space.  Size falls about as 1/step over most of
the range and the PSNR about linearly in log(step), so after the first pass a
guess from a default slope lands near the target, and later passes
interpolate between the two probes nearest the target on either side (or
extrapolate with the slope measured between the last two).  Every decision
is made from sizes and exact error sums, so the result is the same bytes for
any thread count.

Lossless coding is the best quality there is; it is tried where it can be
the smaller of the two: when the lossy step comes within a unit or two of
the data's last place, or the lossy answer takes a quarter to half of the
input's bytes (see ``_rate_search.Search.near_lossless``).
The coarsest step OpenJPH allows (just below 1) still leaves a fair quality;
below the size it gives, the quality factors from 1 up are coarser still.
"""

from __future__ import annotations

import math
import threading
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from . import _args
from ._rate_search import STEP_MIN, Coder, Search
from .core.parallel import resolve_workers, run_batched

__all__ = ["Coder", "last_encode_stats", "psnr_peak", "record", "search", "squared_error"]

#: dB above the PSNR of every sample one unit off, where one in a thousand is.
_ONE_IN_A_THOUSAND = 30.0
#: Samples per chunk of an error sum, and chunks per task on a thread.
_CHUNK = 1 << 16
_CHUNKS_PER_TASK = 64

_local = threading.local()


def last_encode_stats() -> dict[str, Any] | None:
    """What the calling thread's last ``encode``, ``encode_components`` or ``imwrite`` made.

    A dict with ``target`` (``"psnr"``, ``"ratio"``, ``"max_bytes"``, or
    None for an encode at a given level), ``value`` (the target asked for),
    ``step`` (the quantization step used, None when lossless or a quality
    factor was used), ``quality`` (the quality factor used, else None),
    ``lossless``, ``bytes`` (the codestream's size), ``ratio`` (the input
    array's bytes over that), ``psnr`` (in dB against the input where it was
    measured, ``inf`` for lossless with a PSNR target, else None) and
    ``passes`` (encodes made).  None before the first encode on this thread.
    """
    kept = getattr(_local, "stats", None)
    if kept is None:
        return None
    level, size, raw_bytes, target, value, psnr, passes = kept
    step = quality = None
    if level is not None:
        if float(level) < 1.0:
            step = float(np.float32(level))  # what the module codes with
            if step < STEP_MIN:
                level = step = None  # the module codes such steps lossless
        else:
            quality = int(float(level))
    if level is None and psnr is None and target == "psnr":
        psnr = math.inf
    return {"target": target, "value": value, "step": step, "quality": quality,
            "lossless": level is None, "bytes": size,
            "ratio": raw_bytes / size if size else None, "psnr": psnr, "passes": passes}


def record(level: Any, size: int, raw_bytes: int, target: str | None = None,
           value: float | None = None, psnr: float | None = None, passes: int = 1) -> None:
    """Keeps the facts of an encode for :func:`last_encode_stats` (cheap: every encode calls it)."""
    _local.stats = (level, size, raw_bytes, target, value, psnr, passes)


def psnr_peak(arrays: Sequence[np.ndarray], bits: Sequence[int | None]) -> list[float]:
    """The PSNR peak of each component: 2**bits - 1 with a precision, else the dtype's range.

    Integer data without ``bits`` uses the whole dtype (255 for 8-bit, 65535
    for 16-bit, signed or not); float data uses the range of its values
    (largest minus smallest over all components), since a float image
    declares none.
    """
    peaks: list[float] = []
    float_range: float | None = None
    for a, b in zip(arrays, bits, strict=True):
        if a.dtype.kind in "iu":
            peaks.append(float((1 << (b if b is not None else a.dtype.itemsize * 8)) - 1))
            continue
        if float_range is None:
            lo = min(float(np.min(x)) for x in arrays)
            hi = max(float(np.max(x)) for x in arrays)
            if not (math.isfinite(lo) and math.isfinite(hi)):
                raise ValueError("psnr= needs finite samples: the data holds NaN or infinity, "
                                 "so no peak (the data's range) can be taken")
            float_range = hi - lo if hi > lo else 1.0
        peaks.append(float_range)
    return peaks


def squared_error(a: np.ndarray, b: np.ndarray, numthreads: int | None = None) -> float:
    """The sum of squared differences of two arrays of one shape.

    Exact (an integer sum) for integer samples; float samples are summed in
    float64 over fixed chunks combined in a fixed order, so the result never
    depends on the thread count.
    """
    x, y = np.ravel(a), np.ravel(b)
    wide: np.dtype[Any]
    square: np.dtype[Any]
    if a.dtype.kind in "iu" and a.dtype.itemsize == 1:
        wide, square = np.dtype(np.int16), np.dtype(np.int32)
    elif a.dtype.kind in "iu" and a.dtype.itemsize == 2:
        wide, square = np.dtype(np.int32), np.dtype(np.int64)
    else:
        wide = square = np.dtype(np.float64)
    chunks = range(0, x.size, _CHUNK)
    runs = range(0, len(chunks), _CHUNKS_PER_TASK)
    sums: list[Any] = [0] * len(chunks)

    def run(first: int) -> None:
        # Buffers a cache can hold, reused chunk after chunk: fresh
        # temporaries of the image's size cost more in page faults than the
        # arithmetic.
        diff, sq = np.empty(_CHUNK, wide), np.empty(_CHUNK, square)
        for i in range(first, min(first + _CHUNKS_PER_TASK, len(chunks))):
            s = chunks[i]
            n = min(_CHUNK, x.size - s)
            d, q = diff[:n], sq[:n]
            np.subtract(x[s:s + n], y[s:s + n], out=d, dtype=wide)
            np.multiply(d, d, out=q)
            sums[i] = float(q.sum()) if square.kind == "f" else int(q.sum(dtype=np.int64))

    workers = resolve_workers(numthreads, len(runs), output_bytes=x.nbytes)
    run_batched(run, runs, workers, name="ferroglyph-error")
    if square.kind == "f":
        return math.fsum(sums)
    return float(sum(sums))


def search(target: _args.Target, coder: Coder) -> bytes:
    """The codestream that meets ``target``; records the stats.

    Raises ValueError for a size below what the coarsest quantization gives
    (naming that size), and lets the encoder's own refusals through.
    """
    before = getattr(_local, "stats", None)
    s = Search(target, coder)
    try:
        probe = s.run()
    except BaseException:
        _local.stats = before  # not the stats of a pass of a call that failed
        raise
    psnr = probe.psnr
    if probe.level is None and target.kind == "psnr":
        psnr = math.inf
    record(probe.level, probe.size, coder.raw_bytes, target.kind,
           float(target.value) if target.value is not None else None, psnr, s.passes)
    return probe.codestream


def _refuse_reversible(keywords: dict[str, Any], target: _args.Target) -> None:
    if keywords.get("reversible") is not None:
        raise ValueError(
            f"reversible= cannot be combined with {target.kind}=: the target chooses between "
            "the lossless (reversible) and lossy (irreversible) paths itself")


def _psnr(sse_over_peak2: float, samples: int) -> float:
    if sse_over_peak2 <= 0.0:
        return math.inf
    return 10.0 * math.log10(samples / sse_over_peak2)


def encode_image(array: np.ndarray, target: _args.Target, *, bits: int | None,
                 numthreads: int | None, keywords: dict[str, Any],
                 encode: Callable[..., bytes], decode: Callable[..., np.ndarray]) -> bytes:
    """``ferroglyph.encode`` with a target: ``encode``/``decode`` are the public calls."""
    _refuse_reversible(keywords, target)
    if array.size == 0 or array.ndim not in (2, 3):
        return encode(array, None, bits=bits, numthreads=numthreads, **keywords)  # its error

    def code(level: Any) -> bytes:
        return encode(array, level, bits=bits, numthreads=numthreads, **keywords)

    measure: Callable[[bytes], float] | None = None
    if target.kind == "psnr":
        peak = psnr_peak([array], [bits])[0]
        planar = _args.planar(array.shape, keywords.get("planar"))

        def measure(codestream: bytes) -> float:
            out = decode(codestream, planar=planar, numthreads=numthreads)
            if out.size != array.size:
                raise ValueError(f"decoded {out.shape} for an input of {array.shape}")
            if out.ndim == array.ndim and out.shape != array.shape:
                out = np.moveaxis(out, -1, 0) if planar else np.moveaxis(out, 0, -1)
            sse = squared_error(array, out.reshape(array.shape), numthreads)
            return _psnr(sse / (peak * peak), array.size)

    bits_of = bits if bits is not None else array.dtype.itemsize * 8
    integer = array.dtype.kind in "iu"
    unit = 2.0 ** -bits_of if integer else 0.0
    return search(target, Coder(code, measure, array.nbytes, unit,
                                _ONE_IN_A_THOUSAND + 20.0 * math.log10((1 << bits_of) - 1)
                                if integer else math.inf))


def encode_components(arrays: Sequence[np.ndarray], target: _args.Target, *,
                      bits: Sequence[int], keywords: dict[str, Any],
                      encode: Callable[..., bytes],
                      decode: Callable[[bytes], list[np.ndarray]]) -> bytes:
    """``ferroglyph.encode_components`` with a target.

    The PSNR pools the squared errors of all samples of all components, each
    divided by its own component's squared peak (one peak when the
    precisions agree, as they usually do).
    """
    _refuse_reversible(keywords, target)

    def code(level: Any) -> bytes:
        return encode(arrays, level, **keywords)

    measure: Callable[[bytes], float] | None = None
    if target.kind == "psnr":
        peaks = psnr_peak(arrays, list(bits))
        samples = sum(a.size for a in arrays)

        def measure(codestream: bytes) -> float:
            outs = decode(codestream)
            total = sum(squared_error(a, o) / (p * p) for a, o, p in
                        zip(arrays, outs, peaks, strict=True))
            return _psnr(total, samples)

    unit = 2.0 ** -min(bits)
    above = _ONE_IN_A_THOUSAND + 20.0 * math.log10((1 << min(bits)) - 1) if min(bits) > 1 \
        else math.inf
    return search(target, Coder(code, measure, sum(a.nbytes for a in arrays), unit, above))
