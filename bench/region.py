"""Windows of large images: what a window costs against the whole decode.

Run by ``make bench-region`` (``--size`` for a smaller image on a busy
machine).  Three measurements, each a median of rounds in which the
contenders alternate (A B, then B A), so that a drift in machine speed
cancels; every window is checked against the crop of the whole decode.

1. A ``size`` x ``size`` x 3 uint8 image (default 16384), lossless, 512 x 512
   tiles, stored as ``.jph`` with and without TLM: a 1024 x 1024 window at an
   unaligned position, read with ``imread(region=)``, against ``imread`` of
   the whole file, with the same thread count; and the bytes ``imread``
   reads for the window (counted at the file object, unbuffered) as a share
   of the file.  Target: at least 40x faster, at most 2 % of the file.
2. A ``size / 4`` square one-tile image: a window in the top quarter against
   the whole decode.  Target: at most 0.6 of the time.
3. The tiled image at reduce 2: a window's decode against the share of the
   whole reduce-2 decode that the tiles it meets represent; the difference
   is the window's fixed overhead, measured with a one-pixel window.

The output is a markdown block to paste into BENCHMARKS.md.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import tempfile
import time
from collections.abc import Callable
from datetime import datetime, timezone
from typing import Any

import numpy as np

import ferroglyph
from ferroglyph import _window


def image(size: int) -> np.ndarray:
    """A smooth RGB field with texture, so tiles cost about the same to decode."""
    rng = np.random.default_rng(16384)
    y = np.linspace(0, 255, size, dtype=np.float32)[:, None]
    x = np.linspace(0, 255, size, dtype=np.float32)[None, :]
    y, x = np.broadcast_arrays(y, x)
    base = np.stack([(y + x) / 2, y, x], axis=-1)
    noise = rng.integers(0, 12, (size, size, 3), dtype=np.uint8)
    return base.astype(np.uint8) + noise  # wraps around: texture, not a fault


def rounds(contenders: dict[str, Callable[[], Any]], n: int) -> dict[str, float]:
    """Median seconds of each contender, alternating the order each round."""
    times: dict[str, list[float]] = {k: [] for k in contenders}
    names = list(contenders)
    for i in range(n):
        for name in names if i % 2 == 0 else names[::-1]:
            t = time.perf_counter()
            contenders[name]()
            times[name].append(time.perf_counter() - t)
    return {k: statistics.median(v) for k, v in times.items()}


class Counting:
    """An unbuffered file whose reads are counted."""

    def __init__(self, path: str) -> None:
        self.f = open(path, "rb", buffering=0)  # noqa: SIM115
        self.bytes = 0

    def seek(self, *a: int) -> int:
        return self.f.seek(*a)

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self.f.tell()

    def read(self, n: int = -1) -> bytes:
        got = self.f.read(n)
        self.bytes += len(got)
        return got

    def close(self) -> None:
        self.f.close()


def counted_window(path: str, region: tuple[int, int, int, int], **kw: Any) -> tuple[Any, int]:
    f = Counting(path)
    try:
        return _window.object_window(f, region, **kw), f.bytes
    finally:
        f.close()


def tiled(size: int, folder: str, n: int, numthreads: int | None) -> list[str]:
    a = image(size)
    lines = []
    win = size // 16
    y0, x0 = size // 3 + 77, size // 2 + 131  # unaligned to the 512 grid
    region = (y0, x0, y0 + win, x0 + win)
    for tlm in (False, True):
        path = os.path.join(folder, f"tiled_{tlm}.jph")
        ferroglyph.imwrite(path, a, tile=(512, 512), tlm=tlm)
        got, read = counted_window(path, region, numthreads=numthreads)
        assert np.array_equal(got, a[y0:y0 + win, x0:x0 + win])
        t = rounds({"whole": lambda p=path: ferroglyph.imread(p, numthreads=numthreads),
                    "window": lambda p=path: ferroglyph.imread(p, region=region,
                                                               numthreads=numthreads)}, n)
        share = read / os.path.getsize(path)
        lines.append(
            f"| {size}^2 x 3, 512^2 tiles, .jph {'with' if tlm else 'without'} TLM, "
            f"{win}^2 window | {t['whole'] * 1e3:.0f} ms | {t['window'] * 1e3:.1f} ms | "
            f"{t['whole'] / t['window']:.0f}x (>= 40x) | {100 * share:.2f} % (<= 2 %) |")
    return lines


def one_tile(size: int, n: int) -> list[str]:
    side = size // 4
    a = image(side)
    coded = ferroglyph.encode(a)
    region = (side // 16, side // 8, side // 4, side // 2)  # inside the top quarter
    got = ferroglyph.decode(coded, region=region)
    assert np.array_equal(got, a[region[0]:region[2], region[1]:region[3]])
    t = rounds({"whole": lambda: ferroglyph.decode(coded),
                "window": lambda: ferroglyph.decode(coded, region=region)}, n)
    return [f"| {side}^2 x 3, one tile, window in the top quarter | {t['whole'] * 1e3:.0f} ms | "
            f"{t['window'] * 1e3:.0f} ms | {t['window'] / t['whole']:.2f} of whole (<= 0.6) | |"]


def reduced(size: int, folder: str, n: int, numthreads: int | None) -> list[str]:
    path = os.path.join(folder, "tiled_True.jph")
    r = 2
    win = size // 16
    y0, x0 = size // 3 + 77, size // 2 + 131
    region = (y0, x0, y0 + win, x0 + win)
    py, px = y0 - y0 % (1 << r), x0 - x0 % (1 << r)
    pixel = (py, px, py + 1, px + 1)
    tiles_meeting = (((y0 + win - 1) // 512 - y0 // 512 + 1)
                     * ((x0 + win - 1) // 512 - x0 // 512 + 1))
    total_tiles = (-(-size // 512)) ** 2
    t = rounds({"whole": lambda: ferroglyph.imread(path, reduce=r, numthreads=numthreads),
                "window": lambda: ferroglyph.imread(path, region=region, reduce=r,
                                                    numthreads=numthreads),
                "pixel": lambda: ferroglyph.imread(path, region=pixel, reduce=r,
                                                   numthreads=numthreads)}, n)
    share = t["whole"] * tiles_meeting / total_tiles
    # The fixed overhead: a one-sample window (on the 2**r grid, so that it
    # keeps a sample) decodes one tile; what it costs beyond that tile's share.
    overhead = t["pixel"] - t["whole"] / total_tiles
    return [f"| reduce 2, {win}^2 window meeting {tiles_meeting} of {total_tiles} tiles | "
            f"{t['whole'] * 1e3:.0f} ms | {t['window'] * 1e3:.1f} ms | tile share "
            f"{share * 1e3:.1f} ms + fixed overhead {overhead * 1e3:.1f} ms = "
            f"{(share + overhead) * 1e3:.1f} ms | |"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=16384)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--numthreads", type=int, default=None)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        rows = tiled(args.size, folder, args.rounds, args.numthreads)
        rows += reduced(args.size, folder, args.rounds, args.numthreads)
    rows += one_tile(args.size, args.rounds)
    when = datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    print(f"### Windows ({when}, {platform.machine()}, {os.cpu_count()} CPUs, "
          f"numthreads={args.numthreads}, median of {args.rounds} rounds)\n")
    print("| case | whole | window | ratio | bytes read |")
    print("|---|---|---|---|---|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
