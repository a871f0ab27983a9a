"""JPEG 2000 family file boxes: finding the codestream in a JPH/JP2 file, writing a JPH file.

A JPEG 2000 family file (ISO/IEC 15444-1 Annex I; JPH, the HTJ2K form, in
ISO/IEC 15444-15 Annex D) is a sequence of boxes: a 4-byte big-endian length
(0 = to the end of the file, 1 = a 64-bit length follows the type), a 4-byte
type, the contents.  The first box is the 12-byte signature box; the image is
the contents of the contiguous codestream box ``jp2c``.
"""

from __future__ import annotations

import struct
from collections.abc import Callable
from typing import Any, NamedTuple

from . import _codestream
from ._codestream import MAX_COMPONENTS, SOC_SIZ
from .codecs._openjph import OpenJphError

__all__ = ["SIGNATURE", "SOC_SIZ", "Box", "Head", "Located", "box", "colour_space",
           "describe_start", "head", "jph_header", "locate", "locate_in_buffer", "locate_in_file"]

#: The signature box: length 12, type 'jP  ', contents <CR><LF><0x87><LF>.
SIGNATURE = b"\x00\x00\x00\x0cjP  \r\n\x87\n"
_SOC = b"\xff\x4f"

#: Boxes whose contents are boxes (ISO/IEC 15444-1 I.5 and 15444-2 M.11 superboxes).
_SUPERBOXES = frozenset({"jp2h", "res ", "uinf", "asoc", "jpch", "jplh", "cgrp", "ftbl", "comp"})

#: Enumerated colour spaces of the colr box (ISO/IEC 15444-1 Table I.10).
SRGB, GREYSCALE = 16, 17

_NOT_J2K = "not a JPEG 2000 codestream or JPH/JP2 file"

# Other formats a user may hand over by mistake, told apart by their first bytes.
_OTHER_FORMATS: tuple[tuple[bytes, str], ...] = (
    (b"\x89PNG\r\n\x1a\n", "a PNG file"),
    (b"\xff\xd8\xff", "a JPEG file"),
    (b"II*\x00", "a TIFF file"),
    (b"MM\x00*", "a TIFF file"),
    (b"II+\x00", "a BigTIFF file"),
    (b"MM\x00+", "a BigTIFF file"),
    (b"GIF87a", "a GIF file"),
    (b"GIF89a", "a GIF file"),
    (b"\x93NUMPY", "a NumPy .npy file"),
    (b"BM", "a BMP file"),
    (b"P5", "a PGM file"),
    (b"P6", "a PPM file"),
    (b"\xff\x0a", "a JPEG XL codestream"),
)


class Box(NamedTuple):
    """One box of a file: its type, where it starts, its total length, its header length."""

    type: str
    offset: int
    length: int
    header: int
    children: tuple[Box, ...] = ()

    def as_dict(self, read: Callable[[int, int], bytes] | None = None) -> dict[str, Any]:
        """A JSON-ready description; with ``read``, the fields of ftyp, ihdr and colr too."""
        out: dict[str, Any] = {"type": self.type, "offset": self.offset, "length": self.length}
        if read is not None and self.type in _FIELD_READERS and self.length - self.header <= 4096:
            fields = _FIELD_READERS[self.type](read(self.offset + self.header,
                                                    self.length - self.header))
            if fields:
                out.update(fields)
        if self.children:
            out["boxes"] = [c.as_dict(read) for c in self.children]
        return out


class Located(NamedTuple):
    """Where the codestream is: byte range, the file's boxes, and what is wrong with it."""

    offset: int
    length: int
    boxes: tuple[Box, ...]  # empty for a raw codestream
    truncated: str | None  # why the codestream box is shorter than it says, or None


def describe_start(head: bytes) -> str:
    """What data starting with ``head`` looks like, for an error text."""
    if not head:
        return "the data is empty"
    for magic, name in _OTHER_FORMATS:
        if head.startswith(magic):
            return f"the data starts like {name}"
    if head.lstrip()[:1] in (b"<", b"{"):
        return "the data starts like a text (XML/HTML/JSON) file"
    return "the data starts with bytes " + head[:8].hex(" ")


def _not_j2k(head: bytes) -> OpenJphError:
    return OpenJphError(f"{_NOT_J2K}; {describe_start(head)}")


def _walk(read: Callable[[int, int], bytes], start: int, end: int, size: int,
          depth: int = 0) -> tuple[list[Box], str | None]:
    """The boxes between ``start`` and ``end``; a box running past the end is
    kept with its declared length and reported as the second value."""
    boxes: list[Box] = []
    pos = start
    while pos < end:
        if end - pos < 8:
            raise OpenJphError(
                f"malformed JPEG 2000 family file: {end - pos} stray bytes at offset {pos}, "
                "too few for a box header")
        head = read(pos, 8)
        length, kind = struct.unpack(">I4s", head)
        name = kind.decode("latin-1")
        header = 8
        if length == 1:
            if end - pos < 16:
                raise OpenJphError(f"malformed JPEG 2000 family file: the '{name}' box at "
                                   f"offset {pos} is cut inside its header")
            (length,) = struct.unpack(">Q", read(pos + 8, 8))
            header = 16
        elif length == 0:  # the last box: to the end of the file
            length = end - pos
        if length < header:
            raise OpenJphError(f"malformed JPEG 2000 family file: the '{name}' box at offset "
                               f"{pos} declares {length} bytes, less than its own header")
        if pos + length > end:
            if name == "jp2c" and depth == 0:
                boxes.append(Box(name, pos, length, header))
                return boxes, (f"the file is truncated: its codestream box declares "
                               f"{length - header} bytes, {end - pos - header} are present")
            raise OpenJphError(f"malformed or truncated JPEG 2000 family file: the '{name}' box "
                               f"at offset {pos} declares {length} bytes, {end - pos} remain")
        children: tuple[Box, ...] = ()
        if name in _SUPERBOXES and depth < 8:
            inner, _ = _walk(read, pos + header, pos + length, size, depth + 1)
            children = tuple(inner)
        boxes.append(Box(name, pos, length, header, children))
        pos += length
    return boxes, None


def locate(read: Callable[[int, int], bytes], size: int) -> Located:
    """Finds the codestream in data of ``size`` bytes read through ``read(offset, n)``.

    Raw codestreams (starting with SOC) are the whole data.  JPEG 2000 family
    files are walked box by box to the first top-level ``jp2c``.  Anything
    else raises OpenJphError naming what the data looks like.
    """
    head = read(0, min(size, 16))
    if head.startswith(_SOC):
        return Located(0, size, (), None)
    if not head.startswith(SIGNATURE):
        raise _not_j2k(head)
    boxes, truncated = _walk(read, 0, size, size)
    for box in boxes:
        if box.type == "jp2c":
            length = min(box.length, size - box.offset) - box.header
            return Located(box.offset + box.header, length, tuple(boxes), truncated)
    found = ", ".join(f"'{b.type}'" for b in boxes)
    hint = (" (its codestream is in fragments, which is not supported)"
            if any(b.type == "ftbl" for b in boxes) else "")
    raise OpenJphError(
        f"a JPEG 2000 family file without a contiguous codestream box ('jp2c'){hint}; "
        f"found the boxes {found}")


def locate_in_buffer(buffer: Any) -> tuple[memoryview, Located]:
    """:func:`locate` over a bytes-like object; returns it as bytes-view too."""
    view = memoryview(buffer).cast("B") if not isinstance(buffer, memoryview) or \
        buffer.format != "B" or buffer.ndim != 1 else buffer
    if not view.c_contiguous:
        raise ValueError("the encoded data must be a contiguous buffer")
    return view, locate(_codestream.buffer_reader(view), len(view))


def locate_in_file(f: Any, size: int) -> Located:
    """:func:`locate` over an open binary file; reads only box headers."""
    return locate(_codestream.file_reader(f), size)


class Head(NamedTuple):
    """Where a file's codestream is, and its main header."""

    where: Located
    #: The main header and the first SOT segment: enough for decode_info.
    prefix: bytes
    #: Rsiz bit 14: an HTJ2K codestream, not classic JPEG 2000.
    is_ht: bool


def head(read: Callable[[int, int], bytes], size: int) -> Head:
    """The codestream's place and main header, reading no tile data;
    OpenJphError when the data is no JPEG 2000 codestream or family file."""
    where = locate(read, size)
    try:
        header = _codestream.main_header(
            lambda off, n: read(where.offset + off, max(0, min(n, where.length - off))),
            where.length)
    except _codestream.CodestreamError as e:
        raise OpenJphError(str(e)) from None
    prefix = read(where.offset, min(where.length, header.end + 12))
    return Head(where, prefix, header.siz.is_ht)


# ---------------------------------------------------------------------------
# Box fields (for `ferroglyph info`)


def _ftyp_fields(b: bytes) -> dict[str, Any]:
    if len(b) < 8:
        return {}
    compat = [b[i:i + 4].decode("latin-1") for i in range(8, len(b) - 3, 4)]
    return {"brand": b[:4].decode("latin-1"), "minor_version": struct.unpack(">I", b[4:8])[0],
            "compatibility": compat}


def _ihdr_fields(b: bytes) -> dict[str, Any]:
    if len(b) < 14:
        return {}
    height, width, nc, bpc, c, unk, ipr = struct.unpack(">IIHBBBB", b[:14])
    bits: int | str = "per component (bpcc box)" if bpc == 255 else (bpc & 0x7F) + 1
    return {"height": height, "width": width, "components": nc, "bits": bits,
            "signed": bool(bpc & 0x80) if bpc != 255 else None, "compression": c,
            "colourspace_unknown": unk, "ipr": ipr}


def _colr_fields(b: bytes) -> dict[str, Any]:
    if len(b) < 3:
        return {}
    out: dict[str, Any] = {"method": b[0], "precedence": b[1], "approximation": b[2]}
    if b[0] == 1 and len(b) >= 7:
        out["enumerated_colourspace"] = struct.unpack(">I", b[3:7])[0]
    return out


_FIELD_READERS: dict[str, Callable[[bytes], dict[str, Any]]] = {
    "ftyp": _ftyp_fields, "ihdr": _ihdr_fields, "colr": _colr_fields,
}


# ---------------------------------------------------------------------------
# Writing


def box(kind: bytes, contents: bytes) -> bytes:
    """A box of type ``kind`` (4 bytes) holding ``contents``, with a 32-bit length."""
    if 8 + len(contents) > 0xFFFFFFFF:
        raise ValueError(f"a '{kind.decode('latin-1')}' box of {len(contents)} bytes")
    return struct.pack(">I4s", 8 + len(contents), kind) + contents


def colour_space(components: int) -> int:
    """The enumerated colour space written for an image of ``components``.

    Greyscale for 1 or 2 components (the second is an extra channel, such as
    alpha); sRGB for 3 or more (the first three are red, green, blue; any
    further ones are extra channels).  The component transform does not
    change this: it is undone by the decoder before colour is interpreted.
    """
    return GREYSCALE if components < 3 else SRGB


def jph_header(*, height: int, width: int, components: int, bit_depth: int, is_signed: bool,
               colr: bytes | None = None, header_boxes: bytes = b"", after: bytes = b"") -> bytes:
    """Every box of a JPH file before the codestream's: signature, ftyp, jp2h.

    The layout is the one HTJ2K encoders write (Kakadu's .jph files, for
    example): brand and only compatible brand 'jph ' (ISO/IEC 15444-15
    Annex D), an image header box with compression type 7 and a colour
    specification box with an enumerated colour space.  The image header's
    "colourspace unknown" flag is 1, as those encoders write it: the arrays
    this library codes do not say what colour space they are in, so the colr
    box names the usual interpretation without claiming it.

    ``colr``: the contents of a colour specification box to write instead
    (an ICC profile: the flag is then 0, the colour space being known);
    ``header_boxes``: boxes that follow it inside the header box (cdef,
    res); ``after``: boxes between the header box and the codestream's
    (xml, uuid).
    """
    if not 1 <= bit_depth <= 38:
        raise ValueError(f"a JPH image header holds 1 to 38 bits per component, not {bit_depth}")
    if not 1 <= components <= MAX_COMPONENTS:
        raise ValueError(f"a JPH image header holds 1 to {MAX_COMPONENTS} components, not "
                         f"{components}")
    bpc = (bit_depth - 1) | (0x80 if is_signed else 0)
    ihdr = struct.pack(">IIHBBBB", height, width, components, bpc, 7, int(colr is None), 0)
    if colr is None:
        colr = struct.pack(">BBBI", 1, 0, 0, colour_space(components))
    ftyp = b"jph " + struct.pack(">I", 0) + b"jph "
    return (SIGNATURE + box(b"ftyp", ftyp)
            + box(b"jp2h", box(b"ihdr", ihdr) + box(b"colr", colr) + header_boxes) + after)


def jp2c_header(codestream_length: int) -> bytes:
    """The header of a contiguous codestream box for ``codestream_length`` bytes."""
    if codestream_length + 8 <= 0xFFFFFFFF:
        return struct.pack(">I4s", codestream_length + 8, b"jp2c")
    return struct.pack(">I4sQ", 1, b"jp2c", codestream_length + 16)
