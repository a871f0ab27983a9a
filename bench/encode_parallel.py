"""Encoding on every core: the parallel tiled encode and the released lock.

Run by ``make bench-encode`` (on its own: no peers, no raw OpenJPH program;
``make bench`` puts the parallel encode beside raw OpenJPH in its table and
plot).  It measures

1. ``ferroglyph.encode`` of 4096 x 4096 images with 1024 x 1024 tiles, the
   default threads against ``numthreads=1`` (RGB 8-bit lossless, grey 12-bit
   lossless, RGB quality 90), and the times for 1..N threads where the
   machine has more than two cores;
2. two Python threads each calling ``_openjph.encode`` on its own
   2048 x 2048 RGB image against one thread encoding both, and against two
   processes doing the same (what the machine allows with nothing shared);
3. what ``ferroglyph.encode`` with ``numthreads=1`` costs over
   ``_openjph.encode``: on the tiled 4096 x 4096 image (in rounds of those
   two alone, so that no threaded encode runs between them), and per call on
   a 64 x 64 image;
4. the peak resident memory of the parallel encode of the tiled RGB image
   against the one-call encode's, each in fresh processes (memprobe.py).

Every parallel result is first checked to be byte for byte the one-call
encode.  Contenders are timed in rounds, A B ... then ... B A, so that a drift
in machine speed cancels.  The table gives medians; each target figure is
the median over rounds of a ratio (or difference) taken within one round,
since this machine's speed drifts between rounds by more than the figures
measure.  The output is a markdown
block to paste into BENCHMARKS.md.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from collections.abc import Callable
from datetime import datetime, timezone

import numpy as np

import images
import ferroglyph
from ferroglyph.codecs import _openjph as oj
from ferroglyph.core.parallel import available_cpus

BIG = 4096
TILE = (1024, 1024)
PAIR = 2048
# The figures to reach.
MIN_TILED_SPEEDUP = 1.8       # numthreads=1 time / default time, on 2 cores
MIN_THREADS_SPEEDUP = 1.7     # one thread encoding both / two threads
MAX_ONE_THREAD_OVERHEAD = 0.02
MAX_SMALL_OVERHEAD_US = 5.0
# The parallel encode's peak memory may exceed the one call's by the working
# sets of the runs in flight: at most this share of the input (a copy of the
# whole input would not fit), at least MEM_SLACK_MIN.
MEM_SLACK_SHARE = 0.10
MEM_SLACK_MIN = 8 << 20
BENCH = Path(__file__).resolve().parent


def say(*args: object) -> None:
    print(*args, file=sys.stderr, flush=True)


def rounds(contenders: dict[str, Callable[[], float]], reps: int) -> dict[str, list[float]]:
    """Times of each contender, in rounds that alternate their order."""
    times: dict[str, list[float]] = {name: [] for name in contenders}
    order = list(contenders)
    for r in range(reps):
        for name in order if r % 2 == 0 else reversed(order):
            times[name].append(contenders[name]())
    return times


def timed(fn: Callable[[], object], calls: int = 1) -> Callable[[], float]:
    def step() -> float:
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        return (time.perf_counter() - start) / calls
    return step


def alternating(a: Callable[[], object], b: Callable[[], object],
                calls: int) -> tuple[float, float]:
    """Mean times of a and b over ``calls`` calls each, made in turn (a b b a
    ...), so that drift within the round cancels too."""
    spent = [0.0, 0.0]
    for i in range(calls):
        for which in ((0, 1) if i % 2 == 0 else (1, 0)):
            start = time.perf_counter()
            (a, b)[which]()
            spent[which] += time.perf_counter() - start
    return spent[0] / calls, spent[1] / calls


def median(ts: list[float]) -> float:
    return statistics.median(ts)


def per_round(times: dict[str, list[float]], a: str, b: str) -> float:
    """The median over rounds of a's time divided by b's in the same round."""
    return median([x / y for x, y in zip(times[a], times[b])])


def fmt(t: float) -> str:
    return f"{t * 1e3:.1f} ms" if t >= 1e-3 else f"{t * 1e6:.1f} µs"


def two_threads(a: np.ndarray, b: np.ndarray) -> Callable[[], float]:
    def step() -> float:
        threads = [threading.Thread(target=oj.encode, args=(x,)) for x in (a, b)]
        start = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return time.perf_counter() - start
    return step


def _encode_when_told(image: np.ndarray, go, done) -> None:
    go.wait()
    oj.encode(image)
    done.put(time.perf_counter())


def two_processes(a: np.ndarray, b: np.ndarray) -> Callable[[], float]:
    """Two forked processes, one image each, started together: the same work
    with no interpreter, allocator or address space shared."""
    context = multiprocessing.get_context("fork")

    def step() -> float:
        go, done = context.Event(), context.Queue()
        procs = [context.Process(target=_encode_when_told, args=(x, go, done)) for x in (a, b)]
        for p in procs:
            p.start()
        time.sleep(0.2)  # both waiting
        start = time.perf_counter()  # CLOCK_MONOTONIC: comparable across processes
        go.set()
        end = max(done.get(), done.get())
        for p in procs:
            p.join()
        return end - start
    return step


def peak_delta(raw_file: Path, image: np.ndarray, codec: str) -> int:
    """Peak resident bytes of an encode above the same process without it."""
    def peak(c: str) -> int:
        argv = [sys.executable, str(BENCH / "memprobe.py"), "enc", str(raw_file),
                "x".join(map(str, image.shape)), image.dtype.str, "none",
                "x".join(map(str, TILE)), c]
        out = subprocess.run([sys.executable, str(BENCH / "memprobe.py"), "rss", *argv],
                             capture_output=True, text=True, check=True).stdout
        return int(out.split()[-1]) * 1024
    return peak(codec) - peak("0")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--reps", type=int, default=7, help="rounds per contender (large images)")
    ap.add_argument("--small-reps", type=int, default=15, help="rounds of the 64 x 64 calls")
    args = ap.parse_args()
    cores = available_cpus()
    load0 = os.getloadavg()
    date = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    rows: list[str] = []
    figures: list[tuple[bool, str]] = []

    rgb = images.rgb8(BIG)
    cases = [("RGB 8-bit, lossless", rgb, None), ("grey 12-bit, lossless", images.grey12(BIG), None),
             ("RGB 8-bit, quality 90", rgb, 90)]
    for label, image, level in cases:
        say(f"[check] {label}")
        one_call = oj.encode(image, level, tile=TILE)
        if ferroglyph.encode(image, level, tile=TILE) != one_call:
            raise SystemExit(f"{label}: the parallel encode differs from the one-call encode")
        contenders = {
            "_openjph.encode": timed(lambda: oj.encode(image, level, tile=TILE)),
            "numthreads=1": timed(lambda: ferroglyph.encode(image, level, tile=TILE, numthreads=1)),
            "default": timed(lambda: ferroglyph.encode(image, level, tile=TILE)),
        }
        if cores > 2:
            for k in range(2, cores + 1):
                contenders[f"numthreads={k}"] = timed(
                    lambda k=k: ferroglyph.encode(image, level, tile=TILE, numthreads=k))
        say(f"[time] {label}")
        times = rounds(contenders, args.reps)
        m = {name: median(ts) for name, ts in times.items()}
        mp = BIG * BIG / 1e6
        for name, t in m.items():
            rows.append(f"| {label}, {TILE[0]}² tiles | {name} | {fmt(t)} | {mp / t:,.1f} | "
                        f"{m['numthreads=1'] / t:.2f}× |")
        speedup = per_round(times, "numthreads=1", "default")
        figures.append((speedup >= MIN_TILED_SPEEDUP,
                        f"encode {label} {BIG}², {TILE[0]}² tiles: default {speedup:.2f}× faster "
                        f"than numthreads=1 on {cores} cores (ratio of the medians "
                        f"{m['numthreads=1'] / m['default']:.2f}×; target ≥ {MIN_TILED_SPEEDUP})"))
        if level is None and image is rgb:
            # Its own rounds: a threaded encode just before either call would
            # move the figure by more than what is measured.
            pair = rounds({name: contenders[name] for name in ("_openjph.encode", "numthreads=1")},
                          args.reps)
            over = per_round(pair, "numthreads=1", "_openjph.encode") - 1
            of_medians = median(pair["numthreads=1"]) / median(pair["_openjph.encode"]) - 1
            figures.append((over <= MAX_ONE_THREAD_OVERHEAD,
                            f"encode {label} {BIG}², tiled: numthreads=1 costs {over:+.1%} over "
                            f"_openjph.encode, in rounds of the two alone (ratio of the medians "
                            f"{of_medians:+.1%}; target ≤ {MAX_ONE_THREAD_OVERHEAD:.0%})"))

    say("[time] two threads")
    a = images.rgb8(PAIR)
    b = np.ascontiguousarray(a[::-1, ::-1])
    both = rounds({"one thread, both images": timed(lambda: (oj.encode(a), oj.encode(b))),
                   "two threads, one image each": two_threads(a, b),
                   "two processes, one image each": two_processes(a, b)}, args.reps)
    t1, t2, tp = (median(both[name]) for name in both)
    for name, t in zip(both, (t1, t2, tp)):
        rows.append(f"| 2 × RGB 8-bit {PAIR}², lossless, _openjph.encode | {name} | {fmt(t)} | "
                    f"{2 * PAIR * PAIR / 1e6 / t:,.1f} | {t1 / t:.2f}× |")
    threads = per_round(both, "one thread, both images", "two threads, one image each")
    processes = per_round(both, "one thread, both images", "two processes, one image each")
    figures.append((threads >= MIN_THREADS_SPEEDUP,
                    f"two Python threads calling _openjph.encode on {PAIR}² RGB images: "
                    f"{threads:.2f}× one thread doing both (ratio of the medians {t1 / t2:.2f}×; "
                    f"target ≥ {MIN_THREADS_SPEEDUP}); two processes, sharing nothing: "
                    f"{processes:.2f}×, so the threads reach {threads / processes:.0%} of what "
                    f"this machine gives two encodes at once"))

    say("[time] 64 x 64 calls")
    small = images.rgb8(64)
    calls = 200
    pairs = [alternating(lambda: oj.encode(small), lambda: ferroglyph.encode(small), calls)
             for _ in range(args.small_reps)]
    per_call = {"_openjph.encode": [p[0] for p in pairs], "ferroglyph.encode": [p[1] for p in pairs]}
    raw64, ours64 = median(per_call["_openjph.encode"]), median(per_call["ferroglyph.encode"])
    for name, t in (("_openjph.encode", raw64), ("ferroglyph.encode", ours64)):
        rows.append(f"| RGB 8-bit 64², lossless | {name} | {fmt(t)} | {64 * 64 / 1e6 / t:,.1f} "
                    f"| — |")
    extra = median([a - b for a, b in zip(per_call["ferroglyph.encode"],
                                          per_call["_openjph.encode"])]) * 1e6
    figures.append((extra <= MAX_SMALL_OVERHEAD_US,
                    f"encode RGB 64²: ferroglyph.encode {extra:+.1f} µs per call over "
                    f"_openjph.encode ({fmt(ours64)} vs {fmt(raw64)}; target ≤ "
                    f"{MAX_SMALL_OVERHEAD_US:.0f} µs)"))

    say("[memory] RGB 8-bit, lossless, tiled")
    with tempfile.TemporaryDirectory() as work:
        raw_file = Path(work) / "rgb.raw"
        rgb.tofile(raw_file)
        one, parallel = peak_delta(raw_file, rgb, "1"), peak_delta(raw_file, rgb, "2")
    size = len(oj.encode(rgb, tile=TILE))
    allowed = one + max(MEM_SLACK_MIN, int(MEM_SLACK_SHARE * rgb.nbytes))
    mib = 1 << 20
    figures.append((parallel <= allowed,
                    f"encode memory RGB 8-bit {BIG}², {TILE[0]}² tiles: the parallel encode's "
                    f"peak +{parallel / mib:.1f} MiB vs the one call's +{one / mib:.1f} MiB "
                    f"(input {rgb.nbytes / mib:.1f} MiB, codestream {size / mib:.1f} MiB); "
                    f"allowed ≤ {allowed / mib:.1f} MiB"))

    load1 = os.getloadavg()
    lines = [
        f"Parallel encode, run of {date} on {platform.processor() or platform.machine()}, "
        f"{cores} cores ({platform.system()} {platform.release()}); Python "
        f"{platform.python_version()}, NumPy {np.__version__}.",
        "",
        f"- Command: `make bench-encode` (`python bench/encode_parallel.py --reps {args.reps} "
        f"--small-reps {args.small_reps}`); rounds in alternating order; the table gives medians, the targets medians of ratios taken within a round.",
        f"- Load average {load0[0]:.2f} at the start, {load1[0]:.2f} at the end"
        + (" — **the machine was busy; rerun on a quiet machine for figures that count.**"
           if max(load0[0], load1[0]) > 0.25 * cores else "."),
        "- Every parallel codestream was checked byte for byte against `_openjph.encode`.",
        "",
        "| case | contender | time | MP/s | ÷ numthreads=1 (one thread) |",
        "|---|---|---|---|---|",
        *rows,
        "",
    ]
    for ok, text in figures:
        lines.append(f"- **{'PASS' if ok else 'FAIL'}** {text}")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
