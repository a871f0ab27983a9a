"""The codec's encode rules live once, in the module: encode, encode_components
(through _encode_settings) and the chunk codecs (through _dtype_coded) must
read every keyword and dtype alike."""

import numpy as np
import pytest

import ferroglyph
from ferroglyph._chunkcodec import check_dtype
from ferroglyph.codecs import _openjph
from ferroglyph.codecs._openjph import OpenJphError

RNG = np.random.default_rng(20)
PLANES = RNG.integers(0, 4096, (3, 40, 50), dtype=np.uint16)

# Keyword sets that encode and encode_components both take.
ACCEPTED = [
    {}, {"level": 0.01}, {"level": 0.2}, {"rgb": True},
    {"rgb": False}, {"reversible": False}, {"resolutions": 2}, {"resolutions": 0},
    {"resolutions": 0, "reversible": False}, {"num_decomp": 3, "reversible": False, "level": 0.1},
    {"num_decomp": 0, "rgb": True}, {"tile": (16, 16), "resolutions": 9},
    {"prog_order": "rpcl"}, {"prog_order": "CPRL", "level": 0.05},
]


@pytest.mark.parametrize("kw", ACCEPTED, ids=repr)
def test_components_and_planar_encode_resolve_the_same_settings(kw):
    # Three full-size components are the planar image: the same settings
    # must give the same codestream, byte for byte.
    assert ferroglyph.encode_components(list(PLANES), **kw) == _openjph.encode(
        PLANES, planar=True, **kw)


REFUSED = [
    ({"level": 60, "reversible": True}, ValueError, "level=60 asks for lossy quantization"),
    ({"num_decomp": 2, "resolutions": 2}, ValueError, "pass resolutions= or num_decomp=, not both"),
    ({"num_decomp": -1}, ValueError, "num_decomp must be >= 0, got -1"),
    ({"prog_order": "XYZ"}, ValueError, "prog_order must be one of"),
    ({"profile": "nope"}, ValueError, "profile must be one of"),
    ({"level": "abc"}, ValueError, "could not convert string to float"),
]


@pytest.mark.parametrize("kw, kind, text", REFUSED, ids=lambda v: repr(v)[:40])
def test_refusals_are_encodes_own_with_the_callers_name(kw, kind, text):
    with pytest.raises(kind, match=text) as encoded:
        _openjph.encode(PLANES, planar=True, **kw)
    keywords = {k: v for k, v in kw.items() if k != "level"}
    with pytest.raises(kind, match=text) as resolved:
        _openjph._encode_settings("HTJ2K encode", 50, 40, 3, kw.get("level"), keywords,
                                  planar=True)
    assert str(resolved.value) == str(encoded.value)
    if kw.get("level") != "abc":  # the public layer checks the level type first
        with pytest.raises(kind, match=text):
            ferroglyph.encode_components(list(PLANES), **kw)


def test_the_transform_on_subsampled_components_is_refused_with_the_factors():
    with pytest.raises(ValueError, match=r"subsampled \(subsampling \[\(1, 1\), \(2, 1\)"):
        ferroglyph.encode_components([PLANES[0], PLANES[1][:, ::2], PLANES[2][:, ::2]], rgb=True)


DTYPES = ["u1", "i1", "u2", ">u2", "i2", "u4", "i4", "<i4", ">i4", "f4", ">f4", "f2", "f8",
          "u8", "i8", "?", "c8", "S4", "U1", "V4", "M8[s]"]


@pytest.mark.parametrize("dtype", DTYPES)
def test_one_dtype_rule_for_encode_and_the_chunk_codecs(dtype):
    dt = np.dtype(dtype)
    coded = _openjph._dtype_coded(dt)
    encoded_error = None
    try:
        _openjph.encode(np.zeros((4, 4), dt))
    except OpenJphError as e:
        assert "unsupported dtype" in str(e)
        encoded_error = e
    encoded = encoded_error is None
    assert coded == encoded
    if coded:
        assert check_dtype(dt) == dt.newbyteorder("=")
    else:
        with pytest.raises(TypeError) as refused:
            check_dtype(dt)
        assert str(refused.value) == f"HTJ2K chunks: {str(encoded_error).split(': ', 1)[1]}"


@pytest.mark.parametrize("shape", [(3, 6, 7), (6, 7, 3), (4, 5, 5), (5, 5, 5), (6, 5, 4),
                                   (2, 4, 9), (4, 4, 4)])
def test_the_python_layout_guess_is_the_modules(shape):
    from ferroglyph import _args

    comps = ferroglyph.decode_info(_openjph.encode(np.zeros(shape, np.uint8)))["components"]
    assert comps == (shape[0] if _args.planar(shape, None) else shape[2])
@pytest.mark.parametrize("shape", [(3, 40, 50), (4, 40, 5), (5, 40, 50), (4, 40, 4), (40, 50, 3),
                                   (2, 8, 9)])
def test_one_reading_of_a_3d_array_without_planar(shape):
    # The module's default layout, asked of it by the public encode (the
    # component transform for planar RGB), its tiled encode and its rate search.
    a = RNG.integers(0, 200, shape, dtype=np.uint8)
    planar = _openjph._planar_default(shape[0], shape[2])
    info = ferroglyph.decode_info(_openjph.encode(a))
    assert (info["components"], info["height"]) == ((shape[0], shape[1]) if planar else
                                                    (shape[2], shape[0]))
    for kw in ({}, {"tile": (16, 16), "numthreads": 2}, {"psnr": 60}):
        back = ferroglyph.decode(ferroglyph.encode(a, **kw), planar=planar)
        assert back.shape == shape
