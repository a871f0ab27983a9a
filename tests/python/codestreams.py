"""The tests' codestream toolkit: the editors and readers built on the
package's codestream walker (``ferroglyph._codestream``).

Everything here works on raw HTJ2K codestreams (``bytes``) as the encoder
writes them (ISO/IEC 15444-1 marker codes, plus CAP for HTJ2K and NLT and DFS
from 15444-2): walking the main header and the tile-parts, reading back what
an encode wrote (``parse``), editing SIZ fields and main-header segments,
inserting segments into the main header or a tile-part header, moving and
spoiling tile-parts (keeping Psot right where a tile-part grows), the bridge
seen through ctypes, reading reference images, and a numpy model of a
reduced-resolution reversible decode (the integer 5/3 wavelet and the
reversible component transform) to check decoded pixels against.  The
editors are written against the codestream format, not against the module's
tile planner, so that tests compare the planner's view with an independent
walk.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import NamedTuple

import bridge_ctypes
import numpy as np

from ferroglyph import _codestream, _image_files

# Marker codes, the walker and the segment builder are the package's own
# (``ferroglyph._codestream``): one reading of the format in Python.
from ferroglyph._codestream import (  # noqa: F401 (re-exported for the tests)
    CAP,
    COC,
    COD,
    COM,
    DFS,
    EOC,
    EOC_BYTES,
    NLT,
    PLM,
    PLT,
    POC,
    PPM,
    PPT,
    PROGRESSION_ORDERS,
    QCC,
    QCD,
    RGN,
    SIZ,
    SOC,
    SOC_SIZ,
    SOD,
    SOT,
    TLM,
    Cod,
    segment,
    u32,
)

# Ready-made segments that OpenJPH skips with "... is not supported yet" and
# that change nothing in the image: an RGN for component 0 with an ROI shift
# of 0, a POC that restates the default progression for all resolutions and
# components, and a PPM that carries no packet headers.
RGN_NOOP = bytes.fromhex("FF5E 0005 00 00 00")
POC_NOOP = bytes.fromhex("FF5F 0009 00 00 0001 06 03 02")
PPM_EMPTY = bytes.fromhex("FF60 0003 00")

SKIP_WARNINGS = {
    "RGN": "RGN is not supported yet",
    "POC": "POC is not supported yet",
    "PPM": "PPM is not supported yet",
}
TILE_SKIP_WARNINGS = {
    COD: "COD marker segment in a tile is not supported yet",
    QCD: "QCD marker segment in a tile is not supported yet",
}
RSIZ_WARNING = "Rsiz in SIZ has unimplemented fields"
SCOC_WARNING = "Unsupported options in Scoc field of the COC segment"

# SIZ layout (offsets from the start of the codestream, SOC at 0).
LSIZ_AT = 4
_SIZ_RSIZ = 6
SIZ_FIELDS = {
    "Xsiz": 8, "Ysiz": 12, "XOsiz": 16, "YOsiz": 20,
    "XTsiz": 24, "YTsiz": 28, "XTOsiz": 32, "YTOsiz": 36,
}
CSIZ_AT = 40
COMPONENTS_AT = 42


# ---------------------------------------------------------------------------
# Walking


def sot_segment(isot: int, psot: int, tpsot: int = 0, tnsot: int = 1) -> bytes:
    return struct.pack(">HHHIBB", SOT, 10, isot, psot, tpsot, tnsot)


def _walk(cs: bytes) -> tuple[list[tuple[_codestream.Segment, bytes]], int]:
    return _codestream.header_segments(_codestream.buffer_reader(cs), len(cs))


def main_header_segments(cs: bytes) -> list[tuple[int, int, int]]:
    """(marker, offset, total length) of each main-header segment after SOC.

    The walk stops at the first SOT, which is not included.
    """
    return [tuple(seg) for seg, _ in _walk(cs)[0]]


def first_sot(cs: bytes) -> int:
    """Offset of the first SOT marker, found by walking the main header."""
    return _walk(cs)[1]


def find_segment(cs: bytes, marker: int) -> tuple[int, int]:
    """(offset, total length) of the first main-header segment ``marker``."""
    for m, pos, length in main_header_segments(cs):
        if m == marker:
            return pos, length
    raise KeyError(f"no {marker:04X} segment in the main header")


def main_segments(cs: bytes) -> list[tuple[int, int, int]]:
    """(marker, start, end) of every main-header segment after SIZ, up to the first SOT."""
    return [(m, pos, pos + length) for m, pos, length in main_header_segments(cs)[1:]]


def main_segment(cs: bytes, marker: int) -> bytes:
    """The first main-header segment ``marker``, marker included."""
    pos, length = find_segment(cs, marker)
    return bytes(cs[pos:pos + length])


def raw_codestream(file_bytes: bytes) -> bytes:
    """The raw codestream inside a file: from the first SOC followed by SIZ.

    A JPH/JP2 file keeps it in its jp2c box, which runs to the end of the file
    in the files we read.
    """
    at = file_bytes.find(b"\xff\x4f\xff\x51")
    if at < 0:
        raise ValueError("no SOC/SIZ in the file")
    return file_bytes[at:]


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


# ---------------------------------------------------------------------------
# Editing the main header


def insert_before_first_sot(cs: bytes, *segments: bytes) -> bytes:
    at = first_sot(cs)
    return bytes(cs[:at]) + b"".join(segments) + bytes(cs[at:])


def insert_main(cs: bytes, seg: bytes, *, after: int | None = None) -> bytes:
    """``cs`` with ``seg`` put right after the main-header segment ``after``
    (or right before the first SOT when ``after`` is None)."""
    if after is None:
        return insert_before_first_sot(cs, seg)
    at = next(end for m, _, end in main_segments(cs) if m == after)
    return bytes(cs[:at]) + seg + bytes(cs[at:])


def remove_main(cs: bytes, marker: int) -> bytes:
    pos, length = find_segment(cs, marker)
    return bytes(cs[:pos]) + bytes(cs[pos + length:])


def move_main(cs: bytes, marker: int, *, after: int) -> bytes:
    """``cs`` with its ``marker`` segment moved right after the ``after`` segment."""
    seg = main_segment(cs, marker)
    return insert_main(remove_main(cs, marker), seg, after=after)


def set_rsiz(cs: bytes, rsiz: int) -> bytes:
    return cs[:_SIZ_RSIZ] + struct.pack(">H", rsiz) + cs[_SIZ_RSIZ + 2:]


def num_components(cs: bytes) -> int:
    return struct.unpack_from(">H", cs, CSIZ_AT)[0]


def set_component_ssiz(cs: bytes, component: int, ssiz: int) -> bytes:
    """Overwrites one component's Ssiz byte (precision - 1, | 0x80 if signed)."""
    at = COMPONENTS_AT + 3 * component
    return bytes(cs[:at]) + bytes([ssiz]) + bytes(cs[at + 1:])


def set_all_ssiz(cs: bytes, ssiz: int) -> bytes:
    for c in range(num_components(cs)):
        cs = set_component_ssiz(cs, c, ssiz)
    return cs


def set_subsampling(cs: bytes, component: int, xr: int, yr: int) -> bytes:
    at = COMPONENTS_AT + 3 * component + 1
    return bytes(cs[:at]) + bytes([xr, yr]) + bytes(cs[at + 2:])


def set_progression_order(cs: bytes, order: int) -> bytes:
    """Overwrites the progression-order byte of the main COD (SGcod's first)."""
    pos, _ = find_segment(cs, COD)
    at = pos + 5  # marker (2), Lcod (2), Scod (1)
    return cs[:at] + bytes([order]) + cs[at + 1:]


def ssiz(bit_depth: int, signed: bool) -> int:
    return (bit_depth - 1) | (0x80 if signed else 0)


def nlt_segment(bdnlt: int, nlt_type: int, component: int = 0xFFFF) -> bytes:
    """An NLT segment: Cnlt (0xFFFF = every component), BDnlt, Tnlt."""
    return segment(NLT, struct.pack(">HBB", component, bdnlt, nlt_type))


def with_nlt(cs: bytes, bdnlt: int, nlt_type: int, component: int = 0xFFFF) -> bytes:
    """``cs`` with an NLT segment placed right before the first SOT."""
    return insert_before_first_sot(cs, nlt_segment(bdnlt, nlt_type, component))


def with_unknown_scoc_option(cs: bytes) -> bytes:
    """Adds a COC for component 0 that repeats the main COD's coding style but
    sets an Scoc bit OpenJPH does not know (0x08): it warns and reads on."""
    pos, length = find_segment(cs, COD)
    spcod = cs[pos + 9:pos + length]  # after marker, Lcod, Scod and SGcod
    if num_components(cs) > 256:
        raise ValueError("Ccoc is two bytes for more than 256 components")
    return insert_before_first_sot(cs, segment(COC, bytes([0, 0x08]) + spcod))


def copy_into_first_tile_header(cs: bytes, marker: int) -> bytes:
    """Copies the main header's ``marker`` segment into the first tile-part header.

    The copy goes right before the first SOD, and the tile-part's Psot grows
    by its length.  OpenJPH skips such a segment with "... in a tile is not
    supported yet"; an unchanged copy leaves the image as it was.
    """
    pos, length = find_segment(cs, marker)
    seg = cs[pos:pos + length]
    sot = first_sot(cs)
    sod = cs.index(b"\xff\x93", sot)
    (psot,) = struct.unpack_from(">I", cs, sot + 6)
    out = bytearray(cs[:sod] + seg + cs[sod:])
    struct.pack_into(">I", out, sot + 6, psot + length)
    return bytes(out)


def truncate_tile_data(cs: bytes, keep_fraction: float = 0.5) -> bytes:
    """Cuts the codestream inside the first tile's packet data."""
    sod = cs.index(b"\xff\x93", first_sot(cs))
    keep = sod + 2 + int((len(cs) - sod - 2) * keep_fraction)
    return cs[:keep]


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
    return [TilePart(p.offset, p.offset + p.length, p.index, u32(cs, p.offset + 6), p.part,
                     p.parts)
            for p in _codestream.tile_parts(_codestream.buffer_reader(cs), len(cs), first_sot(cs))]


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


# ---------------------------------------------------------------------------
# NLT type 3 ("binary complement to sign magnitude") for float16 patterns
#
# Decoding under an NLT type 3 marker maps a decoded negative B-bit value v to
# -v - 2**(B-1) - 1 and leaves non-negative values alone.  The map is its own
# inverse, so a codestream that decodes to float16 bit patterns p is the
# int16 encode of nlt3_map(p) with an NLT segment (type 3, BDnlt 0x8F) added.


def nlt3_map(values: np.ndarray) -> np.ndarray:
    """The type 3 map on signed integer samples (its own inverse)."""
    v = np.asarray(values)
    bits = v.dtype.itemsize * 8
    wide = v.astype(np.int64)
    mapped = np.where(wide < 0, -wide - 2 ** (bits - 1) - 1, wide)
    return mapped.astype(v.dtype)


def float16_codestream(encode, image: np.ndarray, **encode_kwargs) -> bytes:
    """A 16-bit NLT type 3 codestream that decodes to ``image`` (float16) exactly."""
    patterns = np.ascontiguousarray(image, dtype=np.float16).view(np.int16)
    cs = encode(nlt3_map(patterns), **encode_kwargs)
    return with_nlt(cs, ssiz(16, True), 3)


# ---------------------------------------------------------------------------
# Reading back what an encode wrote: the main header's segments and the
# tile-part skeleton; packet data is never looked at.


@dataclass(frozen=True)
class Siz(_codestream.Siz):
    @property
    def precisions(self) -> set[int]:
        return {(s & 0x7F) + 1 for s in self.ssiz}

    @property
    def signedness(self) -> set[bool]:
        return {bool(s & 0x80) for s in self.ssiz}


@dataclass
class PartHeader:
    index: int
    length: int
    part: int
    parts: int


@dataclass
class Codestream:
    segments: list[tuple[int, bytes]]  # main header, in order
    tile_parts: list[PartHeader] = field(default_factory=list)
    ends_with_eoc: bool = False

    def markers(self) -> list[int]:
        return [m for m, _ in self.segments]

    def body(self, marker: int) -> bytes:
        bodies = [b for m, b in self.segments if m == marker]
        assert len(bodies) == 1, f"expected one {marker:#06x} segment, found {len(bodies)}"
        return bodies[0]

    @property
    def siz(self) -> Siz:
        return Siz.parse(self.body(SIZ))

    @property
    def cod(self) -> Cod:
        return Cod.parse(self.body(COD))

    @property
    def qcd_style(self) -> int:
        """Sqcd's quantization style: 0 none (reversible), 1 derived, 2 expounded."""
        return self.body(QCD)[0] & 0x1F


def parse(cs: bytes) -> Codestream:
    """The main header's segments, then the tile-parts by Psot."""
    walked, end = _walk(cs)
    out = Codestream([(seg.marker, body) for seg, body in walked])
    for part in _codestream.tile_parts(_codestream.buffer_reader(cs), len(cs), end):
        assert u32(cs, part.offset + 6) > 0, \
            "a Psot of 0 (last tile-part runs to EOC) is not expected here"
        out.tile_parts.append(PartHeader(part.index, part.length, part.part, part.parts))
        end = part.offset + part.length
    out.ends_with_eoc = bytes(cs[end:]) == EOC_BYTES
    return out


# ---------------------------------------------------------------------------
# The bridge, seen through ctypes


_bridge = None


def bridge() -> bridge_ctypes.Bridge:
    """The bridge library through ctypes, loaded once."""
    global _bridge
    if _bridge is None:
        _bridge = bridge_ctypes.load()
    return _bridge


def info(cs: bytes) -> dict[str, int]:
    return bridge().decode_info(cs).as_dict()


def decode(cs: bytes, *, planar: bool = False, like: np.ndarray | None = None) -> np.ndarray:
    """Decodes through the bridge; with ``like``, shaped and typed as that array.

    The bridge returns (H, W, C) (or (C, H, W)) integers; float32 images come
    back as their int32 bit patterns, so they are reinterpreted here.
    """
    out = bridge().decode(cs, planar=planar)
    if like is None:
        return out
    if like.dtype.kind == "f":
        out = out.view(np.float32)
    if like.ndim == 2:
        out = out[..., 0] if not planar else out[0]
    return out.astype(like.dtype.newbyteorder("="), copy=False)


def random_image(shape, dtype, seed=0) -> np.ndarray:
    """Random samples over the whole range of ``dtype`` (standard normal for floats);
    ``seed`` may also be a NumPy Generator, which is then drawn from."""
    rng = np.random.default_rng(seed)
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        return rng.standard_normal(shape).astype(dtype)
    info = np.iinfo(dtype)
    return rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)


def psnr(a: np.ndarray, b: np.ndarray, peak: float) -> float:
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(peak ** 2 / mse)


# ---------------------------------------------------------------------------
# Reference images (PNM, PGX)


def read_pnm(path) -> np.ndarray:
    """A binary PGM (P5) or PPM (P6): (H, W) or (H, W, 3), native byte order.

    The package's own reader (the one the command line and the demo use).
    """
    with open(path, "rb") as f:
        return _image_files.read_pnm(f.read())[0]


def read_pgx(path) -> np.ndarray:
    """One component in the PGX form: "PG ML|LM [+|-] depth width height" and raw samples."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"\n")
    fields = data[:end].decode("ascii").replace("+", " + ").replace("-", " - ").split()
    if fields[0] != "PG":
        raise ValueError(f"{path}: not a PGX file")
    order = {"ML": ">", "LM": "<"}[fields[1]]
    signed = "-" in fields[2:-3]
    depth, width, height = (int(v) for v in fields[-3:])
    size = 1 if depth <= 8 else 2 if depth <= 16 else 4
    dtype = np.dtype(f"{order}{'i' if signed else 'u'}{size}")
    pixels = np.frombuffer(data, dtype, width * height, end + 1)
    return pixels.astype(dtype.newbyteorder("=")).reshape(height, width)


# ---------------------------------------------------------------------------
# Reference model of reduced reversible decodes
#
# A reversible codestream stores the integer 5/3 wavelet coefficients of the
# (level-shifted, component-transformed) image exactly, so a decode that
# skips r resolutions returns the LL band after r forward transforms, with the
# component transform undone and the level shift added back, clamped to the
# sample range.  Skipping more resolutions for data than for reconstruction
# fills the unread detail bands with zeros and runs the inverse transform over
# the remaining levels.  Origins are 0 here (as the encoder writes them), so
# the even samples form the low band.


def _fwd53_axis0(x: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """One forward 5/3 lifting step along axis 0: (low, high)."""
    n = x.shape[0]
    if n == 1:
        return x.copy(), x[:0].copy()
    even = x[0::2]
    odd = x[1::2]
    # X(2n+2) with whole-sample symmetric extension X(N) = X(N-2).
    right = np.concatenate([even[1:], x[n - 2:n - 1]]) if n % 2 == 0 else even[1:]
    high = odd - np.floor_divide(even[:len(odd)] + right[:len(odd)], 2)
    # Y(2n-1) and Y(2n+1) with the extension Y(-1) = Y(1), Y(N) = Y(N-2).
    h_left = np.concatenate([high[:1], high])[:len(even)]
    h_right = high if len(high) == len(even) else np.concatenate([high, high[-1:]])
    low = even + np.floor_divide(h_left + h_right + 2, 4)
    return low, high


def _inv53_axis0(low: np.ndarray, high: np.ndarray) -> np.ndarray:
    """Inverse of :func:`_fwd53_axis0`."""
    n = low.shape[0] + high.shape[0]
    if n == 1:
        return low.copy()
    h_left = np.concatenate([high[:1], high])[:len(low)]
    h_right = high if len(high) == len(low) else np.concatenate([high, high[-1:]])
    even = low - np.floor_divide(h_left + h_right + 2, 4)
    right = np.concatenate([even[1:], even[-1:]]) if n % 2 == 0 else even[1:]
    odd = high + np.floor_divide(even[:len(high)] + right[:len(high)], 2)
    out = np.empty((n,) + low.shape[1:], low.dtype)
    out[0::2] = even
    out[1::2] = odd
    return out


def _fwd53_2d(x: np.ndarray):
    """One 2-D level, vertical first: (LL, (HL, LH, HH))."""
    lo, hi = _fwd53_axis0(x)
    ll, hl = (a.T for a in _fwd53_axis0(lo.T))
    lh, hh = (a.T for a in _fwd53_axis0(hi.T))
    return ll, (hl, lh, hh)


def _inv53_2d(ll: np.ndarray, hl: np.ndarray, lh: np.ndarray, hh: np.ndarray) -> np.ndarray:
    lo = _inv53_axis0(ll.T, hl.T).T
    hi = _inv53_axis0(lh.T, hh.T).T
    return _inv53_axis0(lo, hi)


def reduced_plane(plane: np.ndarray, data: int, recon: int) -> np.ndarray:
    """One component's coefficients after skipping (data, recon) resolutions."""
    x = plane.astype(np.int64)
    shapes = []
    for _ in range(data):
        shapes.append(x.shape)
        x, _detail = _fwd53_2d(x)
    for level in range(data - recon):
        h, w = shapes[data - 1 - level]
        lw, lh = (w + 1) // 2, (h + 1) // 2
        zeros = np.zeros
        x = _inv53_2d(x, zeros((lh, w - lw), np.int64), zeros((h - lh, lw), np.int64),
                      zeros((h - lh, w - lw), np.int64))
    return x


def rct_forward(rgb: np.ndarray) -> np.ndarray:
    """Reversible component transform of the first three planes of (C, H, W)."""
    r, g, b = rgb[0], rgb[1], rgb[2]
    out = rgb.copy()
    out[0] = np.floor_divide(r + 2 * g + b, 4)
    out[1] = b - g
    out[2] = r - g
    return out


def rct_inverse(ycc: np.ndarray) -> np.ndarray:
    y, cb, cr = ycc[0], ycc[1], ycc[2]
    out = ycc.copy()
    g = y - np.floor_divide(cb + cr, 4)
    out[0] = cr + g
    out[1] = g
    out[2] = cb + g
    return out


def reference_reduced(planes: np.ndarray, bit_depth: int, signed: bool, *,
                      color_transform: bool, data: int, recon: int | None = None) -> np.ndarray:
    """What a reversible decode of ``planes`` (C, H, W) returns at (data, recon).

    The result is (C, h, w) int64, clamped to the sample range of
    ``bit_depth`` and ``signed``.
    """
    recon = data if recon is None else recon
    x = planes.astype(np.int64)
    shift = 0 if signed else 1 << (bit_depth - 1)
    x = x - shift
    if color_transform:
        x = rct_forward(x)
    x = np.stack([reduced_plane(p, data, recon) for p in x])
    if color_transform:
        x = rct_inverse(x)
    x = x + shift
    lo, hi = (-(1 << (bit_depth - 1)), (1 << (bit_depth - 1)) - 1) if signed else (
        0, (1 << bit_depth) - 1)
    return np.clip(x, lo, hi)


def reduced_size(n: int, r: int) -> int:
    """Extent of a component with origin 0 after skipping r resolutions."""
    return -(-n // (1 << r))
