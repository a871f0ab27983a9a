"""Rate and distortion targets: are they met, in how many passes, at what cost.

Run by ``make bench-rate``.  For each image and target the benchmark calls
``ferroglyph.encode(image, psnr=P)`` (or ``ratio=R``) and checks the result
against the target: the PSNR within [P, P + 1] dB, the size within [0.85, 1]
of ``image.nbytes / R`` (a lossless answer counts as met when it is the
smaller or fits), and at most 8 passes.  Then it times the call against one
encode at the step the search chose (plus one decode for PSNR targets), side
by side in rounds (A B, then B A, so that a drift in machine speed cancels;
figures are medians), and checks the call within 4x of that.

Images: Kodak's ``kodim23`` (768 x 512 RGB, 8 bits), ``mm.ppm`` (499 x 511
RGB, 16 bits) and ``kodim23`` mirrored to 4096 x 4096 and coded in 512 x 512
tiles.  ``--levels`` prints instead what each quality level and step gives
in PSNR and size on the corpus's photographs (the table in docs/rate.md).

The exit status is 1 when a target is missed or a call is over its time
budget.
"""

from __future__ import annotations

import argparse
import math
import platform
import statistics
import sys
import time
from collections.abc import Callable
from datetime import datetime, timezone
from functools import partial
from typing import Any

import images
import numpy as np

import ferroglyph

MM_RGB = "openjph_test_codestreams/references/mm.ppm"
PHOTOS = {
    "kodim23": images.KODIM23,
    "Bretagne1": "openjpeg_data/references/Bretagne1.ppm",
    "monarch": "openjph_test_codestreams/references/monarch.pgm",
    "mm (16-bit)": MM_RGB,
}
PSNRS = (30.0, 35.0, 40.0, 45.0, 50.0)
RATIOS = (5.0, 10.0, 20.0, 50.0, 100.0)
LEVELS = (10, 30, 50, 60, 70, 80, 90, 95, 99, 100)
STEPS = (0.001, 0.003, 0.01, 0.03, 0.1, 0.3)


def bench_images() -> list[tuple[str, np.ndarray, dict[str, Any]]]:
    kodim = images.read_pnm(images.CORPUS / images.KODIM23)
    mm = images.read_pnm(images.CORPUS / MM_RGB)
    big = images.mirrored(kodim, 4096, 4096)
    return [("kodim23 768x512 RGB8", kodim, {}),
            ("mm 499x511 RGB16", mm, {}),
            ("kodim23 4096x4096 RGB8, 512x512 tiles", big, {"tile": (512, 512)})]


def psnr_of(image: np.ndarray, decoded: np.ndarray) -> float:
    peak = float(np.iinfo(image.dtype).max)
    err = float(np.mean((image.astype(np.float64) - decoded) ** 2))
    return math.inf if err == 0 else 10 * math.log10(peak * peak / err)


def encode_decode(image: np.ndarray, level: Any, keywords: dict[str, Any]) -> None:
    ferroglyph.decode(ferroglyph.encode(image, level, **keywords))


def timed(fn: Callable[[], Any]) -> float:
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def side_by_side(a: Callable[[], Any], b: Callable[[], Any], rounds: int) -> tuple[float, float]:
    ta: list[float] = []
    tb: list[float] = []
    for r in range(rounds):
        pair = [(a, ta), (b, tb)] if r % 2 == 0 else [(b, tb), (a, ta)]
        for fn, out in pair:
            out.append(timed(fn))
    return statistics.median(ta), statistics.median(tb)


def run_targets(rounds: int, only: str | None) -> int:
    failures = 0
    print(f"Rate targets, {datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC, "
          f"{platform.machine()}, {ferroglyph.core.parallel.available_cpus()} CPUs; "
          f"medians of {rounds} rounds\n")
    print("| image | target | reached | bytes | passes | call | one pass | x | ok |")
    print("|---|---|---|---:|---:|---:|---:|---:|---|")
    for name, image, keywords in bench_images():
        if only and only not in name:
            continue
        ferroglyph.encode(image, 0.05, **keywords)  # warm up
        for kind, values in (("psnr", PSNRS), ("ratio", RATIOS)):
            for value in values:
                target = {kind: value}
                cs = ferroglyph.encode(image, **keywords, **target)
                stats = ferroglyph.last_encode_stats()
                assert stats is not None
                level = None if stats["lossless"] else (stats["step"] or stats["quality"])
                decoded = ferroglyph.decode(cs)
                psnr = psnr_of(image, decoded)
                if kind == "psnr":
                    met = (stats["lossless"] and psnr == math.inf) or value <= psnr <= value + 1
                    reached = "lossless" if stats["lossless"] else f"{psnr:.2f} dB"
                    one = partial(encode_decode, image, level, keywords)
                else:
                    limit = image.nbytes / value
                    met = len(cs) <= limit and (stats["lossless"] or len(cs) >= 0.85 * limit)
                    reached = ("lossless" if stats["lossless"] else
                               f"{image.nbytes / len(cs):.2f}:1 ({len(cs) / limit:.3f})")
                    one = partial(ferroglyph.encode, image, level, **keywords)
                met = bool(met) and stats["passes"] <= 8
                call = partial(ferroglyph.encode, image, **keywords, **target)
                t_call, t_one = side_by_side(call, one, rounds)
                fast = t_call <= 4 * t_one
                failures += (not met) + (not fast)
                print(f"| {name} | {kind}={value:g} | {reached} | {len(cs):,} | "
                      f"{stats['passes']} | {t_call * 1e3:.1f} ms | {t_one * 1e3:.1f} ms | "
                      f"{t_call / t_one:.2f} | {'yes' if met and fast else 'NO'} |", flush=True)
    print(f"\n{failures} failure(s). 'one pass' is one encode at the chosen step (plus one "
          "decode for PSNR targets); the call must stay within 4x of it.")
    return 1 if failures else 0


def run_levels() -> int:
    photos = {name: images.read_pnm(images.CORPUS / path) for name, path in PHOTOS.items()}
    print("PSNR in dB (bits per pixel) of each quality level and step; peak 255, or 65535 "
          "for the 16-bit mm.\n")
    print("| level | " + " | ".join(photos) + " |")
    print("|---|" + "---:|" * len(photos))
    for level in (*LEVELS, *STEPS, None):
        cells = []
        for image in photos.values():
            cs = ferroglyph.encode(image, level)
            psnr = psnr_of(image, ferroglyph.decode(cs))
            bpp = 8 * len(cs) / (image.shape[0] * image.shape[1])
            cells.append(f"{psnr:.1f} ({bpp:.2f})" if math.isfinite(psnr) else f"exact ({bpp:.2f})")
        label = "lossless" if level is None else (f"{level}" if level >= 1 else f"step {level:g}")
        print(f"| {label} | " + " | ".join(cells) + " |")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5, help="timing rounds (default 5)")
    parser.add_argument("--only", default=None, help="images whose name contains this")
    parser.add_argument("--levels", action="store_true",
                        help="print the level -> PSNR table of the corpus's photographs")
    args = parser.parse_args()
    return run_levels() if args.levels else run_targets(args.rounds, args.only)


if __name__ == "__main__":
    sys.exit(main())
