"""encode() and its two rule helpers, _quantization and _max_decompositions.

Codestreams are read back through the bridge's ctypes view (pixels, header
facts) and through the header walker of codestreams.py, so each
keyword is checked where it lands: in SIZ, COD, QCD, NLT, TLM or the tile-part
skeleton.
"""

from __future__ import annotations

import math
import threading
import warnings

import numpy as np
import pytest

import ferroglyph.codecs._openjph as oj
import codestreams as cst

OpenJphError = oj.OpenJphError
NAN = float("nan")
INF = float("inf")
RNG = np.random.default_rng(20240611)


def smooth(h=64, w=64, c=None, dtype=np.uint8):
    """A photo-like test image (coding gains and PSNR figures make sense on it)."""
    y, x = np.mgrid[0:h, 0:w]
    planes = [128 + 60 * np.sin(x / (7.0 + k)) + 50 * np.cos(y / (9.0 - k)) for k in range(c or 1)]
    img = np.stack(planes, -1).clip(0, 255)
    img = img if c else img[..., 0]
    return img.astype(dtype)


def extremes(dtype, shape):
    """Random samples of `dtype` over its whole range, with its min and max at both ends."""
    info = np.iinfo(dtype)
    a = RNG.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)
    flat = a.reshape(-1)
    flat[:2] = (info.min, info.max)[:flat.size]
    if flat.size >= 4:
        flat[-2:] = (info.min, info.max)
    return a


def facts(cs: bytes) -> dict:
    """What a codestream says about the encode that produced it."""
    p = cst.parse(cs)
    siz, cod = p.siz, p.cod
    return {
        "size": (siz.height, siz.width), "components": siz.components,
        "tile": (siz.tile_w, siz.tile_h), "tiles": len({tp.index for tp in p.tile_parts}),
        "precision": siz.precisions, "signed": siz.signedness, "levels": cod.levels,
        "block": (cod.block_w, cod.block_h), "order": cod.progression,
        "reversible": cod.reversible, "mct": cod.mct, "qcd_style": p.qcd_style,
        "qcc": cst.QCC in p.markers(), "nlt": cst.NLT in p.markers(),
        "tlm": cst.TLM in p.markers(), "tile_parts": len(p.tile_parts),
    }


def draw_warning() -> str:
    """An encode that OpenJPH warns about: RPCL with tile-parts at components."""
    oj.encode(np.zeros((16, 16, 3), np.uint8), prog_order="RPCL", tilepart=2)
    text = oj.last_warnings()
    assert "removing tilepart divisions at the component level" in text
    return text


# ---------------------------------------------------------------------------
# _quantization

QUANTIZATION = [
    (None, (0.0, 0)), (0, (0.0, 0)), (-3, (0.0, 0)), (-INF, (0.0, 0)), (False, (0.0, 0)),
    (-0.0, (0.0, 0)), (1e-300, (0.0, 0)),
    (1e-5, (0.0, 0)),  # 9.999999747378752e-06 in single precision
    (1.0000001e-5, (1.0000000656873453e-05, 0)),
    (0.5, (0.5, 0)), (0.1, (0.10000000149011612, 0)),
    (0.999999999, (1.0, 0)),  # a step of 1.0 although below 1
    (1, (0.0, 1)), (1.0, (0.0, 1)), (True, (0.0, 1)),
    (50.9, (0.0, 50)), (99.99, (0.0, 99)), (100, (0.0, 100)), (150, (0.0, 100)),
    (INF, (0.0, 100)), (2 ** 70, (0.0, 100)),
    ("0.25", (0.25, 0)), (b"0.5", (0.5, 0)), (bytearray(b"0.5"), (0.5, 0)), (" 3 ", (0.0, 3)),
    (np.float32(0.25), (0.25, 0)), (np.float64(50.5), (0.0, 50)), (np.int64(7), (0.0, 7)),
    (np.uint8(200), (0.0, 100)), (np.float16(0.5), (0.5, 0)),
]


@pytest.mark.parametrize("level,expected", QUANTIZATION, ids=[repr(v) for v, _ in QUANTIZATION])
def test_quantization_table(level, expected):
    got = oj._quantization(level)
    assert type(got) is tuple and got == expected
    assert type(got[0]) is float and type(got[1]) is int
    assert math.copysign(1.0, got[0]) == 1.0  # never -0.0


@pytest.mark.parametrize("level,exc,message", [
    (NAN, ValueError, "cannot convert float NaN to integer"),
    ("abc", ValueError, "could not convert string to float: 'abc'"),
    ([1], TypeError, "float() argument must be a string or a real number, not 'list'"),
    (2 ** 1100, OverflowError, "int too large to convert to float"),
])
def test_quantization_refuses_what_float_refuses_and_nan(level, exc, message):
    with pytest.raises(exc) as e:
        oj._quantization(level)
    assert str(e.value) == message


# ---------------------------------------------------------------------------
# _max_decompositions


class _Index:
    def __index__(self):
        return 64


class _Int:
    def __int__(self):
        return 32


MAX_DECOMPOSITIONS = [
    ((512, 512, 0, 0), 9), ((1000, 600, 0, 0), 9), ((4096, 4096, 256, 256), 8),
    ((4096, 4096, 256, 0), 12), ((4096, 4096, 0, 256), 12), ((1, 100, 0, 0), 0), ((1, 1, 0, 0), 0),
    ((2, 3, 0, 0), 1), ((1024, 1024, 64, 0), 10), ((1024, 1024, 64, 64), 6),
    ((1024, 1024, 2048, 2048), 10), ((3000, 2000, -1, 64), 0), ((0, 5, 0, 0), 0), ((-8, 5, 0, 0), 0),
    ((2 ** 31 - 1, 2 ** 31 - 1, 0, 0), 30), ((-2 ** 31, 8, 0, 0), 0),
    ((7.9, 100, 0, 0), 2), ((-1.5, 100, 0, 0), 0), ((np.float64(8.9), 100, 0, 0), 3),
    ((np.int64(1024), np.uint16(1024), 0, 0), 10), ((True, 100, 0, 0), 0),
    ((_Index(), 100, 0, 0), 6), ((_Int(), 100, 0, 0), 5),
]


@pytest.mark.parametrize("args,expected", MAX_DECOMPOSITIONS, ids=[repr(a) for a, _ in MAX_DECOMPOSITIONS])
def test_max_decompositions_table(args, expected):
    got = oj._max_decompositions(*args)
    assert type(got) is int and got == expected


@pytest.mark.parametrize("position", range(4))
@pytest.mark.parametrize("bad,exc,message", [
    (2 ** 31, OverflowError, "value too large to convert to int"),
    (-2 ** 31 - 1, OverflowError, "value too large to convert to int"),
    (2 ** 64, OverflowError, "value too large to convert to int"),
    (1e10, OverflowError, "value too large to convert to int"),
    ("5", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (object(), TypeError, "an integer is required"),
    (NAN, ValueError, "cannot convert float NaN to integer"),
], ids=["2**31", "-2**31-1", "2**64", "1e10", "str", "None", "object", "nan"])
def test_max_decompositions_int32_conversion(position, bad, exc, message):
    args = [64, 64, 16, 16]
    args[position] = bad
    with pytest.raises(exc) as e:
        oj._max_decompositions(*args)
    assert str(e.value) == message


# ---------------------------------------------------------------------------
# encode: refusals, each with its type and text

DTYPE_MSG = "HTJ2K encode: unsupported dtype {}; expected uint8/int8/uint16/int16/uint32/int32/float32"
LEVEL_MSG = ("HTJ2K encode: level={} asks for lossy quantization, which the reversible path does "
             "not do; drop reversible=True or the level")
FLOAT_RGB_MSG = ("HTJ2K encode: rgb=True is not supported for float32 input; the component transform "
                 "would mix the NLT bit patterns of different components. Pass rgb=False or rgb=None")
ORDERS_MSG = "prog_order must be one of ('LRCP', 'RLCP', 'RPCL', 'PCRL', 'CPRL'), got {}"
PROFILES_MSG = "profile must be one of ('IMF', 'BROADCAST'), got {}"
TOO_LARGE = "value too large to convert to int"
U8 = np.zeros((8, 8), np.uint8)

# (id, data, keywords, exception, message); none of these reaches the bridge.
REFUSALS = [
    ("float64", np.zeros((4, 4)), {}, OpenJphError, DTYPE_MSG.format("float64")),
    ("float16", np.zeros((4, 4), np.float16), {}, OpenJphError, DTYPE_MSG.format("float16")),
    ("bool", np.zeros((4, 4), bool), {}, OpenJphError, DTYPE_MSG.format("bool")),
    ("complex64", np.zeros((4, 4), np.complex64), {}, OpenJphError, DTYPE_MSG.format("complex64")),
    ("big-endian int64", np.zeros((4, 4), ">i8"), {}, OpenJphError, DTYPE_MSG.format(">i8")),
    ("python int", 5, {}, OpenJphError, DTYPE_MSG.format("int64")),
    ("1-D float64 reports dtype", np.zeros(3), {}, OpenJphError, DTYPE_MSG.format("float64")),
    ("bytes", b"ab", {}, OpenJphError, DTYPE_MSG.format("|S2")),
    ("uint8 scalar", np.uint8(5), {}, OpenJphError, "HTJ2K encode: unsupported ndim 1"),
    ("4-D", np.zeros((1, 1, 1, 1), np.uint8), {}, OpenJphError, "HTJ2K encode: unsupported ndim 4"),
    ("empty 2-D", np.zeros((0, 5), np.uint8), {}, OpenJphError, "HTJ2K encode: empty image (0, 5)"),
    ("empty planar", np.zeros((3, 0, 5), np.uint8), {}, OpenJphError, "HTJ2K encode: empty image (3, 0, 5)"),
    ("no components", np.zeros((4, 4, 0), np.uint8), {}, OpenJphError, "HTJ2K encode: empty image (4, 4, 0)"),
    ("16385 components", np.zeros((16385, 1, 1), np.uint8), {"planar": True}, OpenJphError,
     "HTJ2K encode: 16385 components; a codestream holds at most 16384"),
    ("20000 interleaved", np.zeros((2, 2, 20000), np.uint8), {"planar": False}, OpenJphError,
     "HTJ2K encode: 20000 components; a codestream holds at most 16384"),
    ("level nan", U8, {"level": NAN}, ValueError, "cannot convert float NaN to integer"),
    ("level text", U8, {"level": "abc"}, ValueError, "could not convert string to float: 'abc'"),
    ("level list", U8, {"level": [1]}, TypeError,
     "float() argument must be a string or a real number, not 'list'"),
    ("reversible level 50", U8, {"level": 50, "reversible": True}, ValueError, LEVEL_MSG.format("50")),
    ("reversible level text", U8, {"level": "0.5", "reversible": True}, ValueError,
     LEVEL_MSG.format("'0.5'")),
    ("reversible level True", U8, {"level": True, "reversible": 1}, ValueError, LEVEL_MSG.format("True")),
    ("reversible level step", U8, {"level": 1.0000001e-5, "reversible": True}, ValueError,
     LEVEL_MSG.format("1.0000001e-05")),
    ("rgb 1 component", U8, {"rgb": True}, ValueError,
     "HTJ2K encode: rgb=True needs 3 or more components, got 1"),
    ("rgb 2 components", np.zeros((8, 8, 2), np.uint8), {"rgb": True}, ValueError,
     "HTJ2K encode: rgb=True needs 3 or more components, got 2"),
    ("rgb float 2 components", np.zeros((8, 8, 2), np.float32), {"rgb": True}, ValueError,
     "HTJ2K encode: rgb=True needs 3 or more components, got 2"),
    ("rgb float", np.zeros((8, 8, 3), np.float32), {"rgb": True}, ValueError, FLOAT_RGB_MSG),
    ("tile one item", U8, {"tile": (256,)}, ValueError, "need more than 1 value to unpack"),
    ("tile empty", U8, {"tile": ()}, ValueError, "need more than 0 values to unpack"),
    ("tile not iterable", U8, {"tile": 256}, TypeError, "'int' object is not iterable"),
    ("tile item text", U8, {"tile": ("a", 4)}, ValueError, "invalid literal for int() with base 10: 'a'"),
    ("both level counts", U8, {"num_decomp": 3, "resolutions": 0}, ValueError,
     "HTJ2K encode: pass resolutions= or num_decomp=, not both"),
    ("num_decomp negative", U8, {"num_decomp": -1}, ValueError, "num_decomp must be >= 0, got -1"),
    ("num_decomp shown as given", U8, {"num_decomp": -2.5}, ValueError, "num_decomp must be >= 0, got -2.5"),
    ("resolutions text", U8, {"resolutions": "x"}, ValueError, "invalid literal for int() with base 10: 'x'"),
    ("tilepart text", U8, {"tilepart": "x"}, ValueError, "invalid literal for int() with base 10: 'x'"),
    ("block three items", U8, {"block_size": (32, 32, 1)}, ValueError, "too many values to unpack (expected 2)"),
    ("prog_order unknown", U8, {"prog_order": "xyz"}, ValueError, ORDERS_MSG.format("'xyz'")),
    ("prog_order bytes", U8, {"prog_order": b"RPCL"}, ValueError, ORDERS_MSG.format("b'RPCL'")),
    ("profile unknown", U8, {"profile": "imf2"}, ValueError, PROFILES_MSG.format("'imf2'")),
    ("profile bytes", U8, {"profile": b"IMF"}, ValueError, PROFILES_MSG.format("b'IMF'")),
    ("tile too wide", U8, {"tile": (2 ** 31, 16)}, OverflowError, TOO_LARGE),
    ("block too negative", U8, {"block_size": (64, -2 ** 31 - 1)}, OverflowError, TOO_LARGE),
    ("num_decomp too large", U8, {"num_decomp": 2 ** 31}, OverflowError, TOO_LARGE),
    ("resolutions too negative", U8, {"resolutions": -2 ** 31 - 1}, OverflowError, TOO_LARGE),
]


@pytest.mark.parametrize("data,kwargs,exc,message", [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_refusals_before_the_bridge_keep_the_previous_warnings(data, kwargs, exc, message):
    before = draw_warning()
    with pytest.raises(exc) as e:
        oj.encode(data, **kwargs)
    assert type(e.value) is exc and str(e.value) == message
    assert oj.last_warnings() == before


BRIDGE_REFUSALS = [
    ("too many levels", U8, {"num_decomp": 33},
     "encode: maximum number of decompositions cannot exceed 32 (rc=5)"),
    ("block not a power of two", U8, {"block_size": (48, 64)},
     "encode: incorrect code block dimensions (rc=5)"),
    ("too many tiles", np.zeros((300, 300), np.uint8), {"tile": (1, 1)},
     "encode: the number of tiles cannot exceed 65535 (rc=5)"),
    ("reversible without levels", U8, {"num_decomp": 0},
     "encode: reversible coding with 0 decompositions is not lossless in OpenJPH; use at least 1 (rc=2)"),
]


@pytest.mark.parametrize("data,kwargs,message", [r[1:] for r in BRIDGE_REFUSALS],
                         ids=[r[0] for r in BRIDGE_REFUSALS])
def test_bridge_refusals_are_mapped_and_clear_the_warnings(data, kwargs, message):
    draw_warning()
    with pytest.raises(OpenJphError) as e:
        oj.encode(data, **kwargs)
    assert type(e.value) is OpenJphError and str(e.value) == message
    assert oj.last_warnings() == ""


# Every refusal in the order encode checks them; when several apply, the
# earliest wins.  Each entry: (data or None, keywords, exception, message).
ORDERED_FAULTS = [
    (np.zeros((4, 4)), {}, OpenJphError, DTYPE_MSG.format("float64")),
    (np.zeros((1, 1, 1, 1), np.uint8), {}, OpenJphError, "HTJ2K encode: unsupported ndim 4"),
    (np.zeros((0, 5), np.uint8), {}, OpenJphError, "HTJ2K encode: empty image (0, 5)"),
    (np.zeros((2, 2, 20000), np.uint8), {"planar": False}, OpenJphError,
     "HTJ2K encode: 20000 components; a codestream holds at most 16384"),
    (None, {"level": NAN}, ValueError, "cannot convert float NaN to integer"),
    (None, {"level": 50, "reversible": True}, ValueError, LEVEL_MSG.format("50")),
    (None, {"rgb": True}, ValueError, "HTJ2K encode: rgb=True needs 3 or more components, got 1"),
    (None, {"tile": (1,)}, ValueError, "need more than 1 value to unpack"),
    (None, {"num_decomp": 3, "resolutions": 0}, ValueError,
     "HTJ2K encode: pass resolutions= or num_decomp=, not both"),
    (None, {"num_decomp": -1}, ValueError, "num_decomp must be >= 0, got -1"),
    (None, {"tilepart": "x"}, ValueError, "invalid literal for int() with base 10: 'x'"),
    (None, {"block_size": (1,)}, ValueError, "need more than 1 value to unpack"),
    (None, {"prog_order": "x"}, ValueError, ORDERS_MSG.format("'x'")),
    (None, {"profile": "x"}, ValueError, PROFILES_MSG.format("'x'")),
    (None, {"tile": (2 ** 31, 1)}, OverflowError, TOO_LARGE),
    (None, {"num_decomp": 33}, OpenJphError, "encode: maximum number of decompositions cannot exceed 32 (rc=5)"),
]


@pytest.mark.parametrize("first", range(len(ORDERED_FAULTS)), ids=[f[3][:40] for f in ORDERED_FAULTS])
def test_checks_run_in_order(first):
    data, kwargs = U8, {}
    for fault_data, fault_kwargs, _, _ in reversed(ORDERED_FAULTS[first:]):
        data = fault_data if fault_data is not None else data
        kwargs.update(fault_kwargs)  # earlier faults override later ones
    _, _, exc, message = ORDERED_FAULTS[first]
    with pytest.raises(exc) as e:
        oj.encode(data, **kwargs)
    assert str(e.value) == message


# ---------------------------------------------------------------------------
# encode: what each keyword writes into the codestream

RGB8 = smooth(48, 64, 3)
GREY8 = smooth(48, 64)
WIDE = np.zeros((60, 100), np.uint8)

KEYWORDS = [
    ("defaults rgb", RGB8, {}, dict(size=(48, 64), components=3, tile=(64, 48), tiles=1, precision={8},
                                    signed={False}, levels=5, block=(64, 64), order="RPCL",
                                    reversible=True, mct=1, qcd_style=0, qcc=False, nlt=False,
                                    tlm=False, tile_parts=1)),
    ("rgb off", RGB8, {"rgb": False}, dict(mct=0)),
    ("rgb truth value", RGB8, {"rgb": 0}, dict(mct=0)),
    ("rgb on planar", np.moveaxis(RGB8, -1, 0), {"rgb": True}, dict(mct=1, components=3)),
    ("no rgb for planar", np.moveaxis(RGB8, -1, 0), {}, dict(mct=0, components=3)),
    ("rgb on 4 components", smooth(16, 16, 4), {}, dict(mct=1)),
    ("rgb on 5 components", smooth(16, 16, 5), {"rgb": True, "planar": False}, dict(mct=1, components=5)),
    ("quality factor", GREY8, {"level": 50}, dict(reversible=False, qcd_style=2, qcc=True)),
    ("step", GREY8, {"level": 0.25}, dict(reversible=False, qcd_style=2, qcc=False)),
    ("forced irreversible", GREY8, {"reversible": False}, dict(reversible=False, qcc=False)),
    ("forced reversible", GREY8, {"reversible": True, "level": 0}, dict(reversible=True, qcd_style=0)),
    ("tile width first", GREY8, {"tile": (32, 16)}, dict(tile=(32, 16), tiles=6, tile_parts=6)),
    ("tile items through int()", GREY8, {"tile": ["32", 16.9]}, dict(tile=(32, 16))),
    ("tile height 0 is untiled", GREY8, {"tile": (256, 0)}, dict(tile=(64, 48), tiles=1)),
    ("num_decomp", GREY8, {"num_decomp": 2}, dict(levels=2)),
    ("num_decomp from text", GREY8, {"num_decomp": "3"}, dict(levels=3)),
    ("num_decomp unclamped", GREY8, {"num_decomp": 32}, dict(levels=32)),
    ("resolutions", GREY8, {"resolutions": 3}, dict(levels=3)),
    ("resolutions truncates", GREY8, {"resolutions": 2.9}, dict(levels=2)),
    ("resolutions clamped", WIDE, {"resolutions": 20}, dict(levels=5)),
    ("resolutions clamped by tile", WIDE, {"resolutions": 20, "tile": (16, 16)}, dict(levels=4)),
    ("resolutions 0 keeps default", WIDE, {"resolutions": 0}, dict(levels=5)),
    ("resolutions negative keeps default", WIDE, {"resolutions": -3}, dict(levels=5)),
    ("block width first", GREY8, {"block_size": (128, 32)}, dict(block=(128, 32))),
    ("block narrow", GREY8, {"block_size": [4, 1024]}, dict(block=(4, 1024))),
    ("tlm", GREY8, {"tlm": True}, dict(tlm=True)),
    ("tlm truth value", GREY8, {"tlm": "yes"}, dict(tlm=True)),
    ("tlm off", GREY8, {"tlm": 0}, dict(tlm=False)),
    ("float32", smooth(16, 16, dtype=np.float32), {}, dict(precision={32}, signed={True}, nlt=True,
                                                         reversible=True)),
] + [
    (f"prog_order {o.lower()}", GREY8, {"prog_order": o.lower()}, dict(order=o))
    for o in ("LRCP", "RLCP", "RPCL", "PCRL", "CPRL")
] + [
    (f"dtype {dt}", np.zeros((8, 8), dt), {}, dict(precision={8 * np.dtype(dt).itemsize},
                                                  signed={np.dtype(dt).kind == "i"}, nlt=False))
    for dt in ("u1", "i1", "u2", "i2", "u4", "i4")
]


class _Named:
    def __str__(self):
        return "cprl"


@pytest.mark.parametrize("data,kwargs,expected", [k[1:] for k in KEYWORDS], ids=[k[0] for k in KEYWORDS])
def test_keywords_reach_the_codestream(data, kwargs, expected):
    got = facts(oj.encode(data, **kwargs))
    assert {k: got[k] for k in expected} == expected


def test_prog_order_may_be_any_object_with_that_text():
    assert facts(oj.encode(GREY8, prog_order=_Named()))["order"] == "CPRL"


# Tile-parts: bit 0 divides at resolutions, bit 1 at components.  OpenJPH
# drops divisions that make no sense for a progression order (with a
# warning), so two orders tell the bits apart.  RGB, one tile, 5 levels.
TILEPARTS = [
    ("RPCL", None, 1, False), ("RPCL", 0, 1, False), ("RPCL", 1, 6, False), ("RPCL", True, 6, False),
    ("RPCL", 2, 1, True), ("RPCL", 3, 6, True), ("RPCL", -1, 6, True), ("RPCL", 4, 1, False),
    ("RPCL", 2 ** 80 + 1, 6, False), ("RPCL", 2 ** 80 + 2, 1, True), ("RPCL", -2 ** 80 - 1, 6, True),
    ("RPCL", 2.9, 1, True),
    ("CPRL", 1, 1, True), ("CPRL", 2, 3, False), ("CPRL", 3, 3, True), ("CPRL", -1, 3, True),
    ("CPRL", 4, 1, False), ("CPRL", "2", 3, False),
    ("LRCP", 1, 6, False), ("LRCP", 3, 18, False),
]


@pytest.mark.parametrize("order,tilepart,parts,warned", TILEPARTS)
def test_tilepart_bits(order, tilepart, parts, warned):
    cs = oj.encode(np.zeros((32, 32, 3), np.uint8), prog_order=order, tilepart=tilepart)
    p = cst.parse(cs)
    assert len(p.tile_parts) == parts and p.ends_with_eoc
    assert bool(oj.last_warnings()) is warned


def test_tlm_with_tiles_and_tileparts_indexes_every_tile_part():
    cs = oj.encode(GREY8, tile=(32, 16), tilepart=1, tlm=True)
    p = cst.parse(cs)
    stlm = p.body(cst.TLM)[1]
    assert stlm == 0x60  # 16-bit tile indices, 32-bit lengths
    entries = (len(p.body(cst.TLM)) - 2) // 6
    assert entries == len(p.tile_parts) == 6 * 6


@pytest.mark.parametrize("profile,name", [("imf", "IMF"), ("Broadcast", "broadcast")])
def test_profile_reaches_openjph_upper_cased(profile, name):
    # OpenJPH's profile rules refuse these settings; the refusal names the profile.
    with pytest.raises(OpenJphError, match=rf"^encode: For {name} profile, .* \(rc=5\)$"):
        oj.encode(GREY8, profile=profile)


def test_profile_encode_with_conforming_settings():
    cs = oj.encode(GREY8, profile="IMF", block_size=(32, 32), prog_order="CPRL", num_decomp=3)
    assert facts(cs)["tlm"]


# ---------------------------------------------------------------------------
# encode: level and reversible (compared as whole codestreams)


@pytest.mark.parametrize("level", [0, -3, -INF, False, 1e-5, "0", 1e-300, np.float32(1e-6)])
def test_levels_meaning_no_loss_take_the_reversible_path(level):
    assert oj.encode(RGB8, level) == oj.encode(RGB8)
    assert oj.encode(RGB8, level, reversible=True) == oj.encode(RGB8)


@pytest.mark.parametrize("same", [
    (50, 50.9, "50", np.float64(50.5), b"50.99"),
    (100, 150, INF, 2 ** 40),
    (1, True, 1.5),
    (0.25, "0.25", b"0.25", np.float32(0.25)),
    (1.0000001e-5, np.float32(1.0000001e-5)),
], ids=["q50", "q100", "q1", "step", "smallest step"])
def test_levels_that_read_alike_encode_alike(same):
    first = oj.encode(GREY8, same[0])
    assert facts(first)["reversible"] is False
    for level in same[1:]:
        assert oj.encode(GREY8, level) == first, level
        assert oj.encode(GREY8, level, reversible=False) == first, level


@pytest.mark.parametrize("dtype,default_step", [(np.uint8, 1 / 256), (np.uint16, 1 / 65536)])
def test_irreversible_without_level_keeps_openjph_default_quantization(dtype, default_step):
    img = GREY8.astype(dtype)
    forced = oj.encode(img, reversible=False)
    assert forced == oj.encode(img, default_step)  # OpenJPH's default base step is 2**-bit_depth
    assert forced == oj.encode(img, 1e-6, reversible=False)  # a no-loss level adds no step
    assert forced != oj.encode(img, 2 ** -14)


def test_float32_irreversible_gets_its_own_step_only_when_it_has_none():
    img = smooth(32, 32, dtype=np.float32) / 255
    default = oj.encode(img, reversible=False)
    assert default == oj.encode(img, 2 ** -14)
    assert default == oj.encode(img, 1e-6, reversible=False)
    stepped = oj.encode(img, 0.25)
    assert stepped != default and stepped == oj.encode(img, "0.25", reversible=False)
    assert facts(oj.encode(img, 90))["qcc"]  # the quality factor is used, not the step


def test_quality_orders_the_size():
    sizes = [len(oj.encode(RGB8, q)) for q in (1, 10, 50, 90, 100)]
    assert sizes == sorted(sizes) and len(set(sizes)) == 5


@pytest.mark.parametrize("level,min_psnr", [(90, 40.0), (0.01, 45.0)])
@pytest.mark.parametrize("img", [GREY8, RGB8, smooth(48, 64, dtype=np.uint16) * 200],
                         ids=["grey8", "rgb8", "grey16"])
def test_irreversible_quality(img, level, min_psnr):
    cs = oj.encode(img, level)
    out = cst.decode(cs, like=img)
    peak = np.iinfo(img.dtype).max
    assert min_psnr < cst.psnr(img, out, peak) < 80  # lossy, but close


# ---------------------------------------------------------------------------
# encode: memory layouts

# (shape, planar, components, (height, width), layout the samples come back in)
LAYOUTS = [
    ((16, 20), None, 1, (16, 20), "grey"),
    ((16, 20), True, 1, (16, 20), "grey"),
    ((16, 20, 1), None, 1, (16, 20), "hwc"),
    ((16, 20, 2), None, 2, (16, 20), "hwc"),
    ((16, 20, 3), None, 3, (16, 20), "hwc"),
    ((16, 20, 4), None, 4, (16, 20), "hwc"),
    ((3, 64, 64), None, 3, (64, 64), "chw"),
    ((4, 4, 5), None, 4, (4, 5), "chw"),
    ((1, 16, 20), None, 1, (16, 20), "chw"),
    ((8, 8, 8), None, 8, (8, 8), "hwc"),
    ((5, 64, 64), None, 64, (5, 64), "hwc"),
    ((16, 20, 3), True, 16, (20, 3), "chw"),
    ((3, 16, 20), False, 20, (3, 16), "hwc"),
    ((16, 20, 6), 0, 6, (16, 20), "hwc"),
    ((2, 16, 20), "yes", 2, (16, 20), "chw"),
]


@pytest.mark.parametrize("shape,planar,components,size,layout", LAYOUTS,
                         ids=[f"{s}-planar={p}" for s, p, *_ in LAYOUTS])
def test_layout_rules(shape, planar, components, size, layout):
    img = extremes(np.uint8, shape)
    cs = oj.encode(img, planar=planar)
    info = cst.info(cs)
    assert (info["components"], (info["height"], info["width"])) == (components, size)
    out = cst.decode(cs, planar=layout == "chw")
    expected = img[..., None] if layout == "grey" else img
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("shape", [(16, 20, 1), (1, 16, 20)])
def test_single_component_3d_encodes_as_2d(shape):
    img = extremes(np.uint16, (16, 20))
    assert oj.encode(img.reshape(shape)) == oj.encode(img)


def test_planar_is_ignored_for_2d():
    class Untrue:
        def __bool__(self):
            raise AssertionError("planar was looked at")

    assert oj.encode(GREY8, planar=True) == oj.encode(GREY8, planar=Untrue()) == oj.encode(GREY8)


@pytest.mark.parametrize("rgb", [False, True])
def test_planar_and_interleaved_sources_give_the_same_codestream(rgb):
    planar = np.ascontiguousarray(np.moveaxis(RGB8, -1, 0))
    assert oj.encode(RGB8, rgb=rgb) == oj.encode(planar, rgb=rgb, planar=True)


def test_16384_components_are_accepted():
    # CPRL with one level keeps OpenJPH's per-component work linear.
    img = (np.arange(16384) % 251).astype(np.uint8).reshape(16384, 1, 1)
    cs = oj.encode(img, planar=True, prog_order="CPRL", num_decomp=1)
    np.testing.assert_array_equal(cst.decode(cs, planar=True), img)


def test_wide_two_plane_array_is_planar_by_default():
    img = extremes(np.uint8, (2, 2, 20000))
    cs = oj.encode(img)
    assert facts(cs)["components"] == 2 and facts(cs)["size"] == (2, 20000)
    np.testing.assert_array_equal(cst.decode(cs, planar=True), img)


# ---------------------------------------------------------------------------
# encode: reversible round trips

DTYPES = ["u1", "i1", "u2", "i2", "u4", "i4", "f4"]
ROUND_TRIP_LAYOUTS = [
    ((13, 17), {}), ((13, 17, 1), {}), ((13, 17, 3), {}), ((13, 17, 4), {}), ((3, 13, 17), {}),
    ((3, 13, 17), {"rgb": True}), ((13, 17, 6), {"planar": False}), ((2, 13, 17), {"planar": True}),
]


def _samples(dtype, shape):
    if dtype == "f4":
        return (RNG.standard_normal(shape) * 1e3).astype(np.float32)
    return extremes(dtype, shape)


@pytest.mark.parametrize("dtype,shape,kwargs", [
    (dt, s, k) for dt in DTYPES for s, k in ROUND_TRIP_LAYOUTS if not (dt == "f4" and k.get("rgb"))
], ids=lambda v: str(v) if not isinstance(v, dict) else "".join(f"{k}={x}" for k, x in v.items()))
def test_reversible_round_trip_is_bit_exact(dtype, shape, kwargs):
    img = _samples(dtype, shape)
    cs = oj.encode(img, **kwargs)
    planar = kwargs.get("planar", len(shape) == 3 and shape[2] > 4 and shape[0] <= 4)
    out = cst.decode(cs, planar=planar, like=img)
    assert out.dtype == img.dtype
    np.testing.assert_array_equal(out.view(f"u{img.itemsize}"), img.view(f"u{img.itemsize}"))


FLOAT_PATTERNS = np.array([
    0x7FC00000, 0x7FC00001, 0x7FBFFFFF, 0x7F800001, 0xFFC00000, 0xFFFFFFFF, 0xFF800001,  # NaNs
    0x7F800000, 0xFF800000,  # +-Inf
    0x80000000, 0x00000000,  # -0.0, +0.0
    0x00000001, 0x807FFFFF, 0x007FFFFF, 0x80000001,  # denormals
    0x7F7FFFFF, 0xFF7FFFFF, 0x00800000, 0x3F800000, 0xBF800000,  # FLT_MAX, -FLT_MAX, FLT_MIN, +-1
], dtype=np.uint32)


@pytest.mark.parametrize("shape,kwargs", [((7, 9), {}), ((7, 9, 3), {}), ((3, 7, 9), {}),
                                          ((7, 9, 5), {"planar": False})])
def test_float32_special_values_survive_bit_exactly(shape, kwargs):
    img = (RNG.standard_normal(shape) * 1e30).astype(np.float32)
    img.reshape(-1)[:FLOAT_PATTERNS.size] = FLOAT_PATTERNS.view(np.float32)
    img.reshape(-1)[-FLOAT_PATTERNS.size:] = FLOAT_PATTERNS[::-1].view(np.float32)
    cs = oj.encode(img, **kwargs)
    assert facts(cs)["mct"] == 0 and cst.info(cs)["nlt_type"] == 3
    out = cst.decode(cs, planar=shape[0] == 3, like=img)
    np.testing.assert_array_equal(out.view(np.uint32), img.view(np.uint32))


NON_CONTIGUOUS = {
    "strided": lambda a: a[::2, ::3],
    "transposed": lambda a: a.transpose(1, 0, 2),
    "fortran": np.asfortranarray,
    "reversed channels": lambda a: a[:, :, ::-1],
    "channel slice": lambda a: a[..., :2],
    "negative stride": lambda a: a[::-1],
}


@pytest.mark.parametrize("view", list(NON_CONTIGUOUS.values()), ids=list(NON_CONTIGUOUS))
def test_non_contiguous_input_encodes_its_values(view):
    img = view(extremes(np.int16, (20, 30, 3)))
    assert not img.flags.c_contiguous
    cs = oj.encode(img)
    assert cs == oj.encode(np.ascontiguousarray(img))
    np.testing.assert_array_equal(cst.decode(cs, like=img), img)


@pytest.mark.parametrize("dtype", [">u2", ">i2", ">u4", ">i4", ">f4"])
@pytest.mark.parametrize("level", [None, 50])
def test_non_native_byte_order_encodes_the_same_values(dtype, level):
    native = _samples(dtype[1:], (9, 11, 3))
    swapped = native.astype(dtype)
    assert swapped.tobytes() != native.tobytes()
    cs = oj.encode(swapped, level)
    assert cs == oj.encode(native, level)
    if level is None:
        out = cst.decode(cs, like=native)
        np.testing.assert_array_equal(out.view(f"u{native.itemsize}"), native.view(f"u{native.itemsize}"))


def test_read_only_input_is_accepted_and_left_alone():
    img = extremes(np.uint16, (10, 12, 3))
    keep = img.copy()
    img.setflags(write=False)
    cs = oj.encode(img)
    assert type(cs) is bytes and cs[:4] == b"\xff\x4f\xff\x51" and cs[-2:] == b"\xff\xd9"
    np.testing.assert_array_equal(img, keep)


# ---------------------------------------------------------------------------
# encode: zero decomposition levels on the reversible path

ZERO_LEVELS = "encode: reversible coding with 0 decompositions is not lossless in OpenJPH; use at least 1 (rc=2)"


@pytest.mark.parametrize("data,kwargs", [
    (U8, {"num_decomp": 0}),
    (np.zeros((8, 8, 3), np.uint8), {"num_decomp": 0, "rgb": False}),
    (np.zeros((3, 8, 8), np.uint8), {"num_decomp": 0}),
    (np.zeros((8, 8), np.float32), {"num_decomp": 0}),
    (np.zeros((8, 8), np.int8), {"num_decomp": -0.5}),  # int() gives 0
], ids=["grey", "rgb off", "planar", "float32", "truncated to 0"])
def test_reversible_without_decomposition_is_refused(data, kwargs):
    with pytest.raises(OpenJphError) as e:
        oj.encode(data, **kwargs)
    assert str(e.value) == ZERO_LEVELS


@pytest.mark.parametrize("dtype", ["u1", "i1", "u2", "i4"])
def test_reversible_without_decomposition_but_with_rgb_is_lossless(dtype):
    img = extremes(dtype, (8, 8, 3))
    img[:4] = np.iinfo(dtype).min  # the samples OpenJPH loses without the transform
    cs = oj.encode(img, num_decomp=0)
    assert facts(cs)["levels"] == 0 and facts(cs)["mct"] == 1
    np.testing.assert_array_equal(cst.decode(cs, like=img), img)


@pytest.mark.parametrize("dtype", [np.uint8, np.float32])
def test_irreversible_without_decomposition_is_allowed(dtype):
    cs = oj.encode(np.zeros((8, 8), dtype), num_decomp=0, reversible=False)
    assert facts(cs)["levels"] == 0 and not facts(cs)["reversible"]


@pytest.mark.parametrize("shape", [(1, 100), (100, 1), (1, 1)])
def test_resolutions_never_clamps_a_reversible_encode_into_a_refusal(shape):
    img = extremes(np.uint8, shape)
    np.testing.assert_array_equal(cst.decode(oj.encode(img), like=img), img)  # fine without
    cs = oj.encode(img, resolutions=5)
    np.testing.assert_array_equal(cst.decode(cs, like=img), img)


# ---------------------------------------------------------------------------
# encode: helpers are looked up on the module at each call


def test_rule_helpers_are_looked_up_at_call_time(monkeypatch):
    monkeypatch.setattr(oj, "_max_decompositions", lambda w, h, tw, th: 2)
    assert facts(oj.encode(GREY8, resolutions=20))["levels"] == 2
    monkeypatch.setattr(oj, "_quantization", lambda level: (0.0, 50))
    lossy = facts(oj.encode(GREY8))
    assert lossy["reversible"] is False and lossy["qcc"]


# A replaced _max_decompositions may return any object: it is compared with
# int(resolutions) and converted as Python would (0.5 is not 0, so no level
# is added, and then truncates to 0).
@pytest.mark.parametrize("allowed,resolutions,outcome", [
    (2, 3, 2), (2, 2 ** 80, 2), (0, 3, 1), (-3, 3, 5), (True, 3, 1), (2.0, 3, 2), (2.5, 3, 2),
    (2.5, 1, 1), (0.5, 3, (OpenJphError, ZERO_LEVELS)),
    (1e20, 2 ** 100, (OverflowError, TOO_LARGE)),
    ("3", 3, (TypeError, "'<' not supported between instances of 'int' and 'str'")),
])
def test_a_replaced_level_rule_is_read_as_python_reads_it(monkeypatch, allowed, resolutions, outcome):
    monkeypatch.setattr(oj, "_max_decompositions", lambda w, h, tw, th: allowed)
    if isinstance(outcome, int):
        assert facts(oj.encode(GREY8, resolutions=resolutions))["levels"] == outcome
        return
    with pytest.raises(outcome[0]) as e:
        oj.encode(GREY8, resolutions=resolutions)
    assert str(e.value) == outcome[1]


# Values far beyond 32 (or 64) bits are range errors of the parameter record:
# they are reported after every keyword check, not where they were read.
@pytest.mark.parametrize("kwargs", [
    {"num_decomp": 2 ** 80}, {"resolutions": -2 ** 80}, {"tile": (2 ** 80, 16)},
    {"block_size": (16, -2 ** 80)}, {"num_decomp": 2 ** 40}, {"resolutions": -2 ** 40},
], ids=str)
def test_out_of_range_values_are_reported_by_the_record(kwargs):
    with pytest.raises(ValueError) as e:
        oj.encode(U8, profile="x", **kwargs)
    assert str(e.value) == PROFILES_MSG.format("'x'")
    with pytest.raises(OverflowError) as e:
        oj.encode(U8, **kwargs)
    assert str(e.value) == TOO_LARGE


# ---------------------------------------------------------------------------
# encode: OpenJPH warnings


def test_encode_warnings_are_reported_only_through_last_warnings():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cs = oj.encode(np.zeros((16, 16, 3), np.uint8), prog_order="RPCL", tilepart=2)
    assert caught == []
    assert type(cs) is bytes and cst.parse(cs).ends_with_eoc
    assert oj.last_warnings().startswith("For RPCL progression")


def test_encode_warnings_never_become_errors():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        oj.encode(np.zeros((16, 16, 3), np.uint8), prog_order="PCRL", tilepart=3)
    assert "removing tilepart divisions" in oj.last_warnings()


def test_each_encode_starts_with_no_warnings():
    draw_warning()
    oj.encode(GREY8)
    assert oj.last_warnings() == ""


def test_warnings_belong_to_the_thread_that_encoded():
    warned_done, clean_done = threading.Barrier(2), threading.Barrier(2)
    seen = {}

    def warned():
        oj.encode(np.zeros((16, 16, 3), np.uint8), prog_order="CPRL", tilepart=1)
        warned_done.wait()
        clean_done.wait()
        seen["warned"] = oj.last_warnings()

    def clean():
        warned_done.wait()
        oj.encode(GREY8)  # clears this thread's text only
        seen["clean"] = oj.last_warnings()
        clean_done.wait()

    threads = [threading.Thread(target=warned), threading.Thread(target=clean)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert "removing tilepart divisions at the resolution level" in seen["warned"]
    assert seen["clean"] == ""
