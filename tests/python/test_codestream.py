"""The package's codestream walker: main headers, TLM and SOT walks, reading only headers."""

import io
import itertools

import numpy as np
import pytest

import ferroglyph
from ferroglyph import _codestream as cs_
from ferroglyph.codecs import _openjph

RNG = np.random.default_rng(7)
IMAGE = RNG.integers(0, 255, (70, 90, 3), np.uint8, endpoint=True)


class CountingFile(io.BytesIO):
    """A file object that counts the bytes its reads return."""

    def __init__(self, data):
        super().__init__(data)
        self.delivered = 0

    def read(self, n=-1):
        out = super().read(n)
        self.delivered += len(out)
        return out


def walk(data, **keywords):
    read = cs_.buffer_reader(data)
    header = cs_.main_header(read, len(data))
    return header, list(cs_.tile_parts(read, len(data), header, **keywords))


@pytest.mark.parametrize("settings", [
    {},
    {"tile": (32, 16)},
    {"tile": (32, 16), "tlm": True},
    {"tile": (40, 40), "tlm": True, "tilepart": 1},      # several tile-parts per tile
    {"tile": (40, 40), "tilepart": 3, "prog_order": "RPCL"},
    {"tile": (25, 30), "tlm": True, "tilepart": 2},
])
def test_tile_parts_cover_the_codestream_and_tlm_agrees_with_the_sot_walk(settings):
    data = ferroglyph.encode(IMAGE, **settings)
    header, by_tlm = walk(data)
    _, by_sot = walk(data, use_tlm=False)
    assert (header.tlm is not None) == bool(settings.get("tlm"))
    # Back to back from the main header's end to EOC, every tile present.
    assert by_sot[0].offset == header.end
    assert all(a.offset + a.length == b.offset for a, b in itertools.pairwise(by_sot))
    assert by_sot[-1].offset + by_sot[-1].length + 2 == len(data)
    assert {p.index for p in by_sot} == set(range(header.siz.num_tiles))
    # TLM gives the same places, lengths and tiles (not TNsot, which it does not hold).
    assert [(p.offset, p.length, p.index, p.part) for p in by_tlm] == \
        [(p.offset, p.length, p.index, p.part) for p in by_sot]
    # The tile rectangles tile the image exactly once.
    cover = np.zeros((header.siz.height, header.siz.width), int)
    for t in range(header.siz.num_tiles):
        y0, x0, y1, x1 = header.siz.tile_rect(t)
        cover[y0:y1, x0:x1] += 1
    assert (cover == 1).all()
    assert tuple(by_sot[-1]) == (by_sot[-1].offset, by_sot[-1].length, by_sot[-1].index,
                                 by_sot[-1].part, by_sot[-1].parts)  # unpacks as a tuple did


def test_a_file_walk_reads_headers_only():
    data = ferroglyph.encode(np.tile(IMAGE, (8, 8, 1)), tile=(64, 64), tlm=True)
    for use_tlm, most in [(True, 4096), (False, 4096 + 12 * 108)]:
        f = CountingFile(data)
        read = cs_.file_reader(f)
        header = cs_.main_header(read, len(data))
        parts = list(cs_.tile_parts(read, len(data), header, use_tlm=use_tlm))
        assert len(parts) == header.siz.num_tiles == 12 * 9
        assert f.delivered <= most < len(data) // 4


def test_siz_alone_and_a_header_written_alone():
    header_only = _openjph._encode_ex(IMAGE, None, header_only=True, tile=(32, 32))
    siz = cs_.siz(cs_.buffer_reader(header_only), len(header_only))
    assert (siz.width, siz.height, siz.components, siz.num_tiles) == (90, 70, 3, 9)
    walked, end = cs_.header_segments(cs_.buffer_reader(header_only), len(header_only),
                                      complete=False)
    assert end == len(header_only) and walked[0][0].marker == cs_.SIZ
    assert cs_.Cod.parse({s.marker: b for s, b in walked}[cs_.COD]).levels == 5
    with pytest.raises(cs_.CodestreamError, match="incomplete"):
        cs_.main_header(cs_.buffer_reader(header_only), len(header_only))


@pytest.mark.parametrize("cut, message", [
    (lambda d: b"\xff\xd8" + d[2:], "does not start with SOC"),
    (lambda d: d[:30], "incomplete"),                          # inside SIZ
    (lambda d: d[:2] + b"\xff\x51\x00\x05" + d[6:], "no marker segment"),  # Lsiz 5
    (lambda d: d[:41] + b"\x00\x00" + d[43:], "SIZ"),            # Csiz = 0
])
def test_headers_that_do_not_walk_raise(cut, message):
    data = cut(ferroglyph.encode(IMAGE[:8, :8]))
    with pytest.raises(cs_.CodestreamError, match=message):
        cs_.main_header(cs_.buffer_reader(data), len(data))


@pytest.mark.parametrize("tlm", [b"", b"\x00"])  # Ltlm 2 and 3: no Ztlm/Stlm to read
@pytest.mark.parametrize("call", [
    lambda d: ferroglyph.decode_info(d)["shape"],
    lambda d: ferroglyph.decode(d, region=(8, 40, 60, 90)).shape,
    lambda d: ferroglyph.imread(io.BytesIO(d), region=(8, 40, 60, 90)).shape,
])
def test_a_tlm_too_short_to_use_leaves_the_sot_walk(tlm, call):
    whole = ferroglyph.encode(IMAGE, tile=(32, 32), tlm=True)
    end = walk(whole)[0].end
    data = whole[:end] + cs_.segment(cs_.TLM, tlm) + whole[end:]
    header, parts = walk(data)
    assert header.tlm is None and len(parts) == header.siz.num_tiles == 9
    assert call(data) == call(whole)
