"""Windows of large images, and progressive prefixes of codestreams.

A window is ``(y0, x0, y1, x1)``, half-open, in full-resolution image
coordinates counted from the image's top-left sample.  At ``reduce=r`` the
result is, by definition, ``decode(data, reduce=r)[ceil(y0/2**r):ceil(y1/2**r),
ceil(x0/2**r):ceil(x1/2**r)]``: the JPEG 2000 rounding of a coordinate at a
lower resolution.

How a window is decoded:

- Multi-tile codestreams: only the tiles that meet the window are read and
  decoded, each as a single-tile codestream of its own (the tiled decode's
  cut: the tile's SIZ keeps its place on the reference grid, so its reduced
  extent is ``ceil(tx1/2**r) - ceil(tx0/2**r)`` exactly as in the whole
  image), in parallel, and each only down to the window's last row.
- One-tile codestreams: OpenJPH decodes whole rows, so every column is
  decoded, but no row below the window's last one.
- Anything else (subsampled components, PPM, malformed or cut layouts): a
  whole decode and a crop, which reports the codestream's problems as a
  whole decode would.

Everything reads through a ``read(offset, n)`` callable and a size, so the
same code serves bytes in memory, files read with seeks and any seekable
binary file object: a window of a file reads its main header, its tile-part
headers (from TLM when present, else by walking SOT segments) and the
tile-parts that meet the window, nothing else.

A progressive prefix is the leading part of a codestream laid out with one
tile, one quality layer, a tile-part per resolution and a resolution-major
progression (RPCL, RLCP, or LRCP with one layer): its first ``k + 1``
tile-parts hold resolutions 0 to ``k``, so a decode at ``reduce=r`` needs
only the tile-parts up to resolution ``levels - r``.
"""

from __future__ import annotations

import struct
from collections.abc import Callable
from typing import Any, NamedTuple

import numpy as np

from . import _args, _jp2
from . import _codestream as cs
from .codecs import _openjph
from .codecs._openjph import OpenJphError

__all__ = ["crop_components", "decode_window", "ended", "image_region", "object_window",
           "prefix_bytes", "prefix_bytes_of", "prefix_cut", "read_window", "reduced_window"]

Reader = Callable[[int, int], bytes]

#: Progressions in which, with one quality layer, every packet of resolution k
#: comes before any of resolution k + 1.
_RESOLUTION_MAJOR = ("RPCL", "RLCP", "LRCP")


def _ceil(v: int, r: int) -> int:
    """ceil(v / 2**r) for v >= 0."""
    return -(-v >> r)


def reduced_window(region: tuple[int, int, int, int], r: int, height_r: int,
                   width_r: int) -> tuple[int, int, int, int]:
    """(row0, row1, col0, col1) of ``region`` in an image reduced ``r`` times.

    The crop of the reduced image that the window means, clipped to the
    reduced image as slicing clips it (with a SIZ image offset the reduced
    image can be a sample shorter than ``ceil(height / 2**r)``).
    """
    y0, x0, y1, x1 = region
    return (min(_ceil(y0, r), height_r), min(_ceil(y1, r), height_r),
            min(_ceil(x0, r), width_r), min(_ceil(x1, r), width_r))


def image_region(codestream: Any, region: Any) -> tuple[int, int, int, int]:
    """``region`` checked against the image of a codestream in memory (the reference grid)."""
    try:
        siz = cs.main_header(cs.buffer_reader(codestream), len(memoryview(codestream))).siz
    except cs.CodestreamError as e:
        raise OpenJphError(f"decode_components: {e}") from None
    box = _args.region(region, siz.height, siz.width)
    assert box is not None
    return box


def crop_components(codestream: Any, arrays: list[np.ndarray], box: tuple[int, int, int, int],
                    r: int) -> list[np.ndarray]:
    """Each component's window of ``box`` at reduction ``r``: its subsampling, then the reduction.

    A component subsampled by (dx, dy) holds its sample ``i`` at image row
    ``i * dy``, so the window's rows are ``ceil(y0 / (dy * 2**r))`` to
    ``ceil(y1 / (dy * 2**r))`` of its reduced samples (clipped to them).
    """
    siz = cs.main_header(cs.buffer_reader(codestream), len(memoryview(codestream))).siz
    y0, x0, y1, x1 = box
    out = []
    for a, (dx, dy) in zip(arrays, siz.subsampling, strict=True):
        h, w = a.shape[:2]
        ry = slice(min(-(-y0 // (dy << r)), h), min(-(-y1 // (dy << r)), h))
        rx = slice(min(-(-x0 // (dx << r)), w), min(-(-x1 // (dx << r)), w))
        out.append(np.ascontiguousarray(a[ry, rx]))
    return out


# ---------------------------------------------------------------------------
# Progressive prefixes


class _Layout(NamedTuple):
    """Tile-parts of a one-tile codestream, when its layout proves its prefixes."""

    ends: list[int]  # end offset of each tile-part present, in order
    declared: int | None  # the whole codestream's length, where known


def _prefix_layout(read: Reader, size: int, header: cs.MainHeader) -> _Layout | None:
    siz, cod = header.siz, header.cod
    if cod is None or siz.num_tiles != 1 or cod.layers != 1:
        return None
    if cod.progression not in _RESOLUTION_MAJOR:
        return None
    markers = {s.marker for s in header.segments}
    if markers & {cs.POC, cs.PPM}:
        return None
    # A COC with its own level count would give its component another set
    # of resolutions than the tile-parts are cut by.
    for s in header.segments:
        if s.marker == cs.COC:
            body = read(s.offset + 4, s.length - 4)
            at = 2 if siz.components > 256 else 1
            if len(body) < at + 2 or body[at + 1] != cod.levels:
                return None
    levels = cod.levels
    ends: list[int] = []
    for k, tp in enumerate(cs.tile_parts(read, size, header)):
        if tp.index != 0 or tp.part != k or k > levels:
            return None
        # The tile-part header must be SOT then SOD (a COD, COC or POC in it
        # could reorder the packets), and TNsot must say a tile-part per
        # resolution (or be 0 with TLM, which counts them).
        head = read(tp.offset, 14)
        if len(head) == 14:
            # Psot 0 (to the end of the data) gives no length to cut at.
            if cs.u16(head, 0) != cs.SOT or cs.u16(head, 12) != cs.SOD or cs.u32(head, 6) == 0:
                return None
            if head[11] != levels + 1 and not (head[11] == 0 and header.tlm is not None):
                return None
        if tp.offset + tp.length > size:
            break
        ends.append(tp.offset + tp.length)
    declared: int | None = None
    if header.tlm is not None:
        if len(header.tlm) != levels + 1 or any(i != 0 for i, _ in header.tlm):
            return None
        declared = header.end + sum(n for _, n in header.tlm) + 2
    if len(ends) == levels + 1:
        declared = size  # whole
    return _Layout(ends, declared)


def prefix_bytes(read: Reader, size: int) -> list[int | None]:
    """How many leading bytes of the codestream suffice at each ``reduce``.

    A list indexed by ``reduce`` (``num_decompositions + 1`` items).  Item 0
    is the whole codestream's length.  Item ``r`` is given only where the
    layout proves it (one tile, one quality layer, a tile-part per
    resolution, RPCL, RLCP or one-layer LRCP, no POC or PPM, tile-part
    headers without coding segments), else None: never a guess that could
    give a wrong thumbnail.  On a prefix without TLM the lengths of missing
    tile-parts are unknown (None), the whole length included.
    """
    header = cs.main_header(read, size)
    levels = header.cod.levels if header.cod is not None else 0
    out: list[int | None] = [None] * (levels + 1)
    layout = _prefix_layout(read, size, header)
    if layout is None:
        out[0] = _whole_length(read, size, header)
        return out
    out[0] = layout.declared
    ends = list(layout.ends)
    if header.tlm is not None:  # every tile-part's end, present or not
        ends, pos = [], header.end
        for _, n in header.tlm:
            pos += n
            ends.append(pos)
    for r in range(1, levels + 1):
        k = levels - r
        out[r] = ends[k] if k < len(ends) else None
    return out


def _whole_length(read: Reader, size: int, header: cs.MainHeader) -> int | None:
    """The whole codestream's length, for data that may be a prefix of it.

    Data ending in EOC is whole (EOC cannot occur inside coded data).  Else
    the data is a prefix, or a codestream written without EOC: TLM gives the
    whole length; without TLM the SOT walk tells whether a tile-part runs
    past the data's end (the length is then unknown).  Only data without
    EOC is walked, so a whole file is not read tile-part by tile-part.
    """
    if size >= 2 and read(size - 2, 2) == cs.EOC_BYTES:
        return size
    if header.tlm is not None:
        return max(size, header.end + sum(n for _, n in header.tlm) + 2)
    for tp in cs.tile_parts(read, size, header, use_tlm=False):
        if tp.offset + tp.length > size:
            return None
    return size


def prefix_bytes_of(view: memoryview, levels: int) -> list[int | None]:
    """:func:`prefix_bytes` of a codestream in memory; only item 0 where its headers do not walk."""
    try:
        return prefix_bytes(cs.buffer_reader(view), len(view))
    except cs.CodestreamError:
        return [len(view)] + [None] * levels


def prefix_cut(view: memoryview, data_r: int) -> memoryview | None:
    """The part of a cut codestream that a decode at ``data_r`` may use, or None.

    When ``view`` holds a codestream whose layout proves its prefixes, ends
    before its last tile-part does, and holds every tile-part that a decode
    leaving ``data_r`` resolutions unread needs, returns ``view`` cut back to
    its last whole tile-part: OpenJPH fails on a prefix that ends inside a
    tile-part header.  The bytes missing then belong only to resolutions the
    decode leaves out: not a loss.  Hand OpenJPH the cut ended with EOC
    (:func:`ended`): it then decodes it exactly and without its note that the
    data ended early, which would otherwise be read as lost samples.
    Returns None in every other case (the codestream is whole, or the rule
    does not apply).
    """
    if data_r <= 0 or bytes(view[-2:]) == cs.EOC_BYTES:
        # Whole (or not cut after a tile-part): nothing to waive.  A cut
        # that happens to end in EOC's bytes decodes as a cut codestream.
        return None
    read = cs.buffer_reader(view)
    try:
        header = cs.main_header(read, len(view))
        layout = _prefix_layout(read, len(view), header)
    except cs.CodestreamError:
        return None
    if layout is None or header.cod is None or data_r > header.cod.levels:
        return None
    levels = header.cod.levels
    if len(layout.ends) < levels - data_r + 1:
        return None  # a needed resolution is cut: that is a loss
    return view[:layout.ends[-1]]


def ended(cut: memoryview) -> bytes:
    """A prefix from :func:`prefix_cut`, ended with EOC for OpenJPH."""
    return bytes(cut) + cs.EOC_BYTES


# ---------------------------------------------------------------------------
# Reading what a window needs


class _Options(NamedTuple):
    data_r: int
    recon_r: int
    resilient: bool
    strict: bool
    planar: bool
    numthreads: int | None
    ignore_unsupported: bool
    function: str


def _judge(lines: list[str], o: _Options, stacklevel: int) -> None:
    """OpenJPH's warnings of the window's decodes, judged as the whole decode judges its own."""
    _openjph._judge_warnings("\n".join(line for line in lines if line), o.strict,
                             o.ignore_unsupported, stacklevel + 1)


def _layout_shape(comps: int, h: int, w: int, planar: bool) -> tuple[int, ...]:
    if comps == 1:
        return (h, w)
    return (comps, h, w) if planar else (h, w, comps)


def _carrier(a: np.ndarray) -> np.ndarray:
    """``a`` as the integer samples the bridge writes (floats are bit patterns)."""
    if a.dtype.kind == "f":
        return a.view(np.dtype(f"=i{a.dtype.itemsize}"))
    return a


def _target(out: Any, shape: tuple[int, ...], dtype: np.dtype[Any]) -> np.ndarray:
    if out is None:
        return np.empty(shape, dtype)
    return _openjph._decode_target(out, shape, dtype)


class _Fallback(Exception):
    """The window cannot be read plainly: decode the whole image and crop it."""


def _single_tile_codestream(siz_segment: bytes, siz: cs.Siz, index: int, carried: bytes,
                            parts: list[bytes]) -> bytes:
    """SOC, tile ``index``'s SIZ, the carried main-header segments, its tile-parts as tile 0, EOC.

    The tile keeps its place on the reference grid (image and tile-grid
    offsets at the tile's corner), so its resolutions round as in the whole
    image.
    """
    p, q = index % siz.tiles_across, index // siz.tiles_across
    gx0, gy0 = siz.tile_x0 + p * siz.tile_w, siz.tile_y0 + q * siz.tile_h
    x0, y0 = max(gx0, siz.x0), max(gy0, siz.y0)
    x1, y1 = min(gx0 + siz.tile_w, siz.xsiz), min(gy0 + siz.tile_h, siz.ysiz)
    head = (siz_segment[:6] + struct.pack(">8I", x1, y1, x0, y0, siz.tile_w, siz.tile_h, gx0, gy0)
            + siz_segment[38:])
    chunks = [cs.SOC_SIZ[:2], head, carried]
    for part in parts:
        chunks.append(part[:4] + b"\x00\x00" + part[6:])
    chunks.append(cs.EOC_BYTES)
    return b"".join(chunks)


def _plainly_tiled(header: cs.MainHeader) -> bool:
    """What the tiled decode cuts plainly: no subsampling, no PPM, a grid the format allows."""
    siz = header.siz
    if any(s != (1, 1) for s in siz.subsampling):
        return False
    if header.first(cs.PPM) is not None:
        return False
    return (siz.tile_x0 <= siz.x0 < siz.tile_x0 + siz.tile_w
            and siz.tile_y0 <= siz.y0 < siz.tile_y0 + siz.tile_h
            and siz.num_tiles <= cs.MAX_TILES)


def _read_spans(read: Reader, spans: list[tuple[int, int]]) -> dict[int, bytes]:
    """The bytes of each (start, end) span, adjacent spans read together."""
    out: dict[int, bytes] = {}
    spans = sorted(spans)
    k = 0
    while k < len(spans):
        j = k
        while j + 1 < len(spans) and spans[j + 1][0] == spans[j][1]:
            j += 1
        start, end = spans[k][0], spans[j][1]
        block = read(start, end - start)
        for s, e in spans[k:j + 1]:
            out[s] = block[s - start:e - start]
        k = j + 1
    return out


_Job = tuple[bytes, tuple[int, int, int, int], tuple[int, int, int, int]]


def _meeting(siz: cs.Siz, rr: int, window: tuple[int, int, int, int]
             ) -> dict[int, tuple[int, int, int, int]]:
    """The tiles that meet ``window`` (reduced rows and columns) at reduction ``rr``.

    Maps each tile's index to its (row0, row1, col0, col1) in the reduced
    image: on the reference grid a tile spanning [t0, t1) keeps
    ``ceil(t1 / 2**rr) - ceil(t0 / 2**rr)`` samples, the image offset
    included, which is how OpenJPH rounds the tile's own codestream.
    """
    r0, r1, c0, c1 = window

    def axis(first: int, tile: int, count: int, image0: int, image1: int,
             lo: int, hi: int) -> list[tuple[int, int, int]]:
        origin = _ceil(image0, rr)
        got = []
        for t in range(count):
            a = _ceil(max(first + t * tile, image0), rr) - origin
            b = _ceil(min(first + (t + 1) * tile, image1), rr) - origin
            if a < b and lo < hi and a < hi and b > lo:
                got.append((t, a, b))
        return got

    rows = axis(siz.tile_y0, siz.tile_h, siz.tiles_down, siz.y0, siz.ysiz, r0, r1)
    cols = axis(siz.tile_x0, siz.tile_w, siz.tiles_across, siz.x0, siz.xsiz, c0, c1)
    return {q * siz.tiles_across + p: (a, b, c, d) for q, a, b in rows for p, c, d in cols}


def _tile_jobs(read: Reader, size: int, header: cs.MainHeader, rr: int,
               window: tuple[int, int, int, int]) -> tuple[bytes, list[_Job]]:
    """Reads what the tiles meeting ``window`` (at reduction ``rr``) need.

    Returns the main header as the tiles carry it and, per tile, its
    single-tile codestream, its window in the tile and its place in the
    result.
    """
    siz = header.siz
    wanted = _meeting(siz, rr, window)
    parts: dict[int, list[tuple[int, int]]] = {t: [] for t in wanted}
    seen = bytearray(siz.num_tiles)
    for tp in cs.tile_parts(read, size, header):
        # A cut codestream, a tile index off the grid or a tile without
        # tile-parts: the whole decode reports what is wrong.
        if tp.offset + tp.length > size or tp.index >= len(seen):
            raise _Fallback
        seen[tp.index] = 1
        if tp.index in parts:
            parts[tp.index].append((tp.offset, tp.offset + tp.length))
    if seen.count(0):
        raise _Fallback
    # The main-header segments a tile's codestream carries: TLM and PLM
    # would contradict it (and a TLM can be most of a large file's header).
    kept = [s for s in header.segments if s.marker not in (cs.TLM, cs.PLM)]
    got = _read_spans(read, [s for p in parts.values() for s in p]
                      + [(s.offset, s.offset + s.length) for s in kept])
    for t, spans_t in parts.items():
        for k, (start, end) in enumerate(spans_t):
            sot = got[start]
            # A TLM that does not match the tile-parts, or a tile-part that
            # is not the tile's next one (TPsot) or says another count
            # (TNsot), would hand OpenJPH another tile's bytes or a tile
            # with a part missing: the whole decode reports such codestreams.
            if len(sot) != end - start or cs.u16(sot, 0) != cs.SOT or cs.u16(sot, 4) != t \
                    or cs.u32(sot, 6) not in (0, end - start) or sot[10] != k \
                    or sot[11] not in (0, len(spans_t)):
                raise _Fallback
    siz_bytes = got[kept[0].offset]
    carried = b"".join(got[s.offset] for s in kept[1:])
    r0, r1, c0, c1 = window
    jobs = []
    for t, (a, b, c, d) in wanted.items():
        tile_cs = _single_tile_codestream(siz_bytes, siz, t, carried,
                                          [got[s] for s, _ in parts[t]])
        local = (max(r0, a) - a, min(r1, b) - a, max(c0, c) - c, min(c1, d) - c)
        place = (max(r0, a) - r0, min(r1, b) - r0, max(c0, c) - c0, min(c1, d) - c0)
        jobs.append((tile_cs, local, place))
    return cs.SOC_SIZ[:2] + siz_bytes + carried, jobs


def _tiled(read: Reader, size: int, header: cs.MainHeader, region: tuple[int, int, int, int],
           o: _Options, out: Any) -> tuple[np.ndarray, list[str]]:
    """The window decoded from the tiles that meet it, one task per tile."""
    from .core.parallel import parallel_call, resolve_workers, run_batched

    siz, rr = header.siz, o.recon_r
    height_r = _ceil(siz.ysiz, rr) - _ceil(siz.y0, rr)
    width_r = _ceil(siz.xsiz, rr) - _ceil(siz.x0, rr)
    r0, r1, c0, c1 = reduced_window(region, rr, height_r, width_r)
    main, jobs = _tile_jobs(read, size, header, rr, (r0, r1, c0, c1))
    # The main header with an empty tile-part: what the module reads for the facts.
    probe = main + struct.pack(">HHHIBB", cs.SOT, 10, 0, 14, 0, 1) + b"\xff\x93" + cs.EOC_BYTES
    info = _openjph.decode_info(probe, skipres=(o.data_r, o.recon_r), resilient=o.resilient)
    if info["dtype"] is None or not info["uniform"]:
        raise _Fallback
    comps = info["components"]
    result = _target(out, _layout_shape(comps, r1 - r0, c1 - c0, o.planar), info["dtype"])
    dest = _carrier(result)
    planar = o.planar and comps > 1
    lines: list[str] = []

    def one(job: _Job) -> None:
        tile_cs, (lr0, lr1, lc0, lc1), (pr0, pr1, pc0, pc1) = job
        if comps == 1:
            view = dest[pr0:pr1, pc0:pc1]
        elif planar:
            view = dest[:, pr0:pr1, pc0:pc1]
        else:
            view = dest[pr0:pr1, pc0:pc1, :]
        part = np.empty(view.shape, dest.dtype)
        _openjph._decode_rows(tile_cs, o.data_r, o.recon_r, o.resilient, planar,
                              (lr0, lr1, lc0, lc1), part)
        lines.extend(_openjph.last_warnings().split("\n"))  # this worker thread's
        view[...] = part

    if not jobs:
        return result, []  # the window rounds to nothing at this reduction
    workers = resolve_workers(o.numthreads, len(jobs), output_bytes=result.nbytes)
    with parallel_call():
        run_batched(one, jobs, workers, name="htj2k-window")
    return result, lines


def _one_tile(codestream: Any, region: tuple[int, int, int, int], o: _Options,
              out: Any) -> tuple[np.ndarray, list[str]]:
    info = _openjph.decode_info(codestream, skipres=(o.data_r, o.recon_r), resilient=o.resilient)
    if info["dtype"] is None or not info["uniform"]:
        raise _Fallback
    r0, r1, c0, c1 = reduced_window(region, o.recon_r, info["height"], info["width"])
    comps = info["components"]
    result = _target(out, _layout_shape(comps, r1 - r0, c1 - c0, o.planar), info["dtype"])
    if result.size == 0:
        return result, []
    _openjph._decode_rows(codestream, o.data_r, o.recon_r, o.resilient, o.planar and comps > 1,
                          (r0, r1, c0, c1), _carrier(result))
    return result, _openjph.last_warnings().split("\n")


def _whole_then_crop(codestream: memoryview, truncated: str | None,
                     region: tuple[int, int, int, int] | None, o: _Options, out: Any,
                     stacklevel: int) -> np.ndarray:
    from ._api import _decode_view

    image = _decode_view(codestream, truncated, strict=o.strict,
                         ignore_unsupported=o.ignore_unsupported, stacklevel=stacklevel + 1,
                         function=o.function, skipres=(o.data_r, o.recon_r),
                         resilient=o.resilient, planar=o.planar, numthreads=o.numthreads)
    if region is None:
        window = image
    else:
        h, w = image.shape[1:] if (image.ndim == 3 and o.planar) else image.shape[:2]
        r0, r1, c0, c1 = reduced_window(region, o.recon_r, h, w)
        if image.ndim == 3 and o.planar:
            window = image[:, r0:r1, c0:c1]
        else:
            window = image[r0:r1, c0:c1]
    result = _target(out, window.shape, window.dtype)
    result[...] = window
    return result


def _window(read: Reader, size: int, truncated: str | None, region: Any, o: _Options,
            out: Any, whole: Callable[[], memoryview], needed: Callable[[], memoryview],
            stacklevel: int) -> np.ndarray:
    """The window of the codestream that ``read`` reads (``size`` bytes).

    ``whole()`` gives the whole codestream, ``needed()`` the part a decode
    at the reduction needs (a prefix, where the layout proves it).
    """
    try:
        header: cs.MainHeader | None = cs.main_header(read, size)
    except cs.CodestreamError:
        header = None
    if header is None or header.cod is None:
        # The module reads the header (or names what is wrong with it).
        info = _openjph.decode_info(whole(), resilient=o.resilient)
        box = _args.region(region, info["height"], info["width"])
        return _whole_then_crop(whole(), truncated, box, o, out, stacklevel + 1)
    siz = header.siz
    box = _args.region(region, siz.height, siz.width)
    assert box is not None
    _args.reduce_within(max(o.data_r, o.recon_r), header.cod.levels)
    got: tuple[np.ndarray, list[str]] | None = None
    try:
        if truncated is None and siz.num_tiles > 1 and _plainly_tiled(header):
            got = _tiled(read, size, header, box, o, out)
        elif siz.num_tiles == 1 and all(s == (1, 1) for s in siz.subsampling):
            data = needed()
            cut = prefix_cut(data, o.data_r)
            if cut is not None:  # the prefix rule: what is missing is left out
                got = _one_tile(ended(cut), box, o, out)
            elif truncated is None and len(data) == size:
                got = _one_tile(data, box, o, out)
    except (_Fallback, cs.CodestreamError, OpenJphError):
        # OpenJPH refused a piece: the whole decode reports the codestream.
        got = None
    if got is None:
        return _whole_then_crop(whole(), truncated, box, o, out, stacklevel + 1)
    _judge(got[1], o, stacklevel + 1)
    return got[0]


def _options(reduce: Any, skipres: Any, resilient: Any, strict: Any, planar: Any,
             numthreads: Any, ignore_unsupported: Any, function: str) -> _Options:
    if skipres is None:
        r = _args.reduce(reduce)
        data_r, recon_r = r, r
    else:
        data_r, recon_r = _openjph._reductions(reduce, skipres)
    return _Options(data_r, recon_r, bool(resilient), bool(strict), bool(planar),
                    _args.numthreads(numthreads), bool(ignore_unsupported), function)


def decode_window(view: memoryview, truncated: str | None, region: Any, *, reduce: Any = 0,
                  skipres: Any = None, resilient: Any = False, strict: Any = True,
                  planar: Any = False, out: Any = None, numthreads: Any = None,
                  ignore_unsupported: Any = False, function: str = "decode",
                  stacklevel: int = 2) -> np.ndarray:
    """:func:`ferroglyph.decode` with ``region``, for a codestream in memory (``view``)."""
    o = _options(reduce, skipres, resilient, strict, planar, numthreads, ignore_unsupported,
                 function)
    return _window(cs.buffer_reader(view), len(view), truncated, region, o, out,
                   lambda: view, lambda: view, stacklevel + 1)


def read_window(read: Reader, size: int, region: Any, *, stacklevel: int = 2,
                function: str = "imread", **keywords: Any) -> np.ndarray:
    """A window of a raw codestream or JPEG 2000 family file read through ``read(offset, n)``.

    ``size`` is the file's length.  Reads the box headers (for .jph/.jp2),
    the main header, the tile-part headers (or TLM) and the tile-parts that
    meet the window; for a one-tile codestream the whole codestream, or only
    the prefix a reduced decode needs where the layout proves it.  The
    keywords are those of :func:`ferroglyph.decode`.
    """
    o = _options(keywords.pop("reduce", 0), keywords.pop("skipres", None),
                 keywords.pop("resilient", False), keywords.pop("strict", True),
                 keywords.pop("planar", False), keywords.pop("numthreads", None),
                 keywords.pop("ignore_unsupported", False), function)
    out = keywords.pop("out", None)
    if keywords:
        raise TypeError(f"{function}() got an unexpected keyword argument {min(keywords)!r}")
    where = _jp2.locate(read, size)
    base, length = where.offset, where.length

    head = b""  # the codestream's first bytes: its main header is walked more than once

    def read_cs(offset: int, n: int) -> bytes:
        nonlocal head
        n = max(0, min(n, length - offset))
        if offset + n <= len(head):
            return head[offset:offset + n]
        got = read(base + offset, n) if n else b""
        if offset == 0 and len(got) > len(head):
            head = got
        return got

    def whole() -> memoryview:
        return memoryview(read_cs(0, length))

    def needed() -> memoryview:
        return memoryview(read_cs(0, _prefix_to_read(read_cs, length, o.data_r)))

    return _window(read_cs, length, where.truncated, region, o, out, whole, needed,
                   stacklevel + 1)


def _prefix_to_read(read: Reader, size: int, data_r: int) -> int:
    """How much of a one-tile codestream a decode at ``data_r`` must read."""
    if data_r <= 0:
        return size
    try:
        known = prefix_bytes(read, size)
    except cs.CodestreamError:
        return size
    if data_r < len(known):
        need = known[data_r]
        if need is not None and need < size:
            return need
    return size


def object_window(f: Any, region: Any, *, stacklevel: int = 2, **keywords: Any) -> np.ndarray:
    """A window of a binary file object (a local file, fsspec's remote files, ...).

    Read from its current position, as :func:`ferroglyph.imread` reads file
    objects; of a seekable one only the byte ranges that the window needs are
    asked for, each by one seek and one read.
    """
    from ._api import _Source

    src = _Source.of_file_object(f)
    return read_window(src.read, src.size, region, stacklevel=stacklevel + 1, **keywords)
