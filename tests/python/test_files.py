"""The public package: JPH files and raw codestreams on disk, precision, what decode returns."""

from __future__ import annotations

import os
import struct
import threading
import warnings

import numpy as np
import pytest

import codestreams as cst
import ferroglyph
from ferroglyph import OpenJphError, _jp2
from ferroglyph.codecs import _openjph

KAKADU = "openjph_test_codestreams"


def image(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    if np.dtype(dtype).kind == "f":
        return rng.normal(0, 100, shape).astype(dtype)
    info = np.iinfo(dtype)
    return rng.integers(max(info.min, -3000), min(info.max, 3000), shape, endpoint=True
                        ).astype(dtype)


def boxes(data: bytes, start=0, end=None):
    """Top-level (type, contents) pairs of a JPEG 2000 family file."""
    end = len(data) if end is None else end
    out, pos = [], start
    while pos < end:
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        out.append((kind.decode("latin-1"), data[pos + 8:pos + length]))
        pos += length
    return out


# ---------------------------------------------------------------------------
# Round trips and layout


@pytest.mark.parametrize("suffix", [".jph", ".j2c", ".j2k", ".jhc", ".JPH"])
@pytest.mark.parametrize("shape, dtype", [
    ((33, 47), np.uint8), ((40, 30, 3), np.uint8), ((20, 24, 4), np.uint16),
    ((16, 18, 2), np.int16), ((12, 10, 5), np.float32),
])
def test_imwrite_imread_round_trip_is_exact_and_channel_last(tmp_path, suffix, shape, dtype):
    data = image(shape, dtype)
    path = tmp_path / f"a{suffix}"
    ferroglyph.imwrite(path, data)
    back = ferroglyph.imread(path)
    assert back.dtype == data.dtype and back.shape == data.shape
    np.testing.assert_array_equal(back.view(np.uint8), data.view(np.uint8))
    raw = path.read_bytes()
    assert raw.startswith(b"\xff\x4f\xff\x51") == (suffix.lower() != ".jph")
    planar = ferroglyph.imread(path, planar=True)
    if data.ndim == 3:
        np.testing.assert_array_equal(np.moveaxis(planar, 0, -1), back)
    # decode() takes the file's bytes as they are, JPH or raw; out= of the input's shape works.
    out = np.empty_like(data)
    assert ferroglyph.decode(raw, out=out) is out
    assert ferroglyph.decode_info(raw)["shape"] == data.shape


@pytest.mark.parametrize("reduce", [0, 1, 2])
@pytest.mark.parametrize("planar", [False, True])
def test_decode_info_shape_is_what_decode_returns(reduce, planar):
    cs = ferroglyph.encode(image((64, 48, 3), np.uint8))
    info = ferroglyph.decode_info(cs, reduce=reduce, planar=planar)
    assert info["shape"] == ferroglyph.decode(cs, reduce=reduce, planar=planar).shape
    assert set(info) == set(_openjph.decode_info(cs)) | {"shape", "components_info",
                                                               "prefix_bytes"}


@pytest.mark.parametrize("name, reference", [
    ("simple_dec_rev53_64x64_16bit.jph", "mm.ppm"),
    ("simple_dec_rev53_64x64_16bit_gray.jph", "mm.pgm"),
    ("simple_dec_rev53_64x64_gray_tiles.jph", "monarch.pgm"),
])
def test_corpus_jph_files_read_as_their_references(corpus_dir, name, reference):
    got = ferroglyph.imread(os.path.join(corpus_dir, KAKADU, name))
    ref = cst.read_pnm(os.path.join(corpus_dir, KAKADU, "references", reference))
    assert got.dtype == ref.dtype
    np.testing.assert_array_equal(got, ref)


def test_corpus_jph_with_a_uuid_box_reads_as_its_tiff_reference(corpus_dir):
    tifffile = pytest.importorskip("tifffile")
    got = ferroglyph.imread(os.path.join(corpus_dir, "openjpeg_data", "htj2k", "byte.jph"))
    np.testing.assert_array_equal(
        got, tifffile.imread(os.path.join(corpus_dir, "openjpeg_data", "references", "byte.tif")))


# ---------------------------------------------------------------------------
# The boxes of a written JPH file


@pytest.mark.parametrize("shape, dtype, keywords, bpc, colourspace", [
    ((20, 30), np.uint8, {}, 7, 17),
    ((20, 30, 2), np.uint8, {}, 7, 17),
    ((20, 30, 3), np.uint8, {}, 7, 16),
    ((20, 30, 3), np.uint8, {"rgb": False}, 7, 16),
    ((20, 30, 4), np.uint16, {}, 15, 16),
    ((20, 30, 6), np.uint8, {}, 7, 16),
    ((20, 30), np.int16, {}, 0x80 | 15, 17),
    ((20, 30, 3), np.float32, {}, 0x80 | 31, 16),
])
def test_written_jph_boxes_field_by_field(tmp_path, shape, dtype, keywords, bpc, colourspace):
    path = tmp_path / "a.jph"
    ferroglyph.imwrite(path, image(shape, dtype), **keywords)
    data = path.read_bytes()
    assert data[:12] == b"\x00\x00\x00\x0cjP  \r\n\x87\n"
    top = boxes(data, 12)
    assert [k for k, _ in top] == ["ftyp", "jp2h", "jp2c"]
    assert top[0][1] == b"jph \x00\x00\x00\x00jph "  # brand, minor version, compatibility
    header = boxes(top[1][1])
    components = shape[2] if len(shape) == 3 else 1
    # The last of 2 or 4 components is declared alpha by default.
    assert [k for k, _ in header] == ["ihdr", "colr"] + ["cdef"] * (components in (2, 4))
    height, width, nc, got_bpc, compression, unknown, ipr = struct.unpack(">IIHBBBB",
                                                                          header[0][1])
    assert (height, width, nc, got_bpc, compression, ipr) == (20, 30, components, bpc, 7, 0)
    assert unknown in (0, 1)
    assert header[1][1] == struct.pack(">BBBI", 1, 0, 0, colourspace)  # enumerated
    assert top[2][1] == ferroglyph.encode(image(shape, dtype), **keywords)


# ---------------------------------------------------------------------------
# Refusals


@pytest.mark.parametrize("data, what", [
    (b"\x89PNG\r\n\x1a\n" + bytes(40), "starts like a PNG file"),
    (b"\xff\xd8\xff\xe0" + bytes(40), "starts like a JPEG file"),
    (b"II*\x00" + bytes(40), "starts like a TIFF file"),
    (b"GIF89a" + bytes(40), "starts like a GIF file"),
    (b"", "is empty"),
    (b"\x01\x02\x03\x04hello", "starts with bytes 01 02 03 04 68 65 6c 6c"),
])
def test_other_data_is_refused_naming_what_it_looks_like(tmp_path, data, what):
    message = f"not a JPEG 2000 codestream or JPH/JP2 file; the data {what}"
    with pytest.raises(OpenJphError) as exc:
        ferroglyph.decode(data)
    assert str(exc.value) == message
    path = tmp_path / "x.jph"
    path.write_bytes(data)
    with pytest.raises(OpenJphError, match="^" + message):
        ferroglyph.imread(path)


def test_a_family_file_without_a_codestream_box_names_its_boxes(tmp_path):
    path = tmp_path / "a.jph"
    ferroglyph.imwrite(path, image((8, 8), np.uint8))
    without = path.read_bytes()[:12 + 20 + 45]
    with pytest.raises(OpenJphError, match="without a contiguous codestream box.*'ftyp', 'jp2h'"):
        ferroglyph.decode(without)


def test_every_cut_or_bent_box_header_ends_in_a_clean_error():
    cs = ferroglyph.encode(image((16, 16), np.uint8))
    data = bytearray(_jp2.jph_header(height=16, width=16, components=1, bit_depth=8,
                                     is_signed=False) + _jp2.jp2c_header(len(cs)) + cs)
    for n in range(len(data) - len(cs) + 4):
        with pytest.raises(OpenJphError):
            ferroglyph.decode(bytes(data[:n]))
    for at in (12, 32, 40, 62, 77):  # each box's length: to the end, XLBox, too short, too long
        for value in (0, 1, 7, 9, 16, 0xFFFFFFFF):
            bent = bytearray(data)
            bent[at:at + 4] = value.to_bytes(4, "big")
            try:
                ferroglyph.decode(bytes(bent))
            except OpenJphError:
                pass


def test_a_truncated_jph_file_is_an_error_unless_strict_is_off(tmp_path):
    data = image((64, 64, 3), np.uint8)
    path = tmp_path / "a.jph"
    ferroglyph.imwrite(path, data)
    path.write_bytes(path.read_bytes()[:-2000])
    with pytest.raises(OpenJphError, match="truncated"):
        ferroglyph.imread(path)
    with pytest.warns(RuntimeWarning) as caught:
        got = ferroglyph.imread(path, strict=False, resilient=True)
    assert got.shape == data.shape
    assert any("the file is truncated" in str(w.message) for w in caught)
    assert {w.filename for w in caught} == {__file__}  # the caller's line, not the library's


@pytest.mark.parametrize("level", [float("nan"), -0.5, 100.5, float("inf")])
def test_levels_outside_the_range_are_refused(level):
    with pytest.raises(ValueError, match="level must be"):
        ferroglyph.encode(image((8, 8), np.uint8), level)


def test_a_path_given_to_decode_points_to_imread(tmp_path):
    with pytest.raises(TypeError, match=r"imread"):
        ferroglyph.decode(str(tmp_path / "a.jph"))
    with pytest.raises(TypeError, match=r"imread"):
        ferroglyph.decode_info(tmp_path / "a.jph")


def test_an_unknown_suffix_is_refused_before_anything_is_written(tmp_path):
    with pytest.raises(ValueError, match=r"\.png"):
        ferroglyph.imwrite(tmp_path / "a.png", image((8, 8), np.uint8))
    assert list(tmp_path.iterdir()) == []


def test_a_failed_write_keeps_the_old_file_and_leaves_no_temporary(tmp_path, monkeypatch):
    path = tmp_path / "a.jph"
    ferroglyph.imwrite(path, image((8, 8), np.uint8))
    before = path.read_bytes()
    with pytest.raises(ValueError):  # encoding fails: nothing is opened
        ferroglyph.imwrite(path, image((8, 8), np.uint8), float("nan"))

    def broken_replace(src, dst):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", broken_replace)
    with pytest.raises(OSError, match="No space"):
        ferroglyph.imwrite(path, image((9, 9), np.uint8))
    assert path.read_bytes() == before
    assert [p.name for p in tmp_path.iterdir()] == ["a.jph"]


# ---------------------------------------------------------------------------
# Precision


@pytest.mark.parametrize("dtype, bits", [(np.uint16, 12), (np.uint16, 10), (np.int16, 12),
                                         (np.uint8, 5), (np.int32, 20)])
def test_bits_round_trip_keeps_the_container_and_states_the_precision(tmp_path, dtype, bits):
    lo, hi = (0, (1 << bits) - 1) if np.dtype(dtype).kind == "u" else \
        (-(1 << (bits - 1)), (1 << (bits - 1)) - 1)
    data = np.random.default_rng(1).integers(lo, hi, (24, 20, 3), endpoint=True).astype(dtype)
    data[0, 0, 0], data[-1, -1, -1] = lo, hi
    cs = ferroglyph.encode(data, bits=bits)
    assert ferroglyph.decode_info(cs)["bit_depth"] == bits
    np.testing.assert_array_equal(ferroglyph.decode(cs), data)
    path = tmp_path / "a.jph"
    ferroglyph.imwrite(path, data, bits=bits)
    ihdr = boxes(boxes(path.read_bytes(), 12)[1][1])[0][1]
    assert ihdr[10] & 0x7F == bits - 1
    np.testing.assert_array_equal(ferroglyph.imread(path), data)


def test_bits_and_numthreads_reach_the_tiled_encoder():
    data = np.random.default_rng(2).integers(0, 4096, (300, 200, 3)).astype(np.uint16)
    one_call = _openjph._encode_ex(data, 90, bits=12, tile=(64, 64))
    assert ferroglyph.encode(data, 90, bits=12, numthreads=2, tile=(64, 64)) == one_call


@pytest.mark.parametrize("dtype, bits, bad, pattern", [
    (np.uint16, 12, 4096, r"bits=12 allows values from 0 to 4095, but the data holds 4096 at "
                          r"index \(2, 3\)"),
    (np.int16, 12, -2049, r"from -2048 to 2047, but the data holds -2049 at index \(2, 3\)"),
    (np.uint16, 0, None, r"from 1 to 16 for uint16 samples, got 0"),
    (np.uint16, 17, None, r"from 1 to 16 for uint16 samples, got 17"),
    (np.float32, 12, None, r"integer samples; the data is float32"),
])
def test_bits_refusals_name_the_value_and_encode_nothing(tmp_path, dtype, bits, bad, pattern):
    data = np.zeros((5, 6), dtype)
    if bad is not None:
        data[2, 3] = bad
        data[4, 5] = bad  # a later one: the first is named
    with pytest.raises(ValueError, match=pattern):
        ferroglyph.encode(data, bits=bits)
    with pytest.raises(ValueError, match=pattern):
        ferroglyph.imwrite(tmp_path / "a.j2c", data, bits=bits)
    assert list(tmp_path.iterdir()) == []


def test_one_bit_lossless_is_refused_not_coded_with_wrong_samples():
    # OpenJPH's reversible path turns some 1-bit code-blocks to zeros.
    data = np.random.default_rng(3).integers(0, 2, (64, 80)).astype(np.uint8)
    for call in (lambda: ferroglyph.encode(data, bits=1),
                 lambda: ferroglyph.encode(data, 90, bits=1, reversible=True),
                 lambda: ferroglyph.encode(data, 1e-6, bits=1),   # a step the module reads as 0
                 lambda: ferroglyph.encode_components([data, data], bits=(8, 1))):
        with pytest.raises(ValueError, match="bits=1 is not coded losslessly"):
            call()
    # A quality level is refused for 1-bit samples (tests/python/test_lossy_bounds.py); a step
    # codes them.
    assert ferroglyph.decode_info(ferroglyph.encode(data, 0.01, bits=1))["bit_depth"] == 1


# ---------------------------------------------------------------------------
# Lost data and warnings


def truncated_codestream():
    cs = ferroglyph.encode(image((128, 128, 3), np.uint8))
    return cs[:int(len(cs) * 0.9)]


def test_a_codestream_that_ends_early_is_an_error_by_default():
    with pytest.raises(OpenJphError,
                       match=r"ends after \d+ bytes; its tile-parts declare \d+; .*strict=False"):
        ferroglyph.decode(truncated_codestream())


def test_strict_off_gives_the_image_with_a_warning_at_the_callers_line():
    cut = truncated_codestream()
    with pytest.warns(RuntimeWarning, match="OpenJPH: File terminated early") as caught:
        ferroglyph.decode(cut, strict=False)
    with pytest.warns(RuntimeWarning, match="OpenJPH: File terminated early") as module_caught:
        _openjph.decode(cut)  # the module's own warnings point at its caller as well
    assert {w.filename for w in [*caught, *module_caught]} == {__file__}


def test_warnings_of_an_earlier_decode_are_not_taken_for_this_ones():
    cut = truncated_codestream()
    tiled = ferroglyph.encode(image((600, 600, 3), np.uint8), tile=(256, 256))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ferroglyph.decode(cut, strict=False)
    assert ferroglyph.decode(tiled).shape == (600, 600, 3)


def test_strict_decodes_on_threads_see_only_their_own_losses():
    cut, good = truncated_codestream(), ferroglyph.encode(image((128, 128, 3), np.uint8))
    errors = {"cut": 0, "good": 0}

    def run(data, key):
        for _ in range(20):
            try:
                ferroglyph.decode(data)
            except OpenJphError:
                errors[key] += 1

    threads = [threading.Thread(target=run, args=a) for a in [(cut, "cut"), (good, "good")] * 2]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == {"cut": 40, "good": 0}
