"""Tiled encodes on several threads, byte for byte the one-call encode.

OpenJPH encodes a codestream on one thread.  A tiled image is coded tile by
tile, and a tile's coded bytes depend only on its own samples and on where it
lies in the image (the wavelet, code-block and precinct grids are anchored at
the image's origin).  So a run of tiles can be coded as a codestream of its
own whose image and tile-grid offsets put it where it lies in the whole image
(``_openjph._encode_ex(..., origin=)``), on any thread; the whole codestream is
then the whole image's main header (``header_only=True``), a TLM segment
rebuilt from the tile-parts' lengths when one is wanted, the runs' tile-parts
in tile order with their tile indices renumbered, and EOC.  This is the tiled
decode's single-tile codestream trick in reverse.

The result is compared with ``_openjph.encode`` by the tests over every
setting that shapes tiles (tile sizes, levels, code-blocks, progression
orders, tile-parts, TLM, profiles).  Inputs outside what this module plans for
take the one-call path, which then gives the bytes, or raises the error.
"""

from __future__ import annotations

import struct
from typing import Any

import numpy as np

from . import _args, _codestream, _lossy
from ._codestream import EOC_BYTES, MAX_SEGMENT_LENGTH, MAX_TILES, TLM
from .codecs import _openjph
from .core.parallel import resolve_workers, run_batched

__all__ = ["encode"]

#: OpenJPH writes TLM entries of a 16-bit tile index and a 32-bit tile-part
#: length (Stlm 0x60), at most this many to a segment (Ltlm, 16 bits), and
#: numbers the segments with the 8-bit Ztlm.
_TLM_STLM = 0x60
_TLM_PER_SEGMENT = (MAX_SEGMENT_LENGTH - 4) // 6
_TLM_MAX_SEGMENTS = 256
#: A run of tiles coded by one call covers about this many pixels at most:
#: large enough that OpenJPH's per-codestream set-up is lost in the coding,
#: small enough to keep one run's working set small and the workers busy.
_RUN_PIXELS = 1 << 20
_TILE_PART_DTYPE = np.dtype([("isot", ">u2"), ("psot", ">u4")])
#: The keywords of ``_openjph.encode``; any other goes to it to be refused.
_ENCODE_KEYWORDS = frozenset({
    "rgb", "planar", "tile", "resolutions", "reversible", "tlm", "tilepart", "block_size",
    "prog_order", "profile", "num_decomp"})


def encode(data: Any, level: Any = None, *, numthreads: int | None = None, bits: int | None = None,
           lossy: bool = False, **keywords: Any) -> bytes:
    """Encode an ndarray as an HTJ2K codestream, its tiles on several threads.

    The keywords are those of :func:`ferroglyph.codecs._openjph.encode`, with
    the same defaults and rules; ``bits`` codes integer samples with that
    precision (see ``_openjph._encode_ex``).  When ``tile=`` asks for more
    than one tile and ``numthreads`` is not 1, runs of tiles are coded on up
    to ``numthreads`` threads (``None``: the CPUs this process may use, the
    tiled decode's policy, :func:`ferroglyph.core.parallel.resolve_workers`)
    and joined into one codestream, byte for byte the one a single call
    gives.  Otherwise this is one call of the module's encode.

    With ``lossy``, the module's lossy rule chooses the quantization
    (``_openjph._encode_lossy``); float32 data is measured once, so that
    every run of tiles is quantized as the whole image.

    Argument errors are raised, as the one call raises them, before any
    thread starts; a failing run stops the others from starting and its
    error is raised once.
    """
    numthreads = _args.numthreads(numthreads)
    if lossy:
        array = data if isinstance(data, np.ndarray) else np.asarray(data)
        keywords = dict(keywords, _lossy_range=_lossy.value_range(array))
    if numthreads == 1 or keywords.get("tile") is None:
        return _one_call(data, level, bits, keywords)
    plan = _Plan.of(data, keywords)
    if plan is None:
        return _one_call(data, level, bits, keywords)
    workers = resolve_workers(numthreads, len(plan.runs), output_bytes=plan.array.nbytes)
    if workers <= 1:
        return _one_call(data, level, bits, keywords)
    joined = plan.encode(level, bits, keywords, workers)
    return joined if joined is not None else _one_call(data, level, bits, keywords)


def _one_call(data: Any, level: Any, bits: int | None, keywords: dict[str, Any]) -> bytes:
    if "_lossy_range" in keywords:
        return _encode_part(data, level, bits=bits, **keywords)
    if bits is None:
        return _openjph.encode(data, level, **keywords)
    return _openjph._encode_ex(data, level, bits=bits, **keywords)


def _encode_part(data: Any, level: Any, **keywords: Any) -> bytes:
    """``_openjph._encode_ex``, or ``_encode_lossy`` for a lossy encode (``_lossy_range`` given)."""
    if "_lossy_range" not in keywords:
        return _openjph._encode_ex(data, level, **keywords)
    value_range = keywords.pop("_lossy_range")
    return _openjph._encode_lossy(data, level, value_range=value_range, **keywords)


class _Plan:
    """The tile grid of an image and the runs of tiles its workers code."""

    def __init__(self, array: np.ndarray, planar: bool, tile: tuple[int, int],
                 across: int, down: int, run: int):
        self.array = array
        self.planar = planar
        self.tile = tile
        self.across = across
        self.down = down
        # (first tile index, column, row, tiles) of every run, in tile order.
        self.runs = [(j * across + i, i, j, min(run, across - i))
                     for j in range(down) for i in range(0, across, run)]

    @classmethod
    def of(cls, data: Any, keywords: dict[str, Any]) -> _Plan | None:
        """The plan for ``data``, or None for anything the one call should see.

        Mirrors the module's reading of the array, ``planar`` and ``tile``;
        anything it does not recognise (or that raises) goes to the one call,
        which gives the bytes or the error.
        """
        if not keywords.keys() - {"_lossy_range"} <= _ENCODE_KEYWORDS:
            return None
        try:
            array = data if isinstance(data, np.ndarray) else np.asarray(data)
            kind, size = array.dtype.kind, array.dtype.itemsize
            if not ((kind in "ui" and size in (1, 2, 4)) or (kind == "f" and size == 4)):
                return None
            if array.ndim == 2:
                planar = True
                height, width = array.shape
            elif array.ndim == 3:
                asked = keywords.get("planar")
                shape = array.shape
                planar = _openjph._planar_default(shape[0], shape[2]) if asked is None \
                    else bool(asked)
                height, width = shape[1:] if planar else shape[:2]
            else:
                return None
            tile_w, tile_h = (int(v) for v in keywords["tile"])
        except Exception:  # noqa: BLE001 (anything: the one call raises it, in the module's words)
            return None
        if min(height, width, tile_w, tile_h) < 1 or min(array.shape) < 1:
            return None
        across, down = -(-width // tile_w), -(-height // tile_h)
        if across * down <= 1 or across * down > MAX_TILES:
            return None
        run = max(1, min(across, _RUN_PIXELS // (tile_w * tile_h)))
        return cls(array, planar, (tile_w, tile_h), across, down, run)

    def view(self, column: int, row: int, tiles: int) -> np.ndarray:
        """The samples of ``tiles`` tiles from (column, row): a view, never a copy."""
        tile_w, tile_h = self.tile
        x0, y0 = column * tile_w, row * tile_h
        xs, ys = slice(x0, x0 + tiles * tile_w), slice(y0, y0 + tile_h)
        a = self.array
        if a.ndim == 2:
            return a[ys, xs]
        return a[:, ys, xs] if self.planar else a[ys, xs, :]

    def encode(self, level: Any, bits: int | None, keywords: dict[str, Any],
               workers: int) -> bytes | None:
        # The whole image's main header: every check of the one call, made
        # before any thread starts, and the decomposition count that
        # ``resolutions`` chose for the whole image.
        try:
            header = _encode_part(self.array, level, bits=bits, header_only=True, **keywords)
        except _openjph.OpenJphError:
            return None  # refused settings: the one call raises them in its own words and codes
        run_keywords = dict(keywords, planar=self.planar, resolutions=None,
                            num_decomp=_decompositions(header))
        pieces: list[Any] = [None] * len(self.runs)
        lengths: list[Any] = [None] * len(self.runs)
        wants_tlm = [False]
        tile_w, tile_h = self.tile

        def code(index: int) -> None:
            first, column, row, tiles = self.runs[index]
            codestream = _encode_part(
                self.view(column, row, tiles), level, bits=bits,
                origin=(column * tile_w, row * tile_h), **run_keywords)
            if index == 0:
                wants_tlm[0] = _walk(codestream).first(TLM) is not None
            pieces[index], lengths[index] = _renumbered_tile_parts(codestream, first)

        run_batched(code, range(len(self.runs)), workers, name="ferroglyph-encode")
        parts = [header]
        if wants_tlm[0]:
            entries = np.concatenate(lengths)
            if len(entries) > _TLM_PER_SEGMENT * _TLM_MAX_SEGMENTS:
                return None  # more than TLM can index: the one call decides what to do
            parts.append(_tlm_segments(entries))
        parts.extend(pieces)
        parts.append(EOC_BYTES)
        return b"".join(parts)


def _walk(codestream: bytes) -> _codestream.MainHeader:
    try:
        return _codestream.main_header(_codestream.buffer_reader(codestream), len(codestream))
    except _codestream.CodestreamError as exc:
        raise _openjph.OpenJphError(f"HTJ2K encode: a run of tiles came back malformed: "
                                    f"{exc}") from None


def _decompositions(header: bytes) -> int:
    """The decomposition count in a main header's COD segment (one written alone)."""
    walked, _ = _codestream.header_segments(_codestream.buffer_reader(header), len(header),
                                            complete=False)
    for seg, body in walked:
        if seg.marker == _codestream.COD:
            return _codestream.Cod.parse(body).levels
    raise _openjph.OpenJphError("HTJ2K encode: the main header has no COD marker segment")


def _renumbered_tile_parts(codestream: bytes, first_tile: int) -> tuple[bytearray, np.ndarray]:
    """The tile-parts of a run's codestream, their Isot moved up by ``first_tile``.

    Returns the tile-parts (between the main header and EOC) and the
    (Isot, Psot) of each, for the TLM segment.
    """
    header = _walk(codestream)
    end = len(codestream) - len(EOC_BYTES)
    parts = bytearray(memoryview(codestream)[header.end:end])
    entries = []
    try:
        walked = list(_codestream.tile_parts(_codestream.buffer_reader(codestream), end, header,
                                             use_tlm=False))
    except _codestream.CodestreamError:
        walked = []
    at = header.end
    for part in walked:
        if part.offset != at or at + part.length > end:
            break
        struct.pack_into(">H", parts, at - header.end + 4, part.index + first_tile)
        entries.append((part.index + first_tile, part.length))
        at += part.length
    if at != end or not entries:
        raise _openjph.OpenJphError("HTJ2K encode: a run of tiles came back malformed")
    return parts, np.array(entries, dtype=_TILE_PART_DTYPE)


def _tlm_segments(entries: np.ndarray) -> bytes:
    """TLM marker segments as OpenJPH writes them, for (Isot, Psot) ``entries``."""
    out = bytearray()
    for z, start in enumerate(range(0, len(entries), _TLM_PER_SEGMENT)):
        chunk = entries[start:start + _TLM_PER_SEGMENT]
        out += struct.pack(">HHBB", TLM, 4 + chunk.nbytes, z, _TLM_STLM)
        out += chunk.astype(_TILE_PART_DTYPE).tobytes()  # concatenate may go native
    return bytes(out)
