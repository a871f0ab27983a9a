"""ferroglyph demo: encode a photograph to HTJ2K and decode it back.

Uses the C bridge installed with the package (through ctypes).  The image is a
real photograph from the shared test corpus when it is present beside the
checkout, otherwise a synthetic one.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

from ferroglyph.codecs import _bridge_ctypes

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "corpus"))
CANDIDATES = [
    ("openhtj2k_data/references/kodim23.ppm", "Kodak photo 23"),
    ("openjph_test_codestreams/references/mm.ppm", "16-bit photo"),
]


def read_pnm(path: str) -> np.ndarray:
    """Reads a binary PGM/PPM (8- or 16-bit) into (H, W) or (H, W, 3)."""
    with open(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    magic, w, h, maxval = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    channels = {b"P5": 1, b"P6": 3}[magic]
    dtype = np.dtype(">u2") if maxval > 255 else np.dtype("u1")
    pixels = np.frombuffer(data, dtype, h * w * channels, pos + 1).astype(dtype.newbyteorder("="))
    return pixels.reshape((h, w, channels) if channels == 3 else (h, w))


def synthetic_image(h: int = 512, w: int = 768) -> np.ndarray:
    """A smooth colour image with edges and a little texture."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    r = 128 + 100 * np.sin(x / 61.0) * np.cos(y / 47.0)
    g = 128 + 90 * np.cos((x + y) / 83.0)
    b = np.where((x - w / 2) ** 2 + (y - h / 2) ** 2 < (h / 3) ** 2, 200.0, 60.0)
    rng = np.random.default_rng(7)
    img = np.stack([r, g, b], axis=-1) + rng.normal(0, 3, (h, w, 3))
    return np.clip(img, 0, 255).astype(np.uint8)


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


def show(bridge: _bridge_ctypes.Bridge, name: str, img: np.ndarray) -> None:
    bits = 8 * img.itemsize
    comps = img.shape[2] if img.ndim == 3 else 1
    print(f"\n{name}: {img.shape[1]}x{img.shape[0]}, {comps} component(s) of {img.dtype}"
          f" ({img.nbytes:,} bytes)")
    print(f"  {'mode':<22}{'bytes':>10}{'ratio':>8}{'encode':>10}{'decode':>10}  quality")
    ct = img.ndim == 3 and img.shape[2] >= 3
    for label, kw in (("lossless (5/3)", dict(reversible=True)),
                      ("lossy, quality 90", dict(reversible=False, qfactor=90))):
        cs, t_enc = timed(lambda: bridge.encode(img, color_transform=ct, **kw))
        out, t_dec = timed(lambda: bridge.decode(cs))
        out = out.reshape(img.shape)
        if np.array_equal(out, img):
            quality = "bit-exact"
        else:
            quality = f"PSNR {psnr(img, out, 2 ** bits - 1):.2f} dB"
        print(f"  {label:<22}{len(cs):>10,}{img.nbytes / len(cs):>7.2f}x"
              f"{t_enc:>8.1f}ms{t_dec:>8.1f}ms  {quality}")
        if kw["reversible"]:
            lossless = cs
    info = bridge.decode_info(lossless)
    for r in range(1, min(3, info.num_decompositions) + 1):
        small, t = timed(lambda: bridge.decode(lossless, r))
        print(f"  reduced decode, reduce={r}: {small.shape[1]}x{small.shape[0]} in {t:.1f}ms")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("images", nargs="*", help="PGM/PPM files (default: corpus photographs)")
    args = ap.parse_args()
    bridge = _bridge_ctypes.load()
    images = [(p, read_pnm(p)) for p in args.images]
    if not images:
        for rel, label in CANDIDATES:
            path = os.path.join(CORPUS, rel)
            if os.path.exists(path):
                images.append((f"{label} ({rel})", read_pnm(path)))
    if not images:
        images.append(("synthetic colour image", synthetic_image()))
    print("ferroglyph: HTJ2K through the OpenJPH bridge")
    for name, img in images:
        show(bridge, name, img)
    warnings = bridge.last_warnings()
    if warnings:
        print("\nOpenJPH warnings:\n" + warnings)
    return 0


if __name__ == "__main__":
    sys.exit(main())
