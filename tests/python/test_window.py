"""Windows (decode/imread region=) and progressive prefixes (prefix_bytes)."""

import io
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

import ferroglyph as fg
from ferroglyph import _api, _codestream, _jp2, _parallel_encode, _window
from ferroglyph.codecs import _openjph

RNG = np.random.default_rng(24)
H, W = 70, 90
IMAGE = ((RNG.integers(0, 40, (H, W, 3)) + np.arange(W)[None, :, None] * 2) % 256).astype(
    np.uint8)

LAYOUTS = {  # name: (encode keywords, level)
    "one-tile": ({}, None),
    "one-tile-lossy": ({}, 90),
    "tiled": ({"tile": (32, 32)}, None),
    "tiled-lossy": ({"tile": (16, 40)}, 85),
    "tiled-tlm": ({"tile": (32, 24), "tlm": True}, None),
    "tiled-rpcl-parts": ({"tile": (32, 32), "prog_order": "RPCL", "tilepart": 1}, None),
}
WINDOWS = [
    (0, 0, H, W),      # the whole image
    (0, 0, 32, 32),    # one tile, aligned
    (5, 7, 41, 61),    # unaligned, across tiles
    (33, 47, 34, 48),  # one pixel
    (H - 1, W - 1, H, W),  # the last pixel
    (40, 60, H, W),    # edge tiles
    (33, 6, 34, 80),   # one row: nothing at some reductions (ceil(33/2) == ceil(34/2))
]


def _crop(image, region, r, planar=False):
    y0, x0, y1, x1 = region
    c = lambda v: -(-v >> r)  # noqa: E731
    if planar and image.ndim == 3:
        return image[:, c(y0):c(y1), c(x0):c(x1)]
    return image[c(y0):c(y1), c(x0):c(x1)]


@pytest.fixture(scope="module", params=sorted(LAYOUTS))
def coded(request):
    keywords, level = LAYOUTS[request.param]
    return fg.encode(IMAGE, level, **keywords)


def _no_whole_decode(*args, **kwargs):
    raise AssertionError("the window was decoded through a whole decode")


@pytest.mark.parametrize("r", range(4))
def test_window_is_the_crop_of_the_whole_decode(coded, r, tmp_path, monkeypatch):
    whole = fg.decode(coded, reduce=r)
    monkeypatch.setattr(_window, "_whole_then_crop", _no_whole_decode)
    jph = tmp_path / "a.jph"
    jph.write_bytes(_jp2.jph_header(height=H, width=W, components=3, bit_depth=8,
                                    is_signed=False) + _jp2.jp2c_header(len(coded)) + coded)
    raw = tmp_path / "a.j2c"
    raw.write_bytes(coded)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for region in WINDOWS:
            want = _crop(whole, region, r)
            for got in (fg.decode(coded, region=region, reduce=r),
                        fg.imread(jph, region=region, reduce=r),
                        fg.imread(raw, region=region, reduce=r)):
                assert got.shape == want.shape and np.array_equal(got, want), region


@pytest.mark.parametrize("origin", [(3, 5), (40, 17)])
@pytest.mark.parametrize("tile", [None, (32, 32)])
def test_window_with_an_image_offset(origin, tile):
    a = IMAGE[..., 0].astype(np.uint16) * 7
    coded = _openjph._encode_ex(a, None, origin=origin, tile=tile)
    assert _codestream.main_header(_codestream.buffer_reader(coded), len(coded)).siz.x0 > 0
    for r in range(4):
        whole = fg.decode(coded, reduce=r)
        for region in WINDOWS:
            got = fg.decode(coded, region=region, reduce=r)
            assert np.array_equal(got, _crop(whole, region, r)), (region, r)


@pytest.mark.parametrize("tile", [None, (16, 16)])
def test_planar_out_and_threads(tile):
    coded = fg.encode(IMAGE, tile=tile)
    region = (9, 13, 50, 77)
    want = _crop(fg.decode(coded, reduce=1, planar=True), region, 1, planar=True)
    out = np.zeros(want.shape, want.dtype)
    got = fg.decode(coded, region=region, reduce=1, planar=True, out=out, numthreads=2)
    assert got is out and np.array_equal(out, want)
    with pytest.raises(ValueError):
        fg.decode(coded, region=region, out=np.zeros((H, W, 3), np.uint8))


def test_float_and_one_component():
    f = (RNG.random((40, 50)) * 100).astype(np.float32)
    for coded in (fg.encode(f), fg.encode(f, tile=(16, 16)), fg.encode(IMAGE[..., 1])):
        whole = fg.decode(coded)
        got = fg.decode(coded, region=(3, 4, 33, 41))
        assert got.dtype == whole.dtype and np.array_equal(got, whole[3:33, 4:41])


@pytest.mark.parametrize("region, error", [
    ((0, 0, H + 1, W), ValueError),   # past the bottom
    ((0, -1, 10, 10), ValueError),    # negative
    ((10, 10, 10, 20), ValueError),   # empty
    ((20, 10, 10, 20), ValueError),   # reversed
    ((0, 0, 10), TypeError),          # three numbers
    ((0, 0, 10.0, 10), TypeError),    # not integers
    ("0 0 10 10", TypeError),
])
def test_bad_windows(region, error, tmp_path):
    coded = fg.encode(IMAGE, tile=(32, 32))
    path = tmp_path / "a.j2c"
    path.write_bytes(coded)
    with pytest.raises(error):
        fg.decode(coded, region=region)
    with pytest.raises(error):
        fg.imread(path, region=region)


def test_reduce_past_the_levels_names_the_maximum():
    coded = fg.encode(IMAGE, tile=(32, 32), num_decomp=2)
    with pytest.raises(ValueError, match="maximum is reduce=2"):
        fg.decode(coded, region=(0, 0, 10, 10), reduce=3)


def test_damaged_window_reports_as_the_whole_decode():
    coded = fg.encode(IMAGE, tile=(32, 32))
    cut = coded[:len(coded) * 2 // 3]
    with pytest.raises(fg.OpenJphError):
        fg.decode(cut, region=(0, 0, 10, 10))
    with pytest.warns(RuntimeWarning):
        fg.decode(cut, region=(0, 0, 10, 10), strict=False, resilient=True)


@pytest.mark.parametrize("text, strict, ignore, raised, warned", [
    ("File terminated early", True, False, fg.OpenJphError, []),
    ("File terminated early", False, False, None, ["File terminated early"]),
    ("a note\n\na note\nanother", True, False, None, ["a note", "another"]),
    ("COC marker segment is not supported yet", False, False, fg.OpenJphUnsupportedFeature, []),
    ("COC marker segment is not supported yet\nFile terminated early", False, True, None,
     ["File terminated early"]),
    ("", True, False, None, []),
])
def test_window_warnings_are_judged_as_the_whole_decode_judges_them(text, strict, ignore, raised,
                                                                    warned):
    """The window's tiles decode on worker threads; their lines go to the module's one judge."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if raised is None:
            _openjph._judge_warnings(text, strict, ignore, 1)
        else:
            with pytest.raises(raised):
                _openjph._judge_warnings(text, strict, ignore, 1)
    assert [str(w.message) for w in caught] == [f"OpenJPH: {line}" for line in warned]
    assert all(w.filename == __file__ for w in caught)


def test_components_window():
    y = IMAGE[..., 0]
    cb, cr = IMAGE[::2, ::2, 1].copy(), IMAGE[::2, ::2, 2].copy()
    coded = fg.encode_components([y, cb, cr])
    for r in range(3):
        whole = fg.decode_components(coded, reduce=r)
        region = (5, 7, 41, 62)
        got = fg.decode_components(coded, reduce=r, region=region)
        for c, (g, w, d) in enumerate(zip(got, whole, (1, 2, 2), strict=True)):
            rows = slice(-(-5 // (d << r)), -(-41 // (d << r)))
            cols = slice(-(-7 // (d << r)), -(-62 // (d << r)))
            assert np.array_equal(g, w[rows, cols]), (c, r)
    with pytest.raises(ValueError):
        fg.decode_components(coded, region=(0, 0, H + 1, 10))


# ---------------------------------------------------------------------------
# What imread reads


class _Counting:
    """Bytes asked for through a file object (each read counted)."""

    def __init__(self, f):
        self.f, self.read_bytes, self.reads = f, 0, 0

    def seek(self, *a):
        return self.f.seek(*a)

    def tell(self):
        return self.f.tell()

    def seekable(self):
        return True

    def read(self, n=-1):
        got = self.f.read(n)
        self.read_bytes += len(got)
        self.reads += 1
        return got

    def fileno(self):
        return self.f.fileno()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.f.close()


def _tiled_file(tmp_path, tlm, boxed=True):
    big = np.tile(IMAGE, (6, 6, 1))  # 420 x 540, 16 x 16 tiles of 27 x 34
    coded = fg.encode(big, tile=(27, 34), tlm=tlm)
    path = tmp_path / ("big.jph" if boxed else "big.j2c")
    if boxed:
        fg.imwrite(path, big, tile=(27, 34), tlm=tlm)
    else:
        path.write_bytes(coded)
    return big, path


@pytest.mark.parametrize("tlm", [False, True])
@pytest.mark.parametrize("boxed", [False, True])
def test_imread_reads_only_the_tiles_it_needs(tmp_path, monkeypatch, tlm, boxed):
    big, path = _tiled_file(tmp_path, tlm, boxed)
    opened = []

    def counting_open(p, mode="r", buffering=-1):
        assert buffering == 0  # unbuffered: no read-ahead into other tile-parts
        f = _Counting(open(p, mode, buffering=buffering))
        opened.append(f)
        return f

    monkeypatch.setattr(_api, "open", counting_open, raising=False)
    got = fg.imread(path, region=(100, 200, 140, 250))
    assert np.array_equal(got, big[100:140, 200:250])
    size = os.path.getsize(path)
    # 3 x 3 of 256 tiles; the headers: a TLM, or one SOT per tile-part.
    assert opened[0].read_bytes < size * 9 / 256 * 1.2 + 5000 + (0 if tlm else 12 * 256)


def test_fsspec_file_object_reads_only_its_ranges(tmp_path):
    fsspec = pytest.importorskip("fsspec")
    big, path = _tiled_file(tmp_path, tlm=True)
    fs = fsspec.filesystem("memory")
    fs.pipe("/w/big.jph", path.read_bytes())
    with fs.open("/w/big.jph", "rb") as f:
        counted = _Counting(f)
        got = fg.imread(counted, region=(300, 10, 330, 40), reduce=1)
    whole = fg.decode(path.read_bytes(), reduce=1)
    assert np.array_equal(got, whole[150:165, 5:20])
    assert counted.read_bytes < os.path.getsize(path) / 20


class _Stream(io.RawIOBase):
    """A binary file object that cannot seek (a pipe, a socket)."""

    def __init__(self, data):
        self.rest = memoryview(data)

    def readable(self):
        return True

    def readinto(self, b):
        n = min(len(b), len(self.rest))
        b[:n], self.rest = self.rest[:n], self.rest[n:]
        return n


@pytest.mark.parametrize("seekable", [True, False])
def test_file_object_window_is_read_from_its_position(seekable):
    coded = fg.encode(IMAGE, tile=(32, 32))
    junk = b"not this" * 3
    f = io.BytesIO(junk + coded) if seekable else _Stream(junk + coded)
    f.read(len(junk))
    got = fg.imread(f, region=(5, 7, 41, 61), reduce=1)
    assert np.array_equal(got, _crop(fg.decode(coded, reduce=1), (5, 7, 41, 61), 1))


@pytest.mark.parametrize("tlm", [False, True])
def test_window_of_a_file_far_larger_than_memory(tmp_path, tlm):
    """A 100,000 x 100,000 tiled .jph (10 GB of samples) from one tile repeated."""
    n, t = 100_000, 1024
    yy, xx = np.mgrid[0:t, 0:t]
    tile = ((yy // 512) * 100 + (xx // 512) * 50 + (yy == xx)).astype(np.uint8)
    header = _openjph._encode_ex(np.broadcast_to(np.uint8(0), (n, n)), None, tile=(t, t),
                                 header_only=True)
    one = _openjph._encode_ex(tile, None, tile=(t, t), origin=(t, t), num_decomp=5)
    part = bytearray(one[_codestream.main_header(_codestream.buffer_reader(one),
                                                 len(one)).end:-2])
    across = -(-n // t)
    count = across * across
    entries = np.zeros(count, dtype=[("isot", ">u2"), ("psot", ">u4")])
    path = tmp_path / "huge.jph"
    with open(path, "wb") as f:
        f.write(_jp2.jph_header(height=n, width=n, components=1, bit_depth=8, is_signed=False))
        # Edge tiles are narrower than the repeated tile's code: the window
        # stays in full tiles, and the edge tile-parts are never decoded.
        body = len(header) + len(part) * count + 2
        if tlm:
            entries["isot"] = np.arange(count)
            entries["psot"] = len(part)
            tlm_bytes = _parallel_encode._tlm_segments(entries)
            body += len(tlm_bytes)
        f.write(_jp2.jp2c_header(body))
        f.write(header)
        if tlm:
            f.write(tlm_bytes)
        for i in range(count):
            part[4:6] = i.to_bytes(2, "big")
            f.write(part)
        f.write(b"\xff\xd9")
    region = (70_000 + 300, 50_000 + 100, 70_000 + 900, 50_000 + 400)
    counted = []
    real_open = open

    def counting_open(p, mode="r", buffering=-1):
        f = _Counting(real_open(p, mode, buffering=buffering))
        counted.append(f)
        return f

    _api.open = counting_open  # type: ignore[attr-defined]
    try:
        got = fg.imread(path, region=region)
        small = fg.imread(path, region=region, reduce=2)
    finally:
        del _api.open
    y0, x0, y1, x1 = region
    assert np.array_equal(got, np.tile(tile, (3, 3))[y0 % t:y0 % t + y1 - y0,
                                                     x0 % t:x0 % t + x1 - x0])
    assert small.shape == (150, 75)
    # 4 of 9604 tiles, and the headers: the TLM, or a SOT read per tile-part
    assert counted[0].read_bytes < os.path.getsize(path) * 4 / count + 5000 + 12 * count


# ---------------------------------------------------------------------------
# Progressive prefixes


@pytest.mark.parametrize("keywords", [
    {"prog_order": "RPCL", "tilepart": 1, "tlm": True},
    {"prog_order": "RPCL", "tilepart": 1},
    {"prog_order": "RLCP", "tilepart": 1, "tlm": True},
    {"prog_order": "LRCP", "tilepart": 1},
])
def test_prefixes_decode_as_the_reduced_whole(keywords, tmp_path):
    a = np.tile(IMAGE, (2, 2, 1))
    coded = fg.encode(a, **keywords)
    prefix = fg.decode_info(coded)["prefix_bytes"]
    assert prefix[0] == len(coded) and len(prefix) == 6
    assert all(isinstance(p, int) for p in prefix)
    assert prefix == sorted(prefix, reverse=True)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for r in range(1, 6):
            want = fg.decode(coded, reduce=r)
            for n in {prefix[r], prefix[r] + 1, prefix[r] + 2, prefix[r] + 13, prefix[r] + 14,
                      (prefix[r] + len(coded)) // 2, len(coded) - 1}:
                assert np.array_equal(fg.decode(coded[:n], reduce=r), want), (r, n)
                assert np.array_equal(np.stack(fg.decode_components(coded[:n], reduce=r), -1),
                                      want)
                assert fg.decode_info(coded[:n])["prefix_bytes"][r] == prefix[r]
            with pytest.raises(fg.OpenJphError):
                fg.decode(coded[:prefix[r] - 1], reduce=r)
    # The .jph short-box check gives way to the prefix rule too.
    boxed = (_jp2.jph_header(height=a.shape[0], width=a.shape[1], components=3, bit_depth=8,
                             is_signed=False) + _jp2.jp2c_header(len(coded)) + coded)
    cut = len(boxed) - len(coded) + prefix[3]
    assert np.array_equal(fg.decode(boxed[:cut], reduce=3), fg.decode(coded, reduce=3))
    path = tmp_path / "prefix.jph"
    path.write_bytes(boxed[:cut + 5])
    assert np.array_equal(fg.imread(path, reduce=3), fg.decode(coded, reduce=3))
    out = tmp_path / "thumb.npy"
    subprocess.run([sys.executable, "-m", "ferroglyph", "decode", str(path), "-o", str(out),
                    "--reduce", "3"], check=True, capture_output=True)
    assert np.array_equal(np.load(out), fg.decode(coded, reduce=3))
    with pytest.raises(fg.OpenJphError):
        fg.imread(path, reduce=2)


@pytest.mark.parametrize("skipres", [(2, 2), (3, 1), (2, 0)])
def test_prefix_rule_counts_the_resolutions_left_unread(skipres):
    coded = fg.encode(IMAGE, prog_order="RPCL", tilepart=1, tlm=True)
    prefix = fg.decode_info(coded)["prefix_bytes"]
    want = fg.decode(coded, skipres=skipres)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert np.array_equal(fg.decode(coded[:prefix[skipres[0]] + 3], skipres=skipres), want)
    with pytest.raises(fg.OpenJphError, match="ends after"):
        fg.decode(coded[:prefix[skipres[0]] - 1], skipres=skipres)


@pytest.mark.parametrize("keywords", [
    {}, {"prog_order": "RPCL"}, {"prog_order": "RPCL", "tile": (32, 32), "tilepart": 1},
    {"prog_order": "PCRL", "tilepart": 1},
])
def test_no_prefix_where_the_layout_does_not_prove_it(keywords):
    coded = fg.encode(IMAGE, **keywords)
    prefix = fg.decode_info(coded)["prefix_bytes"]
    assert prefix[0] == len(coded) and prefix[1:] == [None] * (len(prefix) - 1)


@pytest.mark.parametrize("keywords, whole_known", [
    ({}, False), ({"tile": (32, 32)}, False), ({"tile": (32, 32), "tlm": True}, True),
])
def test_the_whole_length_of_a_cut_codestream_is_never_the_cut(keywords, whole_known):
    # Item 0 of a cut codestream was once the cut's length: "all of it is here".
    coded = fg.encode(IMAGE, **keywords)
    for n in (200, len(coded) // 2):
        assert fg.decode_info(coded[:n])["prefix_bytes"][0] == (len(coded) if whole_known else None)
    assert fg.decode_info(coded)["prefix_bytes"][0] == len(coded)


def test_imread_of_a_prefix_layout_reads_the_prefix(tmp_path, monkeypatch):
    coded = fg.encode(np.tile(IMAGE, (4, 4, 1)), prog_order="RPCL", tilepart=1, tlm=True)
    path = tmp_path / "p.j2c"
    path.write_bytes(coded)
    prefix = fg.decode_info(coded)["prefix_bytes"]
    opened = []

    def counting_open(p, mode="r", buffering=-1):
        f = _Counting(open(p, mode, buffering=buffering))
        opened.append(f)
        return f

    monkeypatch.setattr(_api, "open", counting_open, raising=False)
    got = fg.imread(path, region=(0, 0, 64, 64), reduce=3)
    assert np.array_equal(got, fg.decode(coded, reduce=3)[:8, :8])
    assert opened[0].read_bytes < prefix[3] + 4096 + 200


def test_cli_region(tmp_path):
    coded = fg.encode(IMAGE, tile=(32, 32))
    src = tmp_path / "a.j2c"
    src.write_bytes(coded)
    dst = tmp_path / "a.npy"
    run = [sys.executable, "-m", "ferroglyph", "decode", str(src), "-o", str(dst),
           "--region", "5", "7", "41", "61", "--reduce", "1"]
    subprocess.run(run, check=True, capture_output=True)
    assert np.array_equal(np.load(dst), _crop(fg.decode(coded, reduce=1), (5, 7, 41, 61), 1))
    bad = subprocess.run(run[:-6] + ["--region", "0", "0", "71", "10"], capture_output=True,
                         text=True)
    assert bad.returncode != 0 and "region" in bad.stderr


def test_a_tlm_that_does_not_match_the_tile_parts_is_not_trusted():
    coded = bytearray(fg.encode(IMAGE, tile=(32, 32), tlm=True))
    header = _codestream.main_header(_codestream.buffer_reader(coded), len(coded))
    tlm = header.first(_codestream.TLM)
    # Swap the lengths of the first two tile-parts: every offset after them
    # is still right, the first two are not.
    at = tlm.offset + 6
    coded[at + 2:at + 6], coded[at + 8:at + 12] = coded[at + 8:at + 12], coded[at + 2:at + 6]
    # OpenJPH reads tile-parts by their SOT segments, so the whole image is right.
    got = fg.decode(bytes(coded), region=(0, 0, 40, 40))
    assert np.array_equal(got, IMAGE[:40, :40])


@pytest.mark.parametrize("which, at, value", [(-1, 4, 0), (0, 10, 1), (-1, 4, 200)])
def test_a_tile_part_out_of_place_is_reported_as_the_whole_decode_reports_it(which, at, value):
    """The last tile's tile-part said to be tile 0's (in the window), tile 0's
    said to be its second, the last tile's said to be a tile off the grid:
    decoding the window's tiles alone would give wrong samples or none."""
    coded = bytearray(fg.encode(IMAGE, tile=(32, 32)))
    read = _codestream.buffer_reader(coded)
    part = list(_codestream.tile_parts(read, len(coded),
                                       _codestream.main_header(read, len(coded))))[which]
    coded[part.offset + at:part.offset + 6 if at == 4 else part.offset + at + 1] = \
        value.to_bytes(2 if at == 4 else 1, "big")
    with pytest.raises(fg.OpenJphError) as whole:
        fg.decode(bytes(coded))
    with pytest.raises(fg.OpenJphError) as window:
        fg.decode(bytes(coded), region=(0, 0, 10, 10))
    assert str(window.value) == str(whole.value)


@pytest.mark.parametrize("name, plain", [
    # Image offset (33, 5) on a tile grid offset to (10, 5): 1650 tiles of 33 x 33.
    ("openjph_test_codestreams/simple_dec_irv97_64x64_tiles_RPCL33x33.jph", True),
    ("openjph_test_codestreams/simple_dec_irv97_64x64_tiles_LRCP33.jph", True),
    # An offset image of two tall tiles; 64 tiles of another encoder.
    ("openjph_test_codestreams/openjph_encoded/simple_enc_rev53_tall_narrow1.j2c", True),
    ("iso_htj2k_conformance/ds1_ht_04_b9.j2k", True),
    # Subsampled chroma: decode_components' windows.
    ("openjph_test_codestreams/simple_dec_rev53_64x64_tiles_yuv.jph", False),
])
def test_windows_of_other_encoders_codestreams(corpus_dir, name, plain, monkeypatch):
    data = open(os.path.join(corpus_dir, name), "rb").read()
    info = fg.decode_info(data)
    h, w = info["height"], info["width"]
    if plain:
        monkeypatch.setattr(_window, "_whole_then_crop", _no_whole_decode)
    for r in range(min(3, info["num_decompositions"]) + 1):
        # ds1_ht_04 has tile QCDs that OpenJPH skips: the same image either way.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            whole = (fg.decode(data, reduce=r, ignore_unsupported=True) if plain
                     else fg.decode_components(data, reduce=r))
        for region in [(h // 3, w // 5, min(h, h // 3 + 45), min(w, w // 5 + 70)),
                       (h - 1, w - 1, h, w), (1, 2, 3, 5)]:
            if plain:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    got = fg.decode(data, region=region, reduce=r, ignore_unsupported=True)
                assert np.array_equal(got, _crop(whole, region, r))
            else:
                got = fg.decode_components(data, region=region, reduce=r)
                subsampling = [c["subsampling"] for c in info["components_info"]]
                for g, a, (dx, dy) in zip(got, whole, subsampling, strict=True):
                    y0, x0, y1, x1 = region
                    want = a[-(-y0 // (dy << r)):-(-y1 // (dy << r)),
                             -(-x0 // (dx << r)):-(-x1 // (dx << r))]
                    assert np.array_equal(g, want)
