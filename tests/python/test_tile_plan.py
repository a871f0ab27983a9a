"""The tile planner (_tile_plan) and single-tile codestream synthesis (_tile_codestream).

The planner is fed codestreams written by the encoder and then edited byte by
byte (codestreams.py).  Where a decline could also come from some other check,
the edit is chosen so that only the condition under test stands in the way of
a plan; the matching "plans" tests show the same codestreams without it.
"""

from __future__ import annotations

import functools
import struct

import numpy as np
import pytest

import ferroglyph.codecs._openjph as ojph
import codestreams as cst

RNG = np.random.default_rng(20240611)
GRAY = RNG.integers(0, 256, (100, 100), dtype=np.uint8)
RGB = RNG.integers(0, 256, (100, 100, 3), dtype=np.uint8)


@functools.cache
def gray4() -> bytes:
    """2 x 2 tiles of 64 on a 100 x 100 image, one tile-part per tile."""
    return ojph.encode(GRAY, tile=(64, 64))


@functools.cache
def parts6() -> bytes:
    """As gray4, six tile-parts per tile (one per resolution), tiles in order."""
    return ojph.encode(GRAY, tile=(64, 64), tilepart=1)


@functools.cache
def parts6_tlm() -> bytes:
    return ojph.encode(GRAY, tile=(64, 64), tilepart=1, tlm=True)


@functools.cache
def rgb4() -> bytes:
    return ojph.encode(RGB, tile=(64, 64), rgb=True)


def plan(data):
    return ojph._tile_plan(data)


def spans_of(p):
    """(main, [parts of each tile]) of a plan, as plain lists of tuples."""
    _, main, tiles = p
    return [tuple(s) for s in main], [[tuple(s) for s in t[5]] for t in tiles]


def end_of_data(cs: bytes) -> int:
    return len(cs) - 2 if cst.has_eoc(cs) else len(cs)


def round_robin(cs: bytes) -> bytes:
    """``cs`` with its tile-parts reordered by (TPsot, tile): 0,1,2,3,0,1,2,3,..."""
    parts = cst.tile_parts(cs)
    return cst.reorder_parts(cs, sorted(range(len(parts)),
                                       key=lambda i: (parts[i].tpsot, parts[i].isot)))


def with_plm(cs: bytes) -> bytes:
    return cst.insert_main(cs, cst.segment(cst.PLM, b"\x00\x01\x05"), after=cst.COD)


def short_tile_part(size: int) -> bytes:
    """A second tile-part of ``size`` bytes for tile 0: SOT, then as much of SOD as fits."""
    return cst.sot_segment(0, size, 1, 2) + b"\xff\x93"[:max(0, size - 12)]


def last_psot() -> int:
    return cst.tile_parts(gray4())[3].psot


def grid_of_empty_tiles(xsiz: int, ysiz: int) -> bytes:
    """gray4's main header on an Xsiz x Ysiz grid of 1 x 1 tiles, every tile an
    empty tile-part (SOT + SOD) in order.  Only the planner reads this."""
    cs = cst.set_siz(gray4(), Xsiz=xsiz, Ysiz=ysiz, XTsiz=1, YTsiz=1)
    head = cs[:cst.first_sot(cs)]
    parts = b"".join(cst.sot_segment(i, 14) + b"\xff\x93" for i in range(xsiz * ysiz))
    return head + parts + cst.EOC_BYTES


# ---------------------------------------------------------------------------
# Declines: every one returns None and never raises.

DECLINES = {
    "41 bytes": lambda: gray4()[:41],
    "SOC not first": lambda: b"\xff\x4e" + gray4()[2:],
    "SIZ not second": lambda: gray4()[:2] + b"\xff\x52" + gray4()[4:],
    "codestream in a file box": lambda: b"\x00\x00\x00\x0cjP  \r\n\x87\n" + gray4(),
    "Lsiz 40": lambda: cst.set_siz(gray4(), Lsiz=40),
    # Csiz 0 needs no component record: only Lsiz < 41 is wrong here.
    "Lsiz 38 without components": lambda: (b"\xff\x4f\xff\x51\x00\x26" + gray4()[6:40]
                                           + b"\x00\x00" + gray4()[45:]),
    "SIZ runs past 44 bytes": lambda: gray4()[:44],
    "Lsiz 65535": lambda: cst.set_siz(gray4(), Lsiz=0xFFFF),
    "XTsiz 0": lambda: cst.set_siz(gray4(), XTsiz=0),
    "YTsiz 0": lambda: cst.set_siz(gray4(), YTsiz=0),
    # The tile grids here are valid and would give 4 tiles of 1 x 4 / 4 x 1.
    "Xsiz = XOsiz": lambda: cst.set_siz(gray4(), XOsiz=100, XTOsiz=50, YTsiz=25),
    "Ysiz = YOsiz": lambda: cst.set_siz(gray4(), YOsiz=100, YTOsiz=50, XTsiz=25),
    "Xsiz < XOsiz": lambda: cst.set_siz(gray4(), XOsiz=101, XTOsiz=50, YTsiz=25),
    "Csiz 2 under an Lsiz for 1": lambda: cst.set_siz(gray4(), Csiz=2),
    "Csiz 4 under an Lsiz for 3": lambda: cst.set_siz(rgb4(), Csiz=4),
    "XRsiz 2 on component 1": lambda: cst.set_subsampling(rgb4(), 1, 2, 1),
    "YRsiz 2 on component 2": lambda: cst.set_subsampling(rgb4(), 2, 1, 2),
    "XRsiz 0 on component 0": lambda: cst.set_subsampling(rgb4(), 0, 0, 1),
    "one tile": lambda: ojph.encode(GRAY),
    "one tile of 100": lambda: ojph.encode(GRAY, tile=(100, 100)),
    "65537 tiles in a row": lambda: cst.set_siz(gray4(), Xsiz=65537, Ysiz=1, XTsiz=1, YTsiz=1),
    "2**32-1 tiles in a row": lambda: cst.set_siz(gray4(), Xsiz=0xFFFFFFFF, Ysiz=1, XTsiz=1,
                                                 YTsiz=1),
    "65536 x 65536 tiles": lambda: cst.set_siz(gray4(), Xsiz=65536, Ysiz=65536, XTsiz=1, YTsiz=1),
    "(2**32-1)**2 tiles": lambda: cst.set_siz(gray4(), Xsiz=0xFFFFFFFF, Ysiz=0xFFFFFFFF,
                                             XTsiz=1, YTsiz=1),
    # Forbidden grid origins; each would otherwise plan 4 tiles.
    "XTOsiz > XOsiz": lambda: cst.set_siz(gray4(), XTOsiz=10),
    "YTOsiz > YOsiz": lambda: cst.set_siz(gray4(), YTOsiz=10),
    "first tile column left of the image": lambda: cst.set_siz(gray4(), Xsiz=128, XOsiz=64),
    "first tile row above the image": lambda: cst.set_siz(gray4(), Ysiz=128, YOsiz=64),
    "no SOT: main header only": lambda: gray4()[:cst.first_sot(gray4())],
    "no SOT: 3 bytes of it": lambda: gray4()[:cst.first_sot(gray4()) + 3],
    "main-header marker FF3F": lambda: cst.insert_main(gray4(), b"\xff\x3f\x00\x02"),
    "main-header marker 0000": lambda: cst.insert_main(gray4(), b"\x00\x00\x00\x02"),
    "PPM in the main header": lambda: cst.insert_main(gray4(), cst.segment(cst.PPM, b"\x00")),
    "segment length 1": lambda: cst.insert_main(gray4(), b"\xff\x64\x00\x01"),
    "segment length 0": lambda: cst.insert_main(gray4(), b"\xff\x64\x00\x00"),
    "segment past the end": lambda: cst.insert_main(gray4(), b"\xff\x64\xff\xff"),
    "a byte after EOC": lambda: gray4() + b"\x00",
    "EOC twice": lambda: gray4() + cst.EOC_BYTES,
    "EOC in the middle": lambda: cst.insert_part(gray4(), 2, cst.EOC_BYTES),
    "Lsot 11 on the first tile-part": lambda: cst.set_sot(gray4(), 0, lsot=11),
    "Lsot 9 on the last tile-part": lambda: cst.set_sot(gray4(), 3, lsot=9),
    # Tile 3 keeps five other tile-parts: only the index is wrong.
    "Isot = tile count": lambda: cst.set_sot(parts6(), 23, isot=4),
    "Isot 65535": lambda: cst.set_sot(parts6(), 23, isot=0xFFFF),
    "Psot one past the data": lambda: cst.set_sot(gray4(), 3, psot=last_psot() + 1),
    "Psot over EOC": lambda: cst.set_sot(gray4(), 3, psot=last_psot() + 2),
    # A 12- or 13-byte tile-part followed by a proper SOT: only its size is wrong.
    "tile-part of 12 bytes": lambda: cst.insert_part(gray4(), 1, short_tile_part(12)),
    "tile-part of 13 bytes": lambda: cst.insert_part(gray4(), 1, short_tile_part(13)),
    "tile 3 without tile-part (Isot 2)": lambda: cst.set_sot(gray4(), 3, isot=2),
    "tile 1 without tile-part (removed)": lambda: cst.remove_part(gray4(), 1),
    "Psot 0 before the last tile has a part": lambda: cst.set_sot(parts6(), 12, psot=0),
    "non-contiguous uint8 array": lambda: np.frombuffer(
        bytes(b for pair in zip(gray4(), gray4()) for b in pair), np.uint8)[::2],
    "str": lambda: gray4().decode("latin-1"),
    "None": lambda: None,
    "list of ints": lambda: list(gray4()),
}


@pytest.mark.parametrize("make", DECLINES.values(), ids=DECLINES.keys())
def test_planner_declines(make):
    assert plan(make()) is None


def test_tile_part_size_14_and_grid_edges_plan():
    # The boundary neighbours of the declines above.
    sod_only = cst.insert_part(gray4(), 1, short_tile_part(14))
    _, parts = spans_of(plan(sod_only))
    start = cst.tile_parts(gray4())[1].start
    assert parts[0] == [cst.tile_parts(gray4())[0][:2], (start, start + 14)]

    com_empty = cst.insert_main(gray4(), b"\xff\x40\x00\x02")  # lowest code, empty body
    main, _ = spans_of(plan(com_empty))
    at = cst.first_sot(gray4())
    assert main[-1] == (at, at + 4)

    # One tile column, four rows; XTOsiz = XOsiz and XTOsiz + XTsiz = XOsiz + 1.
    for fields in ({"XTsiz": 100, "YTsiz": 25}, {"XOsiz": 63, "Xsiz": 128}):
        assert plan(cst.set_siz(gray4(), **fields)) is not None


def test_the_planner_plans_up_to_the_bridges_tile_count():
    # OpenJPH refuses grids of more than 65535 tiles (Isot is 16 bits wide):
    # the planner plans exactly up to that count and declines the next grid.
    cs = grid_of_empty_tiles(257, 255)
    _, _, tiles = plan(cs)
    assert len(tiles) == 65535
    assert tiles[-1][:4] == (256, 254, 257, 255)
    assert tiles[-1][5] == [(len(cs) - 16, len(cs) - 2)]
    assert plan(grid_of_empty_tiles(256, 256)) is None


# ---------------------------------------------------------------------------
# Tile rectangles and rewritten SIZ segments


# (SIZ edits, column extents, row extents, grid x origins, grid y origins);
# tile t is in column t % 2 and row t // 2.
X = 0xFFFFFFFF
GEOMETRIES = {
    "no offsets": ({}, [(0, 64), (64, 100)], [(0, 64), (64, 100)], [0, 64], [0, 64]),
    "XOsiz 10": ({"Xsiz": 110, "XOsiz": 10}, [(0, 54), (54, 100)], [(0, 64), (64, 100)],
                 [0, 64], [0, 64]),
    "YOsiz 7, YTOsiz 5": ({"Ysiz": 107, "YOsiz": 7, "YTOsiz": 5}, [(0, 64), (64, 100)],
                          [(0, 62), (62, 100)], [0, 64], [5, 69]),
    "grid at the image origin": ({"Xsiz": 130, "Ysiz": 140, "XOsiz": 30, "YOsiz": 40,
                                  "XTOsiz": 30, "YTOsiz": 40},
                                 [(0, 64), (64, 100)], [(0, 64), (64, 100)], [30, 94], [40, 104]),
    "at the top of the 32-bit grid": ({"Xsiz": X, "XOsiz": X - 100, "XTOsiz": X - 120},
                                      [(0, 44), (44, 100)], [(0, 64), (64, 100)],
                                      [X - 120, X - 56], [0, 64]),
}


@pytest.mark.parametrize("edits, cols, rows, gxs, gys", GEOMETRIES.values(),
                         ids=GEOMETRIES.keys())
def test_rectangles_and_heads(edits, cols, rows, gxs, gys):
    cs = cst.set_siz(gray4(), **edits)
    siz = cst.siz_segment(cs)
    fields = cst.siz_fields(siz)
    xo, yo = fields["XOsiz"], fields["YOsiz"]
    _, _, tiles = plan(cs)
    assert len(tiles) == 4
    for t, (x0, y0, x1, y1, head, _) in enumerate(tiles):
        (c0, c1), (r0, r1) = cols[t % 2], rows[t // 2]
        assert (x0, y0, x1, y1) == (c0, r0, c1, r1)
        assert isinstance(head, bytes) and len(head) == len(siz)
        assert cst.siz_fields(head) == {
            "Xsiz": xo + c1, "Ysiz": yo + r1, "XOsiz": xo + c0, "YOsiz": yo + r0,
            "XTsiz": 64, "YTsiz": 64, "XTOsiz": gxs[t % 2], "YTOsiz": gys[t // 2]}
        # Marker, Lsiz, Rsiz, Csiz and the component records are the input's.
        assert head[:6] == siz[:6] and head[38:] == siz[38:]


@pytest.mark.parametrize("shape, tile", [((100, 100), (64, 64)), ((53, 77), (20, 17)),
                                         ((40, 130), (33, 64)), ((64, 200), (200, 16))])
def test_rectangles_tile_the_image_once(shape, tile):
    cs = ojph.encode(RNG.integers(0, 256, shape, dtype=np.uint8), tile=tile)
    _, _, tiles = plan(cs)
    cover = np.zeros(shape, np.int32)
    for x0, y0, x1, y1, _, _ in tiles:
        assert 0 <= x0 < x1 <= shape[1] and 0 <= y0 < y1 <= shape[0]
        cover[y0:y1, x0:x1] += 1
    assert (cover == 1).all()
    xs = -(-shape[1] // tile[0])
    assert len(tiles) == xs * -(-shape[0] // tile[1])
    # Raster order: rows of ``xs`` tiles, left to right.
    assert [t[:2] for t in tiles] == sorted((t[:2] for t in tiles), key=lambda p: (p[1], p[0]))


# ---------------------------------------------------------------------------
# Tile-part spans


def test_each_tile_lists_its_tile_parts_in_codestream_order():
    cs = round_robin(parts6())
    assert [p.isot for p in cst.tile_parts(cs)[:8]] == [0, 1, 2, 3, 0, 1, 2, 3]
    _, parts = spans_of(plan(cs))
    original = cst.tile_parts(parts6())
    for t, spans in enumerate(parts):
        assert len(spans) == 6 and spans == sorted(spans)
        assert [cs[a:b] for a, b in spans] == [
            cst.part_bytes(parts6(), p) for p in original if p.isot == t]


def test_tiles_come_in_tile_order_whatever_the_codestream_order():
    cs = cst.reorder_parts(gray4(), [3, 1, 0, 2])
    _, parts = spans_of(plan(cs))
    assert [cs[a:b] for (a, b), in parts] == [
        cst.part_bytes(gray4(), p) for p in cst.tile_parts(gray4())]


@pytest.mark.parametrize("eoc", [True, False], ids=["EOC", "no EOC"])
def test_psot_0_on_the_last_tile_part_runs_to_the_end_of_data(eoc):
    cs = cst.set_sot(gray4(), 3, psot=0)
    cs = cs if eoc else cs[:-2]
    _, parts = spans_of(plan(cs))
    assert parts[3] == [(cst.tile_parts(gray4())[3].start, end_of_data(cs))]


def test_psot_0_on_an_earlier_tile_part_swallows_the_rest():
    cs = cst.set_sot(parts6(), 18, psot=0)  # the first tile-part of tile 3
    _, parts = spans_of(plan(cs))
    start = cst.tile_parts(parts6())[18].start
    assert parts[3] == [(start, len(cs) - 2)]
    assert parts[:3] == spans_of(plan(parts6()))[1][:3]


def test_missing_eoc_ends_the_last_tile_part_at_the_end():
    cs = gray4()[:-2]
    _, parts = spans_of(plan(cs))
    assert parts[3][-1][1] == len(cs)
    assert parts == spans_of(plan(gray4()))[1]


def test_segments_inside_tile_part_headers_travel_with_the_tile_part():
    cs = cst.insert_in_part_header(gray4(), 1, cst.segment(cst.PLT, b"\x00\x05"))
    cs = cst.insert_in_part_header(cs, 2, cst.segment(cst.PPT, b"\x00"))
    cs = cst.insert_in_part_header(cs, 2, cst.main_segment(cs, cst.COD))
    main, parts = spans_of(plan(cs))
    assert main == spans_of(plan(gray4()))[0]
    assert [cs[a:b] for (a, b), in parts] == [cst.part_bytes(cs, p) for p in cst.tile_parts(cs)]


# ---------------------------------------------------------------------------
# Main-header spans


@pytest.mark.parametrize("make", [parts6_tlm, lambda: with_plm(gray4()),
                                  lambda: with_plm(parts6_tlm())],
                         ids=["TLM", "PLM", "TLM and PLM"])
def test_tlm_and_plm_are_left_out_of_main(make):
    cs = make()
    main, _ = spans_of(plan(cs))
    kept = [(s, e) for m, s, e in cst.main_segments(cs) if m not in (cst.TLM, cst.PLM)]
    assert main == kept
    markers = [struct.unpack_from(">H", cs, s)[0] for s, _ in main]
    assert cst.COM in markers and cst.COD in markers and cst.QCD in markers
    assert cst.TLM not in markers and cst.PLM not in markers


# ---------------------------------------------------------------------------
# Invariants of every plan

PLANNED = {
    "2x2": gray4,
    "six tile-parts, TLM": parts6_tlm,
    "interleaved tile-parts": lambda: round_robin(parts6()),
    "PLM": lambda: with_plm(parts6()),
    "3 components": rgb4,
    "odd tiles": lambda: ojph.encode(GRAY[:53, :77], tile=(20, 17), tilepart=1),
    "no EOC": lambda: parts6()[:-2],
    "Psot 0 last": lambda: cst.set_sot(gray4(), 3, psot=0),
}


def assert_plan_covers(cs, p):
    mv, main, tiles = p
    assert bytes(mv) == cs
    sot = cst.first_sot(cs)
    # Main spans plus the left-out TLM/PLM segments: [4 + Lsiz, first SOT), no gaps.
    left_out = [(s, e) for m, s, e in cst.main_segments(cs) if m in (cst.TLM, cst.PLM)]
    spans = sorted([tuple(s) for s in main] + left_out)
    assert [s for s, _ in spans] == [4 + cst.siz_length(cs)] + [e for _, e in spans[:-1]]
    assert spans[-1][1] == sot
    # Tile-part spans: [first SOT, end of data), contiguous, each at an SOT.
    parts = sorted(tuple(s) for t in tiles for s in t[5])
    assert [s for s, _ in parts] == [sot] + [e for _, e in parts[:-1]]
    assert parts[-1][1] == end_of_data(cs)
    assert all(cs[a:a + 2] == b"\xff\x90" and b - a >= 14 for a, b in parts)
    assert all(t[5] for t in tiles)


@pytest.mark.parametrize("make", PLANNED.values(), ids=PLANNED.keys())
def test_plan_spans_cover_the_codestream(make):
    cs = make()
    assert_plan_covers(cs, plan(cs))


def test_truncated_codestreams_plan_only_at_tile_part_ends_past_the_last_tile():
    cs = parts6()
    planned = [n for n in range(len(cs) + 1) if plan(cs[:n]) is not None]
    # Tile 3's tile-parts are the last six (18 to 23); its first one completes the grid.
    assert planned == [p.end for p in cst.tile_parts(cs)[18:]] + [len(cs)]


def test_damaged_headers_never_raise():
    # Random bytes in the main header and the SOT segments: None or a sound plan.
    cs = parts6_tlm()
    spots = list(range(0, cst.first_sot(cs))) + [
        p.start + k for p in cst.tile_parts(cs) for k in range(12)]
    rng = np.random.default_rng(5)
    for _ in range(3000):
        bad = bytearray(cs)
        for at in rng.choice(spots, size=rng.integers(1, 4)):
            bad[at] = rng.choice([0, 1, 2, 0x0A, 0x0E, 0x40, 0x55, 0x57, 0x60, 0x90, 0xFF,
                                  rng.integers(256)])
        p = plan(bytes(bad))
        if p is not None:
            assert_plan_covers(bytes(bad), p)


# ---------------------------------------------------------------------------
# Input objects


def _padded() -> bytes:
    """gray4 with a COM segment that brings its length to a multiple of 4."""
    pad = (-(len(gray4()) + 6)) % 4
    return cst.insert_main(gray4(), cst.segment(cst.COM, b"\x00\x01" + b"x" * pad))


INPUTS = {
    "bytes": lambda cs: cs,
    "bytearray": bytearray,
    "memoryview": memoryview,
    "memoryview of a slice": lambda cs: memoryview(b"\x00" + cs)[1:],
    "uint8 array": lambda cs: np.frombuffer(cs, np.uint8),
    "2-D uint8 array": lambda cs: np.frombuffer(cs, np.uint8).reshape(4, -1),
    "uint32 array": lambda cs: np.frombuffer(cs, np.uint32),
}


@pytest.mark.parametrize("wrap", INPUTS.values(), ids=INPUTS.keys())
def test_buffer_kinds_give_the_same_plan(wrap):
    cs = _padded()
    mv, main, tiles = plan(wrap(cs))
    assert (main, tiles) == plan(cs)[1:]
    assert mv.readonly and mv.format == "B" and mv.itemsize == 1
    assert mv.tobytes() == cs


def test_plan_views_the_callers_buffer():
    buf = bytearray(gray4())
    mv, _, _ = plan(buf)
    buf[-3] ^= 0xFF
    assert mv[-3] == buf[-3]
    with pytest.raises(TypeError):
        mv[0] = 0


# ---------------------------------------------------------------------------
# Single-tile codestreams


def cut(cs, t):
    mv, main, tiles = plan(cs)
    return ojph._tile_codestream(mv, main, tiles[t]), tiles[t]


def tlm_between_cod_and_qcd() -> bytes:
    cs = cst.move_main(parts6_tlm(), cst.TLM, after=cst.COD)
    assert [m for m, _, _ in cst.main_segments(cs)][2:4] == [cst.TLM, cst.QCD]
    return cs


@pytest.mark.parametrize("t", range(4))
def test_single_tile_codestream_layout(t):
    cs = tlm_between_cod_and_qcd()
    out, tile = cut(cs, t)
    head = tile[4]
    assert out[:2] == b"\xff\x4f" and out[2:2 + len(head)] == head
    assert out[-2:] == cst.EOC_BYTES
    # Main header: the input's segments after SIZ, byte for byte, without TLM.
    expect = [cs[s:e] for m, s, e in cst.main_segments(cs) if m != cst.TLM]
    assert [out[s:e] for _, s, e in cst.main_segments(out)] == expect
    markers = [m for m, _, _ in cst.main_segments(out)]
    assert markers[markers.index(cst.COD) + 1] == cst.QCD
    # Tile-parts: the tile's own, in order, as tile 0, otherwise unchanged.
    mine = [p for p in cst.tile_parts(cs) if p.isot == t]
    got = cst.tile_parts(out)
    assert [p.isot for p in got] == [0] * len(mine)
    assert [(p.tpsot, p.tnsot, p.psot) for p in got] == [(p.tpsot, p.tnsot, p.psot) for p in mine]
    assert [cst.part_bytes(out, p) for p in got] == [
        cs[p.start:p.start + 4] + b"\x00\x00" + cs[p.start + 6:p.end] for p in mine]
    assert len(out) == (4 + len(head) + sum(e - s for s, e in plan(cs)[1])
                        + sum(p.end - p.start for p in mine))


def test_isot_3_becomes_0_and_nothing_else_changes():
    out, tile = cut(gray4(), 3)
    (a, b), = tile[5]
    part = out[len(out) - 2 - (b - a):-2]
    assert part[4:6] == b"\x00\x00" and gray4()[a + 4:a + 6] == b"\x00\x03"
    assert part[:4] + part[6:] == gray4()[a:a + 4] + gray4()[a + 6:b]


@pytest.mark.parametrize("eoc", [True, False], ids=["EOC", "no EOC"])
def test_psot_0_is_kept_and_followed_by_eoc(eoc):
    cs = cst.set_sot(gray4(), 3, psot=0)
    cs = cs if eoc else cs[:-2]
    out, tile = cut(cs, 3)
    (a, b), = tile[5]
    assert out.endswith(cs[a:a + 4] + b"\x00\x00" + cs[a + 6:b] + cst.EOC_BYTES)
    assert cst.tile_parts(out)[0].psot == 0


def test_input_without_eoc_gives_codestreams_with_eoc():
    for t in range(4):
        assert cut(gray4()[:-2], t)[0] == cut(gray4(), t)[0]


def test_single_tile_codestream_takes_keywords():
    mv, main, tiles = plan(gray4())
    assert ojph._tile_codestream(tile=tiles[1], main=main, mv=mv) == \
        ojph._tile_codestream(mv, main, tiles[1])


@pytest.mark.parametrize("where, span", [
    ("main", (-1, 10)), ("main", (100, 99)), ("main", (0, None)),
    ("parts", (-2, 20)), ("parts", (30, 20)), ("parts", (None, None)), ("parts", (100, 105)),
], ids=["main starts before 0", "main ends before it starts", "main ends past the data",
        "part starts before 0", "part ends before it starts", "part past the data",
        "part shorter than SOT's first fields"])
def test_spans_outside_the_buffer_raise(where, span):
    mv, main, tiles = plan(gray4())
    n = len(mv)
    span = tuple(n + 1 if v is None else v for v in span)
    tile = list(tiles[0])
    if where == "main":
        main = list(main) + [span]
    else:
        tile[5] = [span]
    with pytest.raises(ValueError):
        ojph._tile_codestream(mv, main, tuple(tile))
