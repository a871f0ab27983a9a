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
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parent.parent
CORPUS = Path(os.environ.get("FERROGLYPH_CORPUS", REPO.parent / "shared" / "corpus"))

KODIM23 = "openhtj2k_data/references/kodim23.ppm"
MM_GREY = "openjph_test_codestreams/references/mm.pgm"


def read_pnm(path: Path) -> np.ndarray:
    """A binary PGM (P5) or PPM (P6) as (H, W) or (H, W, 3), native order."""
    data = Path(path).read_bytes()
    fields: list[bytes] = []
    pos = 0
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
    pos += 1  # the single whitespace byte before the samples
    magic, width, height, maxval = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    if magic not in (b"P5", b"P6"):
        raise ValueError(f"{path}: not a binary PGM/PPM")
    comps = 3 if magic == b"P6" else 1
    dtype = np.dtype(">u2") if maxval > 255 else np.dtype(np.uint8)
    shape = (height, width, comps) if comps == 3 else (height, width)
    samples = np.frombuffer(data, dtype, count=width * height * comps, offset=pos)
    return samples.reshape(shape).astype(dtype.newbyteorder("="))


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
