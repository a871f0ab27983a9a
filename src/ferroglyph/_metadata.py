"""JPH metadata: ICC profiles, resolution, XML, XMP and alpha, written and read.

What :func:`ferroglyph.imwrite` puts into a JPH file beside the codestream,
and what :func:`ferroglyph.immeta` reads back:

- ``colr``: an enumerated colour space (greyscale or sRGB, chosen by the
  component count), or an ICC profile, with method 2 (restricted ICC: a
  monochrome or three-component matrix-based input or display profile, which
  every JP2 reader must understand) where the profile is one, else method 3
  (any ICC, allowed in JPH files);
- ``res `` holding ``resc``: the capture resolution, from ``dpi``;
- ``cdef``: which component is alpha, or that extra components are neither
  colour nor alpha;
- ``xml `` boxes, and a ``uuid`` box with the XMP UUID holding an XMP packet.

Every other box is listed by :func:`immeta` and otherwise ignored.
"""

from __future__ import annotations

import math
import os
import struct
from collections.abc import Callable, Iterable, Mapping
from fractions import Fraction
from numbers import Real
from typing import Any, NamedTuple
from xml.etree import ElementTree

from . import _codestream, _jp2
from .codecs import _openjph

__all__ = ["KEYWORDS", "XMP_UUID", "Request", "file_header", "immeta", "jph_file",
           "read_metadata", "refuse_raw", "take"]

#: The keywords of :func:`ferroglyph.imwrite` that this module reads.
KEYWORDS = ("icc_profile", "dpi", "xml", "xmp", "alpha")

#: The UUID under which JPEG 2000 family files carry an XMP packet (Adobe's
#: XMP documentation, part 3, 1.1.4).
XMP_UUID = bytes.fromhex("be7acfcb97a942e89c71999491e3afac")

# Colour channels of an ICC profile's data colour space (ICC.1 Table 19).
_ICC_CHANNELS = {b"GRAY": 1, b"RGB ": 3, b"XYZ ": 3, b"Lab ": 3, b"Luv ": 3, b"YCbr": 3,
                 b"Yxy ": 3, b"HSV ": 3, b"HLS ": 3, b"CMY ": 3, b"CMYK": 4,
                 **{bytes([c]) + b"CLR": n for n, c in enumerate(b"23456789ABCDEF", 2)}}
_MATRIX_TAGS = frozenset({b"rXYZ", b"gXYZ", b"bXYZ", b"rTRC", b"gTRC", b"bTRC"})

# Channel types of the cdef box (ISO/IEC 15444-1 Table I.16; 3 is JPH's
# application-defined type).
_CHANNEL_TYPES = {0: "colour", 1: "opacity", 2: "premultiplied opacity", 3: "application",
                  65535: "unspecified"}
_ENUMERATED = {16: "sRGB", 17: "greyscale", 18: "sYCC", 0: "bilevel", 12: "CMYK",
               14: "CIELab", 15: "bilevel"}

# Grid points per metre from dots per inch: 10000 / 254.
_PER_INCH = Fraction(10000, 254)


class Request(NamedTuple):
    """The metadata asked of one :func:`ferroglyph.imwrite` call, checked."""

    icc_profile: bytes | None = None
    dpi: tuple[Fraction, Fraction] | None = None
    xml: tuple[bytes, ...] = ()
    xmp: bytes | None = None
    alpha: bool | None = None

    def asked(self) -> list[str]:
        """The keywords given that only a JPH file can hold."""
        given = [k for k in ("icc_profile", "dpi", "xmp") if getattr(self, k) is not None]
        if self.xml:
            given.append("xml")
        if self.alpha:
            given.append("alpha")
        return given


# ---------------------------------------------------------------------------
# Checking what the caller gave


def _text(value: Any, name: str) -> bytes:
    if isinstance(value, str):
        data = value.encode("utf-8")
    elif isinstance(value, (bytes, bytearray, memoryview)):
        data = bytes(value)
    else:
        raise TypeError(f"{name} must be str or bytes, got {type(value).__name__}")
    try:
        ElementTree.fromstring(data)
    except ElementTree.ParseError as e:
        # A JPH reader (and validator) takes these boxes for well-formed XML.
        raise ValueError(f"{name} is not well-formed XML: {e}") from None
    return data


def _dpi(value: Any) -> tuple[Fraction, Fraction]:
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(f"dpi must be a pair of numbers (x, y), got {type(value).__name__}")
    pair = tuple(value)
    if len(pair) != 2 or not all(isinstance(v, Real) and not isinstance(v, bool) for v in pair):
        raise TypeError(f"dpi must be a pair of numbers (x, y), got {value!r}")
    if not all(math.isfinite(v) and v > 0 for v in pair):
        raise ValueError(f"dpi must be two positive finite numbers, got {value!r}")
    # The shortest decimal that gives the same float: 72.1 is taken as 721/10,
    # which the box can hold exactly, not as the binary float's long fraction.
    x, y = (Fraction(repr(float(v))) for v in pair)
    return x, y


def _icc(value: Any) -> bytes:
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"icc_profile must be bytes, got {type(value).__name__}")
    profile = bytes(value)
    _icc_facts(profile)
    return profile


def take(keywords: dict[str, Any]) -> Request:
    """Removes the metadata keywords from ``keywords`` and checks them."""
    icc = keywords.pop("icc_profile", None)
    dpi = keywords.pop("dpi", None)
    xml = keywords.pop("xml", None)
    xmp = keywords.pop("xmp", None)
    alpha = keywords.pop("alpha", None)
    if alpha is not None and not isinstance(alpha, bool):
        raise TypeError(f"alpha must be None, True or False, got {alpha!r}")
    if xml is None:
        xml_boxes: tuple[bytes, ...] = ()
    elif isinstance(xml, (str, bytes, bytearray, memoryview)):
        xml_boxes = (_text(xml, "xml"),)
    elif isinstance(xml, (list, tuple)):
        xml_boxes = tuple(_text(x, "each xml item") for x in xml)
    else:
        raise TypeError(f"xml must be str, bytes or a list of them, got {type(xml).__name__}")
    return Request(icc_profile=None if icc is None else _icc(icc),
                   dpi=None if dpi is None else _dpi(dpi), xml=xml_boxes,
                   xmp=None if xmp is None else _text(xmp, "xmp"), alpha=alpha)


def refuse_raw(request: Request, path: str) -> None:
    """A raw codestream has no place for metadata: refuse rather than drop it."""
    asked = request.asked()
    if asked:
        raise ValueError(
            f"imwrite: {', '.join(asked)} cannot be stored in a raw codestream "
            f"({os.path.basename(path)!r}); write a .jph file to keep them")


# ---------------------------------------------------------------------------
# ICC profiles


def _icc_facts(profile: bytes) -> tuple[int, int]:
    """The colr method a profile can be written with (2 or 3) and its colour
    channel count; ValueError when the bytes are no ICC profile."""
    if len(profile) < 132 or profile[36:40] != b"acsp":
        raise ValueError("icc_profile is not an ICC profile (no 'acsp' signature)")
    (size,) = struct.unpack(">I", profile[:4])
    if size != len(profile):
        raise ValueError(f"icc_profile declares {size} bytes but holds {len(profile)}")
    (count,) = struct.unpack(">I", profile[128:132])
    if 132 + 12 * count > len(profile):
        raise ValueError(f"icc_profile's tag table ({count} tags) runs past its end")
    tags = {profile[132 + 12 * i:136 + 12 * i] for i in range(count)}
    space, device_class, pcs = profile[16:20], profile[12:16], profile[20:24]
    colours = _ICC_CHANNELS.get(space)
    if colours is None:
        raise ValueError(f"icc_profile has the unknown colour space {space!r}")
    # ISO/IEC 15444-1 I.5.3.3: the restricted method takes monochrome and
    # three-component matrix-based profiles of the input and display classes.
    restricted = (device_class in (b"scnr", b"mntr") and pcs == b"XYZ " and b"A2B0" not in tags
                  and ((space == b"GRAY" and b"kTRC" in tags)
                       or (space == b"RGB " and _MATRIX_TAGS <= tags)))
    return (2 if restricted else 3), colours


# ---------------------------------------------------------------------------
# Writing


def _resolution(value: Fraction, axis: str) -> tuple[int, int, int]:
    """(numerator, denominator, exponent) of ``value`` grid points per metre:
    exact where 16-bit fractions times a power of ten hold it, else nearest."""
    best: tuple[Fraction, int, int, int] | None = None
    for exponent in (*range(11), *range(-1, -11, -1)):  # E >= 0 first: exact for readers
        x = value / Fraction(10) ** exponent
        if x.numerator <= 0xFFFF and x.denominator <= 0xFFFF:
            return x.numerator, x.denominator, exponent
        limit = min(0xFFFF, int(0xFFFF / x)) if x > 1 else 0xFFFF
        if limit < 1:
            continue
        near = x.limit_denominator(limit)
        if not 1 <= near.numerator <= 0xFFFF:
            continue
        error = abs(near - x) / x
        if best is None or error < best[0]:
            best = (error, near.numerator, near.denominator, exponent)
    if best is None:
        raise ValueError(f"dpi: {axis} {float(value / _PER_INCH)!r} is outside what a "
                         "resolution box can hold")
    return best[1], best[2], best[3]


def _cdef(components: int, colours: int, alpha: bool | None) -> bytes | None:
    """The channel definitions: colours first, then alpha (when declared) as
    the last component; other extra components are of unspecified type.
    None (no box) for the default on images without exactly one extra component."""
    if alpha is None:
        if components != colours + 1:
            return None  # extra channels, as before: no claim either way
        alpha = True
    elif alpha and components < 2:
        raise ValueError("alpha=True needs an image of 2 or more components")
    if alpha and components - 1 < colours:
        raise ValueError(f"alpha=True needs at least {colours + 1} components here "
                         f"({colours} colour channels and alpha); the image has {components}")
    if not alpha and components <= colours:
        return None
    entries = []
    for c in range(components):
        if c < colours:
            entries.append((c, 0, c + 1))
        elif alpha and c == components - 1:
            entries.append((c, 1, 0))
        else:
            entries.append((c, 65535, 65535))
    return struct.pack(">H", components) + b"".join(struct.pack(">HHH", *e) for e in entries)


def file_header(request: Request, info: Mapping[str, Any]) -> bytes:
    """The boxes of a JPH file before its codestream box, for a codestream
    with the header facts ``info`` (height, width, components, bit_depth,
    signed), carrying ``request``."""
    components = info["components"]
    colr: bytes | None = None
    if request.icc_profile is not None:
        method, colours = _icc_facts(request.icc_profile)
        if colours > components:
            raise ValueError(f"icc_profile describes {colours} colour channels; the image has "
                             f"{components} component{'s' if components != 1 else ''}")
        colr = struct.pack(">BBB", method, 0, 0) + request.icc_profile
    else:
        colours = 1 if _jp2.colour_space(components) == _jp2.GREYSCALE else 3
    header_boxes = b""
    cdef = _cdef(components, colours, request.alpha)
    if cdef is not None:
        header_boxes += _jp2.box(b"cdef", cdef)
    if request.dpi is not None:
        (nx, dx, ex), (ny, dy, ey) = (_resolution(v * _PER_INCH, axis)
                                      for v, axis in zip(request.dpi, ("x", "y"), strict=True))
        resc = struct.pack(">HHHHbb", ny, dy, nx, dx, ey, ex)
        header_boxes += _jp2.box(b"res ", _jp2.box(b"resc", resc))
    after = b"".join(_jp2.box(b"xml ", x) for x in request.xml)
    if request.xmp is not None:
        after += _jp2.box(b"uuid", XMP_UUID + request.xmp)
    return _jp2.jph_header(height=info["height"], width=info["width"], components=components,
                           bit_depth=info["bit_depth"], is_signed=info["signed"], colr=colr,
                           header_boxes=header_boxes, after=after)


def jph_file(codestream: bytes, request: Request) -> list[bytes]:
    """The pieces of a JPH file holding ``codestream`` and ``request``'s metadata."""
    return [file_header(request, _openjph.decode_info(codestream)),
            _jp2.jp2c_header(len(codestream)), codestream]


# ---------------------------------------------------------------------------
# Reading


def _dpi_of(resc: bytes) -> tuple[float, float] | None:
    if len(resc) < 10:
        return None
    vn, vd, hn, hd, ve, he = struct.unpack(">HHHHbb", resc[:10])
    if 0 in (vn, vd, hn, hd):
        return None
    def per_inch(n: int, d: int, e: int) -> float:
        return float(Fraction(n, d) * Fraction(10) ** e / _PER_INCH)
    return per_inch(hn, hd, he), per_inch(vn, vd, ve)


def _channels(cdef: bytes) -> list[dict[str, Any]] | None:
    if len(cdef) < 2:
        return None
    (n,) = struct.unpack(">H", cdef[:2])
    if len(cdef) < 2 + 6 * n:
        return None
    out = []
    for i in range(n):
        cn, typ, asoc = struct.unpack(">HHH", cdef[2 + 6 * i:8 + 6 * i])
        out.append({"channel": cn, "type": _CHANNEL_TYPES.get(typ, typ),
                    "association": None if asoc == 65535 else asoc})
    return out


def _utf8(data: bytes) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("latin-1")


def read_metadata(read: Callable[[int, int], bytes], boxes: Iterable[_jp2.Box]) -> dict[str, Any]:
    """The metadata of a JPEG 2000 family file from its boxes (as
    :func:`_jp2.locate` found them), reading their contents through ``read``."""
    boxes = tuple(boxes)
    meta: dict[str, Any] = {"icc_profile": None, "dpi": None, "xml": [], "xmp": None,
                            "colour": None, "channels": None,
                            "boxes": [b.as_dict(read) for b in boxes]}

    def contents(box: _jp2.Box) -> bytes:
        return read(box.offset + box.header, box.length - box.header)

    for box in boxes:
        if box.type == "jp2h":
            _read_header(meta, box.children, contents)
        elif box.type == "xml ":
            meta["xml"].append(_utf8(contents(box)))
        elif (box.type == "uuid" and meta["xmp"] is None and box.length - box.header >= 16
              # Other uuid boxes (GeoJP2, vendors' data) can be large: read their id only.
              and read(box.offset + box.header, 16) == XMP_UUID):
            meta["xmp"] = _utf8(contents(box)[16:])
    return meta


def _read_header(meta: dict[str, Any], children: tuple[_jp2.Box, ...],
                 contents: Callable[[_jp2.Box], bytes]) -> None:
    for box in children:
        if box.type == "colr" and meta["colour"] is None:
            # The first colr box a reader understands is the one that counts.
            data = contents(box)
            if len(data) >= 7 and data[0] == 1:
                (enum,) = struct.unpack(">I", data[3:7])
                meta["colour"] = _ENUMERATED.get(enum, enum)
            elif len(data) > 3 and data[0] in (2, 3):
                meta["colour"] = "icc"
                meta["icc_profile"] = data[3:]
        elif box.type == "cdef":
            meta["channels"] = _channels(contents(box))
        elif box.type == "res ":
            kinds = {c.type: c for c in box.children}
            chosen = kinds.get("resc") or kinds.get("resd")
            if chosen is not None:
                meta["dpi"] = _dpi_of(contents(chosen))


def immeta(source: Any) -> dict[str, Any]:
    """The metadata of a .jph/.jp2 file: a path, a binary file object or bytes.

    Returns a dict with ``"icc_profile"`` (bytes or None), ``"dpi"`` ((x, y)
    floats from the capture resolution, else the display resolution, or
    None), ``"xml"`` (the text of each ``xml `` box), ``"xmp"`` (the XMP
    packet's text or None), ``"colour"`` (``"sRGB"``, ``"greyscale"``,
    ``"sYCC"``, another enumerated space's number, ``"icc"``, or None),
    ``"channels"`` (the ``cdef`` box's entries, each a dict with
    ``channel``, ``type`` (``"colour"``, ``"opacity"``, ``"premultiplied
    opacity"``, ``"unspecified"``) and ``association``, or None without a
    ``cdef`` box) and ``"boxes"`` (every box: type, offset, length, the
    fields of ``ftyp``/``ihdr``/``colr``, and the boxes inside superboxes).
    A raw codestream has none of these: the values are None and the lists empty.
    Only box headers and the metadata boxes are read, never the codestream.
    """
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            return _immeta_file(f, os.fstat(f.fileno()).st_size)
    if isinstance(source, (bytes, bytearray, memoryview)):
        view, where = _jp2.locate_in_buffer(source)
        return read_metadata(_codestream.buffer_reader(view), where.boxes)
    if hasattr(source, "read") and hasattr(source, "seek"):
        start = source.tell()
        size = source.seek(0, os.SEEK_END) - start
        read = _codestream.file_reader(source, start)
        where = _jp2.locate(read, size)
        meta = read_metadata(read, where.boxes)
        source.seek(start)
        return meta
    raise TypeError(f"immeta() takes a path, a binary file object or bytes, "
                    f"not {type(source).__name__}")


def _immeta_file(f: Any, size: int) -> dict[str, Any]:
    where = _jp2.locate_in_file(f, size)
    return read_metadata(_codestream.file_reader(f), where.boxes)
