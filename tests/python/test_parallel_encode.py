"""Tiled encodes on several threads give the bytes of the one-call encode."""

import itertools
import threading
import tracemalloc

import numpy as np
import pytest

import codestreams as cst
import ferroglyph
from ferroglyph import _parallel_encode as pe
from ferroglyph.codecs import _openjph as oj

RNG = np.random.default_rng(2026)


def random_image(shape, dtype):
    return cst.random_image(shape, dtype, RNG)


class Spy:
    """The module's encoders, counted; ``fail_at`` makes that run raise."""

    def __init__(self, fail_at=None):
        self.headers = 0
        self.runs = []
        self.fail_at = fail_at
        self.lock = threading.Lock()

    def _encode_ex(self, data, level=None, **keywords):
        if keywords.get("header_only"):
            self.headers += 1
        elif "origin" in keywords:
            with self.lock:
                self.runs.append(keywords["origin"])
            if keywords["origin"] == self.fail_at:
                raise oj.OpenJphError("HTJ2K encode: injected")
        return oj._encode_ex(data, level, **keywords)

    encode = staticmethod(oj.encode)
    _planar_default = staticmethod(oj._planar_default)
    OpenJphError = oj.OpenJphError


@pytest.fixture
def spy(monkeypatch):
    # One tile to a run, so that small images take the parallel path too.
    monkeypatch.setattr(pe, "_RUN_PIXELS", 1)
    s = Spy()
    monkeypatch.setattr(pe, "_openjph", s)
    return s


def assert_identical(spy, data, level=None, **keywords):
    """Both encoders give the same bytes, or the same error."""
    runs = len(spy.runs)
    try:
        expected = oj._encode_ex(data, level, **keywords) if "bits" in keywords \
            else oj.encode(data, level, **keywords)
    except Exception as error:  # noqa: BLE001 - compared below
        with pytest.raises(type(error)) as raised:
            pe.encode(data, level, numthreads=2, **keywords)
        assert str(raised.value) == str(error)
        assert len(spy.runs) == runs, "no tile may be coded when the one call refuses"
        return
    before = spy.headers
    assert pe.encode(data, level, numthreads=2, **keywords) == expected
    assert spy.headers == before + 1, "the parallel path was not taken"


SHAPES = [(45, 70), (45, 70, 3), (45, 70, 4), (3, 45, 70), (1, 45, 70)]
DTYPES = [np.uint8, np.int8, np.uint16, np.int16, np.uint32, np.int32, np.float32]


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("level", [None, 0.02, 85], ids=["lossless", "step", "quality"])
def test_dtypes_layouts_and_levels(spy, shape, dtype, level):
    image = random_image(shape, dtype)
    planar = len(shape) == 3 and shape[0] <= 4 or None
    for tile in [(16, 16), (17, 13), (64, 31), (200, 20)]:
        assert_identical(spy, image, level, tile=tile, planar=planar)


# Tiles larger than the image in one direction, one sample wide, odd.
@pytest.mark.parametrize("tile", [(71, 16), (16, 46), (1, 45), (3, 1), (33, 29)], ids=str)
def test_tile_sizes_that_do_not_divide(spy, tile):
    image = random_image((45, 70, 3), np.uint8)
    assert_identical(spy, image, tile=tile, num_decomp=1)
    assert_identical(spy, image, 90, tile=tile, resolutions=4)


@pytest.mark.parametrize("resolutions, num_decomp", list(itertools.product(
    [None, 1, 3, 9], [None, 0, 2, 6])))
def test_decomposition_levels(spy, resolutions, num_decomp):
    image = random_image((45, 70, 3), np.uint16)
    assert_identical(spy, image, tile=(17, 16), resolutions=resolutions, num_decomp=num_decomp)
    assert_identical(spy, image[..., 0], 0.01, tile=(17, 16), resolutions=resolutions,
                     num_decomp=num_decomp)


@pytest.mark.parametrize("prog_order", ["LRCP", "RLCP", "RPCL", "PCRL", "cprl"])
@pytest.mark.parametrize("tilepart", [None, 1, 2, 3])
def test_progression_tile_parts_tlm_and_code_blocks(spy, prog_order, tilepart):
    image = random_image((45, 70, 3), np.uint8)
    for tlm, block_size in itertools.product([None, True], [None, (4, 4), (32, 16), (48, 48)]):
        assert_identical(spy, image, tile=(23, 19), prog_order=prog_order, tilepart=tilepart,
                         tlm=tlm, block_size=block_size)


@pytest.mark.parametrize("image, keywords", [
    (random_image((64, 64, 3), np.uint8),
     dict(tile=(32, 32), profile="broadcast", prog_order="CPRL", num_decomp=4)),
    (random_image((1100, 1030), np.uint16) >> 4,
     dict(tile=(1024, 1024), profile="IMF", prog_order="CPRL", block_size=(32, 32), tilepart=1)),
    (random_image((96, 64, 3), np.uint8),  # six tiles: refused by the profile
     dict(tile=(32, 32), profile="BROADCAST", prog_order="CPRL")),
], ids=["broadcast", "imf", "broadcast-refused"])
def test_profiles(spy, image, keywords):
    assert_identical(spy, image, **keywords)


def test_bits_pass_through(spy):
    image = random_image((45, 70), np.uint16) >> 4
    assert_identical(spy, image, tile=(16, 16), bits=12)
    assert_identical(spy, image, 50, tile=(16, 16), bits=12)


@pytest.mark.parametrize("make", [
    lambda a: a[::-1],                                   # negative row stride
    lambda a: a[:, ::2],                                  # every other column
    lambda a: np.asfortranarray(a),
    lambda a: a.astype(a.dtype.newbyteorder()),           # byte-swapped samples
    lambda a: a.tolist(),                                 # not an array
], ids=["flipped", "strided", "fortran", "swapped", "list"])
def test_inputs_that_are_not_c_contiguous(spy, make):
    image = random_image((45, 140, 3), np.uint16)
    assert_identical(spy, make(image), tile=(16, 16))


def test_tlm_over_several_segments():
    # 16384 tiles: OpenJPH splits the TLM after 10921 tile-parts.
    image = random_image((1024, 1024), np.uint8)
    expected = oj.encode(image, tile=(8, 8), tlm=True, num_decomp=1)
    assert expected.count(b"\xff\x55") >= 2
    assert pe.encode(image, tile=(8, 8), tlm=True, num_decomp=1, numthreads=2) == expected


@pytest.mark.parametrize("keywords", [
    dict(), dict(tile=(32, 32), numthreads=1), dict(tile=(64, 64)), dict(tile=(0, 16)),
], ids=["untiled", "one-thread", "one-tile", "no-tile-width"])
def test_one_call_where_nothing_is_parallel(spy, keywords):
    image = random_image((64, 64), np.uint8)
    numthreads = keywords.pop("numthreads", 2)
    assert pe.encode(image, numthreads=numthreads, **keywords) == oj.encode(image, **keywords)
    assert spy.headers == 0


def test_keywords_of_the_geometry_are_not_encodes(spy):
    with pytest.raises(TypeError, match="unexpected keyword argument 'origin'"):
        pe.encode(random_image((64, 64), np.uint8), tile=(16, 16), origin=(0, 0), numthreads=2)


@pytest.mark.parametrize("numthreads, kind", [
    (-1, ValueError), (1.5, TypeError), (True, TypeError), ("2", TypeError)])
def test_bad_numthreads_is_refused_even_untiled(numthreads, kind):
    with pytest.raises(kind, match="numthreads"):
        pe.encode(np.zeros((8, 8), np.uint8), numthreads=numthreads)


def test_a_failing_run_stops_the_rest_and_raises_once(monkeypatch, spy):
    spy.fail_at = (0, 0)
    image = random_image((64, 512), np.uint8)
    with pytest.raises(oj.OpenJphError, match="injected"):
        pe.encode(image, tile=(16, 16), numthreads=2)
    # 128 runs: the other worker finishes at most the one it had started.
    assert len(spy.runs) <= 3


def test_tiles_are_read_in_place():
    image = np.zeros((2048, 2048, 3), np.uint8)  # 12 MiB, coded to almost nothing
    tracemalloc.start()
    try:
        pe.encode(image, tile=(256, 256), numthreads=2)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < image.nbytes // 8


def test_the_package_encodes_in_parallel(spy):
    image = random_image((300, 400, 3), np.uint8)
    assert ferroglyph.encode(image, tile=(128, 128), numthreads=2) == \
        oj.encode(image, tile=(128, 128))
    assert spy.headers == 1


@pytest.mark.parametrize("args, keywords", [
    ((), {}), ((85,), {"reversible": False}), ((), {"tlm": True, "planar": False}),
    ((), {"bogus": 1}), ((), {"tile": None}),
], ids=["lossless", "quality", "tlm", "unknown-keyword", "tile-none"])
def test_the_package_untiled_is_one_call_of_the_module(args, keywords):
    image = random_image((40, 50, 3), np.uint8)
    try:
        expected = oj.encode(image, *args, **keywords)
    except Exception as error:  # noqa: BLE001 - compared below
        with pytest.raises(type(error)) as raised:
            ferroglyph.encode(image, *args, **keywords)
        assert str(raised.value) == str(error)
    else:
        assert ferroglyph.encode(image, *args, **keywords) == expected
