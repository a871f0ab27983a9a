"""Reading back what an encode wrote: a small raw-codestream header walker.

Only the main-header segments and the tile-part skeleton are parsed; packet
data is never looked at.  Marker codes follow ISO/IEC 15444-1 (plus CAP for
HTJ2K and NLT from 15444-2).
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

import numpy as np

from ferroglyph.codecs import _bridge_ctypes

SOC, SOT, SOD, EOC = 0xFF4F, 0xFF90, 0xFF93, 0xFFD9
SIZ, COD, QCD, QCC, NLT, TLM, CAP = 0xFF51, 0xFF52, 0xFF5C, 0xFF5D, 0xFF76, 0xFF55, 0xFF50

PROGRESSION_ORDERS = ("LRCP", "RLCP", "RPCL", "PCRL", "CPRL")


@dataclass
class Siz:
    width: int
    height: int
    tile_w: int
    tile_h: int
    components: int
    ssiz: list[int]

    @property
    def precisions(self) -> set[int]:
        return {(s & 0x7F) + 1 for s in self.ssiz}

    @property
    def signedness(self) -> set[bool]:
        return {bool(s & 0x80) for s in self.ssiz}

    @property
    def num_tiles(self) -> int:
        return -(-self.width // self.tile_w) * -(-self.height // self.tile_h)


@dataclass
class Cod:
    scod: int
    progression: str
    layers: int
    mct: int
    levels: int
    block_w: int
    block_h: int
    block_style: int
    reversible: bool


@dataclass
class TilePart:
    index: int
    length: int
    part: int
    parts: int


@dataclass
class Codestream:
    segments: list[tuple[int, bytes]]  # main header, in order
    tile_parts: list[TilePart] = field(default_factory=list)
    ends_with_eoc: bool = False

    def markers(self) -> list[int]:
        return [m for m, _ in self.segments]

    def body(self, marker: int) -> bytes:
        bodies = [b for m, b in self.segments if m == marker]
        assert len(bodies) == 1, f"expected one {marker:#06x} segment, found {len(bodies)}"
        return bodies[0]

    @property
    def siz(self) -> Siz:
        b = self.body(SIZ)
        _rsiz, xsiz, ysiz, xo, yo, xt, yt, _xto, _yto, csiz = struct.unpack_from(">H8IH", b)
        return Siz(xsiz - xo, ysiz - yo, xt, yt, csiz, [b[36 + 3 * c] for c in range(csiz)])

    @property
    def cod(self) -> Cod:
        b = self.body(COD)
        scod, order, layers, mct, levels, xcb, ycb, style, wavelet = struct.unpack_from(">BBHBBBBBB", b)
        return Cod(scod, PROGRESSION_ORDERS[order], layers, mct, levels, 1 << (xcb + 2),
                   1 << (ycb + 2), style, wavelet == 1)

    @property
    def qcd_style(self) -> int:
        """Sqcd's quantization style: 0 none (reversible), 1 derived, 2 expounded."""
        return self.body(QCD)[0] & 0x1F


def parse(cs: bytes) -> Codestream:
    """Walks the main header segment by segment, then the tile-parts by Psot."""
    assert cs[:2] == b"\xff\x4f", "no SOC"
    pos, segments = 2, []
    while True:
        marker, length = struct.unpack_from(">HH", cs, pos)
        if marker == SOT:
            break
        segments.append((marker, cs[pos + 4:pos + 2 + length]))
        pos += 2 + length
    out = Codestream(segments)
    while pos < len(cs):
        marker = struct.unpack_from(">H", cs, pos)[0]
        if marker == EOC:
            out.ends_with_eoc = pos + 2 == len(cs)
            break
        assert marker == SOT, f"expected SOT at {pos}, found {marker:#06x}"
        _lsot, isot, psot, tpsot, tnsot = struct.unpack_from(">HHIBB", cs, pos + 2)
        assert psot > 0, "a Psot of 0 (last tile-part runs to EOC) is not expected here"
        out.tile_parts.append(TilePart(isot, psot, tpsot, tnsot))
        pos += psot
    return out


_bridge = None


def bridge() -> _bridge_ctypes.Bridge:
    global _bridge
    if _bridge is None:
        _bridge = _bridge_ctypes.load()
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


def psnr(a: np.ndarray, b: np.ndarray, peak: float) -> float:
    mse = np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2)
    return float("inf") if mse == 0 else 10 * np.log10(peak ** 2 / mse)
