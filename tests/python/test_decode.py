"""decode(): pixels, layouts, reductions, out= targets, failures, warnings, threads."""

import array
import collections
import concurrent.futures
import functools
import struct
import threading
import time
import warnings
import zlib

import numpy as np
import pytest

import codestreams as cst
import ferroglyph
from ferroglyph.codecs._openjph import (
    OpenJphError,
    OpenJphUnsupportedFeature,
    _decode_target,
    decode,
    decode_info,
    encode,
    last_warnings,
)

UNSUPPORTED_OPENING = ("OpenJPH could not read part of this codestream, so the decoded image "
                       "would not match the encoder's: ")
UNSUPPORTED_CLOSING = ". Pass ignore_unsupported=True to decode anyway."
NOT_UNIFORM = ("HTJ2K decode: the components differ in precision, sign, nonlinearity or "
               "subsampling; not supported")
NLT_ZEROS = ("decode: an NLT marker of type 0, or of type 3 on unsigned samples, decodes to "
             "zeros in this OpenJPH version; not supported (rc=8)")
NOT_CONTIGUOUS = "HTJ2K decode: out must be C-contiguous and writable"


def full_range(rng, dtype, shape):
    """Random samples over the whole range of ``dtype``, with both extremes present."""
    info = np.iinfo(dtype)
    a = rng.integers(int(info.min), int(info.max) + 1, shape, dtype=np.int64).astype(dtype)
    flat = a.reshape(-1)
    flat[0], flat[1], flat[-1] = info.min, info.max, info.min
    return a


def planes(arr, interleaved):
    """(C, H, W) view of a decoded or source image."""
    if arr.ndim == 2:
        return arr[None]
    return np.moveaxis(arr, 2, 0) if interleaved else arr


@pytest.fixture(scope="module")
def rgb_image():
    return np.random.default_rng(7).integers(0, 256, (40, 50, 3), dtype=np.uint8)


@pytest.fixture(scope="module")
def rgb_cs(rgb_image):
    """A component-transformed RGB codestream: 40 x 50, 5 decompositions."""
    return encode(rgb_image)


@pytest.fixture(scope="module")
def gray_cs():
    img = np.random.default_rng(8).integers(0, 65536, (33, 47), dtype=np.uint16)
    return img, encode(img)


# ---------------------------------------------------------------------------
# Round trips


@pytest.mark.parametrize("dtype", ["u1", "i1", "u2", "i2", "u4", "i4"])
@pytest.mark.parametrize("layout", ["gray", "rgb", "planar3"])
def test_lossless_round_trip_of_every_integer_type_over_its_full_range(dtype, layout):
    rng = np.random.default_rng(zlib.crc32(f"{dtype}{layout}".encode()))
    shape = {"gray": (29, 31), "rgb": (29, 31, 3), "planar3": (3, 29, 31)}[layout]
    img = full_range(rng, np.dtype(dtype), shape)
    cs = encode(img, planar=layout == "planar3")
    out = decode(cs)
    assert out.dtype == np.dtype(dtype) and out.dtype.isnative
    assert out.shape == img.shape
    np.testing.assert_array_equal(out, img)


FLOAT32_PATTERNS = [
    0x00000000, 0x80000000,  # +0, -0
    0x7F800000, 0xFF800000,  # +Inf, -Inf
    0x7FC00000, 0x7FC00001, 0x7F800001, 0xFFFFFFFF, 0xFFC12345,  # NaNs with payloads
    0x00000001, 0x807FFFFF, 0x00400000,  # denormals
    0x00800000, 0x7F7FFFFF, 0xFF7FFFFF,  # smallest normal, +-FLT_MAX
    0x3F800000, 0xBF800000, 0x40490FDB,
]


@pytest.mark.parametrize("shape", [(9, 11), (9, 11, 3), (2, 9, 11)])
def test_float32_comes_back_bit_exact_including_nan_payloads_infinities_and_denormals(shape):
    rng = np.random.default_rng(3)
    bits = rng.integers(0, 2 ** 32, int(np.prod(shape)), dtype=np.uint64).astype(np.uint32)
    bits[:len(FLOAT32_PATTERNS)] = FLOAT32_PATTERNS
    img = bits.view(np.float32).reshape(shape)
    cs = encode(img)
    info = decode_info(cs)
    assert (info["nlt_type"], info["bit_depth"], info["signed"]) == (3, 32, True)
    out = decode(cs, planar=len(shape) == 3 and shape[0] == 2)
    assert out.dtype == np.float32
    np.testing.assert_array_equal(out.view(np.uint32), img.view(np.uint32))


def test_float32_rgb_without_component_transform_comes_back_planar_by_default():
    img = np.random.default_rng(4).standard_normal((6, 7, 3)).astype(np.float32)
    cs = encode(img)
    assert decode_info(cs)["color_transform"] is False
    assert decode(cs).shape == (3, 6, 7)
    np.testing.assert_array_equal(decode(cs, planar=False).view(np.uint32), img.view(np.uint32))


FLOAT16_PATTERNS = [0x0000, 0x8000, 0x7C00, 0xFC00, 0x7E00, 0x7E01, 0x7C01, 0xFFFF, 0x0001,
                    0x83FF, 0x0400, 0x7BFF, 0xFBFF, 0x3C00, 0xBC00]


def test_nlt3_map_is_what_openjph_applies_on_decode():
    # The helper's model: an int16 codestream with an added NLT type 3 marker
    # decodes to the map of what was coded.
    coded = np.array([[-1, -2, -32768, -12345, 0, 1, 32767, 5]], np.int16)
    cs = cst.with_nlt(encode(coded), cst.ssiz(16, True), 3)
    np.testing.assert_array_equal(decode(cs).view(np.int16), cst.nlt3_map(coded))
    np.testing.assert_array_equal(cst.nlt3_map(cst.nlt3_map(coded)), coded)


@pytest.mark.parametrize("components", [1, 3])
def test_sixteen_bit_nlt3_codestreams_decode_to_exact_float16(components):
    rng = np.random.default_rng(5)
    shape = (12, 13) if components == 1 else (components, 12, 13)
    bits = rng.integers(0, 2 ** 16, int(np.prod(shape)), dtype=np.int64).astype(np.uint16)
    bits[:len(FLOAT16_PATTERNS)] = FLOAT16_PATTERNS
    img = bits.view(np.float16).reshape(shape)
    cs = cst.float16_codestream(encode, img, planar=components > 1, rgb=False)
    assert decode_info(cs)["dtype"] == np.float16
    out = decode(cs)
    assert out.dtype == np.float16 and out.shape == shape
    np.testing.assert_array_equal(out.view(np.uint16), bits.reshape(shape))


@pytest.mark.parametrize("bit_depth", [1, 5, 8, 9, 12, 15, 17, 24, 31])
@pytest.mark.parametrize("signed", [False, True])
def test_odd_precisions_come_back_in_the_next_wider_type_unchanged(bridge, bit_depth, signed):
    size = 1 if bit_depth <= 8 else 2 if bit_depth <= 16 else 4
    dtype = np.dtype(("i" if signed else "u") + str(size))
    lo, hi = ((-(1 << (bit_depth - 1)), (1 << (bit_depth - 1)) - 1) if signed
              else (0, (1 << bit_depth) - 1))
    rng = np.random.default_rng(bit_depth)
    img = rng.integers(lo, hi + 1, (10, 12), dtype=np.int64).astype(dtype)
    img[0, :2] = lo, hi
    cs = bridge.encode(img, bit_depth=bit_depth)
    assert decode_info(cs)["bit_depth"] == bit_depth
    out = decode(cs)
    assert out.dtype == dtype
    np.testing.assert_array_equal(out, img)


# ---------------------------------------------------------------------------
# Layouts and reductions against the 5/3 reference


@pytest.mark.parametrize("shape", [(1, 1), (1, 9), (8, 1), (2, 2), (7, 10), (33, 17)])
def test_reference_wavelet_and_component_transform_are_invertible(shape):
    # Guards the reference model itself: one 5/3 level and the RCT lose nothing.
    x = np.random.default_rng(shape[0] * 100 + shape[1]).integers(-500, 500, (3,) + shape)
    for plane in x:
        ll, (hl, lh, hh) = cst._fwd53_2d(plane)
        assert ll.shape == (cst.reduced_size(shape[0], 1), cst.reduced_size(shape[1], 1))
        np.testing.assert_array_equal(cst._inv53_2d(ll, hl, lh, hh), plane)
    np.testing.assert_array_equal(cst.rct_inverse(cst.rct_forward(x)), x)


@functools.lru_cache(maxsize=None)
def _layout_case(name):
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    if name == "gray":
        img = rng.integers(0, 256, (37, 45), dtype=np.uint8)
        return img, encode(img), False, img[None]
    if name == "rgb_ct":
        img = rng.integers(0, 256, (37, 45, 3), dtype=np.uint8)
        return img, encode(img), True, np.moveaxis(img, 2, 0)
    if name == "rgb_planar_no_ct":
        img = rng.integers(-2 ** 15, 2 ** 15, (3, 37, 45), dtype=np.int64).astype(np.int16)
        return img, encode(img, planar=True, rgb=False), False, img
    if name == "rgba_ct":
        img = rng.integers(0, 2 ** 16, (21, 34, 4), dtype=np.int64).astype(np.uint16)
        return img, encode(img, rgb=True), True, np.moveaxis(img, 2, 0)
    if name == "five_interleaved":
        img = rng.integers(-128, 128, (19, 23, 5), dtype=np.int64).astype(np.int8)
        return img, encode(img, planar=False), False, np.moveaxis(img, 2, 0)
    if name == "seventeen_planar":
        img = rng.integers(0, 256, (17, 16, 20), dtype=np.uint8)
        return img, encode(img, planar=True), False, img
    if name == "rgb_ct_no_decomposition":
        img = rng.integers(0, 256, (13, 15, 3), dtype=np.uint8)
        return img, encode(img, num_decomp=0, rgb=True), True, np.moveaxis(img, 2, 0)
    if name == "tiled_planar":
        img = rng.integers(0, 256, (3, 64, 96), dtype=np.uint8)
        return img, encode(img, planar=True, rgb=False, tile=(32, 32)), False, img
    raise AssertionError(name)


LAYOUT_CASES = ["gray", "rgb_ct", "rgb_planar_no_ct", "rgba_ct", "five_interleaved",
                "seventeen_planar", "rgb_ct_no_decomposition", "tiled_planar"]


def _reference(source_planes, info, data, recon, tile=None):
    kw = dict(bit_depth=info["bit_depth"], signed=info["signed"],
              color_transform=info["color_transform"], data=data, recon=recon)
    if tile is None:
        return cst.reference_reduced(source_planes, **kw)
    c, h, w = source_planes.shape
    rows = []
    for y in range(0, h, tile):
        rows.append(np.concatenate(
            [cst.reference_reduced(source_planes[:, y:y + tile, x:x + tile], **kw)
             for x in range(0, w, tile)], axis=2))
    return np.concatenate(rows, axis=1)


@pytest.mark.parametrize("case", LAYOUT_CASES)
def test_every_reduction_has_decode_info_shape_and_5_3_reference_pixels(case):
    _img, cs, ct, source = _layout_case(case)
    full = decode_info(cs)
    assert full["color_transform"] is ct
    interleaved = full["components"] > 1 and ct
    for r in range(full["num_decompositions"] + 1):
        info = decode_info(cs, reduce=r)
        out = decode(cs, reduce=r)
        c = info["components"]
        expected_shape = ((info["height"], info["width"]) if c == 1
                          else (info["height"], info["width"], c) if interleaved
                          else (c, info["height"], info["width"]))
        assert out.shape == expected_shape, r
        assert out.dtype == info["dtype"]
        ref = _reference(source, full, r, r, tile=32 if case == "tiled_planar" else None)
        np.testing.assert_array_equal(planes(out, interleaved), ref, err_msg=f"reduce={r}")
        if r == 0:
            np.testing.assert_array_equal(planes(out, interleaved), source)
    with pytest.raises(OpenJphError, match=r"^decode_info: reduce exceeds the codestream's "
                                           r"decomposition count \(rc=4\)$"):
        decode(cs, reduce=full["num_decompositions"] + 1)


@pytest.mark.parametrize("case", LAYOUT_CASES)
@pytest.mark.parametrize("planar", [None, True, False])
def test_layout_follows_planar_and_the_component_transform(case, planar):
    _img, cs, ct, source = _layout_case(case)
    r = min(1, decode_info(cs)["num_decompositions"])
    out = decode(cs, planar=planar, reduce=r)
    info = decode_info(cs, reduce=r)
    c, h, w = info["components"], info["height"], info["width"]
    want_planar = (not ct) if planar is None else planar
    if c == 1:
        assert out.shape == (h, w)
    elif want_planar:
        assert out.shape == (c, h, w)
    else:
        assert out.shape == (h, w, c)
    assert out.flags.c_contiguous
    ref = _reference(source, decode_info(cs), r, r, tile=32 if case == "tiled_planar" else None)
    np.testing.assert_array_equal(planes(out, c > 1 and not want_planar), ref)


@pytest.mark.parametrize("which", ["gray", "rgb"])
def test_skipres_pairs_give_recon_sized_images_from_data_resolutions(which, rgb_image, rgb_cs,
                                                                     gray_cs):
    if which == "gray":
        img, cs = gray_cs
        source, ct = img[None], False
    else:
        img, cs, source, ct = rgb_image, rgb_cs, np.moveaxis(rgb_image, 2, 0), True
    full = decode_info(cs)
    levels = full["num_decompositions"]
    for data in range(levels + 1):
        for recon in range(data + 1):
            info = decode_info(cs, skipres=(data, recon))
            out = decode(cs, skipres=(data, recon), planar=True)
            assert out.shape[-2:] == (info["height"], info["width"])
            assert (info["height"], info["width"]) == (
                cst.reduced_size(img.shape[0], recon), cst.reduced_size(img.shape[1], recon))
            ref = cst.reference_reduced(source, full["bit_depth"], full["signed"],
                                        color_transform=ct, data=data, recon=recon)
            np.testing.assert_array_equal(planes(out, False), ref,
                                          err_msg=f"skipres=({data}, {recon})")


def test_reduce_and_skipres_spellings_agree(rgb_cs):
    by_reduce = decode(rgb_cs, reduce=2)
    for kw in ({"skipres": 2}, {"skipres": (2, 2)}, {"skipres": [2, 2]},
               {"reduce": 2, "skipres": 2}, {"reduce": 2, "skipres": (2, 2)},
               {"reduce": 0, "skipres": 2}, {"skipres": np.int64(2)}):
        np.testing.assert_array_equal(decode(rgb_cs, **kw), by_reduce, err_msg=str(kw))


@pytest.mark.parametrize("kw, message", [
    ({"reduce": 1, "skipres": 2}, "reduce=1 and skipres=2 disagree; pass one"),
    ({"reduce": 2, "skipres": (2, 1)}, "reduce=2 and skipres=(2, 1) disagree; pass one"),
    ({"reduce": -1}, "reduce must be >= 0, got -1"),
    ({"skipres": (-1, 0)}, "skipres must be >= 0, got (-1, 0)"),
    ({"skipres": (1, 3)}, "skipres: the reconstruction cannot skip more resolutions (3) than are "
                          "left unread (1)"),
])
def test_bad_reductions_are_value_errors_from_decode(rgb_cs, kw, message):
    with pytest.raises(ValueError) as exc:
        decode(rgb_cs, **kw)
    assert str(exc.value) == message


def test_skipres_beyond_the_decomposition_count_fails_in_the_header_read(rgb_cs):
    with pytest.raises(OpenJphError, match=r"^decode_info: reduce exceeds .*\(rc=4\)$"):
        decode(rgb_cs, skipres=(6, 0))


# ---------------------------------------------------------------------------
# NLT


def test_eight_bit_nlt3_has_no_float_type_even_with_ignore_unsupported():
    cs = cst.with_nlt(encode(np.zeros((4, 4), np.int8)), cst.ssiz(8, True), 3)
    for ignore in (False, True):
        with pytest.raises(OpenJphUnsupportedFeature, match="^HTJ2K decode: an NLT type 3 "
                           "component of 8 bits or fewer has no floating point type to return$"):
            decode(cs, ignore_unsupported=ignore)


def lut_nlt_codestream():
    """An irreversible 16-bit codestream with an NLT type 2 (lookup table) marker."""
    img = np.tile(np.arange(0, 65536, 1024, dtype=np.uint16), (8, 1))
    cs = encode(img, reversible=False, level=0.0001)
    # Cnlt, BDnlt, Tnlt, then (number of points - 1), Dmin, Dmax, PTval, points.
    payload = struct.pack(">HBBHIIB", 0xFFFF, cst.ssiz(16, False), 2, 1, 0, 65535, 16)
    payload += np.array([0, 65535], ">u2").tobytes()
    return cst.insert_before_first_sot(cs, cst.segment(cst.NLT, payload))


def test_other_nlt_types_are_refused_unless_ignore_unsupported():
    cs = lut_nlt_codestream()
    assert decode_info(cs)["nlt_type"] == 2
    with pytest.raises(OpenJphUnsupportedFeature) as exc:
        decode(cs)
    assert str(exc.value) == ("HTJ2K decode: nonlinearity (NLT) type 2 is not supported; the "
                              "samples would come back without it applied")
    out = decode(cs, ignore_unsupported=True)
    assert out.dtype == np.uint16 and out.shape == (8, 64)


@pytest.mark.parametrize("name, source, bdnlt, nlt_type, component", [
    ("explicit type 0 for all components", np.uint8, cst.ssiz(8, False), 0, 0xFFFF),
    ("explicit type 0 for component 0", np.uint8, cst.ssiz(8, False), 0, 0),
    ("explicit type 0 on signed samples", np.int16, cst.ssiz(16, True), 0, 0xFFFF),
    ("type 3 on unsigned 16-bit samples", np.uint16, cst.ssiz(16, False), 3, 0xFFFF),
    ("type 3 on unsigned 32-bit samples", np.uint32, cst.ssiz(32, False), 3, 0xFFFF),
])
def test_nlt_settings_that_openjph_decodes_to_zeros_are_refused(name, source, bdnlt, nlt_type,
                                                                 component):
    img = np.arange(1, 13, dtype=source).reshape(3, 4)
    cs = cst.with_nlt(encode(img), bdnlt, nlt_type, component)
    with pytest.raises(OpenJphError) as exc:
        decode(cs)
    assert str(exc.value) == NLT_ZEROS
    assert type(exc.value) is OpenJphError
    # The header read accepts these codestreams; an explicit type 0 reads as no NLT.
    info = decode_info(cs)
    assert info["uniform"] is True
    assert info["nlt_type"] == nlt_type


@pytest.mark.parametrize("source, bdnlt, nlt_type", [
    (np.uint8, cst.ssiz(8, False), 0),
    (np.uint16, cst.ssiz(16, False), 3),
])
def test_nlt_that_openjph_decodes_to_zeros_is_refused_by_decode_only(source, bdnlt, nlt_type):
    # The header read reports what the header says; only the decode, which
    # would return zeros, refuses.
    cs = cst.with_nlt(encode(np.ones((3, 4), source)), bdnlt, nlt_type)
    with pytest.raises(OpenJphError, match=r"decodes to zeros .*\(rc=8\)$"):
        decode(cs)
    info = decode_info(cs)
    assert info["nlt_type"] == nlt_type and info["uniform"]


def test_nlt_depth_that_disagrees_with_siz_is_an_openjph_error():
    cs = cst.with_nlt(encode(np.zeros((4, 4), np.int16)), cst.ssiz(12, True), 3)
    with pytest.raises(OpenJphError, match=r"^decode: Mismatch between Ssiz .* \(rc=5\)$"):
        decode(cs)


# ---------------------------------------------------------------------------
# Input forms and argument conversion


def test_every_input_form_decodes_alike(rgb_cs):
    class Sub(bytes):
        pass

    want = decode(rgb_cs)
    for data in (bytearray(rgb_cs), memoryview(rgb_cs), np.frombuffer(rgb_cs, np.uint8),
                 Sub(rgb_cs), array.array("B", rgb_cs), list(rgb_cs),
                 memoryview(b"\0" + rgb_cs)[1:]):
        np.testing.assert_array_equal(decode(data), want, err_msg=type(data).__name__)
    np.testing.assert_array_equal(decode(data=rgb_cs), want)


@pytest.mark.parametrize("empty", [b"", bytearray(), memoryview(b""), np.zeros(0, np.uint8)])
def test_empty_input_is_reported_after_the_reduction_check(empty):
    with pytest.raises(OpenJphError) as exc:
        decode(empty)
    assert str(exc.value) == "decode: empty input"
    with pytest.raises(ValueError, match=r"^reduce must be >= 0, got -1$"):
        decode(empty, reduce=-1)


def test_argument_conversion_errors(rgb_cs):
    with pytest.raises(TypeError, match="an integer is required"):
        decode(rgb_cs, reduce=None)
    with pytest.raises(OverflowError):
        decode(rgb_cs, reduce=2 ** 31)
    with pytest.raises(OverflowError):
        decode(rgb_cs, skipres=(2 ** 40, 0))
    with pytest.raises(TypeError):
        decode(rgb_cs, 1)
    with pytest.raises(TypeError):
        decode(rgb_cs, colour=True)
    with pytest.raises(TypeError):
        decode(None)
    # The reduction is checked before the input is looked at.
    with pytest.raises(ValueError):
        decode(None, reduce=-3)


def test_garbage_is_an_openjph_error_from_the_header_read():
    with pytest.raises(OpenJphError, match=r"^decode_info: .*\(rc=2\)$"):
        decode(b"\x00" * 64)


def test_invalid_progression_order_is_refused_before_openjph_aborts(rgb_cs):
    cs = cst.set_progression_order(rgb_cs, 5)
    for call in (decode, decode_info):
        with pytest.raises(OpenJphError) as exc:
            call(cs)
        assert str(exc.value) == ("decode_info: invalid progression order 5 in the COD marker "
                                  "segment (rc=2)")


# ---------------------------------------------------------------------------
# Failure order


def non_uniform_nlt3_int8():
    """Three int8 components, NLT type 3 on component 0 only: not uniform, and
    component 0 alone would have no output dtype either."""
    cs = encode(np.zeros((3, 8, 8), np.int8), planar=True, rgb=False)
    return cst.with_nlt(cs, cst.ssiz(8, True), 3, component=0)


def test_uniformity_is_checked_before_the_output_dtype():
    cs = non_uniform_nlt3_int8()
    info = decode_info(cs)
    assert (info["uniform"], info["nlt_type"], info["dtype"]) == (False, 3, None)
    with pytest.raises(OpenJphError) as exc:
        decode(cs, out=[])
    assert type(exc.value) is OpenJphError and str(exc.value) == NOT_UNIFORM


@pytest.mark.parametrize("make, exc_type", [
    (non_uniform_nlt3_int8, OpenJphError),
    (lambda: cst.with_nlt(encode(np.zeros((4, 4), np.int8)), cst.ssiz(8, True), 3),
     OpenJphUnsupportedFeature),
    (lambda: b"\xff\x4f\xff\x51", OpenJphError),
])
def test_codestream_failures_come_before_out_validation(make, exc_type):
    with pytest.raises(exc_type):
        decode(make(), out=["not", "a", "buffer"])


def test_out_is_untouched_when_validation_fails(rgb_cs):
    wrong_dtype = np.full((40, 50, 3), 77, np.int8)
    wrong_shape = np.full((3, 40, 50), 77, np.uint8)
    for out in (wrong_dtype, wrong_shape):
        with pytest.raises(ValueError):
            decode(rgb_cs, out=out)
        assert (out == 77).all()
    too_long = bytearray(b"\x55" * (40 * 50 * 3 + 1))
    with pytest.raises(ValueError):
        decode(rgb_cs, out=too_long)
    assert too_long == bytearray(b"\x55" * len(too_long))


# ---------------------------------------------------------------------------
# out= targets


def test_out_ndarray_is_filled_and_returned_itself(rgb_cs, rgb_image):
    out = np.zeros((40, 50, 3), np.uint8)
    assert decode(rgb_cs, out=out) is out
    np.testing.assert_array_equal(out, rgb_image)
    planar = np.zeros((3, 20, 25), np.uint8)
    assert decode(rgb_cs, out=planar, planar=True, reduce=1) is planar
    np.testing.assert_array_equal(planar, decode(rgb_cs, planar=True, reduce=1))
    # One-byte items have no byte order: a '>u1' array is a uint8 array.
    big_endian = np.zeros((40, 50, 3), np.dtype("u1").newbyteorder(">"))
    assert decode(rgb_cs, out=big_endian) is big_endian


def test_out_buffer_is_written_through(rgb_cs, rgb_image):
    buf = bytearray(40 * 50 * 3)
    got = decode(rgb_cs, out=buf)
    assert got.shape == (40, 50, 3) and got.dtype == np.uint8
    np.testing.assert_array_equal(np.frombuffer(buf, np.uint8).reshape(40, 50, 3), rgb_image)
    got[0, 0, 0] ^= 0xFF
    assert buf[0] == rgb_image[0, 0, 0] ^ 0xFF
    # Only the byte count matters for a plain buffer.
    words = array.array("H", bytes(40 * 50 * 3))
    decode(rgb_cs, out=words)
    assert words.tobytes() == rgb_image.tobytes()


def test_float_output_is_a_view_of_its_integer_carrier():
    img = np.random.default_rng(9).standard_normal((5, 6)).astype(np.float32)
    cs = encode(img)
    out = decode(cs)
    assert out.dtype == np.float32
    assert isinstance(out.base, np.ndarray) and out.base.dtype == np.int32
    assert out.base.base is None
    np.testing.assert_array_equal(out.base, img.view(np.int32))
    mine = np.empty((5, 6), np.float32)
    assert decode(cs, out=mine) is mine
    np.testing.assert_array_equal(mine.view(np.int32), img.view(np.int32))
    with pytest.raises(ValueError) as exc:
        decode(cs, out=np.empty((5, 6), np.int32))
    assert str(exc.value) == ("HTJ2K decode: out.dtype=int32 does not match the output dtype "
                              "float32")
    buf = bytearray(5 * 6 * 4)
    got = decode(cs, out=buf)
    assert got.dtype == np.float32 and bytes(buf) == img.tobytes()


def test_float16_output_into_a_bytearray():
    img = np.linspace(-3, 3, 20, dtype=np.float16).reshape(4, 5)
    cs = cst.float16_codestream(encode, img)
    buf = bytearray(40)
    got = decode(cs, out=buf)
    assert got.dtype == np.float16 and bytes(buf) == img.tobytes()


@pytest.mark.parametrize("out, exc_type, message", [
    (np.zeros((40, 100, 3), np.uint8)[:, ::2], ValueError, NOT_CONTIGUOUS),
    (np.zeros((40, 50, 3), np.uint8, order="F"), ValueError, NOT_CONTIGUOUS),
    (np.zeros((40, 50, 3), np.uint16), ValueError,
     "HTJ2K decode: out.dtype=uint16 does not match the output dtype uint8"),
    (np.zeros((40, 50), np.uint8), ValueError,
     "HTJ2K decode: out.shape=(40, 50) does not match the output shape (40, 50, 3)"),
    (np.zeros(6000, np.uint8), ValueError,
     "HTJ2K decode: out.shape=(6000,) does not match the output shape (40, 50, 3)"),
    (bytes(6000), ValueError, NOT_CONTIGUOUS),
    (bytearray(6001), ValueError, "HTJ2K decode: out holds 6001 bytes; the output needs 6000"),
    (bytearray(5999), ValueError, "HTJ2K decode: out holds 5999 bytes; the output needs 6000"),
    (memoryview(bytearray(12000))[::2], ValueError, NOT_CONTIGUOUS),
    ([0] * 6000, TypeError, "HTJ2K decode: out must be an ndarray or a writable buffer, got list"),
    (7, TypeError, "HTJ2K decode: out must be an ndarray or a writable buffer, got int"),
])
def test_out_mismatches_through_decode(rgb_cs, out, exc_type, message):
    with pytest.raises(exc_type) as exc:
        decode(rgb_cs, out=out)
    assert str(exc.value) == message


def test_read_only_or_byte_swapped_ndarray_out_is_refused(gray_cs):
    img, cs = gray_cs
    read_only = np.zeros(img.shape, np.uint16)
    read_only.flags.writeable = False
    with pytest.raises(ValueError) as exc:
        decode(cs, out=read_only)
    assert str(exc.value) == NOT_CONTIGUOUS
    swapped = np.zeros(img.shape, np.dtype("u2").newbyteorder("S"))
    with pytest.raises(ValueError) as exc:
        decode(cs, out=swapped)
    assert str(exc.value) == (f"HTJ2K decode: out.dtype={swapped.dtype} does not match the "
                              "output dtype uint16")
    assert not swapped.any()


@pytest.mark.parametrize("out, shape, dtype, message", [
    (np.zeros((512, 512), np.uint8), (512, 512, 1), "u1",
     "HTJ2K decode: out.shape=(512, 512) does not match the output shape (512, 512, 1)"),
    (np.zeros((4, 4), ">u2"), (4, 4), "=u2",
     "HTJ2K decode: out.dtype=>u2 does not match the output dtype uint16"),
    (np.zeros((4, 4), np.uint8), (4, 4), "u2",
     "HTJ2K decode: out.dtype=uint8 does not match the output dtype uint16"),
    (np.zeros((4, 4), np.float32), [4, 4], "i4",
     "HTJ2K decode: out.dtype=float32 does not match the output dtype int32"),
])
def test_decode_target_ndarray_messages(out, shape, dtype, message):
    with pytest.raises(ValueError) as exc:
        _decode_target(out, shape, np.dtype(dtype))
    assert str(exc.value) == message


def test_decode_target_type_error_has_no_chained_context():
    with pytest.raises(TypeError) as exc:
        _decode_target([1, 2, 3, 4], (2, 2), np.dtype("u1"))
    assert str(exc.value) == "HTJ2K decode: out must be an ndarray or a writable buffer, got list"
    assert exc.value.__cause__ is None
    assert exc.value.__context__ is None or exc.value.__suppress_context__


def test_decode_target_type_error_names_the_type_by_its_name():
    with pytest.raises(TypeError) as exc:
        _decode_target(collections.deque(), (2, 2), np.dtype("u1"))
    assert str(exc.value) == ("HTJ2K decode: out must be an ndarray or a writable buffer, "
                              "got deque")


def test_decode_target_views_buffers_with_the_output_shape_and_dtype():
    buf = array.array("H", [0] * 8)
    got = _decode_target(buf, (4, 4), np.dtype("u1"))
    assert got.shape == (4, 4) and got.dtype == np.uint8 and got.flags.writeable
    got[3, 3] = 0xAB
    assert buf.tobytes()[15] == 0xAB
    same = np.zeros((2, 3), np.int16)
    assert _decode_target(same, (2, 3), np.dtype("i2")) is same


# ---------------------------------------------------------------------------
# OpenJPH warnings


SKIP_SEGMENTS = [("RGN", cst.RGN_NOOP), ("POC", cst.POC_NOOP), ("PPM", cst.PPM_EMPTY)]


def unsupported_message(*lines):
    return UNSUPPORTED_OPENING + "; ".join(sorted(set(lines))) + UNSUPPORTED_CLOSING


@pytest.mark.parametrize("name, seg", SKIP_SEGMENTS)
def test_skipped_main_header_segment_raises_unless_ignored(rgb_cs, rgb_image, name, seg):
    cs = cst.insert_before_first_sot(rgb_cs, seg)
    line = cst.SKIP_WARNINGS[name]
    with pytest.raises(OpenJphUnsupportedFeature) as exc:
        decode(cs)
    assert str(exc.value) == unsupported_message(line)
    # Read once by the header step and once by the decode step.
    assert last_warnings().split("\n") == [line, line]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = decode(cs, ignore_unsupported=True)
    np.testing.assert_array_equal(out, rgb_image)
    assert last_warnings().split("\n") == [line, line]


@pytest.mark.parametrize("marker", [cst.COD, cst.QCD])
def test_skipped_tile_header_segment_raises_unless_ignored(rgb_cs, rgb_image, marker):
    cs = cst.copy_into_first_tile_header(rgb_cs, marker)
    line = cst.TILE_SKIP_WARNINGS[marker]
    with pytest.raises(OpenJphUnsupportedFeature) as exc:
        decode(cs, out=np.zeros((40, 50, 3), np.uint8))
    assert str(exc.value) == unsupported_message(line)
    assert last_warnings() == line  # raised while tiles are read, once
    np.testing.assert_array_equal(decode(cs, ignore_unsupported=True), rgb_image)


def mixed_warning_codestream(rgb_cs):
    cs = cst.set_rsiz(rgb_cs, 0xC001)
    cs = cst.insert_before_first_sot(cs, cst.RGN_NOOP, cst.POC_NOOP)
    return cst.copy_into_first_tile_header(cs, cst.QCD)


def test_unsupported_lines_are_distinct_and_sorted_and_other_warnings_stay_warnings(
        rgb_cs, rgb_image):
    cs = mixed_warning_codestream(rgb_cs)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(OpenJphUnsupportedFeature) as exc:
            decode(cs)
    assert caught == []
    assert str(exc.value) == (UNSUPPORTED_OPENING + "POC is not supported yet; QCD marker segment"
                              " in a tile is not supported yet; RGN is not supported yet"
                              + UNSUPPORTED_CLOSING)
    raw = last_warnings().split("\n")
    assert raw.count(cst.RSIZ_WARNING) == 2 and raw.count("RGN is not supported yet") == 2
    assert raw.count(cst.TILE_SKIP_WARNINGS[cst.QCD]) == 1

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = decode(cs, ignore_unsupported=True)
    np.testing.assert_array_equal(out, rgb_image)
    assert [(w.category, str(w.message)) for w in caught] == [
        (RuntimeWarning, "OpenJPH: " + cst.RSIZ_WARNING)]


@pytest.mark.parametrize("edit, line", [
    (lambda cs: cst.set_rsiz(cs, 0xC001), cst.RSIZ_WARNING),
    # Says "Unsupported", but not "not supported": a warning, not a skipped segment.
    (cst.with_unknown_scoc_option, cst.SCOC_WARNING),
])
def test_a_plain_warning_is_issued_once_and_the_image_returned(rgb_cs, rgb_image, edit, line):
    cs = edit(rgb_cs)
    with pytest.warns(RuntimeWarning) as caught:
        out = decode(cs)
    assert [str(w.message) for w in caught] == ["OpenJPH: " + line]
    np.testing.assert_array_equal(out, rgb_image)
    assert last_warnings() == line + "\n" + line


def test_warning_filter_error_turns_the_warning_into_an_exception(rgb_cs):
    cs = cst.set_rsiz(rgb_cs, 0xC001)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="^OpenJPH: Rsiz in SIZ has unimplemented fields$"):
            decode(cs)
    assert cst.RSIZ_WARNING in last_warnings()


@pytest.mark.parametrize("edit", ["rsiz", "rgn", "tile_qcd", "truncated"])
def test_a_tile_decode_fails_on_any_warning(rgb_cs, edit):
    cs = {"rsiz": lambda: cst.set_rsiz(rgb_cs, 0xC001),
          "rgn": lambda: cst.insert_before_first_sot(rgb_cs, cst.RGN_NOOP),
          "tile_qcd": lambda: cst.copy_into_first_tile_header(rgb_cs, cst.QCD),
          "truncated": lambda: rgb_cs[:-3]}[edit]()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(OpenJphError) as exc:
            decode(cs, _tile=True, numthreads=1)
    assert type(exc.value) is OpenJphError
    assert str(exc.value) == "decode: OpenJPH warned about a tile"
    assert last_warnings() != ""


def test_a_clean_tile_decode_succeeds_and_clears_old_warnings(rgb_cs, rgb_image):
    with pytest.warns(RuntimeWarning):
        decode(cst.set_rsiz(rgb_cs, 0xC001))
    np.testing.assert_array_equal(decode(rgb_cs, _tile=True, numthreads=1), rgb_image)
    assert last_warnings() == ""


def test_truncated_codestream_warns_that_the_file_ended_early(rgb_cs):
    cut = rgb_cs[:len(rgb_cs) - 40]
    with pytest.warns(RuntimeWarning) as caught:
        out = decode(cut)
    assert "OpenJPH: File terminated early" in [str(w.message) for w in caught]
    assert "File terminated early" in last_warnings().split("\n")
    assert out.shape == (40, 50, 3)


def test_resilient_decode_of_a_damaged_codestream_warns_instead_of_failing(rgb_cs):
    cut = cst.truncate_tile_data(rgb_cs, 0.3)
    with pytest.raises(OpenJphError, match=r"^decode: .*\(rc=5\)$"):
        decode(cut)
    with pytest.warns(RuntimeWarning):
        out = decode(cut, resilient=True)
    assert out.shape == (40, 50, 3)


def test_decode_info_never_warns_but_records(rgb_cs):
    cs = mixed_warning_codestream(rgb_cs)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        info = decode_info(cs)
    assert info["dtype"] == np.uint8
    # Only the main header is read: each header warning once, no tile warning.
    assert sorted(last_warnings().split("\n")) == sorted(
        [cst.RSIZ_WARNING, "RGN is not supported yet", "POC is not supported yet"])
    decode_info(rgb_cs)
    assert last_warnings() == ""


# ---------------------------------------------------------------------------
# Threads and the interpreter lock


@pytest.fixture(scope="module")
def big_lossless():
    img = np.random.default_rng(11).integers(0, 256, (4096, 4096), dtype=np.uint8)
    return img, encode(img)


def test_the_interpreter_lock_is_released_while_decoding(big_lossless):
    img, cs = big_lossless
    buf = bytearray(cs)
    stamps = []
    refused_resizes = [0]
    stop = threading.Event()

    def other_thread():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 256 == 0:
                stamps.append(time.perf_counter())
                # The input stays exported while the lock is released.
                try:
                    buf.append(0)
                    del buf[-1]
                except BufferError:
                    refused_resizes[0] += 1

    worker = threading.Thread(target=other_thread)
    worker.start()
    try:
        while not stamps:
            time.sleep(0.001)
        seen_mid = 0
        for _ in range(3):
            before = len(stamps)
            t0 = time.perf_counter()
            out = decode(buf)
            t1 = time.perf_counter()
            mid = (t0 + 0.25 * (t1 - t0), t0 + 0.75 * (t1 - t0))
            seen_mid += sum(mid[0] < s < mid[1] for s in stamps[before:])
    finally:
        stop.set()
        worker.join()
    np.testing.assert_array_equal(out, img)
    # Were the lock held, the other thread could run only before the call or
    # after it returned, never in the middle of the decode.
    assert seen_mid >= 10
    assert refused_resizes[0] > 0


def test_concurrent_decodes_keep_their_own_pixels_and_warnings(rgb_cs, rgb_image):
    warned_cs = cst.insert_before_first_sot(rgb_cs, cst.RGN_NOOP, cst.POC_NOOP)
    rng = np.random.default_rng(12)
    images = [rng.integers(0, 65536, (96, 80), dtype=np.uint16) for _ in range(3)]
    jobs = [(encode(im), im, False) for im in images] + [(warned_cs, rgb_image, True)]
    barrier = threading.Barrier(len(jobs))

    def run(job):
        cs, want, warned = job
        barrier.wait()
        results = []
        for _ in range(6):
            out = decode(cs, ignore_unsupported=warned)
            results.append((np.array_equal(out, want), last_warnings()))
        return warned, results

    with concurrent.futures.ThreadPoolExecutor(len(jobs)) as pool:
        outcomes = list(pool.map(run, jobs))
    expected_warned = sorted(["RGN is not supported yet", "POC is not supported yet"] * 2)
    for warned, results in outcomes:
        for same, text in results:
            assert same
            if warned:
                assert sorted(text.split("\n")) == expected_warned
            else:
                assert text == ""


# Steps whose QCD step sizes hold the bytes FF 52 or FF 53 followed by one with
# the high bit set, which read as a COD or COC naming a DFS segment: the DFS
# check refused these codestreams that ferroglyph itself had just written.
@pytest.mark.parametrize("shape, dtype, step, bits", [
    ((108, 166), np.uint16, 0.04967246578413046, 12),
    ((16, 16), np.uint8, 0.005848246766104098, None),
    ((16, 16, 3), np.uint8, 0.004873713023818524, None),
    ((16, 16), np.uint16, 0.005360558196405502, None),
])
def test_step_sizes_that_look_like_a_dfs_reference_decode(shape, dtype, step, bits):
    image = np.random.default_rng(3).integers(0, 200, shape).astype(dtype)
    cs = ferroglyph.encode(image, step, bits=bits)
    qcd = cst.main_segment(cs, cst.QCD)
    assert b"\xff\x52" in qcd or b"\xff\x53" in qcd
    assert ferroglyph.decode_info(cs)["num_decompositions"] == 5
    decoded = ferroglyph.decode(cs).astype(np.int64)
    # Within about a quantization step (relative to the samples' range) of the input.
    assert np.abs(decoded - image).mean() < step * 2 ** (bits or 8 * image.itemsize)
