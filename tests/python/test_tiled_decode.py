"""Decoding a multi-tile codestream tile by tile (_decode_tiled) and how decode uses it.

A tiled decode must give exactly what the whole decode gives (numthreads=1),
or step aside (None) so that the whole decode runs and reports the codestream
once.  Most tests pass numthreads=2, an explicit cap that the worker policy
honours whatever the image size and CPU count.
"""

from __future__ import annotations

import functools
import os
import struct
import threading
import types
import warnings

import numpy as np
import pytest

import ferroglyph.codecs._openjph as ojph
import ferroglyph.core.parallel as par
import codestreams as cst
from ferroglyph.codecs._openjph import OpenJphError, OpenJphUnsupportedFeature

RNG = np.random.default_rng(7)


def img(shape, dtype=np.uint8, lo=0, hi=256):
    return RNG.integers(lo, hi, shape, dtype=dtype)


GRAY = img((100, 100))
RGB = img((100, 100, 3))


@functools.cache
def gray4() -> bytes:
    return ojph.encode(GRAY, tile=(64, 64))


@functools.cache
def rgb4() -> bytes:
    return ojph.encode(RGB, tile=(64, 64), rgb=True)


def chw(a):
    return np.ascontiguousarray(np.moveaxis(a, -1, 0))


def whole(cs, **kw):
    return ojph.decode(cs, numthreads=1, **kw)


def assert_same_array(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    assert got.tobytes() == want.tobytes()  # bit patterns, so NaNs compare too


def outcome(call):
    """What a call did: its array (as dtype, shape, bytes) or its exception,
    and the text of every warning it issued."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            a = call()
            result = ("returned", a.dtype, a.shape, a.tobytes())
        except Exception as e:  # noqa: BLE001 - compared, not swallowed
            result = ("raised", type(e), str(e))
    return result, [(w.category, str(w.message)) for w in caught]


@pytest.fixture
def tiled_calls(monkeypatch):
    """Records every _decode_tiled call that decode makes, with its result."""
    calls = []
    real = ojph._decode_tiled

    def spy(*args):
        result = real(*args)
        calls.append((args, result))
        return result

    monkeypatch.setattr(ojph, "_decode_tiled", spy)
    return calls


# ---------------------------------------------------------------------------
# Equal to the whole decode

F32 = (RNG.standard_normal((60, 50)) * 1000).astype(np.float32)
F32[3, 4], F32[5, 6], F32[7, 8], F32[9, 10] = np.inf, -0.0, np.float32(1e-42), np.nan
LOSSY = object()

# name: (the image as a planar decode returns it, encode keywords)
CASES = {
    "gray": (GRAY, {"tile": (64, 64)}),
    "gray, odd tiles": (GRAY[:53, :77], {"tile": (20, 17)}),
    "gray, tiles wider than tall": (img((40, 130)), {"tile": (33, 64)}),
    "gray, one tile column": (img((90, 40)), {"tile": (64, 16)}),
    "rgb with component transform": (chw(RGB), {"tile": (64, 64), "rgb": True}),
    "rgb without component transform": (chw(RGB), {"tile": (64, 64), "rgb": False}),
    "rgba with component transform": (chw(img((70, 90, 4))), {"tile": (32, 48), "rgb": True}),
    "planar input, 5 components": (img((5, 40, 60)), {"tile": (32, 32), "planar": True}),
    "uint16 holding 12 bits": (img((90, 70), np.uint16, 0, 4096), {"tile": (32, 32)}),
    "int16": (img((60, 50), np.int16, -3000, 3000), {"tile": (16, 32)}),
    "uint32, 24 bits": (img((40, 40), np.uint32, 0, 1 << 24), {"tile": (16, 16)}),
    "float32": (F32, {"tile": (32, 32)}),
    "float32, 3 components": (chw(RNG.standard_normal((40, 30, 3)).astype(np.float32)),
                              {"tile": (16, 16)}),
    "irreversible": (LOSSY, {"tile": (32, 32), "level": 0.01, "source": GRAY}),
    "irreversible rgb": (LOSSY, {"tile": (64, 32), "level": 90, "source": RGB, "rgb": True}),
    "six tile-parts per tile, TLM": (GRAY, {"tile": (64, 64), "tilepart": 1, "tlm": True}),
}


@functools.cache
def case_codestream(name) -> bytes:
    src, kw = CASES[name]
    kw = dict(kw)
    data = kw.pop("source", None)
    if data is None:
        data = src if src.ndim == 2 or kw.get("planar") else np.moveaxis(src, 0, -1)
    return ojph.encode(data, **kw)


def expected_layout(src, cs, planar):
    """The source as a lossless decode with ``planar`` returns it."""
    if src.ndim == 2:
        return src
    flat = not ojph.decode_info(cs)["color_transform"] if planar is None else planar
    return src if flat else np.ascontiguousarray(np.moveaxis(src, 0, -1))


@pytest.mark.parametrize("planar", [None, True, False],
                         ids=["planar=None", "planar", "interleaved"])
@pytest.mark.parametrize("name", CASES)
def test_tiled_decode_equals_whole_decode(name, planar):
    cs = case_codestream(name)
    got = ojph._decode_tiled(cs, 2, planar, None)
    assert got is not None
    assert_same_array(got, whole(cs, planar=planar))
    src = CASES[name][0]
    if src is not LOSSY:
        assert_same_array(got, expected_layout(src, cs, planar))


EDITED = {
    "tile-parts interleaved 0,1,2,3,0,...": lambda: cst.reorder_parts(
        case_codestream("six tile-parts per tile, TLM"),
        sorted(range(24), key=lambda i: (i % 6, i // 6))),
    "tiles in reverse order": lambda: cst.reorder_parts(gray4(), [3, 2, 1, 0]),
    "Psot 0 on the last tile-part": lambda: cst.set_sot(gray4(), 3, psot=0),
    "PLT and COM in tile-part headers": lambda: cst.insert_in_part_header(
        cst.insert_in_part_header(gray4(), 1, cst.segment(cst.COM, b"\x00\x01note")),
        2, cst.segment(cst.PLT, b"\x00" + bytes([5]))),
    "PLM in the main header": lambda: cst.insert_main(gray4(), cst.segment(cst.PLM, b"\x00\x01\x05")),
    "extra empty tile-part": lambda: cst.insert_part(
        cst.set_sot(gray4(), 0, tnsot=2), 1, cst.sot_segment(0, 14, 1, 2) + b"\xff\x93"),
}


@pytest.mark.parametrize("make", EDITED.values(), ids=EDITED.keys())
def test_edited_layouts_decode_tile_by_tile(make):
    cs = make()
    got = ojph._decode_tiled(cs, 2, None, None)
    assert got is not None
    assert_same_array(got, whole(cs))
    assert_same_array(got, GRAY)


def test_missing_eoc_gives_the_image_without_the_whole_decodes_warning():
    # The single-tile codestreams end in EOC, so no tile is cut short.
    cs = gray4()[:-2]
    with pytest.warns(RuntimeWarning, match="File terminated early"):
        want = whole(cs)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = ojph.decode(cs, numthreads=2)
    assert_same_array(got, want)


@pytest.mark.parametrize("name", ["gray", "gray, odd tiles", "rgb with component transform",
                                  "rgb without component transform", "float32",
                                  "float32, 3 components", "irreversible rgb"])
def test_each_single_tile_codestream_decodes_to_its_rectangle(name):
    cs = case_codestream(name)
    full = whole(cs)
    mv, main, tiles = ojph._tile_plan(cs)
    info = ojph.decode_info(cs)
    planar = info["components"] > 1 and not info["color_transform"]
    for tile in tiles:
        x0, y0, x1, y1 = tile[:4]
        part = whole(ojph._tile_codestream(mv, main, tile))
        rect = full[:, y0:y1, x0:x1] if planar else full[y0:y1, x0:x1]
        assert_same_array(part, np.ascontiguousarray(rect))


# ---------------------------------------------------------------------------
# How decode uses the tiled path


def test_decode_returns_the_tiled_result_itself(tiled_calls):
    out = ojph.decode(rgb4(), numthreads=2)
    (args, result), = tiled_calls
    assert result is not None and out is result


@pytest.mark.parametrize("kw", [
    {"numthreads": 1}, {"numthreads": 1.0}, {"numthreads": np.int64(1)}, {"numthreads": True},
    {"reduce": 1}, {"skipres": 1}, {"skipres": (1, 0)}, {"reduce": 2, "numthreads": 2},
    {"resilient": True}, {"ignore_unsupported": True}, {"ignore_unsupported": 1, "numthreads": 4},
], ids=repr)
def test_decode_skips_the_tiled_path(tiled_calls, kw):
    ojph.decode(gray4(), **kw)
    assert tiled_calls == []


@pytest.mark.parametrize("kw", [
    {}, {"numthreads": None}, {"numthreads": 0}, {"numthreads": 2}, {"numthreads": np.int8(3)},
    {"reduce": 0, "skipres": 0, "planar": True}, {"skipres": (0, 0), "resilient": 0},
], ids=repr)
def test_decode_offers_full_resolution_decodes_to_the_tiled_path(tiled_calls, kw):
    data = bytearray(rgb4())
    out = np.empty((3, 100, 100) if kw.get("planar") else (100, 100, 3), np.uint8)
    ojph.decode(data, out=out, **kw)
    (args, _), = tiled_calls
    assert args[0] is data and args[3] is out
    assert args[1] is kw.get("numthreads") and args[2] is kw.get("planar")


def test_decode_with_ignore_unsupported_decodes_a_warning_tile_whole(tiled_calls):
    cs = cst.insert_in_part_header(gray4(), 2, cst.main_segment(gray4(), cst.COD))
    got = ojph.decode(cs, ignore_unsupported=True, numthreads=2)
    assert tiled_calls == []
    assert_same_array(got, GRAY)
    assert "COD marker segment in a tile" in ojph.last_warnings()


def test_automatic_worker_count_uses_tiles_for_large_images(monkeypatch, tiled_calls):
    monkeypatch.setattr(par, "available_cpus", lambda: 2)
    big = img((200, 480, 3))  # 288,000 bytes of output
    cs = ojph.encode(big, tile=(128, 128), rgb=True)
    assert_same_array(ojph.decode(cs), big)
    assert ojph.decode(gray4()).shape == (100, 100)  # 10,000 bytes: whole
    assert [r is not None for _, r in tiled_calls] == [True, False]
    monkeypatch.setattr(par, "available_cpus", lambda: 1)
    assert ojph._decode_tiled(cs, None, None, None) is None


def test_tiles_are_decoded_by_decode_with_one_thread_as_tiles(monkeypatch):
    calls = []
    lock = threading.Lock()
    real = ojph.decode

    def spy(data, **kw):
        with lock:
            calls.append((kw, threading.current_thread().name))
        return real(data, **kw)

    monkeypatch.setattr(ojph, "decode", spy)
    for planar, want in [(None, False), (True, True), (0, False), ("yes", True)]:
        calls.clear()
        assert ojph._decode_tiled(rgb4(), 2, planar, None) is not None
        assert len(calls) == 4
        for kw, thread in calls:
            assert kw == {"planar": want, "numthreads": 1, "_tile": True}
            assert thread.startswith("htj2k-tiles")


# ---------------------------------------------------------------------------
# out=


@pytest.mark.parametrize("name, planar", [("gray", None), ("rgb with component transform", None),
                                          ("rgb with component transform", True),
                                          ("float32, 3 components", False)])
def test_out_array_is_filled_and_returned(name, planar):
    cs = case_codestream(name)
    want = whole(cs, planar=planar)
    out = np.full(want.shape, 7, want.dtype)
    assert ojph._decode_tiled(cs, 2, planar, out) is out
    assert_same_array(out, want)
    out2 = np.zeros_like(want)
    assert ojph.decode(cs, planar=planar, out=out2, numthreads=2) is out2
    assert_same_array(out2, want)


def test_out_bytearray_receives_the_image():
    cs = case_codestream("uint16 holding 12 bits")
    want = whole(cs)
    buf = bytearray(want.nbytes)
    got = ojph._decode_tiled(cs, 2, None, buf)
    assert_same_array(got, want)
    assert bytes(buf) == want.tobytes()
    got[0, 0] ^= 1
    assert bytes(buf) != want.tobytes()  # a view of buf, not a copy


@pytest.mark.parametrize("make_out", [
    lambda: np.zeros((100, 100, 3), np.uint8),            # interleaved for a planar decode
    lambda: np.zeros((3, 100, 100), np.uint16),           # wrong dtype
    lambda: np.zeros((3, 100, 200), np.uint8)[:, :, ::2],  # not contiguous
    lambda: bytearray(3 * 100 * 100 - 1),
    lambda: bytes(3 * 100 * 100),                          # read-only
], ids=["shape", "dtype", "strided", "short bytearray", "bytes"])
def test_mismatched_out_raises_before_any_tile(monkeypatch, make_out):
    cs = ojph.encode(RGB, tile=(64, 64), rgb=False)
    out = make_out()
    before = bytes(np.ascontiguousarray(out)) if isinstance(out, np.ndarray) else bytes(out)
    tile_decodes = []
    monkeypatch.setattr(ojph, "_tile_codestream", lambda *a: tile_decodes.append(a))
    with pytest.raises(ValueError):
        ojph._decode_tiled(cs, 2, None, out)
    with pytest.raises(ValueError):
        ojph.decode(cs, out=out, numthreads=2)
    assert tile_decodes == []
    after = bytes(np.ascontiguousarray(out)) if isinstance(out, np.ndarray) else bytes(out)
    assert after == before


def test_float32_out_must_be_float32():
    cs = case_codestream("float32")
    with pytest.raises(ValueError, match="dtype"):
        ojph._decode_tiled(cs, 2, None, np.zeros((60, 50), np.int32))


# ---------------------------------------------------------------------------
# Stepping aside: the whole decode then gives the result, warnings or error


def lut_nlt(cs: bytes) -> bytes:
    payload = struct.pack(">HBBHIIB", 0xFFFF, 15, 2, 1, 0, 65535, 16)
    return cst.insert_main(cs, cst.segment(0xFF76, payload + np.array([0, 65535], ">u2").tobytes()))


def sod_replaced(cs: bytes, index: int) -> bytes:
    part = cst.tile_parts(cs)[index]
    at = cs.index(b"\xff\x93", part.start + 12)
    return cs[:at] + b"\xff\x94" + cs[at + 2:]


def tile_part_without_sod(cs: bytes) -> bytes:
    """A second tile-part for tile 2 holding only a COM segment.  The whole
    codestream decodes; tile 2's own codestream ends before its data."""
    com = cst.segment(cst.COM, b"\x00\x01hello")
    cs = cst.set_sot(cs, 2, tnsot=2)
    return cst.insert_part(cs, 3, cst.sot_segment(2, 12 + len(com), 1, 2) + com)


# name: (codestream, does the planner cut it)
FALLBACKS = {
    "one tile": (lambda: ojph.encode(GRAY), False),
    "subsampled component": (lambda: cst.set_subsampling(rgb4(), 1, 2, 1), False),
    "components of different precision": (lambda: cst.set_component_ssiz(rgb4(), 1, 6), True),
    "NLT type 2": (lambda: lut_nlt(ojph.encode(img((80, 80), np.uint16, 0, 65536),
                                               tile=(64, 64), reversible=False,
                                               level=0.0001)), True),
    "NLT segment that cannot be read": (lambda: cst.insert_main(
        gray4(), cst.segment(0xFF76, struct.pack(">HBB", 0xFFFF, 7, 1))), True),
    "damaged packet data in tile 2": (lambda: cst.spoil_part_tail(gray4(), 2), True),
    "damaged SOD in tile 1": (lambda: sod_replaced(rgb4(), 1), True),
    "tile-part without data": (lambda: tile_part_without_sod(gray4()), True),
    "COD in a tile-part header": (lambda: cst.insert_in_part_header(
        gray4(), 2, cst.main_segment(gray4(), cst.COD)), True),
    "QCD in every tile-part header": (lambda: functools.reduce(
        lambda cs, i: cst.insert_in_part_header(cs, i, cst.main_segment(cs, cst.QCD)),
        range(4), rgb4()), True),
}


@pytest.mark.parametrize("make, cut", FALLBACKS.values(), ids=FALLBACKS.keys())
def test_fallback_reports_exactly_as_the_whole_decode(tiled_calls, make, cut):
    cs = make()
    assert (ojph._tile_plan(cs) is not None) == cut
    assert ojph._decode_tiled(cs, 2, None, None) is None
    tiled_calls.clear()
    assert outcome(lambda: ojph.decode(cs, numthreads=2)) == outcome(lambda: whole(cs))
    assert [r for _, r in tiled_calls] == [None]


def test_fallback_results():
    # The whole decode's verdict for the cases above, so that they keep testing
    # what they were made for.
    names = {name: outcome(lambda: whole(make()))[0] for name, (make, _) in FALLBACKS.items()}
    assert names["one tile"][0] == "returned"
    assert names["tile-part without data"][:3] == ("returned", np.uint8, (100, 100))
    assert names["damaged packet data in tile 2"][1] is OpenJphError
    assert names["damaged SOD in tile 1"][1] is OpenJphError
    for name in ("COD in a tile-part header", "QCD in every tile-part header", "NLT type 2"):
        assert names[name][1] is OpenJphUnsupportedFeature
    for name in ("subsampled component", "components of different precision"):
        assert "components differ" in names[name][2]


def test_worker_policy_of_one_steps_aside(monkeypatch):
    monkeypatch.setattr(par, "available_cpus", lambda: 8)
    assert ojph._decode_tiled(gray4(), 1, None, None) is None
    assert ojph._decode_tiled(gray4(), None, None, None) is None  # 10,000 bytes
    assert ojph._decode_tiled(gray4(), 0, None, None) is None


def corrupt_tile(monkeypatch, which: int, how):
    """Makes the single-tile codestream of tile ``which`` go through ``how``."""
    real = ojph._tile_codestream

    def cut(mv, main, tile):
        cs = real(mv, main, tile)
        return how(cs) if tile[:2] == which else cs

    monkeypatch.setattr(ojph, "_tile_codestream", cut)


@pytest.mark.parametrize("how", [
    lambda cs: cs[:len(cs) // 2],
    lambda cs: cst.insert_in_part_header(cs, 0, cst.main_segment(cs, cst.COD)),
    lambda cs: cs[:-2],
    lambda cs: b"",
], ids=["truncated", "draws a skipped-segment warning", "draws another warning", "empty"])
def test_a_failing_tile_leaves_the_image_to_the_whole_decode(monkeypatch, how):
    corrupt_tile(monkeypatch, (64, 0), how)
    assert ojph._decode_tiled(rgb4(), 2, None, None) is None
    out = np.zeros((100, 100, 3), np.uint8)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert ojph.decode(rgb4(), numthreads=2, out=out) is out
    assert_same_array(out, RGB)


# ---------------------------------------------------------------------------
# What the tiled path asks of the worker module, and what it relies on


class Runner:
    """Stands in for ferroglyph.core.parallel's run_batched and parallel_call."""

    def __init__(self, monkeypatch, run=None, suppress=False, workers=None):
        self.log = []
        self.run, self.suppress, self.workers = run, suppress, workers
        runner = self

        class Region:
            def __enter__(self):
                runner.log.append("enter")

            def __exit__(self, *exc):
                runner.log.append(("exit", exc[0]))
                return runner.suppress

        def run_batched(fn, items, workers, *, name):
            self.log.append(("run", len(items), workers, name))
            (self.run or (lambda fn, items: [fn(i) for i in items]))(fn, items)

        def resolve_workers(numthreads, ntasks, *, output_bytes):
            self.log.append(("resolve", numthreads, ntasks, output_bytes))
            return self.workers

        monkeypatch.setattr(par, "parallel_call", Region)
        monkeypatch.setattr(par, "run_batched", run_batched)
        if workers is not None:
            monkeypatch.setattr(par, "resolve_workers", resolve_workers)


def test_worker_module_calls(monkeypatch):
    runner = Runner(monkeypatch, workers=np.int16(5))
    cs = case_codestream("float32, 3 components")  # 40 x 30, 3 x float32, 6 tiles
    nt = object()
    got = ojph._decode_tiled(cs, nt, None, None)
    assert_same_array(got, whole(cs))
    assert runner.log == [("resolve", nt, 6, 40 * 30 * 3 * 4), "enter",
                          ("run", 6, np.int16(5), "htj2k-tiles"), ("exit", None)]


@pytest.mark.parametrize("workers", [1, 0, -3, 1.0, np.int64(1)])
def test_one_worker_or_fewer_steps_aside(monkeypatch, workers):
    runner = Runner(monkeypatch, workers=workers)
    assert ojph._decode_tiled(rgb4(), 2, None, None) is None
    assert [entry[0] for entry in runner.log] == ["resolve"]


@pytest.mark.parametrize("run, suppress", [
    (lambda fn, items: [fn(i) for i in items[:len(items) // 2]], False),
    (lambda fn, items: [fn(i) for i in items[:-1]] and None, False),
    (lambda fn, items: ([fn(i) for i in items], 1 / 0), True),
    (lambda fn, items: 1 / 0, True),
], ids=["half the tiles", "all but one", "all tiles, then raises", "raises at once"])
def test_an_incomplete_run_steps_aside(monkeypatch, run, suppress):
    runner = Runner(monkeypatch, run=run, suppress=suppress)
    assert ojph._decode_tiled(rgb4(), 2, None, None) is None
    assert runner.log[-1] == ("exit", ZeroDivisionError if suppress else None)
    out = np.zeros((100, 100, 3), np.uint8)
    assert ojph.decode(rgb4(), numthreads=2, out=out) is out
    assert_same_array(out, RGB)


def test_a_run_that_raises_unsuppressed_propagates(monkeypatch):
    runner = Runner(monkeypatch, run=lambda fn, items: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        ojph._decode_tiled(rgb4(), 2, None, None)
    assert runner.log[-1] == ("exit", ZeroDivisionError)
    with pytest.raises(ZeroDivisionError):
        ojph.decode(rgb4(), numthreads=2)


def test_worker_policy_errors_propagate():
    for bad in (-1, 2.5, "2"):
        with pytest.raises(ValueError, match="numthreads"):
            ojph.decode(gray4(), numthreads=bad)
        ojph.decode(ojph.encode(GRAY), numthreads=bad)  # one tile: no plan, no policy


def test_an_interrupt_in_a_tile_propagates(monkeypatch):
    real = ojph.decode

    def decode(data, **kw):
        if kw.get("_tile") and ojph.decode_info(data)["width"] == 36:
            raise SystemExit(3)
        return real(data, **kw)

    monkeypatch.setattr(ojph, "decode", decode)
    with pytest.raises(SystemExit):
        ojph._decode_tiled(gray4(), 2, None, None)


@pytest.mark.parametrize("tile_result", [
    lambda a: a[:-1], lambda a: a[..., None], lambda a: np.zeros((37, 36), a.dtype),
    lambda a: (_ for _ in ()).throw(OpenJphError("decode: OpenJPH warned about a tile")),
], ids=["a row short", "3-D", "a row more", "raises"])
def test_a_tile_that_does_not_fit_steps_aside(monkeypatch, tile_result):
    real = ojph.decode

    def decode(data, **kw):
        a = real(data, **kw)
        return tile_result(a) if a.shape == (36, 36) else a

    monkeypatch.setattr(ojph, "decode", decode)
    assert ojph._decode_tiled(gray4(), 2, None, None) is None


@pytest.mark.parametrize("info, steps_aside", [
    (OpenJphError("decode_info: broken"), True),
    (OpenJphUnsupportedFeature("no"), True),
    ({"dtype": None}, True),
    ({"nlt_type": 1}, True),
    ({"nlt_type": 3}, False),
    (KeyError("width"), False),
], ids=["OpenJphError", "unsupported", "no dtype", "NLT type 1", "NLT type 3", "KeyError"])
def test_header_facts(monkeypatch, info, steps_aside):
    real = ojph.decode_info

    def decode_info(data, **kw):
        if isinstance(info, Exception):
            raise info
        return {**real(data, **kw), **info}

    monkeypatch.setattr(ojph, "decode_info", decode_info)
    if isinstance(info, KeyError):
        with pytest.raises(KeyError):
            ojph._decode_tiled(gray4(), 2, None, None)
    elif steps_aside:
        assert ojph._decode_tiled(gray4(), 2, None, None) is None
    else:
        assert_same_array(ojph._decode_tiled(gray4(), 2, None, None), GRAY)


# A replaced decode_info whose dtype is not a numpy.dtype is refused, not
# used to allocate the output (which would read it as one).
@pytest.mark.parametrize("dtype, message", [
    (types.SimpleNamespace(itemsize=1), "decode_info() returned a dtype that is not a numpy.dtype"),
    (types.SimpleNamespace(itemsize="1"), "'str' object cannot be interpreted as an integer"),
], ids=["no dtype", "itemsize text"])
def test_a_dtype_that_is_not_one_is_refused(monkeypatch, dtype, message):
    real = ojph.decode_info
    monkeypatch.setattr(ojph, "decode_info", lambda data, **kw: {**real(data, **kw), "dtype": dtype})
    with pytest.raises(TypeError) as e:
        ojph._decode_tiled(gray4(), 2, None, None)
    assert str(e.value) == message


def test_last_warnings_after_a_tiled_decode_are_not_an_earlier_calls():
    # The tiles' warning lists live on the worker threads; the calling thread
    # reads the header facts, and its list reports that read.
    warned = cst.insert_in_part_header(gray4(), 1, cst.main_segment(gray4(), cst.QCD))
    ojph.decode(warned, ignore_unsupported=True)
    assert "QCD marker segment in a tile" in ojph.last_warnings()
    assert ojph.decode(rgb4(), numthreads=2) is not None
    assert ojph.last_warnings() == ""


# ---------------------------------------------------------------------------
# Multi-tile codestreams made by other encoders

KAKADU = "openjph_test_codestreams"


def corpus_codestream(corpus_dir, name) -> bytes:
    with open(os.path.join(corpus_dir, name), "rb") as f:
        return cst.raw_codestream(f.read())


def catalog_errors(corpus_dir, name):
    """The catalog's (MSE, PAE) of ``name`` against its reference, per component."""
    with open(os.path.join(corpus_dir, "catalog.tsv")) as f:
        rows = [line.rstrip("\n").split("\t") for line in f]
    col = rows[0].index("vs_reference(MSE/PAE)")
    (row,) = [r for r in rows if r[0] == name]
    return [(float(m), int(p)) for m, p in (x.split("/") for x in row[col].split())]


@pytest.mark.parametrize("name, tiles, reference", [
    ("simple_dec_rev53_64x64_gray_tiles.jph", 48, "monarch"),
    ("simple_dec_irv97_64x64_gray_tiles.jph", 48, "monarch"),
    ("simple_dec_irv97_64x64_tiles_LRCP33.jph", 231, "malamute"),
    ("simple_dec_irv97_64x64_tiles_CPRL33.jph", 231, "malamute"),
    ("simple_dec_irv97_64x64_tiles_RPCL33x33.jph", 1650, "malamute"),
])
def test_corpus_multi_tile_files(corpus_dir, name, tiles, reference):
    cs = corpus_codestream(corpus_dir, f"{KAKADU}/{name}")
    assert len(ojph._tile_plan(cs)[2]) == tiles
    got = ojph._decode_tiled(cs, 2, None, None)
    assert got is not None
    assert_same_array(got, whole(cs))
    if reference == "monarch":
        ref = cst.read_pnm(os.path.join(corpus_dir, KAKADU, "references", "monarch.pgm"))[..., None]
        got = got[..., None]
    else:
        ref = whole(corpus_codestream(corpus_dir, f"{KAKADU}/simple_dec_rev53_64x64.jph"))
    diff = got.astype(np.int32) - ref
    for c, (mse, pae) in enumerate(catalog_errors(corpus_dir, f"{KAKADU}/{name}")):
        assert np.abs(diff[..., c]).max() == pae
        assert np.mean(diff[..., c].astype(np.float64) ** 2) == pytest.approx(mse, rel=1e-3)


@pytest.mark.parametrize("name", ["simple_dec_irv97_64x64_tiles_CPRL.jph",
                                  "simple_dec_rev53_64x64_tiles_yuv.jph"])
def test_corpus_files_the_planner_leaves_whole(corpus_dir, name):
    cs = corpus_codestream(corpus_dir, f"{KAKADU}/{name}")
    assert ojph._tile_plan(cs) is None
    assert outcome(lambda: ojph.decode(cs, numthreads=2)) == outcome(lambda: whole(cs))


def test_tile_headers_that_openjph_skips_still_refuse_the_image(corpus_dir, tiled_calls):
    cs = corpus_codestream(corpus_dir, "iso_htj2k_conformance/ds1_ht_04_b9.j2k")
    assert len(ojph._tile_plan(cs)[2]) == 64
    for nt in (None, 2, 64):
        with pytest.raises(OpenJphUnsupportedFeature, match="QCD marker segment in a tile"):
            ojph.decode(cs, numthreads=nt)
    assert [r for _, r in tiled_calls] == [None, None, None]
