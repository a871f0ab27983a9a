"""A ctypes view of the C bridge ``libopenjph_shim.so`` installed with the package.

The bridge is a plain C library, so any C caller can use it without the
extension module.  The tests use this binding to check the installed
library's C interface, and to decode independently of the extension module.
"""

from __future__ import annotations

import ctypes
import os
from dataclasses import dataclass

import numpy as np

import ferroglyph.codecs

__all__ = ["Bridge", "BridgeError", "EncodeParams", "Info", "Region", "load"]

_LIBRARY = os.path.join(os.path.dirname(ferroglyph.codecs.__file__), "libopenjph_shim.so")


class Info(ctypes.Structure):
    """``ferroglyph_htj2k_info``: header facts at a reduction."""

    _fields_ = [
        (name, ctypes.c_int32)
        for name in (
            "width", "height", "components", "bit_depth", "is_signed",
            "num_decompositions", "color_transform", "nlt_type", "uniform",
        )
    ]

    def as_dict(self) -> dict[str, int]:
        return {name: getattr(self, name) for name, _ in self._fields_}


class EncodeParams(ctypes.Structure):
    """``ferroglyph_htj2k_encode_params``: encoder settings."""

    _fields_ = (
        [(n, ctypes.c_int32) for n in (
            "width", "height", "components", "bit_depth", "is_signed",
            "bytes_per_sample", "src_planar", "reversible")]
        + [("irrev_delta", ctypes.c_float)]
        + [(n, ctypes.c_int32) for n in (
            "qfactor", "num_decomp", "color_transform", "nlt_binary_complement",
            "tile_w", "tile_h", "tlm", "tilepart_resolutions", "tilepart_components",
            "block_w", "block_h")]
        + [("prog_order", ctypes.c_char_p), ("profile", ctypes.c_char_p)]
    )


class Region(ctypes.Structure):
    """``ferroglyph_htj2k_region``: where an encode's samples lie in a larger image."""

    _fields_ = [("x0", ctypes.c_int32), ("y0", ctypes.c_int32), ("row_stride", ctypes.c_int64),
                ("plane_stride", ctypes.c_int64), ("header_only", ctypes.c_int32)]


class BridgeError(RuntimeError):
    """A bridge call returned a non-zero code; ``code`` and ``text`` tell why."""

    def __init__(self, operation: str, code: int, text: str):
        super().__init__(f"{operation}: {text} (rc={code})")
        self.operation = operation
        self.code = code
        self.text = text


@dataclass
class Bridge:
    """The loaded bridge library with typed entry points."""

    lib: ctypes.CDLL

    def __post_init__(self) -> None:
        lib = self.lib
        u8p = ctypes.c_void_p
        lib.ferroglyph_htj2k_decode_info.argtypes = [
            u8p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.POINTER(Info)]
        lib.ferroglyph_htj2k_decode.argtypes = [
            u8p, ctypes.c_size_t, u8p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
            ctypes.c_int, ctypes.c_int, ctypes.c_int]
        lib.ferroglyph_htj2k_encode.argtypes = [
            u8p, ctypes.POINTER(EncodeParams), ctypes.POINTER(ctypes.c_void_p),
            ctypes.POINTER(ctypes.c_size_t)]
        lib.ferroglyph_htj2k_encode_region.argtypes = [
            u8p, ctypes.POINTER(EncodeParams), ctypes.POINTER(Region),
            ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t)]
        lib.ferroglyph_htj2k_free.argtypes = [ctypes.c_void_p]
        lib.ferroglyph_htj2k_free.restype = None
        lib.ferroglyph_htj2k_last_error.restype = ctypes.c_char_p
        lib.ferroglyph_htj2k_last_warnings.restype = ctypes.c_char_p
        lib.ferroglyph_htj2k_clear_warnings.restype = None

    def last_error(self) -> str:
        return self.lib.ferroglyph_htj2k_last_error().decode("utf-8", "replace")

    def last_warnings(self) -> str:
        return self.lib.ferroglyph_htj2k_last_warnings().decode("utf-8", "replace")

    def clear_warnings(self) -> None:
        self.lib.ferroglyph_htj2k_clear_warnings()

    def _check(self, operation: str, rc: int) -> None:
        if rc != 0:
            raise BridgeError(operation, rc, self.last_error())

    def decode_info(self, codestream: bytes, reduce: int = 0, *, resilient: bool = False) -> Info:
        info = Info()
        rc = self.lib.ferroglyph_htj2k_decode_info(
            codestream, len(codestream), reduce, reduce, int(resilient), ctypes.byref(info))
        self._check("decode_info", rc)
        return info

    def decode(self, codestream: bytes, reduce: int = 0, *, planar: bool = False,
               resilient: bool = False) -> np.ndarray:
        """Decodes into a new array: (H, W, C), or (C, H, W) when ``planar``."""
        info = self.decode_info(codestream, reduce, resilient=resilient)
        size = 1 if info.bit_depth <= 8 else 2 if info.bit_depth <= 16 else 4
        dtype = np.dtype(f"{'i' if info.is_signed else 'u'}{size}")
        shape = ((info.components, info.height, info.width) if planar
                 else (info.height, info.width, info.components))
        out = np.empty(shape, dtype)
        rc = self.lib.ferroglyph_htj2k_decode(
            codestream, len(codestream), out.ctypes.data, out.nbytes, size, reduce, reduce,
            int(resilient), int(planar))
        self._check("decode", rc)
        return out

    def encode(self, image: np.ndarray, *, planar: bool = False, bit_depth: int | None = None,
               reversible: bool = True, qfactor: int = 0, num_decomp: int = -1,
               color_transform: bool = False, region: Region | None = None,
               **settings) -> bytes:
        """Encodes an integer array: (H, W), (H, W, C), or (C, H, W) when ``planar``.

        With ``region``, the array is that part of a larger image
        (``ferroglyph_htj2k_encode_region``); strides left at 0 are taken
        from the array, which may then be a view with padded rows or planes.
        """
        if region is None:
            image = np.ascontiguousarray(image)
        if image.dtype.kind not in "iu" or image.itemsize not in (1, 2, 4):
            raise TypeError(f"unsupported sample type {image.dtype}")
        if image.ndim == 2:
            (h, w), c = image.shape, 1
        elif planar:
            c, h, w = image.shape
        else:
            h, w, c = image.shape
        p = EncodeParams(
            width=w, height=h, components=c, bit_depth=bit_depth or 8 * image.itemsize,
            is_signed=image.dtype.kind == "i", bytes_per_sample=image.itemsize,
            src_planar=planar or c == 1, reversible=reversible, qfactor=qfactor,
            num_decomp=num_decomp, color_transform=color_transform)
        for name, value in settings.items():
            setattr(p, name, value.encode() if isinstance(value, str) else value)
        buf, size = ctypes.c_void_p(), ctypes.c_size_t()
        if region is None:
            rc = self.lib.ferroglyph_htj2k_encode(
                image.ctypes.data, ctypes.byref(p), ctypes.byref(buf), ctypes.byref(size))
        else:
            region = Region(region.x0, region.y0, region.row_stride, region.plane_stride,
                            region.header_only)
            if not region.row_stride and image.ndim > 1:
                region.row_stride = image.strides[-2 if (planar or image.ndim == 2) else 0] \
                    // image.itemsize
            if not region.plane_stride and planar and image.ndim == 3:
                region.plane_stride = image.strides[0] // image.itemsize
            rc = self.lib.ferroglyph_htj2k_encode_region(
                image.ctypes.data, ctypes.byref(p), ctypes.byref(region), ctypes.byref(buf),
                ctypes.byref(size))
        self._check("encode", rc)
        try:
            return ctypes.string_at(buf, size.value)
        finally:
            self.lib.ferroglyph_htj2k_free(buf)


def load(path: str = _LIBRARY) -> Bridge:
    """Loads the bridge library installed with this package (or ``path``)."""
    return Bridge(ctypes.CDLL(path))
