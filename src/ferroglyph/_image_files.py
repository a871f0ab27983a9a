"""Reading and writing the image files the command line converts from and to.

NumPy's .npy and binary PGM/PPM (8 and 16 bit) need nothing beyond NumPy;
PNG needs Pillow and TIFF needs tifffile, the optional extra ``ferroglyph[io]``.
"""

from __future__ import annotations

import io
import os
from typing import Any

import numpy as np

__all__ = ["READ_SUFFIXES", "WRITE_SUFFIXES", "MissingExtra", "image_bytes", "pnm_suffix",
           "read_image", "read_metadata"]

READ_SUFFIXES = (".npy", ".pgm", ".ppm", ".pnm", ".png", ".tif", ".tiff")
WRITE_SUFFIXES = READ_SUFFIXES


class MissingExtra(ImportError):
    """An optional package that a file format needs is not installed."""


def _need(module: str, package: str, what: str) -> Any:
    try:
        return __import__(module, fromlist=["_"])
    except ImportError:
        raise MissingExtra(
            f"{what} needs {package}, which is not installed: pip install 'ferroglyph[io]'"
        ) from None


# ---------------------------------------------------------------------------
# PGM / PPM (netpbm P5 and P6)


def _pnm_fields(data: bytes) -> tuple[list[bytes], int]:
    """The four header fields and the offset of the samples."""
    fields: list[bytes] = []
    pos = 0
    while len(fields) < 4:
        while pos < len(data) and data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            end = data.find(b"\n", pos)
            if end < 0:
                break
            pos = end + 1
            continue
        end = pos
        while end < len(data) and not data[end:end + 1].isspace():
            end += 1
        if end == pos:
            break
        fields.append(data[pos:end])
        pos = end
    if len(fields) < 4 or pos >= len(data):
        raise ValueError("not a binary PGM/PPM file: its header is incomplete")
    return fields, pos + 1  # exactly one whitespace byte ends the header


def read_pnm(data: bytes) -> tuple[np.ndarray, int | None]:
    """A binary PGM (P5) or PPM (P6) as (H, W) or (H, W, 3) uint8/uint16,
    and the precision its maximum value states (12 for 4095), if any."""
    fields, offset = _pnm_fields(data)
    channels = {b"P5": 1, b"P6": 3}.get(fields[0])
    if channels is None:
        raise ValueError(f"not a binary PGM/PPM file (its magic is {fields[0][:8]!r}, "
                         "not P5 or P6)")
    try:
        width, height, maxval = (int(f) for f in fields[1:4])
    except ValueError:
        raise ValueError("not a binary PGM/PPM file: its size or maximum is not a number") \
            from None
    if width < 1 or height < 1 or not 1 <= maxval <= 65535:
        raise ValueError(f"a PGM/PPM header with width {width}, height {height}, "
                         f"maximum {maxval}")
    dtype = np.dtype(">u2") if maxval > 255 else np.dtype("u1")
    need = width * height * channels * dtype.itemsize
    if len(data) - offset < need:
        raise ValueError(f"truncated PGM/PPM file: {need} bytes of samples expected, "
                         f"{len(data) - offset} present")
    pixels = np.frombuffer(data, dtype, width * height * channels, offset)
    pixels = pixels.astype(dtype.newbyteorder("="))
    pixels = pixels.reshape((height, width, channels) if channels == 3 else (height, width))
    bits = maxval.bit_length() if maxval & (maxval + 1) == 0 else None
    return pixels, bits


def pnm_suffix(image: np.ndarray) -> str | None:
    """.pgm or .ppm when a PNM file can hold ``image``, else None."""
    if image.dtype not in (np.uint8, np.uint16):
        return None
    if image.ndim == 2 or (image.ndim == 3 and image.shape[2] == 1):
        return ".pgm"
    if image.ndim == 3 and image.shape[2] == 3:
        return ".ppm"
    return None


def write_pnm(image: np.ndarray, bit_depth: int | None = None) -> bytes:
    suffix = pnm_suffix(image)
    if suffix is None:
        raise ValueError(f"a PGM/PPM file holds 1 or 3 components of uint8 or uint16; this "
                         f"image is {image.dtype} of shape {image.shape} (write .npy or .tif)")
    bits = bit_depth or image.dtype.itemsize * 8
    magic = b"P5" if suffix == ".pgm" else b"P6"
    h, w = image.shape[:2]
    header = b"%s\n%d %d\n%d\n" % (magic, w, h, (1 << bits) - 1)
    samples = image.astype(image.dtype.newbyteorder(">"), copy=False)
    return header + np.ascontiguousarray(samples).tobytes()


# ---------------------------------------------------------------------------
# Any supported file


def read_image(path: str) -> tuple[np.ndarray, int | None]:
    """The samples of an image file, and the precision the file states (PNM only)."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".npy":
        return np.load(path, allow_pickle=False), None
    if suffix in (".pgm", ".ppm", ".pnm"):
        with open(path, "rb") as f:
            return read_pnm(f.read())
    if suffix == ".png":
        pil = _need("PIL.Image", "Pillow", "reading PNG files")
        with pil.open(path) as im:
            if im.mode in ("P", "PA"):
                im = im.convert("RGBA" if "transparency" in im.info or im.mode == "PA" else "RGB")
            elif im.mode == "1":
                im = im.convert("L")
            return np.asarray(im), None
    if suffix in (".tif", ".tiff"):
        tifffile = _need("tifffile", "tifffile", "reading TIFF files")
        return tifffile.imread(path), None
    raise ValueError(f"cannot read {suffix or 'files without a suffix'}: "
                     f"the readable suffixes are {', '.join(READ_SUFFIXES)}")


def read_metadata(path: str) -> dict[str, Any]:
    """The ICC profile and resolution (dpi) a PNG or TIFF file states, as
    keywords of :func:`ferroglyph.imwrite`; empty for other files."""
    suffix = os.path.splitext(path)[1].lower()
    meta: dict[str, Any] = {}
    if suffix == ".png":
        pil = _need("PIL.Image", "Pillow", "reading PNG files")
        with pil.open(path) as im:
            icc, dpi = im.info.get("icc_profile"), im.info.get("dpi")
    elif suffix in (".tif", ".tiff"):
        tifffile = _need("tifffile", "tifffile", "reading TIFF files")
        with tifffile.TiffFile(path) as tif:
            page = tif.pages.first
            icc = page.iccprofile
            dpi = None
            if "XResolution" in page.tags and "YResolution" in page.tags:
                unit = int(page.tags["ResolutionUnit"].value) if "ResolutionUnit" in \
                    page.tags else 2
                per_inch = {2: 1.0, 3: 2.54}.get(unit)  # 1: no unit, an aspect ratio only
                x, y = (page.tags[t].value for t in ("XResolution", "YResolution"))
                if per_inch and x[1] and y[1] and x[0] and y[0]:
                    dpi = (x[0] / x[1] * per_inch, y[0] / y[1] * per_inch)
    else:
        return meta
    if icc:
        meta["icc_profile"] = bytes(icc)
    if dpi and all(v > 0 for v in dpi):
        meta["dpi"] = tuple(float(v) for v in dpi)
    return meta


def image_bytes(image: np.ndarray, suffix: str, bit_depth: int | None = None,
                metadata: dict[str, Any] | None = None) -> bytes:
    """The bytes of an image file of kind ``suffix`` holding ``image``; PNG
    and TIFF files also carry ``metadata``'s ``icc_profile`` and ``dpi``."""
    extra = {k: v for k, v in (metadata or {}).items()
             if k in ("icc_profile", "dpi") and v is not None}
    suffix = suffix.lower()
    if suffix == ".npy":
        buf = io.BytesIO()
        np.save(buf, image, allow_pickle=False)
        return buf.getvalue()
    if suffix in (".pgm", ".ppm", ".pnm"):
        return write_pnm(image, bit_depth)
    if suffix == ".png":
        pil = _need("PIL.Image", "Pillow", "writing PNG files")
        if image.ndim == 3 and image.shape[2] == 1:
            image = image[:, :, 0]
        buf = io.BytesIO()
        try:
            pil.fromarray(image).save(buf, format="PNG", **extra)
        except (TypeError, ValueError, KeyError) as e:
            raise ValueError(f"a PNG file cannot hold {image.dtype} of shape {image.shape} "
                             f"({e}); write .tif or .npy") from None
        return buf.getvalue()
    if suffix in (".tif", ".tiff"):
        tifffile = _need("tifffile", "tifffile", "writing TIFF files")
        buf = io.BytesIO()
        tiff_extra: dict[str, Any] = {}
        if "icc_profile" in extra:
            tiff_extra["iccprofile"] = extra["icc_profile"]
        if "dpi" in extra:
            tiff_extra.update(resolution=tuple(extra["dpi"]), resolutionunit="INCH")
        tifffile.imwrite(buf, image, photometric="rgb" if image.ndim == 3 and
                         image.shape[2] in (3, 4) else "minisblack", **tiff_extra)
        return buf.getvalue()
    raise ValueError(f"cannot write {suffix or 'files without a suffix'}: "
                     f"the writable suffixes are {', '.join(WRITE_SUFFIXES)}")
