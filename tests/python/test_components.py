"""Components at their own sizes: decode_components and encode_components."""

import json
import os

import numpy as np
import pytest

import codestreams as cst
import ferroglyph
from ferroglyph import cli
from ferroglyph._components import components_info, decode_components, encode_components
from ferroglyph.codecs import _openjph
from ferroglyph.codecs._openjph import OpenJphError

KAKADU = "openjph_test_codestreams"


def load(corpus_dir, name):
    with open(os.path.join(corpus_dir, KAKADU, name), "rb") as f:
        return cst.raw_codestream(f.read())


@pytest.fixture(scope="module")
def foreman(corpus_dir):
    """The first frame of the foreman 4:2:0 reference: Y 352x288, Cb and Cr 176x144."""
    raw = np.fromfile(os.path.join(corpus_dir, KAKADU, "references", "foreman_420.yuv"), np.uint8)
    y, c = 352 * 288, 176 * 144
    return [raw[:y].reshape(288, 352), raw[y:y + c].reshape(144, 176),
            raw[y + c:y + 2 * c].reshape(144, 176)]


def expected_errors(corpus_dir, name):
    """(MSE, PAE) per component for `name` from mse_pae.txt."""
    with open(os.path.join(corpus_dir, KAKADU, "mse_pae.txt")) as f:
        lines = [line.split() for line in f if line.strip()]
    at = next(i for i, fields in enumerate(lines) if fields[0] == name)
    return [(float(m), int(p)) for m, p in lines[at + 1:at + 4]]


@pytest.mark.parametrize("name", ["simple_dec_rev53_64x64_yuv.jph",
                                  "simple_dec_rev53_64x64_tiles_yuv.jph"])
def test_lossless_420_corpus_files_decode_to_the_reference_frame(corpus_dir, foreman, name):
    with open(os.path.join(corpus_dir, KAKADU, name), "rb") as f:
        got = ferroglyph.decode_components(f.read())  # the JPH file itself
    assert [a.shape for a in got] == [(288, 352), (144, 176), (144, 176)]
    for c, (a, want) in enumerate(zip(got, foreman)):
        assert a.dtype == np.uint8
        np.testing.assert_array_equal(a, want, err_msg=f"component {c}")


@pytest.mark.parametrize("name", ["simple_dec_irv97_64x64_yuv.jph",
                                  "simple_dec_irv97_64x64_tiles_yuv.jph",
                                  "openjph_encoded/simple_enc_irv97_64x64_yuv.j2c"])
def test_irreversible_420_corpus_files_are_within_their_listed_errors(corpus_dir, foreman, name):
    got = decode_components(load(corpus_dir, name))
    for c, (a, want, (mse, pae)) in enumerate(zip(got, foreman, expected_errors(corpus_dir, name.split("/")[-1]))):
        err = a.astype(np.int64) - want
        assert np.abs(err).max() <= pae, f"component {c}"
        assert np.mean(err.astype(np.float64) ** 2) <= mse * (1 + 1e-3), f"component {c}"


def own_grid_size(extent, offset, factor, reduce):
    """A component's samples along one axis at a reduction, from its own
    coordinates (ISO/IEC 15444-1, B.2 and B.5): ceil(ceil(x / d) / 2**r)."""
    step = factor << reduce
    return -(-extent // step) - -(-offset // step)


def test_reduced_corpus_components_follow_their_own_grid(corpus_dir):
    cs = load(corpus_dir, "simple_dec_rev53_64x64_tiles_yuv.jph")
    facts = components_info(cs)
    assert [f["subsampling"] for f in facts] == [(1, 1), (2, 2), (2, 2)]
    for reduce in range(1, 6):
        got = decode_components(cs, reduce=reduce)
        for a, f in zip(got, facts):
            dx, dy = f["subsampling"]
            assert a.shape == (own_grid_size(288, 0, dy, reduce), own_grid_size(352, 0, dx, reduce))


def samples(rng, shape, bits, dtype):
    dtype = np.dtype(dtype)
    lo, hi = (-(1 << (bits - 1)), (1 << (bits - 1))) if dtype.kind == "i" else (0, 1 << bits)
    return rng.integers(lo, hi, shape).astype(dtype)


# (name, (dx, dy) of the chroma components)
LAYOUTS = [("4:4:4", (1, 1)), ("4:2:2", (2, 1)), ("4:2:0", (2, 2)), ("4:1:1", (4, 1))]


def ycbcr(layout, width=61, height=37, dtype=np.uint16, bits=(12, 10, 10), seed=0):
    rng = np.random.default_rng(seed)
    dx, dy = layout
    chroma = (-(-height // dy), -(-width // dx))
    return [samples(rng, (height, width), bits[0], dtype), samples(rng, chroma, bits[1], dtype),
            samples(rng, chroma, bits[2], dtype)]


@pytest.mark.parametrize("dtype", [np.uint16, np.int16])
@pytest.mark.parametrize("tile", [None, (24, 16)])
@pytest.mark.parametrize("name, layout", LAYOUTS)
def test_round_trips_every_layout_at_mixed_precisions(name, layout, tile, dtype):
    comps = ycbcr(layout, dtype=dtype)
    cs = encode_components(comps, bits=(12, 10, 10), tile=tile)
    facts = components_info(cs)
    assert [f["subsampling"] for f in facts] == [(1, 1), layout, layout]
    assert [f["bit_depth"] for f in facts] == [12, 10, 10]
    assert all(f["signed"] == (np.dtype(dtype).kind == "i") for f in facts)
    got = decode_components(cs)
    for a, want in zip(got, comps):
        assert a.dtype == want.dtype
        np.testing.assert_array_equal(a, want)


@pytest.mark.parametrize("reduce", [1, 2, 3])
@pytest.mark.parametrize("name, layout", LAYOUTS[1:])
def test_reduced_components_equal_each_component_coded_alone(name, layout, reduce):
    # Without the component transform every component is coded on its own,
    # so OpenJPH's reduced reconstruction of a single-component codestream of
    # the same samples is the reference.
    comps = ycbcr(layout, width=83, height=45, dtype=np.uint8, bits=(8, 8, 8))
    got = decode_components(encode_components(comps, num_decomp=4), reduce=reduce)
    for c, (a, plane) in enumerate(zip(got, comps)):
        alone = _openjph.decode(_openjph.encode(plane, num_decomp=4), reduce=reduce)
        np.testing.assert_array_equal(a, alone, err_msg=f"component {c}")


def test_uniform_codestreams_decode_to_the_planes_of_decode():
    rng = np.random.default_rng(3)
    image = rng.integers(0, 256, (3, 20, 30), dtype=np.uint8)
    cs = _openjph.encode(image, planar=True)
    whole = _openjph.decode(cs, planar=True)
    assert all(np.array_equal(a, p) for a, p in zip(decode_components(cs), whole))


def test_floating_point_components_come_back_as_float32():
    image = np.linspace(-3, 3, 2 * 8 * 9, dtype=np.float32).reshape(8, 9, 2)
    cs = _openjph.encode(image, planar=False)
    got = decode_components(cs)
    assert [a.dtype for a in got] == [np.float32, np.float32]
    np.testing.assert_array_equal(np.stack(got, axis=-1), image)


def test_lossy_coding_of_subsampled_components_stays_close():
    comps = ycbcr((2, 2), width=128, height=96, dtype=np.uint16, bits=(12, 12, 12))
    smooth = [np.cumsum(np.ones_like(c), axis=1).astype(np.uint16) * 7 for c in comps]
    got = decode_components(encode_components(smooth, 0.001, bits=12))
    for a, want in zip(got, smooth):
        assert np.abs(a.astype(np.int64) - want).max() <= 8


@pytest.mark.parametrize("components, keywords, error, text", [
    ([np.zeros((10, 20), np.uint8), np.zeros((10, 9), np.uint8)], {}, ValueError,
     "component 1 is 9 samples wide, which is not an integer subsampling"),
    ([np.zeros((10, 20), np.uint8), np.zeros((11, 20), np.uint8)], {}, ValueError,
     "component 1 is 11 samples high"),
    ([np.zeros((4, 600), np.uint8), np.zeros((4, 2), np.uint8)], {}, ValueError,
     "(1 to 255)"),
    ([np.zeros((10, 20), np.uint8)] + [np.zeros((5, 10), np.uint8)] * 2, {"rgb": True}, ValueError,
     "cannot be used when a component is subsampled"),
    ([np.zeros((10, 20), np.uint16)] * 2, {"bits": (12, 17)}, ValueError,
     "component 1: bits must be from 1 to 16 for uint16 samples, got 17"),
    ([np.zeros((10, 20), np.uint16)] * 2, {"bits": (12,)}, ValueError,
     "bits has 1 entries for 2 components"),
    ([np.full((10, 20), 4096, np.uint16)], {"bits": 12}, ValueError,
     "component 0: bits=12 allows values from 0 to 4095, but the data holds 4096 at index (0, 0)"),
    ([np.zeros((10, 20), np.float32)], {}, TypeError, "has dtype float32"),
    ([np.zeros((2, 10, 20), np.uint8)], {}, ValueError, "each must be 2-D"),
    ([], {}, ValueError, "no components"),
    ([np.zeros((10, 20), np.uint8)], {"level": float("nan")}, ValueError, "from 1 to 100; got nan"),
    ([np.zeros((10, 20), np.uint8)], {"planar": True}, TypeError, "unexpected keyword argument 'planar'"),
    *[([np.zeros((10, 20), np.uint8)], {"block_size": bs}, error, "block_size must be a pair")
      for bs, error in [(64, TypeError), ("ab", TypeError), (("a", "b"), TypeError),
                        ((64,), ValueError), ((64, 64, 1), ValueError)]],
])
def test_refusals_name_the_problem(components, keywords, error, text):
    with pytest.raises(error) as info:
        encode_components(components, **keywords)
    assert text in str(info.value)


def test_non_power_of_two_subsampling_gets_a_progression_openjph_accepts():
    comps = ycbcr((3, 1), width=30, height=8, dtype=np.uint8, bits=(8, 8, 8))
    got = decode_components(encode_components(comps))
    assert all(np.array_equal(a, b) for a, b in zip(got, comps))
    with pytest.raises(OpenJphError, match="encode_components"):
        encode_components(comps, prog_order="RPCL")


def test_a_truncated_codestream_is_an_error_unless_not_strict():
    comps = ycbcr((2, 2), width=64, height=64, dtype=np.uint8, bits=(8, 8, 8))
    cut = cst.truncate_tile_data(encode_components(comps), 0.5)
    with pytest.raises(OpenJphError, match=r"ends after \d+ bytes; its tile-parts declare"):
        decode_components(cut)
    with pytest.raises(OpenJphError, match="tile-parts declare"):
        decode_components(cut, resilient=True)
    for resilient in (False, True):
        with pytest.warns(RuntimeWarning, match="OpenJPH"):
            got = decode_components(cut, resilient=resilient, strict=False)
        assert [a.shape for a in got] == [(64, 64), (32, 32), (32, 32)]


def test_decode_refuses_non_uniform_codestreams_while_decode_components_reads_them():
    cs = encode_components(ycbcr((2, 1)))
    assert _openjph.decode_info(cs)["uniform"] is False
    with pytest.raises(OpenJphError, match="components differ"):
        _openjph.decode(cs)
    assert len(decode_components(cs)) == 3


FOREMAN_FACTS = [{"width": 352, "height": 288, "subsampling": (1, 1), "bit_depth": 8,
                  "signed": False, "nlt_type": 0}] + [
    {"width": 176, "height": 144, "subsampling": (2, 2), "bit_depth": 8, "signed": False,
     "nlt_type": 0}] * 2


def test_public_decode_info_lists_every_component(corpus_dir):
    path = os.path.join(corpus_dir, KAKADU, "simple_dec_rev53_64x64_yuv.jph")
    with open(path, "rb") as f:
        data = f.read()
    info = ferroglyph.decode_info(data)
    assert info["uniform"] is False and info["shape"] is None
    assert info["components_info"] == FOREMAN_FACTS
    assert [c["width"] for c in ferroglyph.decode_info(data, reduce=2)["components_info"]] == \
        [88, 44, 44]
    uniform = ferroglyph.decode_info(ferroglyph.encode(np.zeros((4, 6, 3), np.int16)))
    assert [(c["width"], c["signed"]) for c in uniform["components_info"]] == [(6, True)] * 3


def test_public_decode_and_imread_point_non_uniform_files_to_decode_components(corpus_dir):
    path = os.path.join(corpus_dir, KAKADU, "simple_dec_irv97_64x64_tiles_yuv.jph")
    with open(path, "rb") as f:
        data = f.read()
    with pytest.raises(ferroglyph.OpenJphError, match=r"decode_components\(data\)"):
        ferroglyph.decode(data)
    with pytest.raises(ferroglyph.OpenJphError, match=r"^imread: .*decode_components"):
        ferroglyph.imread(path)


def test_command_line_info_and_decode_of_a_420_file(corpus_dir, tmp_path, capsys):
    path = os.path.join(corpus_dir, KAKADU, "simple_dec_rev53_64x64_yuv.jph")
    assert cli.main(["info", path]) == 0
    facts = json.loads(capsys.readouterr().out)
    assert facts["components_info"] == json.loads(json.dumps(FOREMAN_FACTS))
    assert cli.main(["decode", path, "-o", str(tmp_path / "frame.npy")]) == 0
    planes = [np.load(tmp_path / f"frame_c{c}.npy") for c in range(3)]
    assert [p.shape for p in planes] == [(288, 352), (144, 176), (144, 176)]
    mixed = tmp_path / "mixed.j2c"
    mixed.write_bytes(encode_components(ycbcr((2, 1)), bits=(12, 10, 10)))
    assert cli.main(["decode", str(mixed), "-o", str(tmp_path / "mixed.pgm")]) == 0
    assert [(tmp_path / f"mixed_c{c}.pgm").read_bytes().split(b"\n")[2] for c in range(3)] == \
        [b"4095", b"1023", b"1023"]
    assert cli.main(["decode", path, "-o", str(tmp_path / "half.npz"), "--reduce", "1"]) == 0
    with np.load(tmp_path / "half.npz") as z:
        assert {k: z[k].shape for k in z} == {"c0": (144, 176), "c1": (72, 88), "c2": (72, 88)}


def test_threads_decode_and_encode_components_at_once():
    # The lock is released while OpenJPH works, and messages stay per thread:
    # threads mixing good decodes, refused reductions and encodes each get
    # their own outcome.
    from concurrent.futures import ThreadPoolExecutor
    comps = ycbcr((2, 2), width=160, height=96, dtype=np.uint16)
    cs = encode_components(comps, bits=(12, 10, 10), tile=(64, 64))

    def work(i):
        if i % 3 == 0:
            with pytest.raises(ValueError, match="the maximum is reduce="):
                decode_components(cs, reduce=9)
            return True
        if i % 3 == 1:
            return encode_components(comps, bits=(12, 10, 10), tile=(64, 64)) == cs
        return all(np.array_equal(a, b) for a, b in zip(decode_components(cs), comps))

    with ThreadPoolExecutor(4) as pool:
        assert all(pool.map(work, range(24)))
