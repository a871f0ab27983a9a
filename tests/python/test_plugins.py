"""The Pillow and imageio plugins: open, save, metadata, registration order."""

import glob
import io
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

import ferroglyph
from ferroglyph import _codestream, _jp2

Image = pytest.importorskip("PIL.Image")
iio = pytest.importorskip("imageio.v3")
jpylyzer = pytest.importorskip("jpylyzer.jpylyzer")
from test_metadata import SRGB_ICC, XMP, assert_valid  # noqa: E402

import ferroglyph.imageio  # noqa: E402,F401
import ferroglyph.pillow  # noqa: E402,F401


def samples(shape, dtype, bits=None, seed=1):
    rng = np.random.default_rng(seed)
    if np.dtype(dtype).kind == "f":
        return rng.standard_normal(shape).astype(dtype)
    info = np.iinfo(dtype)
    b = bits or info.bits
    lo, hi = (-(1 << (b - 1)), 1 << (b - 1)) if info.min < 0 else (0, 1 << b)
    return rng.integers(lo, hi, shape, dtype=np.int64).astype(dtype)


def pillow_own(path):
    """What Pillow's own JPEG 2000 plugin makes of the file."""
    with Image.open(path, formats=["JPEG2000"]) as im:
        return im.mode, np.asarray(im)


# Mode, the array, its bits; and whether Pillow's own plugin reads the same file.
MODES = [
    ("L", (19, 30), np.uint8, None, True),
    ("L", (19, 30), np.uint8, 5, True),
    ("L", (19, 30), np.int8, None, True),
    ("LA", (19, 30, 2), np.uint8, None, True),
    ("RGB", (19, 30, 3), np.uint8, None, True),
    ("RGB", (19, 30, 3), np.int8, 6, True),
    ("RGBA", (19, 30, 4), np.uint8, None, True),
    ("I;16", (19, 30), np.uint16, None, True),
    ("I;16", (19, 30), np.uint16, 12, True),
    ("I;16", (19, 30), np.int16, None, True),
    ("I", (19, 30), np.int32, None, False),
    ("I", (19, 30), np.uint32, 20, False),  # Pillow's plugin keeps 16 of the 20 bits
    ("F", (19, 30), np.float32, None, False),
]


@pytest.mark.parametrize("suffix", [".jph", ".j2c"])
@pytest.mark.parametrize("mode, shape, dtype, bits, pillow_reads", MODES)
def test_pillow_opens_what_ferroglyph_writes(tmp_path, suffix, mode, shape, dtype, bits,
                                             pillow_reads):
    path = tmp_path / ("a" + suffix)
    data = samples(shape, dtype, bits)
    ferroglyph.imwrite(path, data, bits=bits)
    with Image.open(path) as im:
        assert (im.format, im.mode, im.size) == ("JPH", mode, (shape[1], shape[0]))
        assert im.tile  # lazy: nothing decoded yet
        ours = np.asarray(im)
    if pillow_reads:  # the same pixels as Pillow's own plugin, scaling included
        theirs_mode, theirs = pillow_own(path)
        assert theirs_mode == mode
        np.testing.assert_array_equal(ours, theirs)
    else:
        np.testing.assert_array_equal(ours, data.astype(ours.dtype))


def test_layouts_without_an_exact_mode(tmp_path):
    rgb16 = tmp_path / "rgb16.jph"
    ferroglyph.imwrite(rgb16, samples((8, 8, 3), np.uint16))
    with Image.open(rgb16) as im:
        assert im.format == "JPEG2000"  # Pillow's plugin opens it, in 8 bits
    yuv = tmp_path / "yuv.j2c"
    planes = [samples((16, 16), np.uint8), samples((8, 8), np.uint8), samples((8, 8), np.uint8)]
    yuv.write_bytes(ferroglyph.encode_components(planes))  # 4:2:0
    with Image.open(yuv) as im:
        assert im.format == "JPEG2000"
    five = tmp_path / "five.jph"
    ferroglyph.imwrite(five, samples((8, 8, 5), np.uint8))
    with pytest.raises(Image.UnidentifiedImageError, match=r"ferroglyph\.imread"):
        Image.open(five)


def test_classic_jpeg2000_still_opens_with_pillows_plugin(tmp_path):
    data = samples((16, 20, 3), np.uint8)
    for suffix in (".jp2", ".j2k"):
        path = tmp_path / ("classic" + suffix)
        Image.fromarray(data).save(path)
        with Image.open(path) as im:
            assert im.format == "JPEG2000"
            np.testing.assert_array_equal(np.asarray(im), data)
    Image.fromarray(data).save(tmp_path / "c.j2c")  # .j2c stays with the classic saver
    with Image.open(tmp_path / "c.j2c") as im:
        assert im.format == "JPEG2000"


ORDER = """
import sys
from PIL import Image
if sys.argv[1] == "before":
    Image.init()
import ferroglyph.pillow
if sys.argv[1] == "after":
    Image.init()
ferroglyph.pillow.register()  # idempotent
assert Image.ID.count("JPH") == 1
for path in sys.argv[2:]:
    with Image.open(path) as im:
        im.load()
        print(im.format)
"""


@pytest.mark.parametrize("order", ["before", "after", "lazy"])
def test_tried_before_pillows_plugin_whatever_the_order(tmp_path, order):
    ht = tmp_path / "a.j2c"
    ferroglyph.imwrite(ht, samples((8, 8), np.uint8))
    classic = tmp_path / "b.j2k"
    Image.fromarray(samples((8, 8), np.uint8)).save(classic)
    out = subprocess.run([sys.executable, "-c", ORDER, order, str(ht), str(classic)],
                         capture_output=True, text=True, check=True).stdout.split()
    assert out == ["JPH", "JPEG2000"]


@pytest.mark.parametrize("mode, dtype", [("L", np.uint8), ("LA", np.uint8), ("RGB", np.uint8),
                                         ("RGBA", np.uint8), ("I;16", np.uint16),
                                         ("I", np.int32), ("F", np.float32)])
def test_pillow_saves_every_mode_losslessly(tmp_path, mode, dtype):
    channels = {"LA": 2, "RGB": 3, "RGBA": 4}.get(mode)
    data = samples((13, 17) + ((channels,) if channels else ()), dtype)
    im = Image.fromarray(data)
    assert im.mode == mode
    for name in ("a.jph", "a.jhc"):
        im.save(tmp_path / name)
        np.testing.assert_array_equal(ferroglyph.imread(tmp_path / name), data)
    assert_valid(tmp_path / "a.jph")
    assert_valid(tmp_path / "a.jhc", "jhc")
    buffer = io.BytesIO()
    im.save(buffer, format="JPH")
    np.testing.assert_array_equal(ferroglyph.decode(buffer.getvalue()), data)


def test_pillow_save_options(tmp_path):
    y, x = np.mgrid[:64, :96]
    data = np.stack([x * 2, y * 3, x + y], axis=-1).astype(np.uint8)  # smooth
    im = Image.fromarray(data)
    im.save(tmp_path / "lossy.jph", level=80, tile_size=(32, 16))
    head = _jp2.head(_codestream.buffer_reader(
        (tmp_path / "lossy.jph").read_bytes()), (tmp_path / "lossy.jph").stat().st_size)
    siz = _codestream.main_header(_codestream.buffer_reader(
        (tmp_path / "lossy.jph").read_bytes()[head.where.offset:]), head.where.length).siz
    assert (siz.tile_w, siz.tile_h) == (32, 16)  # Pillow's tile_size is (width, height)
    lossy = ferroglyph.imread(tmp_path / "lossy.jph")
    assert not np.array_equal(lossy, data)
    assert np.abs(lossy.astype(int) - data).mean() < 3
    im.save(tmp_path / "raw.j2c", format="JPH")  # format= wins over the suffix
    assert ferroglyph.decode_info((tmp_path / "raw.j2c").read_bytes())["shape"] == data.shape
    with pytest.raises(OSError, match="cannot write mode P"):
        im.convert("P").save(tmp_path / "p.jph")


def test_twelve_bit_grey_survives_open_then_save(tmp_path):
    data = samples((20, 24), np.uint16, 12)
    ferroglyph.imwrite(tmp_path / "a.jph", data, bits=12)
    with Image.open(tmp_path / "a.jph") as im:
        im.save(tmp_path / "b.jph", bits=12)
        with pytest.raises(ValueError, match="multiples of 16"):
            Image.fromarray(data).save(tmp_path / "c.jph", bits=12)
    assert ferroglyph.decode_info((tmp_path / "b.jph").read_bytes())["bit_depth"] == 12
    np.testing.assert_array_equal(ferroglyph.imread(tmp_path / "b.jph"), data)


def test_pillow_metadata_round_trip(tmp_path):
    data = samples((16, 16, 4), np.uint8)
    im = Image.fromarray(data)
    im.info["icc_profile"] = SRGB_ICC  # carried from info, as Pillow's savers do
    im.save(tmp_path / "a.jph", dpi=(300, 600), xmp=XMP.encode(), xml="<a/>")
    meta = ferroglyph.immeta(tmp_path / "a.jph")
    assert (meta["icc_profile"], meta["dpi"], meta["xmp"], meta["xml"]) == (
        SRGB_ICC, (300.0, 600.0), XMP, ["<a/>"])
    assert meta["channels"][3]["type"] == "opacity"
    with Image.open(tmp_path / "a.jph") as back:
        assert back.info["icc_profile"] == SRGB_ICC
        assert back.info["dpi"] == (300.0, 600.0)
        assert back.info["xmp"] == XMP.encode()
        assert back.mode == "RGBA"
    _, theirs = pillow_own(tmp_path / "a.jph")
    assert np.array_equal(theirs, data)
    assert_valid(tmp_path / "a.jph")
    with pytest.raises(ValueError, match="raw codestream"):
        im.save(tmp_path / "a.jhc", dpi=(300, 300))
    im.save(tmp_path / "b.jhc")  # the ICC profile in info is not asked for: not refused
    im.save(tmp_path / "c.jph", icc_profile=None)
    assert ferroglyph.immeta(tmp_path / "c.jph")["colour"] == "sRGB"


def test_pillow_reduce_and_draft(tmp_path):
    data = samples((67, 101, 3), np.uint8)
    path = tmp_path / "a.jph"
    ferroglyph.imwrite(path, data)
    with Image.open(path) as im:
        im.reduce = 2
        im.load()
        np.testing.assert_array_equal(np.asarray(im), ferroglyph.imread(path, reduce=2))
    with Image.open(path) as im:
        assert np.asarray(im.reduce(2)).shape == (34, 51, 3)  # Image.reduce() still works
    with Image.open(path) as im:
        mode, box = im.draft("RGB", (20, 20))  # the coarsest level at least 20 x 20
        assert (mode, im.size, box) == ("RGB", (51, 34), (0, 0, 101 / 2, 67 / 2))
        np.testing.assert_array_equal(np.asarray(im), ferroglyph.imread(path, reduce=1))
    with Image.open(path) as im:
        im.thumbnail((30, 30))
        assert max(im.size) == 30


def test_corpus_files_through_pillow_equal_imread(corpus_dir):
    names = ["openjpeg_data/htj2k/byte.jph", "openjpeg_data/htj2k/byte_causal.jhc",
             "openjph_test_codestreams/simple_dec_rev53_64x64_16bit_gray.jph",
             "openjph_test_codestreams/simple_dec_rev53_64x64_gray_tiles.jph",
             "openjph_test_codestreams/simple_dec_irv97_64x64_tiles_RPCL33x33.jph",
             "openjph_test_codestreams/simple_dec_rev53_64x64.jph"]
    for name in names:
        path = os.path.join(corpus_dir, name)
        with Image.open(path) as im:
            assert im.format == "JPH", name
            np.testing.assert_array_equal(np.asarray(im), ferroglyph.imread(path), name)
    for path in glob.glob(os.path.join(corpus_dir, "openjph_test_codestreams", "*yuv.jph")):
        with Image.open(path) as im:  # subsampled: Pillow's plugin takes them
            assert im.format == "JPEG2000"


# ---------------------------------------------------------------------------
# imageio


def test_imageio_reads_writes_and_describes(tmp_path):
    data = samples((40, 50, 3), np.uint8)
    path = tmp_path / "a.jph"
    iio.imwrite(path, data, icc_profile=SRGB_ICC, dpi=(150, 150), xml=["<a/>"])
    np.testing.assert_array_equal(iio.imread(path), data)
    np.testing.assert_array_equal(iio.imread(path, reduce=1), ferroglyph.imread(path, reduce=1))
    assert iio.improps(path, reduce=1).shape == (20, 25, 3)
    assert iio.improps(path).dtype == np.uint8
    meta = iio.immeta(path)
    assert (meta["icc_profile"], meta["dpi"], meta["xml"], meta["width"]) == (
        SRGB_ICC, (150.0, 150.0), ["<a/>"], 50)
    assert_valid(path)
    encoded = iio.imwrite("<bytes>", data, extension=".jph", level=90)
    assert ferroglyph.decode(encoded).shape == data.shape
    assert iio.imread(encoded, index=...).shape == (1, 40, 50, 3)
    iio.imwrite(tmp_path / "a.jhc", data)
    assert_valid(tmp_path / "a.jhc", "jhc")
    with pytest.raises(ValueError, match="raw codestream"):
        iio.imwrite(tmp_path / "b.jhc", data, dpi=(1, 1))
    with pytest.raises(ValueError, match="one image"):
        iio.imwrite(tmp_path / "c.jph", [data, data])


@pytest.mark.parametrize("suffix", [".jph", ".jhc"])
@pytest.mark.parametrize("keywords", [{}, {"tile": (16, 16)},
                                      {"prog_order": "RPCL", "tlm": True, "tilepart": 1}])
def test_imageio_meta_has_the_whole_codestreams_prefix_sizes(tmp_path, suffix, keywords):
    # They were once those of the header the plugin reads first: a 4-tile
    # codestream's item 0 (the whole codestream) was about 130 bytes.
    path = tmp_path / f"p{suffix}"
    ferroglyph.imwrite(path, samples((30, 40, 3), np.uint8), **keywords)
    expected = ferroglyph.decode_info(path.read_bytes())["prefix_bytes"]
    assert iio.immeta(path)["prefix_bytes"] == expected
    assert iio.immeta(path.read_bytes(), extension=suffix)["prefix_bytes"] == expected


def test_imageio_picks_ferroglyph_for_ht_only(tmp_path):
    data = samples((16, 16), np.uint8)
    ferroglyph.imwrite(tmp_path / "ht.j2c", data)
    Image.fromarray(data).save(tmp_path / "classic.jp2")
    with iio.imopen(tmp_path / "ht.j2c", "r") as f:
        assert type(f).__name__ == "FerroglyphPlugin"
    with iio.imopen(tmp_path / "classic.jp2", "r") as f:
        assert type(f).__name__ != "FerroglyphPlugin"
        np.testing.assert_array_equal(f.read(), data)
    np.testing.assert_array_equal(iio.imread(tmp_path / "ht.j2c", plugin="ferroglyph"), data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(OSError):
            iio.imread(tmp_path / "classic.jp2", plugin="ferroglyph")


def test_pillow_truncated_file_fails_unless_pillow_allows_it(tmp_path, monkeypatch):
    path = tmp_path / "a.jph"
    ferroglyph.imwrite(path, samples((64, 64, 3), np.uint8))
    path.write_bytes(path.read_bytes()[:-2000])
    with Image.open(path) as im, pytest.raises(OSError, match="truncated"):
        im.load()
    from PIL import ImageFile
    monkeypatch.setattr(ImageFile, "LOAD_TRUNCATED_IMAGES", True)
    with Image.open(path) as im, pytest.warns(RuntimeWarning):
        im.load()
    assert im.size == (64, 64)


@pytest.mark.parametrize("suffix, keywords", [
    (".jph", {"tlm": True, "prog_order": "RPCL", "tilepart": 1}),  # prefixes the layout proves
    (".j2c", {"tile": (32, 16)}),
])
def test_imageio_properties_and_metadata_agree_with_the_decoder(tmp_path, suffix, keywords):
    path = tmp_path / f"a{suffix}"
    ferroglyph.imwrite(path, samples((45, 70, 3), np.uint8), **keywords)
    prefixes = ferroglyph.decode_info(path.read_bytes())["prefix_bytes"]
    assert iio.immeta(path)["prefix_bytes"] == prefixes and (prefixes[1] is not None) == (
        suffix == ".jph")
    for kw in [dict(region=(3, 5, 44, 61), reduce=2), dict(region=(1, 1, 2, 69), reduce=1),
               dict(region=(0, 7, 45, 70), planar=True), dict(reduce=1, planar=True)]:
        assert iio.improps(path, **kw).shape == iio.imread(path, **kw).shape, kw
    with pytest.raises(ValueError, match="region"):
        iio.improps(path, region=(0, 0, 46, 70))


class TrickleFile(io.BytesIO):
    """A stream that returns at most 16 bytes a read (Pillow's own first read), as sockets
    and pipes may."""

    def read(self, n=-1):
        return super().read(16 if n is None or n < 0 else min(n, 16))


@pytest.mark.parametrize("read, junk", [
    (lambda f: np.asarray(Image.open(f)), b""),  # Pillow reads from the file's start
    (lambda f: iio.imread(f, extension=".jph"), b"junk"),
    (lambda f: ferroglyph.imread(f, region=(0, 0, 40, 50)), b"junk"),
    (lambda f: ferroglyph.immeta(f)["xml"], b"junk"),
])
def test_streams_that_return_short_reads(tmp_path, read, junk):
    data = samples((40, 50, 3), np.uint8)
    ferroglyph.imwrite(tmp_path / "a.jph", data, xml=["<a>" + "x" * 100 + "</a>"])
    whole = (tmp_path / "a.jph").read_bytes()
    f = TrickleFile(junk + whole)
    f.seek(len(junk))  # read from the current position
    np.testing.assert_array_equal(read(f), read(io.BytesIO(whole)))
