"""The one codestream marker walker of the Python package.

Reads the main header of a JPEG 2000 / HTJ2K codestream (ISO/IEC 15444-1
Annex A, with CAP from 15444-15 and NLT/DFS from 15444-2) and its tile-part
headers, never any packet data.  Everything reads through a ``read(offset,
n)`` callable, so the same walk works on bytes in memory, on a file read with
seeks and on any seekable binary file object (a remote file through fsspec
fetches only the ranges asked for).

The tile-parts come from the TLM segments when the main header has a full set
(every tile-part's length), else from a walk of the SOT segments that seeks
from one to the next by Psot.
"""

from __future__ import annotations

import struct
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any, NamedTuple

__all__ = ["CAP", "COC", "COD", "COM", "DFS", "EOC", "EOC_BYTES", "MAX_COMPONENTS",
           "MAX_SEGMENT_LENGTH", "MAX_SUBSAMPLING", "MAX_TILES", "NLT", "PROGRESSION_ORDERS", "QCC", "QCD", "SIZ",
           "SOC", "SOC_SIZ", "SOD", "SOT", "TLM", "Cod", "CodestreamError", "MainHeader",
           "Reader", "Segment", "Siz", "TilePart", "buffer_reader", "file_reader",
           "header_segments", "main_header", "segment", "siz", "tile_parts", "u16", "u32"]

# Marker codes.
SOC, CAP, SIZ, COD, COC = 0xFF4F, 0xFF50, 0xFF51, 0xFF52, 0xFF53
TLM, PLM, PLT = 0xFF55, 0xFF57, 0xFF58
QCD, QCC, RGN, POC, PPM, PPT = 0xFF5C, 0xFF5D, 0xFF5E, 0xFF5F, 0xFF60, 0xFF61
COM, DFS, NLT = 0xFF64, 0xFF72, 0xFF76
SOT, SOD, EOC = 0xFF90, 0xFF93, 0xFFD9

SOC_SIZ = b"\xff\x4f\xff\x51"
EOC_BYTES = b"\xff\xd9"

#: Isot is 16 bits wide: at most this many tiles (OpenJPH refuses more).
MAX_TILES = 65535
#: Csiz allows 1 to 16384 components (ISO/IEC 15444-1 A.5.1).
MAX_COMPONENTS = 16384
#: A marker segment's length field (Lxxx) is 16 bits wide, the length itself included.
MAX_SEGMENT_LENGTH = 65535
#: XRsiz and YRsiz are one byte each, 0 being invalid (ISO/IEC 15444-1 A.5.1).
MAX_SUBSAMPLING = 255
PROGRESSION_ORDERS = ("LRCP", "RLCP", "RPCL", "PCRL", "CPRL")

#: Reads ``n`` bytes at ``offset`` (fewer at the end of the data).
Reader = Callable[[int, int], bytes]


class CodestreamError(ValueError):
    """The bytes do not walk as a codestream's headers."""


def u16(b: bytes | memoryview, at: int) -> int:
    return int.from_bytes(b[at:at + 2], "big")


def u32(b: bytes | memoryview, at: int) -> int:
    return int.from_bytes(b[at:at + 4], "big")


def segment(marker: int, payload: bytes = b"") -> bytes:
    """A marker segment: marker, length (payload + 2), payload."""
    return struct.pack(">HH", marker, len(payload) + 2) + payload


def buffer_reader(buffer: Any) -> Reader:
    view = memoryview(buffer).cast("B")

    def read(offset: int, n: int) -> bytes:
        return bytes(view[offset:offset + n])
    return read


def file_reader(f: Any, start: int = 0) -> Reader:
    """Reads of a seekable binary file object from ``start``: each one seek, then reads
    until ``n`` bytes or the end (a stream may return fewer than asked)."""
    def read(offset: int, n: int) -> bytes:
        f.seek(start + offset)
        out = bytearray()
        while len(out) < n:
            chunk = f.read(n - len(out))
            if not chunk:
                break
            out += chunk
        return bytes(out)
    return read


class Segment(NamedTuple):
    """A main-header marker segment: its marker, where it starts, its length with the marker."""

    marker: int
    offset: int
    length: int


@dataclass(frozen=True)
class Siz:
    """The SIZ segment's fields (reference grid, tile grid, components)."""

    rsiz: int
    xsiz: int
    ysiz: int
    x0: int
    y0: int
    tile_w: int
    tile_h: int
    tile_x0: int
    tile_y0: int
    ssiz: tuple[int, ...]
    subsampling: tuple[tuple[int, int], ...]  # (XRsiz, YRsiz) per component

    @property
    def width(self) -> int:
        return self.xsiz - self.x0

    @property
    def height(self) -> int:
        return self.ysiz - self.y0

    @property
    def components(self) -> int:
        return len(self.ssiz)

    @property
    def is_ht(self) -> bool:
        """Rsiz bit 14: the codestream uses HTJ2K (ISO/IEC 15444-15) capabilities."""
        return bool(self.rsiz & 0x4000)

    @property
    def tiles_across(self) -> int:
        return -(-(self.xsiz - self.tile_x0) // self.tile_w)

    @property
    def tiles_down(self) -> int:
        return -(-(self.ysiz - self.tile_y0) // self.tile_h)

    @property
    def num_tiles(self) -> int:
        return self.tiles_across * self.tiles_down

    def tile_rect(self, index: int) -> tuple[int, int, int, int]:
        """(y0, x0, y1, x1) of tile ``index`` in image coordinates (the image offset removed)."""
        p, q = index % self.tiles_across, index // self.tiles_across
        tx0 = max(self.tile_x0 + p * self.tile_w, self.x0)
        ty0 = max(self.tile_y0 + q * self.tile_h, self.y0)
        tx1 = min(self.tile_x0 + (p + 1) * self.tile_w, self.xsiz)
        ty1 = min(self.tile_y0 + (q + 1) * self.tile_h, self.ysiz)
        return ty0 - self.y0, tx0 - self.x0, ty1 - self.y0, tx1 - self.x0

    @classmethod
    def parse(cls, body: bytes) -> Siz:
        """From the segment's contents (after Lsiz)."""
        if len(body) < 36:
            raise CodestreamError("the SIZ segment is shorter than its fixed fields")
        rsiz, xsiz, ysiz, x0, y0, xt, yt, xt0, yt0, csiz = struct.unpack_from(">H8IH", body)
        if len(body) < 36 + 3 * csiz or csiz == 0 or xt == 0 or yt == 0:
            raise CodestreamError("the SIZ segment is malformed")
        comps = [body[36 + 3 * c:39 + 3 * c] for c in range(csiz)]
        return cls(rsiz, xsiz, ysiz, x0, y0, xt, yt, xt0, yt0, tuple(c[0] for c in comps),
                   tuple((c[1], c[2]) for c in comps))


@dataclass(frozen=True)
class Cod:
    """The COD segment's fields."""

    scod: int
    progression: str
    layers: int
    mct: int
    levels: int
    block_w: int
    block_h: int
    block_style: int
    reversible: bool

    @classmethod
    def parse(cls, body: bytes) -> Cod:
        if len(body) < 10:
            raise CodestreamError("the COD segment is shorter than its fixed fields")
        scod, order, layers, mct, levels, xcb, ycb, style, wavelet = \
            struct.unpack_from(">BBHBBBBBB", body)
        progression = PROGRESSION_ORDERS[order] if order < 5 else f"unknown ({order})"
        return cls(scod, progression, layers, mct, levels, 1 << (xcb + 2), 1 << (ycb + 2),
                   style, wavelet == 1)


@dataclass(frozen=True)
class TilePart:
    """A tile-part: where its SOT starts, its length (Psot; to the data's end when 0), its fields.

    A dataclass rather than a named tuple (``index`` would shadow ``tuple.index``), which
    still unpacks as ``offset, length, index, part, parts``.
    """

    offset: int
    length: int
    index: int
    part: int
    parts: int  # TNsot; 0 when the encoder did not say

    def __iter__(self) -> Iterator[int]:
        return iter((self.offset, self.length, self.index, self.part, self.parts))


@dataclass(frozen=True)
class MainHeader:
    """The main header: its segments (SIZ first), the parsed SIZ and COD, the TLM entries."""

    segments: tuple[Segment, ...]
    siz: Siz
    cod: Cod | None
    #: (tile index, tile-part length) of every tile-part, from TLM; None without TLM.
    tlm: tuple[tuple[int, int], ...] | None
    #: Offset of the first SOT: the main header's length.
    end: int
    bodies: dict[int, bytes]

    def first(self, marker: int) -> Segment | None:
        return next((s for s in self.segments if s.marker == marker), None)


def _tlm_entries(body: bytes) -> list[tuple[int | None, int]] | None:
    """(Ttlm or None, Ptlm) entries of one TLM segment's contents (after Ltlm)."""
    if len(body) < 2:
        return None
    stlm = body[1]
    st, sp = (stlm >> 4) & 3, (stlm >> 6) & 1
    if st == 3:
        return None
    width = st + (4 if sp else 2)
    count, rest = divmod(len(body) - 2, width)
    if rest:
        return None
    out: list[tuple[int | None, int]] = []
    for k in range(count):
        at = 2 + k * width
        index = int.from_bytes(body[at:at + st], "big") if st else None
        out.append((index, int.from_bytes(body[at + st:at + width], "big")))
    return out


def _tlm(tlm_bodies: list[bytes]) -> tuple[tuple[int, int], ...] | None:
    """Every TLM's (tile, length) entries in Ztlm order; None when one is unusable."""
    if any(len(body) < 2 for body in tlm_bodies):
        return None  # no Ztlm and Stlm: the walk falls back to SOT
    entries: list[tuple[int | None, int]] = []
    for body in sorted(tlm_bodies, key=lambda b: b[0]):  # by Ztlm
        got = _tlm_entries(body)
        if got is None:
            return None
        entries += got
    if not entries:
        return None
    out = []
    for k, (index, length) in enumerate(entries):
        # Without Ttlm, tile-parts are one a tile, in tile order (A.7.1).
        out.append((k if index is None else index, length))
    return tuple(out)


def header_segments(read: Reader, size: int, *, complete: bool = True, chunk: int = 4096
                    ) -> tuple[list[tuple[Segment, bytes]], int]:
    """Each main-header marker segment after SOC with its contents, and where the walk ended.

    The walk reads ``chunk`` bytes at a time and ends at the first SOT (its
    offset is returned: the main header's length).  With ``complete=False``
    it may also end where the data ends (a main header written alone); a
    segment cut by the end of the data is an error either way.
    """
    return _walk(read, size, complete, chunk, SOC_SIZ[:2],
                 "not a codestream: it does not start with SOC")


def _walk(read: Reader, size: int, complete: bool, chunk: int, start: bytes, refusal: str
          ) -> tuple[list[tuple[Segment, bytes]], int]:
    buf = read(0, min(size, chunk))
    if buf[:len(start)] != start:
        raise CodestreamError(refusal)

    def have(end: int) -> None:
        nonlocal buf
        if end > len(buf) and len(buf) < size:
            buf += read(len(buf), max(end - len(buf), chunk))
        if end > len(buf):
            raise CodestreamError(f"the main header is incomplete: the data ends after "
                                  f"{len(buf)} bytes")

    out: list[tuple[Segment, bytes]] = []
    pos = 2
    while True:
        if not complete and pos >= size:
            return out, pos
        have(pos + 4)
        marker, length = u16(buf, pos), u16(buf, pos + 2)
        if marker == SOT:
            return out, pos
        if marker >> 8 != 0xFF or length < 2:
            raise CodestreamError(f"no marker segment at byte {pos} of the main header")
        have(pos + 2 + length)
        out.append((Segment(marker, pos, 2 + length), buf[pos + 4:pos + 2 + length]))
        pos += 2 + length


def main_header(read: Reader, size: int, *, chunk: int = 4096) -> MainHeader:
    """Walks the main header from SOC to the first SOT, reading ``chunk`` bytes at a time."""
    walked, end = _walk(read, size, True, chunk, SOC_SIZ,
                        "not an HTJ2K codestream: it does not start with SOC and SIZ")
    bodies: dict[int, bytes] = {}
    for seg, body in walked:
        bodies.setdefault(seg.marker, body)
    tlm_bodies = [body for seg, body in walked if seg.marker == TLM]
    siz = Siz.parse(bodies[SIZ])
    cod = Cod.parse(bodies[COD]) if COD in bodies else None
    return MainHeader(tuple(seg for seg, _ in walked), siz, cod, _tlm(tlm_bodies), end,
                      bodies)


def siz(read: Reader, size: int) -> Siz:
    """The SIZ segment alone (it follows SOC), read without walking the rest of the header."""
    head = read(0, 6)
    if len(head) < 6 or head[:4] != SOC_SIZ or size < 6:
        raise CodestreamError("not an HTJ2K codestream: it does not start with SOC and SIZ")
    length = u16(head, 4)
    body = read(6, length - 2) if length > 2 else b""
    if len(body) != length - 2:
        raise CodestreamError("the SIZ segment is incomplete")
    return Siz.parse(body)


def tile_parts(read: Reader, size: int, header: MainHeader | int, *,
               use_tlm: bool = True) -> Iterator[TilePart]:
    """Every tile-part in codestream order, reading no packet data.

    With ``use_tlm`` and a TLM, the offsets come from its lengths and no SOT
    is read (``parts`` is then 0: TLM does not say it); otherwise the walk
    reads each SOT (12 bytes) and seeks to the next by Psot.  Stops at EOC
    or at the end of the data; a tile-part that runs past the end is given
    with its declared length (the caller sees the cut).  ``header`` may
    also be the offset of the first SOT, for a walk of the SOT segments
    that needs nothing from the main header.
    """
    if isinstance(header, int):
        pos, tlm = header, None
    else:
        pos, tlm = header.end, header.tlm
    if use_tlm and tlm is not None:
        seen: dict[int, int] = {}
        for index, length in tlm:
            if pos >= size:
                return
            if length < 14:
                raise CodestreamError(f"the TLM segment gives a tile-part of {length} bytes")
            part = seen.get(index, 0)
            seen[index] = part + 1
            yield TilePart(pos, length, index, part, 0)
            pos += length
        return
    while pos + 12 <= size:
        sot = read(pos, 12)
        if len(sot) < 12 or u16(sot, 0) == EOC:
            return
        if u16(sot, 0) != SOT or u16(sot, 2) != 10:
            raise CodestreamError(f"no SOT segment at byte {pos}")
        index, psot, part, parts = u16(sot, 4), u32(sot, 6), sot[10], sot[11]
        length = psot if psot else size - pos - (2 if read(size - 2, 2) == EOC_BYTES else 0)
        if length < 14:
            raise CodestreamError(f"tile-part at byte {pos} declares {psot} bytes")
        yield TilePart(pos, length, index, part, parts)
        pos += length
