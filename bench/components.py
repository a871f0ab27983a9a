"""Components at their own sizes: a 4K 4:2:2 12-bit picture against 4:4:4.

Run by ``make bench-components``.  The picture is Kodak's ``kodim23``
mirrored to 3840 x 2160 (bench/images.py), turned into YCbCr with the
BT.709 matrix at 12 bits (narrow range: Y 256..3760, Cb/Cr 256..3840); its
4:2:2 form averages each horizontal pair of chroma samples.  Both forms are
coded the same way, without the component transform (the samples are
already YCbCr), lossless and at quality 90, and decoded with
``ferroglyph.decode_components``; the 4:4:4 form is also decoded with
``ferroglyph.decode`` (one interleaved array) for reference.  Every decode is
checked against its source (exact where lossless).  Contenders are timed in
rounds, A B then B A, so that a drift in machine speed cancels; the figures
are medians.  The output is a markdown block to paste into BENCHMARKS.md.
"""

from __future__ import annotations

import argparse
import platform
import statistics
import time
from collections.abc import Callable
from datetime import datetime, timezone

import numpy as np

import images
import ferroglyph

WIDTH, HEIGHT = 3840, 2160


def ycbcr12(width: int, height: int) -> list[np.ndarray]:
    """A photograph as 12-bit BT.709 narrow-range Y, Cb, Cr (uint16), 4:4:4."""
    rgb = images.mirrored(images.read_pnm(images.CORPUS / images.KODIM23), height, width)
    r, g, b = (rgb[..., i].astype(np.float64) / 255.0 for i in range(3))
    y = 0.2126 * r + 0.7152 * g + 0.0722 * b
    cb = (b - y) / 1.8556
    cr = (r - y) / 1.5748
    scale = 1 << 4  # 8-bit code values to 12 bits
    as12 = [np.rint((16 + 219 * y) * scale), np.rint((128 + 224 * cb) * scale),
            np.rint((128 + 224 * cr) * scale)]
    return [np.clip(v, 0, 4095).astype(np.uint16) for v in as12]


def to_422(plane: np.ndarray) -> np.ndarray:
    """Each horizontal pair averaged (rounded): half the columns."""
    pairs = plane.astype(np.uint32).reshape(plane.shape[0], -1, 2)
    return ((pairs.sum(axis=2) + 1) // 2).astype(np.uint16)


def median_times(contenders: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    times: dict[str, list[float]] = {name: [] for name in contenders}
    order = list(contenders)
    for r in range(rounds):
        for name in order if r % 2 == 0 else order[::-1]:
            start = time.perf_counter()
            contenders[name]()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()

    full = ycbcr12(WIDTH, HEIGHT)
    half = [full[0], to_422(full[1]), to_422(full[2])]
    samples_444 = sum(p.size for p in full)
    samples_422 = sum(p.size for p in half)
    interleaved = np.ascontiguousarray(np.stack(full, axis=-1))

    print(f"ferroglyph {ferroglyph.__version__}, {platform.python_implementation()} "
          f"{platform.python_version()}, {platform.machine()}, "
          f"{datetime.now(timezone.utc):%Y-%m-%d %H:%M} UTC")
    print(f"\n{WIDTH} x {HEIGHT} YCbCr, 12 bits: 4:4:4 {samples_444:,} samples, "
          f"4:2:2 {samples_422:,} samples; medians of {args.rounds} rounds\n")
    print("| coding | form | codestream bytes | decode_components | decode (one array) |")
    print("|---|---|---:|---:|---:|")
    for label, level in (("lossless", None), ("quality 90", 90)):
        cs_422 = ferroglyph.encode_components(half, level, bits=12)
        cs_444 = ferroglyph.encode_components(full, level, bits=12)
        # The same codestream as the 4:4:4 one, through the one-array decode.
        cs_444_one = ferroglyph.encode(interleaved, level, bits=12, rgb=False)
        for cs, source in ((cs_422, half), (cs_444, full)):
            got = ferroglyph.decode_components(cs)
            worst = max(int(np.abs(a.astype(np.int32) - s).max()) for a, s in zip(got, source))
            assert worst == 0 if level is None else worst < 400, (label, worst)
        if level is None:
            assert np.array_equal(ferroglyph.decode(cs_444_one), interleaved)
        t = median_times({
            "422": lambda: ferroglyph.decode_components(cs_422),
            "444": lambda: ferroglyph.decode_components(cs_444),
            "444 one": lambda: ferroglyph.decode(cs_444_one),
        }, args.rounds)
        print(f"| {label} | 4:2:2 | {len(cs_422):,} | {t['422'] * 1e3:.0f} ms | refused |")
        print(f"| {label} | 4:4:4 | {len(cs_444):,} | {t['444'] * 1e3:.0f} ms | "
              f"{t['444 one'] * 1e3:.0f} ms |")
        print(f"| {label} | 4:2:2 / 4:4:4 | {len(cs_422) / len(cs_444):.2f} | "
              f"{t['422'] / t['444']:.2f} | |")


if __name__ == "__main__":
    main()
