"""ferroglyph demo: encode a photograph to HTJ2K and decode it back.

The images are real photographs from the shared test corpus when it is
present beside the checkout, otherwise a synthetic one; a float32 image shows
the bit-exact floating-point path.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import numpy as np

import ferroglyph
from ferroglyph import _image_files
from ferroglyph.codecs import _openjph

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "corpus"))
CANDIDATES = [
    ("openhtj2k_data/references/kodim23.ppm", "Kodak photo 23"),
    ("openjph_test_codestreams/references/mm.ppm", "16-bit photo"),
]


def read_pnm(path: str) -> np.ndarray:
    """Reads a binary PGM/PPM (8- or 16-bit) into (H, W) or (H, W, 3).

    The package's reader, the one its command line uses for PGM/PPM input.
    """
    with open(path, "rb") as f:
        return _image_files.read_pnm(f.read())[0]


def synthetic_image(h: int = 512, w: int = 768) -> np.ndarray:
    """A smooth colour image with edges and a little texture."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    r = 128 + 100 * np.sin(x / 61.0) * np.cos(y / 47.0)
    g = 128 + 90 * np.cos((x + y) / 83.0)
    b = np.where((x - w / 2) ** 2 + (y - h / 2) ** 2 < (h / 3) ** 2, 200.0, 60.0)
    rng = np.random.default_rng(7)
    img = np.stack([r, g, b], axis=-1) + rng.normal(0, 3, (h, w, 3))
    return np.clip(img, 0, 255).astype(np.uint8)


def float_field(h: int = 384, w: int = 512) -> np.ndarray:
    """A smooth float32 field with a few special values."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    field = np.sin(x / 40) * np.exp(-y / 300) * 1e3
    field[0, :3] = [np.inf, -0.0, np.float32(1e-42)]
    return field.astype(np.float32)


def psnr(a: np.ndarray, b: np.ndarray, peak: float) -> float:
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(peak * peak / mse)


def timed(fn, repeat: int = 3):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return result, best * 1e3


def quality(img: np.ndarray, out: np.ndarray) -> str:
    if img.dtype.kind == "f":
        same = np.array_equal(img.view(np.uint32), out.view(np.uint32))
        if same:
            return "bit-exact"
        finite = np.isfinite(img) & np.isfinite(out)
        return f"max error {np.abs(img[finite] - out[finite]).max():.3g}"
    if np.array_equal(out, img):
        return "bit-exact"
    return f"PSNR {psnr(img, out, 2 ** (8 * img.itemsize) - 1):.2f} dB"


def show(name: str, img: np.ndarray) -> None:
    comps = img.shape[2] if img.ndim == 3 else 1
    print(f"\n{name}: {img.shape[1]}x{img.shape[0]}, {comps} component(s) of {img.dtype}"
          f" ({img.nbytes:,} bytes)")
    print(f"  {'settings':<34}{'bytes':>11}{'ratio':>8}{'encode':>10}{'decode':>10}  quality")
    cases = [
        ("lossless", {}),
        ("lossy, quality 90", {"level": 90}),
        ("lossy, step 0.002", {"level": 0.002}),
        ("lossless, 256x256 tiles, TLM", {"tile": (256, 256), "tlm": True}),
    ]
    if img.dtype.kind == "f":
        cases = cases[:1] + [("lossy, step 2^-14", {"reversible": False})]
    lossless = None
    for label, kw in cases:
        cs, t_enc = timed(lambda: _openjph.encode(img, **kw))
        out, t_dec = timed(lambda: _openjph.decode(cs))
        lossless = lossless or cs
        print(f"  {label:<34}{len(cs):>11,}{img.nbytes / len(cs):>7.2f}x"
              f"{t_enc:>8.1f}ms{t_dec:>8.1f}ms  {quality(img, out)}")
    info = _openjph.decode_info(lossless)
    for r in range(1, min(3, info["num_decompositions"]) + 1):
        small, t = timed(lambda: _openjph.decode(lossless, reduce=r))
        print(f"  reduced decode, reduce={r}: {small.shape[1]}x{small.shape[0]} in {t:.1f}ms")
    out = np.empty_like(img)
    _openjph.decode(lossless, out=out)
    print(f"  decode into a caller's array: {'bit-exact' if quality(img, out) == 'bit-exact' else 'wrong'}")


def jph_round_trip(name: str, img: np.ndarray) -> None:
    """Writes ``img`` as a .jph file (the form other viewers open) and reads it back."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "demo.jph")
        _, t_write = timed(lambda: ferroglyph.imwrite(path, img, 90))
        with open(path, "rb") as f:
            head = f.read(80)
        back, t_read = timed(lambda: ferroglyph.imread(path))
        size = os.path.getsize(path)
    print(f"\n{name} as a .jph file (quality 90): {size:,} bytes, written in {t_write:.1f}ms, "
          f"read back in {t_read:.1f}ms as {back.shape} {back.dtype}, {quality(img, back)}")
    print(f"  brand {head[20:24].decode()!r}; boxes: signature, ftyp, jp2h (ihdr, colr), jp2c")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("images", nargs="*", help="PGM/PPM files (default: corpus photographs)")
    args = ap.parse_args()
    images = [(p, read_pnm(p)) for p in args.images]
    if not images:
        for rel, label in CANDIDATES:
            path = os.path.join(CORPUS, rel)
            if os.path.exists(path):
                images.append((f"{label} ({rel})", read_pnm(path)))
    if not images:
        images.append(("synthetic colour image", synthetic_image()))
    images.append(("float32 field (synthetic)", float_field()))
    print("ferroglyph: HTJ2K codec over OpenJPH")
    for name, img in images:
        show(name, img)
    jph_round_trip(*images[0])
    return 0


if __name__ == "__main__":
    sys.exit(main())
