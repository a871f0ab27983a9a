"""Lossy coding by sample type: the max error and PSNR of every quality level and step.

Run by ``make bench-lossy``.  For each sample type and precision the public
``ferroglyph.encode`` codes five images at quality levels 1-100 and at
explicit steps, and each decode is compared with its source:

- ``smooth``: a sum of sines and cosines filling the range;
- ``noise``: uniform random samples over the whole range;
- ``edges``: a checkerboard of 10 x 8 blocks at the two ends of the range;
- ``extreme``: random samples at the two ends of the range;
- ``photo``: kodim23 (the corpus's Kodak parrots; its centre, 128 x 128;
  luminance for one component), stretched onto the range.

For float32 the same fields span [-1, 1], [0, 1] and [1000, 1001] (a
range small against its magnitude).  A cell is ``max error % / PSNR dB``,
both relative to the data's range (2^bits - 1 for integers, max - min for
float32), or ``refused`` where ``encode`` raises ValueError (the rule's
refusal, naming what works).  The table after it checks the bounds
docs/lossy.md states and prints every case outside them; the output is the
markdown in docs/lossy.md.
"""

from __future__ import annotations

import argparse
import sys
import warnings
from collections.abc import Callable
from pathlib import Path

import numpy as np

import ferroglyph

H, W = 96, 112
LEVELS = (1, 10, 25, 50, 65, 75, 90, 95, 99, 100)
STEPS = (0.5, 0.1, 0.01, 1e-3, 1e-4)
ALL_LEVELS = tuple(range(1, 101))


def unit_fields(rng: np.random.Generator, photo: np.ndarray | None) -> dict[str, np.ndarray]:
    """Fields in [0, 1] for each content."""
    y, x = np.mgrid[0:H, 0:W] / np.array([H, W]).reshape(2, 1, 1)
    fields = {
        "smooth": 0.5 + 0.45 * np.sin(2 * np.pi * 1.3 * x + 1) * np.cos(2 * np.pi * 0.7 * y),
        "noise": rng.random((H, W)),
        "edges": ((x * 10).astype(int) + (y * 8).astype(int)) % 2 * 1.0,
        "extreme": (rng.random((H, W)) < 0.5) * 1.0,
    }
    if photo is not None:
        fields["photo"] = photo
    return fields


def photo_luma() -> np.ndarray | None:
    """kodim23's centre as luminance in [0, 1], or None without the corpus
    (``FERROGLYPH_CORPUS`` names its folder when it is not beside the checkout)."""
    try:
        sys.path.insert(0, str(Path(__file__).parent))
        import images

        rgb = images.centre_crop(images.read_pnm(images.CORPUS / images.KODIM23), max(H, W))
    except (OSError, ImportError):
        print("(no photo: the corpus was not found; set FERROGLYPH_CORPUS)", file=sys.stderr)
        return None
    luma = rgb[:H, :W].astype(np.float64) @ np.array([0.299, 0.587, 0.114])
    return (luma - luma.min()) / np.ptp(luma)


def integer(u: np.ndarray, dtype: str, bits: int) -> tuple[np.ndarray, float]:
    dt = np.dtype(dtype)
    lo, hi = (0, 2 ** bits - 1) if dt.kind == "u" else (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1)
    return np.clip(np.round(lo + u * (hi - lo)), lo, hi).astype(dt), float(hi - lo)


def measure(a: np.ndarray, span: float, level: float,
            **keywords: object) -> tuple[float, float] | None:
    """(max error, PSNR) relative to ``span``, or None when encode refuses."""
    try:
        cs = ferroglyph.encode(a, level, **keywords)
    except ValueError:
        return None
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        d = ferroglyph.decode(cs)
    err = np.abs(d.astype(np.float64) - a.astype(np.float64))
    mse = float(np.mean(err ** 2))
    return float(err.max()) / span, (10 * np.log10(span ** 2 / mse) if mse else float("inf"))


Case = tuple[str, Callable[[np.ndarray], tuple[np.ndarray, float]], dict[str, object]]


def cases() -> list[Case]:
    out: list[Case] = []
    for dtype, bits in (("uint8", 1), ("uint8", 2), ("uint8", 4), ("uint8", 8), ("int8", 8),
                        ("uint16", 12), ("uint16", 16), ("int16", 16), ("uint32", 20),
                        ("uint32", 24), ("uint32", 28), ("uint32", 32), ("int32", 32)):
        full = np.dtype(dtype).itemsize * 8
        keywords: dict[str, object] = {} if bits == full else {"bits": bits}
        out.append((f"{dtype}" + ("" if bits == full else f" bits={bits}"),
                    lambda u, d=dtype, b=bits: integer(u, d, b), keywords))
    for lo, hi in ((-1.0, 1.0), (0.0, 1.0), (1000.0, 1001.0)):
        out.append((f"float32 [{lo:g}, {hi:g}]",
                    lambda u, lo=lo, hi=hi: ((lo + u * (hi - lo)).astype(np.float32), hi - lo), {}))
    return out


def cell(r: tuple[float, float] | None) -> str:
    if r is None:
        return "refused"
    return f"{100 * r[0]:.2g}% / {min(r[1], 199):.0f}"


def table(fields: dict[str, np.ndarray], columns: tuple[float, ...], title: str) -> None:
    print(f"\n### {title}\n")
    print("| data | content | " + " | ".join(f"{c:g}" for c in columns) + " |")
    print("|---|---|" + "---|" * len(columns))
    for name, make, keywords in cases():
        for content, u in fields.items():
            a, span = make(u)
            print(f"| {name} | {content} | "
                  + " | ".join(cell(measure(a, span, c, **keywords)) for c in columns) + " |",
                  flush=True)


def colour_table() -> None:
    """Three components: OpenJPH's quality factor weighs chroma by its visibility."""
    print("\n### Three components (RGB, component transform on)\n")
    print("| data | content | " + " | ".join(f"{c:g}" for c in LEVELS) + " |")
    print("|---|---|" + "---|" * len(LEVELS))
    rng = np.random.default_rng(2)
    contents = {"noise": rng.random((H, W, 3))}
    try:
        sys.path.insert(0, str(Path(__file__).parent))
        import images

        rgb = images.centre_crop(images.read_pnm(images.CORPUS / images.KODIM23), max(H, W))
        contents["photo"] = rgb[:H, :W] / 255.0
    except (OSError, ImportError):
        pass
    for dtype in ("uint8", "uint16"):
        for content, u in contents.items():
            a, span = integer(u, dtype, np.dtype(dtype).itemsize * 8)
            print(f"| {dtype} RGB | {content} | "
                  + " | ".join(cell(measure(a, span, c)) for c in LEVELS) + " |", flush=True)


def check(fields: dict[str, np.ndarray]) -> int:
    """Every level 1-100 of every case against the stated bounds; prints what falls outside."""
    problems = 0
    for name, make, keywords in cases():
        for content, u in fields.items():
            a, span = make(u)
            best = -np.inf
            for level in ALL_LEVELS:
                r = measure(a, span, level, **keywords)
                if r is None:
                    continue
                worst, psnr = r
                one_lsb = worst * span <= 1 and a.dtype.kind != "f"
                limits = [(level >= 90, psnr >= 35, "PSNR < 35 dB at level >= 90"),
                          (level >= 90, worst <= 0.08, "max error > 8% at level >= 90"),
                          (level >= 75, worst <= 0.25 or one_lsb, "max error > 25% at level >= 75"),
                          (level >= 50, worst <= 0.6, "max error > 60% at level >= 50"),
                          (not one_lsb, psnr >= best - 3.5, "PSNR 3.5 dB below a lower level's")]
                for applies, ok, what in limits:
                    if applies and not ok:
                        problems += 1
                        print(f"  {name} {content} level {level}: {what} "
                              f"({100 * worst:.2g}%, {psnr:.1f} dB)")
                best = max(best, psnr)
    return problems


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="also check levels 1-100 against the bounds")
    args = parser.parse_args()
    fields = unit_fields(np.random.default_rng(1), photo_luma())
    print(f"ferroglyph {ferroglyph.__version__ if hasattr(ferroglyph, '__version__') else ''}, "
          f"{H} x {W} images; cells: max error (% of range) / PSNR (dB, peak = range)")
    table(fields, LEVELS, "Quality levels")
    table(fields, STEPS, "Steps (level below 1: a fraction of the range)")
    colour_table()
    if args.check:
        print("\n### Outside the bounds (levels 1-100)\n")
        print(f"\n{check(fields)} case(s) outside the bounds")


if __name__ == "__main__":
    main()
