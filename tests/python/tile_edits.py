"""Byte-level editing of multi-tile codestreams for the tiled-decode tests.

The encoder writes raw codestreams with the main header first (SOC, SIZ, then
the other segments) and its tile-parts after it, each starting with an SOT
segment.  The helpers here read and rewrite the SIZ fields that place the
image and the tile grid, list the tile-parts, edit SOT fields, move tile-parts
around, and put extra segments into the main header or a tile-part header,
keeping Psot right where a tile-part grows.  They are written against the
codestream format, not against the planner, so that the tests can compare the
planner's view with an independent walk.
"""

from __future__ import annotations

import struct
from typing import NamedTuple

SOC_SIZ = b"\xff\x4f\xff\x51"
EOC_BYTES = b"\xff\xd9"

COD = 0xFF52
QCD = 0xFF5C
TLM = 0xFF55
PLM = 0xFF57
PLT = 0xFF58
PPM = 0xFF60
PPT = 0xFF61
COM = 0xFF64
SOT = 0xFF90
SOD = 0xFF93

# SIZ fields, as byte offsets from the start of the codestream (SOC at 0).
SIZ_FIELDS = {
    "Xsiz": 8, "Ysiz": 12, "XOsiz": 16, "YOsiz": 20,
    "XTsiz": 24, "YTsiz": 28, "XTOsiz": 32, "YTOsiz": 36,
}
LSIZ_AT = 4
CSIZ_AT = 40
COMPONENTS_AT = 42


def segment(marker: int, payload: bytes = b"") -> bytes:
    """A marker segment: marker, length (payload + 2), payload."""
    return struct.pack(">HH", marker, len(payload) + 2) + payload


def sot_segment(isot: int, psot: int, tpsot: int = 0, tnsot: int = 1) -> bytes:
    return struct.pack(">HHHIBB", SOT, 10, isot, psot, tpsot, tnsot)


# ---------------------------------------------------------------------------
# SIZ


def siz_length(cs: bytes) -> int:
    """Lsiz."""
    return struct.unpack_from(">H", cs, LSIZ_AT)[0]


def siz_segment(cs: bytes) -> bytes:
    """The SIZ segment, marker included."""
    return bytes(cs[2:4 + siz_length(cs)])


def siz_fields(siz: bytes, at_marker: bool = True) -> dict[str, int]:
    """The eight 32-bit SIZ fields of a SIZ segment (or of a codestream)."""
    shift = 2 if at_marker else 0
    return {name: struct.unpack_from(">I", siz, at - shift)[0]
            for name, at in SIZ_FIELDS.items()}


def set_siz(cs: bytes, **fields: int) -> bytes:
    """``cs`` with some of Xsiz ... YTOsiz (and Lsiz, Csiz) replaced."""
    out = bytearray(cs)
    for name, value in fields.items():
        if name == "Lsiz":
            struct.pack_into(">H", out, LSIZ_AT, value)
        elif name == "Csiz":
            struct.pack_into(">H", out, CSIZ_AT, value)
        else:
            struct.pack_into(">I", out, SIZ_FIELDS[name], value)
    return bytes(out)


def set_sampling(cs: bytes, component: int, xr: int, yr: int) -> bytes:
    at = COMPONENTS_AT + 3 * component + 1
    return bytes(cs[:at]) + bytes([xr, yr]) + bytes(cs[at + 2:])


def set_precision(cs: bytes, component: int, ssiz: int) -> bytes:
    at = COMPONENTS_AT + 3 * component
    return bytes(cs[:at]) + bytes([ssiz]) + bytes(cs[at + 1:])


# ---------------------------------------------------------------------------
# Main header


def main_segments(cs: bytes) -> list[tuple[int, int, int]]:
    """(marker, start, end) of every main-header segment after SIZ, up to the first SOT."""
    pos = 4 + siz_length(cs)
    out = []
    while True:
        (marker,) = struct.unpack_from(">H", cs, pos)
        if marker == SOT:
            return out
        (length,) = struct.unpack_from(">H", cs, pos + 2)
        out.append((marker, pos, pos + 2 + length))
        pos += 2 + length


def first_sot(cs: bytes) -> int:
    segs = main_segments(cs)
    return segs[-1][2] if segs else 4 + siz_length(cs)


def main_segment(cs: bytes, marker: int) -> bytes:
    for m, start, end in main_segments(cs):
        if m == marker:
            return bytes(cs[start:end])
    raise KeyError(f"no {marker:04X} in the main header")


def insert_main(cs: bytes, seg: bytes, *, after: int | None = None) -> bytes:
    """``cs`` with ``seg`` put right after the main-header segment ``after``
    (or right before the first SOT when ``after`` is None)."""
    if after is None:
        at = first_sot(cs)
    else:
        at = next(end for m, _, end in main_segments(cs) if m == after)
    return bytes(cs[:at]) + seg + bytes(cs[at:])


def remove_main(cs: bytes, marker: int) -> bytes:
    for m, start, end in main_segments(cs):
        if m == marker:
            return bytes(cs[:start]) + bytes(cs[end:])
    raise KeyError(f"no {marker:04X} in the main header")


def move_main(cs: bytes, marker: int, *, after: int) -> bytes:
    """``cs`` with its ``marker`` segment moved right after the ``after`` segment."""
    seg = main_segment(cs, marker)
    return insert_main(remove_main(cs, marker), seg, after=after)


# ---------------------------------------------------------------------------
# Tile-parts


class TilePart(NamedTuple):
    start: int
    end: int
    isot: int
    psot: int
    tpsot: int
    tnsot: int


def has_eoc(cs: bytes) -> bool:
    return bytes(cs[-2:]) == EOC_BYTES


def tile_parts(cs: bytes) -> list[TilePart]:
    """Every tile-part in codestream order, by following Psot from the first SOT."""
    data_end = len(cs) - 2 if has_eoc(cs) else len(cs)
    pos = first_sot(cs)
    out = []
    while pos < data_end:
        marker, lsot, isot, psot, tpsot, tnsot = struct.unpack_from(">HHHIBB", cs, pos)
        if marker != SOT or lsot != 10:
            raise ValueError(f"no SOT segment at {pos}")
        end = data_end if psot == 0 else pos + psot
        out.append(TilePart(pos, end, isot, psot, tpsot, tnsot))
        pos = end
    return out


def part_bytes(cs: bytes, part: TilePart) -> bytes:
    return bytes(cs[part.start:part.end])


def set_sot(cs: bytes, index: int, **fields: int) -> bytes:
    """``cs`` with fields (lsot, isot, psot, tpsot, tnsot) of its ``index``-th tile-part set."""
    offsets = {"lsot": (2, ">H"), "isot": (4, ">H"), "psot": (6, ">I"),
               "tpsot": (10, ">B"), "tnsot": (11, ">B")}
    start = tile_parts(cs)[index].start
    out = bytearray(cs)
    for name, value in fields.items():
        off, fmt = offsets[name]
        struct.pack_into(fmt, out, start + off, value)
    return bytes(out)


def reorder_parts(cs: bytes, order: list[int]) -> bytes:
    """``cs`` with its tile-parts rearranged: ``order`` lists old indices."""
    parts = tile_parts(cs)
    head = bytes(cs[:parts[0].start])
    tail = EOC_BYTES if has_eoc(cs) else b""
    return head + b"".join(part_bytes(cs, parts[i]) for i in order) + tail


def remove_part(cs: bytes, index: int) -> bytes:
    part = tile_parts(cs)[index]
    return bytes(cs[:part.start]) + bytes(cs[part.end:])


def insert_part(cs: bytes, index: int, part: bytes) -> bytes:
    """``cs`` with ``part`` (whole tile-part bytes) put before its ``index``-th tile-part."""
    at = tile_parts(cs)[index].start
    return bytes(cs[:at]) + part + bytes(cs[at:])


def insert_in_part_header(cs: bytes, index: int, seg: bytes) -> bytes:
    """``cs`` with ``seg`` put into the header of its ``index``-th tile-part,
    right before its SOD, and that tile-part's Psot grown to match."""
    part = tile_parts(cs)[index]
    sod = bytes(cs).index(b"\xff\x93", part.start + 12)
    out = bytearray(bytes(cs[:sod]) + seg + bytes(cs[sod:]))
    if part.psot:
        struct.pack_into(">I", out, part.start + 6, part.psot + len(seg))
    return bytes(out)


def spoil_part_tail(cs: bytes, index: int, count: int = 10) -> bytes:
    """``cs`` with the last ``count`` packet bytes of its ``index``-th tile-part set to FF.

    The tile-part keeps its length and its header, so the codestream still
    walks; the packet data no longer decodes.
    """
    part = tile_parts(cs)[index]
    out = bytearray(cs)
    out[part.end - count:part.end] = b"\xff" * count
    return bytes(out)
