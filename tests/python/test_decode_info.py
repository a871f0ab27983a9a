"""decode_info() and the two helpers every decode shares: _reductions, _output_dtype."""

import array
import struct
import warnings

import numpy as np
import pytest

import codestreams as cst
from ferroglyph.codecs._openjph import (
    OpenJphError,
    OpenJphUnsupportedFeature,
    _output_dtype,
    _reductions,
    decode,
    decode_info,
    encode,
    last_warnings,
)

KEYS = ["width", "height", "components", "bit_depth", "signed", "num_decompositions",
        "color_transform", "nlt_type", "uniform", "dtype"]
BOOL_KEYS = {"signed", "color_transform", "uniform"}


def _codestream(kind, bridge=None):
    rng = np.random.default_rng(21)
    if kind == "gray8":
        return encode(rng.integers(0, 256, (70, 100), dtype=np.uint8))
    if kind == "rgb8":
        return encode(rng.integers(0, 256, (70, 100, 3), dtype=np.uint8))
    if kind == "planar_i16":
        return encode(rng.integers(-9, 9, (4, 70, 100), dtype=np.int16), planar=True)
    if kind == "float32":
        return encode(rng.standard_normal((70, 100)).astype(np.float32))
    if kind == "float16":
        return cst.float16_codestream(encode, np.ones((70, 100), np.float16))
    if kind == "u12":
        return bridge.encode(np.zeros((70, 100), np.uint16), bit_depth=12, num_decomp=3)
    if kind == "nlt3_8bit":
        return cst.with_nlt(encode(np.zeros((70, 100), np.int8)), cst.ssiz(8, True), 3)
    raise AssertionError(kind)


INFO_CASES = {
    # kind: (components, bit_depth, signed, levels, color_transform, nlt_type, dtype)
    "gray8": (1, 8, False, 5, False, 0, np.dtype("u1")),
    "rgb8": (3, 8, False, 5, True, 0, np.dtype("u1")),
    "planar_i16": (4, 16, True, 5, False, 0, np.dtype("i2")),
    "float32": (1, 32, True, 5, False, 3, np.dtype("f4")),
    "float16": (1, 16, True, 5, False, 3, np.dtype("f2")),
    "u12": (1, 12, False, 3, False, 0, np.dtype("u2")),
    "nlt3_8bit": (1, 8, True, 5, False, 3, None),
}


@pytest.mark.parametrize("kind", list(INFO_CASES))
def test_ten_keys_in_order_with_their_types_and_values(bridge, kind):
    info = decode_info(_codestream(kind, bridge))
    assert list(info) == KEYS
    for key, value in info.items():
        if key in BOOL_KEYS:
            assert type(value) is bool, key
        elif key == "dtype":
            assert value is None or type(value) is type(np.dtype(value)), key
        else:
            assert type(value) is int, key
    comps, depth, signed, levels, ct, nlt, dtype = INFO_CASES[kind]
    assert info == {"width": 100, "height": 70, "components": comps, "bit_depth": depth,
                    "signed": signed, "num_decompositions": levels, "color_transform": ct,
                    "nlt_type": nlt, "uniform": True, "dtype": dtype}


@pytest.mark.parametrize("kind", ["gray8", "rgb8", "planar_i16", "u12"])
def test_sizes_at_every_reduction_match_decode(bridge, kind):
    cs = _codestream(kind, bridge)
    levels = decode_info(cs)["num_decompositions"]
    for r in range(levels + 1):
        info = decode_info(cs, reduce=r)
        assert info["num_decompositions"] == levels
        assert (info["height"], info["width"]) == (cst.reduced_size(70, r),
                                                   cst.reduced_size(100, r))
        assert decode(cs, reduce=r, planar=True).shape[-2:] == (info["height"], info["width"])
        assert decode_info(cs, skipres=(r, 0))["width"] == 100
    with pytest.raises(OpenJphError) as exc:
        decode_info(cs, reduce=levels + 1)
    assert str(exc.value) == ("decode_info: reduce exceeds the codestream's decomposition count "
                              "(rc=4)")


def test_a_thousand_by_seven_hundred_image_halves_at_reduce_one():
    cs = encode(np.zeros((700, 1000), np.uint8))
    info = decode_info(cs, reduce=1)
    assert (info["width"], info["height"]) == (500, 350)
    assert decode(cs, reduce=1).shape == (350, 500)


def test_a_reduction_that_leaves_no_samples_is_an_error():
    # One column at x = 33: at half resolution the image spans ceil(34/2) -
    # ceil(33/2) = 0 columns.
    cs = bytearray(encode(np.zeros((8, 34), np.uint8)))
    struct.pack_into(">I", cs, 16, 33)  # XOsiz
    cs = bytes(cs)
    assert decode_info(cs)["width"] == 1
    for call in (decode_info, decode):
        with pytest.raises(OpenJphError) as exc:
            call(cs, reduce=1)
        assert str(exc.value) == "decode_info: reduce leaves a zero-sized image (rc=4)"


def _three_planes():
    return encode(np.zeros((3, 20, 30), np.uint8), planar=True, rgb=False)


NON_UNIFORM = {
    "precision of one component": lambda: cst.set_component_ssiz(_three_planes(), 1, 0x06),
    "sign of one component": lambda: cst.set_component_ssiz(_three_planes(), 2, 0x87),
    "one component subsampled": lambda: cst.set_subsampling(_three_planes(), 1, 2, 2),
    "all components subsampled alike": lambda: cst.set_subsampling(cst.set_subsampling(
        cst.set_subsampling(_three_planes(), 0, 2, 1), 1, 2, 1), 2, 2, 1),
    "NLT on one component": lambda: cst.with_nlt(
        encode(np.zeros((3, 20, 30), np.int16), planar=True, rgb=False),
        cst.ssiz(16, True), 3, component=1),
}


@pytest.mark.parametrize("name", list(NON_UNIFORM))
def test_non_uniform_codestreams_report_no_dtype_and_decode_refuses(name):
    cs = NON_UNIFORM[name]()
    info = decode_info(cs)
    assert info["uniform"] is False and info["dtype"] is None
    # The other facts describe component 0.
    assert info["components"] == 3 and info["bit_depth"] in (8, 16)
    with pytest.raises(OpenJphError) as exc:
        decode(cs)
    assert type(exc.value) is OpenJphError
    assert str(exc.value) == ("HTJ2K decode: the components differ in precision, sign, "
                              "nonlinearity or subsampling; not supported")


@pytest.mark.parametrize("ssiz, depth", [(0xA0, 33), (0xA2, 35), (0x25, 38)])
def test_precision_beyond_32_bits_reports_no_dtype_and_decode_refuses(ssiz, depth):
    cs = cst.set_all_ssiz(encode(np.zeros((6, 6), np.int32)), ssiz)
    info = decode_info(cs)
    assert (info["bit_depth"], info["uniform"], info["dtype"]) == (depth, True, None)
    with pytest.raises(OpenJphError) as exc:
        decode(cs)
    assert str(exc.value) == f"HTJ2K decode: unsupported bit depth {depth}"


def test_input_forms_give_equal_results():
    cs = _codestream("rgb8")
    want = decode_info(cs, reduce=2)
    # An ndarray of wider items contributes its raw bytes (a trailing pad byte
    # after the end-of-codestream marker changes nothing).
    wide = np.frombuffer(cs + b"\0" * (len(cs) % 2), np.uint16)
    for data in (bytearray(cs), memoryview(cs), np.frombuffer(cs, np.uint8), array.array("B", cs),
                 wide):
        assert decode_info(data, reduce=2) == want, type(data).__name__
    assert decode_info(data=cs, reduce=2) == want


def test_empty_input_and_the_reduction_check_come_in_order():
    with pytest.raises(OpenJphError) as exc:
        decode_info(b"")
    assert str(exc.value) == "decode_info: empty input"
    with pytest.raises(ValueError) as exc:
        decode_info(b"", reduce=-1)
    assert str(exc.value) == "reduce must be >= 0, got -1"
    with pytest.raises(ValueError):
        decode_info(None, skipres=(1, 2))
    with pytest.raises(TypeError):
        decode_info(None)


def test_argument_errors():
    cs = _codestream("gray8")
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        decode_info(cs, 1)
    with pytest.raises(TypeError, match="an integer is required"):
        decode_info(cs, reduce=None)
    with pytest.raises(OverflowError):
        decode_info(cs, reduce=-2 ** 31 - 1)
    with pytest.raises(TypeError):
        decode_info(cs, ignore_unsupported=True)

    class Boom:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        decode_info(cs, resilient=Boom())


def test_malformed_headers_are_openjph_errors_in_either_mode():
    cs = _codestream("gray8")
    for damaged in (cs[:20], b"\xff\x4f\xff\x51" + b"\0" * 40, cst.set_rsiz(cs, 0)):
        for resilient in (False, True):
            with pytest.raises(OpenJphError, match=r"^decode_info: .* \(rc=[12]\)$"):
                decode_info(damaged, resilient=resilient)
    with pytest.raises(OpenJphError, match=r"Rsiz bit 14 is not set"):
        decode_info(cst.set_rsiz(cs, 0))


def test_header_warnings_are_recorded_not_raised():
    cs = cst.insert_before_first_sot(cst.set_rsiz(_codestream("gray8"), 0xC001), cst.PPM_EMPTY)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        info = decode_info(cs)
    assert info["dtype"] == np.uint8
    assert sorted(last_warnings().split("\n")) == ["PPM is not supported yet", cst.RSIZ_WARNING]
    decode_info(_codestream("gray8"))
    assert last_warnings() == ""


# ---------------------------------------------------------------------------
# _reductions


@pytest.mark.parametrize("reduce, skipres, pair", [
    (0, None, (0, 0)),
    (3, None, (3, 3)),
    (1.9, None, (1, 1)),
    (True, None, (1, 1)),
    (0, 2, (2, 2)),
    (0, (3, 1), (3, 1)),
    (0, [2, 2], (2, 2)),
    (0, (4, 0), (4, 0)),
    (0, iter([3, 1]), (3, 1)),
    (0, 2.7, (2, 2)),
    (0, ("3", "2"), (3, 2)),
    (2, 2, (2, 2)),
    (2, (2, 2), (2, 2)),
    (0, 0, (0, 0)),
    (None, 1, (1, 1)),
])
def test_reductions_resolve_to_a_pair(reduce, skipres, pair):
    got = _reductions(reduce, skipres)
    assert got == pair and type(got) is tuple
    assert all(type(v) is int for v in got)


@pytest.mark.parametrize("reduce, skipres, message", [
    (-1, None, "reduce must be >= 0, got -1"),
    (-1.5, None, "reduce must be >= 0, got -1.5"),
    (0, (1, 3), "skipres: the reconstruction cannot skip more resolutions (3) than are left "
                "unread (1)"),
    (0, (-1, 0), "skipres must be >= 0, got (-1, 0)"),
    (0, [0, -2], "skipres must be >= 0, got [0, -2]"),
    (0, -1, "skipres must be >= 0, got -1"),
    (2, (2, 1), "reduce=2 and skipres=(2, 1) disagree; pass one"),
    (1, 2, "reduce=1 and skipres=2 disagree; pass one"),
    (1, -1, "reduce=1 and skipres=-1 disagree; pass one"),
    (1.0, [2, 2], "reduce=1.0 and skipres=[2, 2] disagree; pass one"),
    (0, (1, 2, 3), "too many values to unpack (expected 2)"),
])
def test_reduction_messages(reduce, skipres, message):
    with pytest.raises(ValueError) as exc:
        _reductions(reduce, skipres)
    assert str(exc.value) == message


def test_reductions_pass_on_conversion_and_unpacking_failures():
    with pytest.raises(ValueError) as exc:
        _reductions(0, (1,))
    assert "unpack" in str(exc.value)
    with pytest.raises(TypeError):
        _reductions(0, (None, 1))
    with pytest.raises(TypeError):
        _reductions(None, None)
    with pytest.raises(ValueError):
        _reductions(0, "ab")  # iterable of two strings that int() refuses

    def broken():
        yield 1
        raise KeyError("from the iterable")

    with pytest.raises(KeyError):
        _reductions(0, broken())
    with pytest.raises(TypeError):
        _reductions(0)
    assert _reductions(reduce=0, skipres=(2, 1)) == (2, 1)


# ---------------------------------------------------------------------------
# _output_dtype


@pytest.mark.parametrize("bit_depth, is_signed, nlt_type, dtype", [
    (1, False, 0, "u1"), (8, False, 0, "u1"),
    (1, True, 0, "i1"), (8, True, 0, "i1"),
    (9, False, 0, "u2"), (12, False, 0, "u2"), (16, False, 0, "u2"),
    (9, True, 0, "i2"), (12, True, 0, "i2"), (16, True, 0, "i2"),
    (17, False, 0, "u4"), (32, False, 0, "u4"),
    (17, True, 0, "i4"), (32, True, 0, "i4"),
    (9, False, 3, "f2"), (16, True, 3, "f2"),
    (17, False, 3, "f4"), (32, True, 3, "f4"),
    (8.9, 0, 0, "u1"), (16, [1], 0, "i2"), (16, [], 0, "u2"),
])
def test_output_dtype_table(bit_depth, is_signed, nlt_type, dtype):
    got = _output_dtype(bit_depth, is_signed, nlt_type)
    assert got == np.dtype(dtype) and got.isnative and isinstance(got, np.dtype)


@pytest.mark.parametrize("bit_depth, nlt_type", [(1, 3), (8, 3)])
def test_output_dtype_has_no_float_for_eight_bit_nlt3(bit_depth, nlt_type):
    with pytest.raises(OpenJphUnsupportedFeature) as exc:
        _output_dtype(bit_depth, True, nlt_type)
    assert str(exc.value) == ("HTJ2K decode: an NLT type 3 component of 8 bits or fewer has no "
                              "floating point type to return")


@pytest.mark.parametrize("bit_depth, nlt_type", [(16, 2), (8, 1), (32, 4), (12, -1), (1, 255)])
def test_output_dtype_refuses_other_nlt_types(bit_depth, nlt_type):
    with pytest.raises(OpenJphUnsupportedFeature) as exc:
        _output_dtype(bit_depth, False, nlt_type)
    assert str(exc.value) == (f"HTJ2K decode: nonlinearity (NLT) type {nlt_type} is not "
                              "supported; the samples would come back without it applied")


@pytest.mark.parametrize("bit_depth, nlt_type", [(0, 0), (33, 3), (-4, 2), (40, 0)])
def test_output_dtype_checks_the_bit_depth_first(bit_depth, nlt_type):
    with pytest.raises(OpenJphError) as exc:
        _output_dtype(bit_depth, False, nlt_type)
    assert type(exc.value) is OpenJphError
    assert str(exc.value) == f"HTJ2K decode: unsupported bit depth {bit_depth}"


def test_output_dtype_argument_conversion():
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        _output_dtype(2 ** 31, False, 0)
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        _output_dtype(8, False, -2 ** 31 - 1)
    with pytest.raises(TypeError):
        _output_dtype("8", False, 0)
    with pytest.raises(TypeError):
        _output_dtype(None, False, 0)
    with pytest.raises(TypeError):
        _output_dtype(8, False)
    assert _output_dtype(bit_depth=12, is_signed=True, nlt_type=0) == np.int16
