"""Pillow plugin: ``Image.open`` and ``Image.save`` of HTJ2K through ferroglyph.

Importing this module registers the format ``"JPH"`` with Pillow::

    import ferroglyph.pillow  # noqa: F401
    from PIL import Image

    im = Image.open("scan.jph")          # decoded by ferroglyph
    im.save("copy.jph", level=90)        # encoded by ferroglyph

HTJ2K codestreams (raw, or in a .jph/.jp2 file) are opened here; classic
JPEG 2000 goes on to Pillow's own JPEG 2000 plugin, and so do layouts that
have no exact Pillow mode here but that Pillow's plugin opens (colour of more
than 8 bits, subsampled components, CMYK and sYCC files, palettes).  Pixels
are those of Pillow's own plugin for the same file: a B-bit grey image
becomes ``L`` (B <= 8) or ``I;16`` (B <= 16) with its samples shifted left to
the mode's full width, signed samples offset by 2**(B-1) first.  Grey images
of more than 16 bits become ``I`` and float32 ones ``F``, exactly (Pillow's
plugin drops their low bits or cannot read them).
"""

from __future__ import annotations

import os
from typing import IO, Any, NamedTuple

import numpy as np
from PIL import Image, ImageFile, UnidentifiedImageError

from . import _api, _codestream, _jp2, _metadata
from .codecs._openjph import OpenJphError

__all__ = ["FORMAT", "JphImageFile", "register"]

FORMAT = "JPH"
_EXTENSIONS = [".jph", ".jhc"]
_RAW_SUFFIXES = (".j2c", ".j2k", ".jhc", ".jpc")
# Enumerated colour spaces Pillow's plugin turns into other modes (CMYK,
# sYCC converted to RGB, bilevel): left to it.
_PILLOW_COLOURS = ("sRGB", "greyscale", "icc", None)


class _Layout(NamedTuple):
    mode: str
    rawmode: str
    shift: int  # left shift into the mode's container, as Pillow's plugin does
    offset: int  # added to signed samples before the shift, likewise


class _FallThrough(Exception):
    """Pillow's own JPEG 2000 plugin opens this layout: let it."""


def _layout(info: dict[str, Any], colour: Any) -> _Layout:
    """The Pillow mode of a codestream; _FallThrough for layouts Pillow's
    plugin opens; UnidentifiedImageError for what neither opens."""
    nc, bits, signed = info["components"], info["bit_depth"], info["signed"]
    if colour not in _PILLOW_COLOURS:
        raise _FallThrough(f"colour space {colour}")
    if not info["uniform"]:
        if nc <= 4:
            raise _FallThrough("components of different sizes")
        raise UnidentifiedImageError(
            "this HTJ2K image's components differ in size or precision and no Pillow mode "
            "holds them; read it with ferroglyph.decode_components()")
    offset = 1 << (bits - 1) if signed else 0
    if info["dtype"] == np.float32:
        if nc == 1:
            return _Layout("F", "F", 0, 0)
    elif nc == 1:
        if bits <= 8:
            return _Layout("L", "L", 8 - bits, offset)
        if bits <= 16:
            return _Layout("I;16", "I;16", 16 - bits, offset)
        if signed or bits <= 31:
            return _Layout("I", "I", 0, 0)
    elif nc <= 4:
        if bits <= 8:
            mode = ("LA", "RGB", "RGBA")[nc - 2]
            return _Layout(mode, mode, 8 - bits, offset)
        if bits <= 16:
            raise _FallThrough(f"{nc} components of {bits} bits")
    raise UnidentifiedImageError(
        f"no Pillow mode holds this HTJ2K image ({nc} component{'s' if nc != 1 else ''}, "
        f"{info['dtype']}, {bits} bits); read it with ferroglyph.imread()")


class JphImageFile(ImageFile.ImageFile):
    """An HTJ2K image (.jph, .jhc, HT codestreams) opened through ferroglyph."""

    format = FORMAT
    format_description = "HTJ2K (JPEG 2000 Part 15) through ferroglyph"

    def _open(self) -> None:
        fp = self.fp
        assert fp is not None
        start = fp.tell()
        size = fp.seek(0, os.SEEK_END) - start
        read = _codestream.file_reader(fp, start)

        try:
            found = _jp2.head(read, size)
        except OpenJphError as e:
            raise SyntaxError(f"not an HTJ2K file: {e}") from None
        if not found.is_ht:
            raise SyntaxError("classic JPEG 2000: left to Pillow's JPEG 2000 plugin")
        where, prefix = found.where, found.prefix
        meta = _metadata.read_metadata(read, where.boxes) if where.boxes else None
        if meta and "pclr" in {c["type"] for b in meta["boxes"] if b["type"] == "jp2h"
                               for c in b.get("boxes", ())}:
            raise SyntaxError("a palette image: left to Pillow's JPEG 2000 plugin")
        try:
            info = _api.decode_info(prefix)
        except OpenJphError as e:
            raise SyntaxError(f"HTJ2K header not read: {e}") from None
        try:
            layout = _layout(info, meta["colour"] if meta else None)
        except _FallThrough as e:
            raise SyntaxError(f"{e}: left to Pillow's JPEG 2000 plugin") from None
        self._layout = layout
        self._where = (start + where.offset, where.length, where.truncated)
        self._prefix = prefix
        self._levels = int(info["num_decompositions"])
        self._reduce = 0
        self._mode = layout.mode
        self._size = (info["width"], info["height"])
        if meta:
            for key in ("icc_profile", "dpi"):
                if meta[key] is not None:
                    self.info[key] = meta[key]
            if meta["xmp"] is not None:
                self.info["xmp"] = meta["xmp"].encode("utf-8")
            if meta["xml"]:
                self.info["xml"] = meta["xml"]
        self.tile = [ImageFile._Tile("ferroglyph", (0, 0, *self.size), 0, self._args())]

    def _args(self) -> tuple[Any, ...]:
        return (*self._where, self._reduce, *self._layout)

    def _reduced_size(self, r: int) -> tuple[int, int]:
        shape = _api.decode_info(self._prefix, reduce=r)["shape"]
        return int(shape[1]), int(shape[0])

    # Pillow's JPEG 2000 plugin takes ``im.reduce = r`` before load() for a
    # resolution level; Image.reduce() the method stays reachable when it is 0.
    @property
    def reduce(self) -> Any:
        return self._reduce or super().reduce

    @reduce.setter
    def reduce(self, value: int) -> None:
        self._reduce = value

    def draft(self, mode: str | None, size: tuple[int, int] | None
              ) -> tuple[str, tuple[int, int, float, float]] | None:
        """Chooses the coarsest resolution level no smaller than ``size``
        (what ``thumbnail`` asks for); the mode stays."""
        if not self.tile or size is None or self._reduce:
            return None
        width, height = self.size
        r = 0
        while r < self._levels:
            w, h = self._reduced_size(r + 1)
            if w < size[0] or h < size[1]:
                break
            r += 1
        if r == 0:
            return None
        self._reduce = r
        self._size = self._reduced_size(r)
        self.tile = [ImageFile._Tile("ferroglyph", (0, 0, *self.size), 0, self._args())]
        scale = 1 << r
        return self.mode, (0, 0, width / scale, height / scale)

    def load(self) -> Any:
        if self.tile and self._reduce:
            if not 0 <= self._reduce <= self._levels:
                raise ValueError(f"reduce must be from 0 to {self._levels} for this image, "
                                 f"got {self._reduce}")
            self._size = self._reduced_size(self._reduce)
            self.tile = [ImageFile._Tile("ferroglyph", (0, 0, *self.size), 0, self._args())]
        return ImageFile.ImageFile.load(self)


class _Decoder(ImageFile.PyDecoder):
    """Reads the codestream from the file and decodes it whole with ferroglyph."""

    _pulls_fd = True

    def decode(self, buffer: Any) -> tuple[int, int]:
        assert self.fd is not None
        offset, length, truncated, reduce, mode, rawmode, shift, add = self.args
        # Pillow's switch for damaged files: what survives, with warnings.
        lenient = bool(ImageFile.LOAD_TRUNCATED_IMAGES)
        if truncated and not lenient:
            raise OSError(f"image file is truncated: {truncated}")
        codestream = _codestream.file_reader(self.fd)(offset, length)
        try:
            samples = _api.decode(codestream, reduce=reduce, strict=not lenient,
                                  resilient=lenient)
        except OpenJphError as e:
            raise OSError(f"HTJ2K decode failed: {e}") from e
        self.set_as_raw(_pillow_samples(samples, mode, shift, add), rawmode)
        return -1, 0


def _pillow_samples(samples: np.ndarray, mode: str, shift: int, add: int) -> bytes:
    if mode == "F":
        return np.ascontiguousarray(samples, "=f4").tobytes()
    if mode == "I":
        return np.ascontiguousarray(samples, "=i4").tobytes()
    container = "<u2" if mode == "I;16" else "u1"
    if shift or add:
        wide = samples.astype(np.int32)
        if add:
            wide += add
        if shift:
            wide <<= shift
        return wide.astype(container).tobytes()
    return np.ascontiguousarray(samples, container).tobytes()


def _accept(prefix: bytes) -> bool:
    return prefix.startswith((_jp2.SOC_SIZ, _jp2.SIGNATURE))


# ---------------------------------------------------------------------------
# Saving

_SAVE_MODES = {"L": np.uint8, "LA": np.uint8, "RGB": np.uint8, "RGBA": np.uint8,
               "I;16": np.uint16, "I": np.int32, "F": np.float32}


def _samples_for(im: Image.Image, bits: int | None) -> np.ndarray:
    if im.mode not in _SAVE_MODES:
        raise OSError(f"cannot write mode {im.mode} as JPH (modes: {', '.join(_SAVE_MODES)})")
    array = np.asarray(im)
    if array.dtype != _SAVE_MODES[im.mode]:
        array = array.astype(_SAVE_MODES[im.mode])
    container = 8 if array.dtype == np.uint8 else 16
    if bits is not None and array.dtype.kind == "u" and 1 <= bits < container:
        # Pillow's JPEG 2000 plugin hands B-bit data over shifted to the
        # mode's full width; bits= takes it back, so open-then-save is exact.
        shift = container - bits
        if np.any(array & ((1 << shift) - 1)):
            raise ValueError(
                f"bits={bits}: {im.mode} samples of {bits}-bit data are multiples of "
                f"{1 << shift} (as Pillow's JPEG 2000 plugin gives them); these are not")
        array = array >> shift
    return array


def _save(im: Image.Image, fp: IO[bytes], filename: str | bytes) -> None:
    info = im.encoderinfo
    name = os.fsdecode(filename) if filename else ""
    raw = bool(info.get("no_jp2")) or name.lower().endswith(_RAW_SUFFIXES)
    bits = info.get("bits")
    keywords: dict[str, Any] = {}
    if info.get("tile_size") is not None:
        keywords["tile"] = tuple(info["tile_size"])
    for key in ("numthreads", "psnr", "ratio", "max_bytes", "reversible", "tlm"):
        if info.get(key) is not None:
            keywords[key] = info[key]
    asked = {k: info[k] for k in _metadata.KEYWORDS if info.get(k) is not None}
    if not raw and "icc_profile" not in info and im.info.get("icc_profile"):
        # As Pillow's own savers do; icc_profile=None leaves it out.
        asked["icc_profile"] = im.info["icc_profile"]
    meta = _metadata.take(asked)
    if raw:
        _metadata.refuse_raw(meta, name or "a raw codestream")
    codestream = _api.encode(_samples_for(im, bits), info.get("level"), bits=bits, **keywords)
    for chunk in [codestream] if raw else _metadata.jph_file(codestream, meta):
        fp.write(chunk)


# ---------------------------------------------------------------------------
# Registration


def register() -> None:
    """Registers the format with Pillow, ahead of Pillow's JPEG 2000 plugin
    (idempotent; importing this module calls it)."""
    Image.register_open(FORMAT, JphImageFile, _accept)
    Image.register_save(FORMAT, _save)
    Image.register_extensions(FORMAT, _EXTENSIONS)
    Image.register_mime(FORMAT, "image/jph")
    Image.register_decoder("ferroglyph", _Decoder)
    _first()


def _first() -> None:
    """Puts JPH before JPEG2000 in Pillow's list of formats to try.

    register_open appends, and Image.init() imports Pillow's own plugins
    later, on the first open that needs them: JPEG2000 then lands after JPH.
    If it was registered before us, JPH moves in front of it here."""
    ids = Image.ID
    if "JPEG2000" in ids and ids.index(FORMAT) > ids.index("JPEG2000"):
        ids.remove(FORMAT)
        ids.insert(ids.index("JPEG2000"), FORMAT)


register()
