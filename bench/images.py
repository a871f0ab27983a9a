"""The benchmark's images: real photographs from the shared corpus.

Large sizes are made by mirroring a photograph about its edges (symmetric
padding), which keeps every edge of the result continuous, so the coder sees
photographic content everywhere and no artificial seams.  Nothing here is
noise or a synthetic ramp.

- RGB, 8 bits: Kodak's ``kodim23`` (768 x 512, parrots).
- Grey, 12 bits: ``mm.pgm`` (499 x 511, 16-bit), stretched linearly onto the
  full 12-bit range 0..4095 and held in uint16.
- float32: the same ``mm.pgm`` mapped linearly onto [-1, 1], so that negative
  values exercise the sign handling of the float path.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "demo"))
from demo import read_pnm  # noqa: E402  (one PGM/PPM reader for demo and benchmark)

CORPUS = Path(os.environ.get("FERROGLYPH_CORPUS", REPO.parent / "shared" / "corpus"))

KODIM23 = "openhtj2k_data/references/kodim23.ppm"
MM_GREY = "openjph_test_codestreams/references/mm.pgm"


def mirrored(image: np.ndarray, height: int, width: int) -> np.ndarray:
    """``image`` extended by reflection (or cropped) to height x width."""
    h, w = image.shape[:2]
    image = image[:min(h, height), :min(w, width)]
    pad = [(0, max(0, height - h)), (0, max(0, width - w))] + [(0, 0)] * (image.ndim - 2)
    return np.ascontiguousarray(np.pad(image, pad, mode="symmetric"))


def centre_crop(image: np.ndarray, size: int) -> np.ndarray:
    h, w = image.shape[:2]
    y, x = (h - size) // 2, (w - size) // 2
    return np.ascontiguousarray(image[y:y + size, x:x + size])


def rgb8(size: int) -> np.ndarray:
    """kodim23 at size x size: mirrored up, or its centre when smaller."""
    photo = read_pnm(CORPUS / KODIM23)
    if size <= min(photo.shape[:2]):
        return centre_crop(photo, size)
    return mirrored(photo, size, size)


def _mm_grey() -> np.ndarray:
    return read_pnm(CORPUS / MM_GREY).astype(np.int64)


def grey12(size: int) -> np.ndarray:
    """mm.pgm stretched onto 0..4095 (rounded), mirrored to size x size."""
    v = _mm_grey()
    lo, hi = int(v.min()), int(v.max())
    stretched = ((v - lo) * 4095 + (hi - lo) // 2) // (hi - lo)
    return mirrored(stretched.astype(np.uint16), size, size)


def float32(size: int) -> np.ndarray:
    """mm.pgm mapped linearly from 0..65535 onto [-1, 1], mirrored."""
    v = _mm_grey().astype(np.float64)
    return mirrored((v / 32767.5 - 1.0).astype(np.float32), size, size)
