"""Pillow through ferroglyph against Pillow's own JPEG 2000 plugin, same HTJ2K files.

``python bench/pillow_plugin.py [--rounds N]``: opens and loads each file
with ``Image.open`` twice per round, once through ``ferroglyph.pillow``
(format JPH) and once through Pillow's OpenJPEG-based plugin
(``formats=["JPEG2000"]``), alternating which goes first so that a drift in
machine speed cancels; prints the median time per decode of each, their
ratio and, for the plugin's overhead, ``ferroglyph.imread`` alone; checks
that both plugins give the same pixels for the lossless files.

The files: HTJ2K files from other encoders in the shared corpus (Kakadu's
1616 x 1080 RGB, lossless and lossy; a 16-bit grey one), and files written
by ferroglyph from the corpus's photograph (kodim23 mirrored to 2048 x
2048, one tile and 512 x 512 tiles).
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import Image, features

import ferroglyph
import ferroglyph.pillow  # noqa: F401  (registers the JPH format)

sys.path.insert(0, str(Path(__file__).resolve().parent))
import images  # noqa: E402

CORPUS_FILES = [
    ("Kakadu RGB 1616x1080, reversible", "openjph_test_codestreams/simple_dec_rev53_64x64.jph"),
    ("Kakadu RGB 1616x1080, irreversible", "openjph_test_codestreams/simple_dec_irv97_64x64.jph"),
    ("Kakadu grey 16-bit 499x511",
     "openjph_test_codestreams/simple_dec_rev53_64x64_16bit_gray.jph"),
]


def _load(path: str, formats: list[str] | None) -> tuple[float, Image.Image]:
    start = time.perf_counter()
    im = Image.open(path, formats=formats)
    im.load()
    return time.perf_counter() - start, im


def _files(folder: str) -> list[tuple[str, str, bool]]:
    out = [(name, str(images.CORPUS / rel), "rev" in rel) for name, rel in CORPUS_FILES]
    photo = images.rgb8(2048)
    for name, keywords in (("ferroglyph RGB 2048x2048, one tile", {}),
                           ("ferroglyph RGB 2048x2048, 512x512 tiles", {"tile": (512, 512)})):
        path = os.path.join(folder, f"{len(out)}.jph")
        ferroglyph.imwrite(path, photo, **keywords)
        out.append((name, path, True))
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    print(f"Pillow {Image.__version__} (OpenJPEG {features.version('jpg_2000')}), "
          f"ferroglyph {ferroglyph.__version__}, {platform.processor() or platform.machine()}, "
          f"{os.cpu_count()} CPUs; median of {args.rounds} rounds, ms per open+load")
    print()
    print("| file | Pillow via ferroglyph | Pillow's JPEG 2000 plugin | ratio "
          "| ferroglyph.imread alone |")
    print("|---|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as folder:
        for name, path, lossless in _files(folder):
            ours: list[float] = []
            theirs: list[float] = []
            alone: list[float] = []
            for r in range(args.rounds):
                start = time.perf_counter()
                ferroglyph.imread(path)
                alone.append(time.perf_counter() - start)
                order = [(None, ours), (["JPEG2000"], theirs)]
                for formats, times in (order if r % 2 == 0 else order[::-1]):
                    seconds, im = _load(path, formats)
                    times.append(seconds)
                    assert im.format == ("JPH" if formats is None else "JPEG2000")
            if lossless:
                a = np.asarray(_load(path, None)[1])
                b = np.asarray(_load(path, ["JPEG2000"])[1])
                assert np.array_equal(a, b), f"{name}: the plugins disagree"
            m_ours, m_theirs = statistics.median(ours) * 1e3, statistics.median(theirs) * 1e3
            print(f"| {name} | {m_ours:.1f} | {m_theirs:.1f} | {m_theirs / m_ours:.1f}x "
                  f"| {statistics.median(alone) * 1e3:.1f} |")


if __name__ == "__main__":
    main()
