"""Nothing silently wrong: truncation, classic JPEG 2000, one exception rule, file objects."""

from __future__ import annotations

import io
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

import ferroglyph
from ferroglyph import OpenJphError
from ferroglyph import _codestream as cst
from ferroglyph.codecs import _openjph


def smooth(shape, dtype=np.uint8):
    y, x = np.indices(shape[:2])
    base = (x * 3 + y * 2) % 251
    if len(shape) == 3:
        base = np.stack([np.roll(base, k, axis=1) for k in range(shape[2])], axis=-1)
    return base.astype(dtype)


IMAGE = smooth((64, 96, 3))


def codestream(tile=None, tlm=False):
    return ferroglyph.encode(IMAGE, tile=tile, tlm=tlm)


def first_sot(cs):
    return cst.main_header(cst.buffer_reader(cs), len(cs)).end


def as_jph(cs):
    from ferroglyph import _jp2
    h, w, c = IMAGE.shape
    return _jp2.jph_header(height=h, width=w, components=c, bit_depth=8, is_signed=False) + \
        _jp2.jp2c_header(len(cs)) + cs


def quiet(call, *args, **kwargs):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call(*args, **kwargs)
    return result, [str(w.message) for w in caught]


# ---------------------------------------------------------------------------
# Truncation


CUTS = [0.1, 0.5, 0.9]
LAYOUTS = [{}, {"tile": (32, 32)}, {"tile": (32, 32), "tlm": True}]


@pytest.mark.parametrize("layout", LAYOUTS, ids=["one-tile", "tiles", "tiles-tlm"])
@pytest.mark.parametrize("boxed", [False, True], ids=["raw", "jph"])
@pytest.mark.parametrize("fraction", CUTS)
def test_a_cut_is_named_when_strict_and_read_leniently(layout, boxed, fraction):
    cs = codestream(**layout)
    start = first_sot(cs)
    cut = cs[:start + 16 + int((len(cs) - start - 16) * fraction)]
    data = as_jph(cs)[:len(as_jph(cs)) - (len(cs) - len(cut))] if boxed else cut
    with pytest.raises(OpenJphError, match=rf"ends after {len(cut)} bytes") as raised:
        ferroglyph.decode(data)
    assert "rc=" not in str(raised.value)
    if boxed:
        assert "the file is truncated" in str(raised.value)
    image, said = quiet(ferroglyph.decode, data, strict=False)
    assert image.shape == IMAGE.shape
    assert any(line.startswith("ferroglyph: ") and "ends after" in line for line in said)
    if fraction == 0.9 and "tile" not in layout:
        # Most of the samples are back: not a grey page.
        assert np.mean(image == IMAGE) > 0.5


@pytest.mark.parametrize("boxed", [False, True], ids=["raw", "jph"])
def test_cuts_before_any_sample_raise_in_both_modes(boxed):
    cs = codestream()
    start = first_sot(cs)
    for end, words in [(40, "main header is incomplete"), (start + 6, "first tile-part header"),
                       (start + 14, "before any coded sample")]:
        data = cs[:end]
        if boxed:
            data = as_jph(cs)[:len(as_jph(cs)) - len(cs) + end]
        for strict in (True, False):
            with pytest.raises(OpenJphError) as raised:
                ferroglyph.decode(data, strict=strict)
            message = str(raised.value)
            assert "rc=" not in message
            if strict and end > 40:
                assert "ends after" in message
            else:
                assert words in message
            assert "pass strict=False" not in message  # it would not help


def test_a_missing_end_marker_alone_loses_nothing():
    cs = codestream(tile=(32, 32))
    image, said = quiet(ferroglyph.decode, cs[:-2])
    np.testing.assert_array_equal(image, IMAGE)
    assert said == [("ferroglyph: the codestream lacks its end marker (EOC), though every "
                     "tile-part is whole")]


def test_what_the_headers_cannot_call_a_cut_is_left_to_openjph():
    cs = codestream()
    image, said = quiet(ferroglyph.decode, cs + b"trailing bytes")
    np.testing.assert_array_equal(image, IMAGE)
    assert not said
    # Psot 0: the last tile-part runs to the end; without EOC a cut cannot be
    # told from a whole codestream, so it must not be called whole.
    zero = bytearray(cs)
    zero[first_sot(cs) + 6:first_sot(cs) + 10] = bytes(4)
    np.testing.assert_array_equal(ferroglyph.decode(bytes(zero)), IMAGE)
    with pytest.raises(OpenJphError):
        ferroglyph.decode(bytes(zero[:-40]))


def test_whole_tiles_missing_are_named():
    cs = codestream(tile=(32, 32))
    parts = list(cst.tile_parts(cst.buffer_reader(cs), len(cs), cst.main_header(
        cst.buffer_reader(cs), len(cs)), use_tlm=False))
    cut = cs[:parts[2].offset]
    with pytest.raises(OpenJphError, match="with 2 of its 6 tiles"):
        ferroglyph.decode(cut)
    image, _ = quiet(ferroglyph.decode, cut, strict=False)
    np.testing.assert_array_equal(image[:32, :64], IMAGE[:32, :64])


def test_imread_and_decode_components_follow_the_same_rule(tmp_path):
    data = as_jph(codestream())
    path = tmp_path / "cut.jph"
    path.write_bytes(data[:len(data) // 2])
    for call, source in ((ferroglyph.imread, path),
                         (ferroglyph.decode_components, path.read_bytes())):
        with pytest.raises(OpenJphError, match="ends after"):
            call(source)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = call(source, strict=False)
        assert caught and result is not None
        # Every warning, the module's included, points at the line that called.
        assert {w.filename for w in caught} == {__file__}


def test_the_module_judges_once_and_strict_is_its_private_mode():
    cut = codestream()[:-300]
    with pytest.raises(OpenJphError, match="OpenJPH lost data.*File terminated early"):
        _openjph._decode_checked(cut, {"resilient": True}, True, 1)
    image, said = quiet(_openjph._decode_checked, cut, {"resilient": True}, False, 1)
    assert image.shape == IMAGE.shape and "OpenJPH: File terminated early" in said
    # decode itself keeps its documented behaviour: lost samples warn.
    _, said = quiet(_openjph.decode, cut, resilient=True)
    assert "OpenJPH: File terminated early" in said
    assert _openjph.last_warnings()  # the text stays readable after the judgement


# ---------------------------------------------------------------------------
# Classic JPEG 2000


def classic(cs):
    out = bytearray(cs)
    out[6] &= ~0x40  # Rsiz without the HT bit
    return bytes(out)


CLASSIC = "classic JPEG 2000 (Part 1) codestream: ferroglyph reads HTJ2K only"


@pytest.mark.parametrize("call", [
    ferroglyph.decode, ferroglyph.decode_info, ferroglyph.decode_components,
    lambda d: ferroglyph.imread(io.BytesIO(d)),
], ids=["decode", "decode_info", "decode_components", "imread"])
@pytest.mark.parametrize("boxed", [False, True], ids=["raw", "jph"])
def test_classic_jpeg_2000_is_refused_in_one_sentence(call, boxed):
    cs = classic(codestream())
    with pytest.raises(OpenJphError, match=CLASSIC.replace("(", r"\(").replace(")", r"\)")):
        call(as_jph(cs) if boxed else cs)


def test_the_corpus_classic_files_are_refused(corpus_dir):
    folder = os.path.join(corpus_dir, "iso_part1_conformance")
    names = sorted(n for n in os.listdir(folder) if n.endswith((".j2k", ".jp2")))[:5]
    for name in names:
        with pytest.raises(OpenJphError, match="classic JPEG 2000"):
            ferroglyph.imread(os.path.join(folder, name))


# ---------------------------------------------------------------------------
# One exception rule

A = smooth((16, 16))
CS = ferroglyph.encode(A)
NOT_TIFF_SAFE = object()


@pytest.mark.parametrize("call, kind", [
    (lambda: ferroglyph.encode(np.zeros((4, 4), bool)), TypeError),
    (lambda: ferroglyph.encode(np.zeros((4, 4), np.float64)), TypeError),
    (lambda: ferroglyph.encode(np.zeros((4, 4), np.int64)), TypeError),
    (lambda: ferroglyph.encode(np.zeros((4, 4), complex)), TypeError),
    (lambda: ferroglyph.encode(np.zeros((4, 4), object)), TypeError),
    (lambda: ferroglyph.encode(A, "90"), TypeError),
    (lambda: ferroglyph.encode(A, tile=(8, 8), numthreads=1.5), TypeError),
    (lambda: ferroglyph.encode(A, bits=8.0), TypeError),
    (lambda: ferroglyph.encode(np.zeros((0, 4), np.uint8)), ValueError),
    (lambda: ferroglyph.encode(np.uint8(3)), ValueError),
    (lambda: ferroglyph.encode(np.zeros((2, 2, 2, 2), np.uint8)), ValueError),
    (lambda: ferroglyph.encode(A, 150), ValueError),
    (lambda: ferroglyph.encode(A, -1), ValueError),
    (lambda: ferroglyph.encode(A, tile=(0, 0)), ValueError),
    (lambda: ferroglyph.encode(A, tile=(8, 8), numthreads=-1), ValueError),
    (lambda: ferroglyph.encode(A, bits=9), ValueError),
], ids=lambda v: "" if callable(v) else v.__name__)
def test_encode_arguments(call, kind):
    with pytest.raises(kind):
        call()


@pytest.mark.parametrize("call, kind, words", [
    (lambda: ferroglyph.decode(CS, reduce=1.5), TypeError, "reduce must be an integer"),
    (lambda: ferroglyph.decode(CS, reduce="1"), TypeError, "reduce"),
    (lambda: ferroglyph.decode(CS, numthreads="2"), TypeError, "numthreads"),
    (lambda: ferroglyph.decode("x.jph"), TypeError, "imread"),
    (lambda: ferroglyph.decode(io.BytesIO(CS)), TypeError, "imread"),
    (lambda: ferroglyph.decode(5), TypeError, "bytes-like"),
    (lambda: ferroglyph.decode(CS, reduce=-1), ValueError, "reduce"),
    (lambda: ferroglyph.decode(CS, reduce=9), ValueError, "the maximum is reduce=5"),
    (lambda: ferroglyph.decode_info(CS, reduce=9), ValueError, "the maximum is reduce=5"),
    (lambda: ferroglyph.decode_info(CS, reduce=0.5), TypeError, "reduce"),
    (lambda: ferroglyph.decode_components(CS, reduce=9), ValueError, "the maximum"),
    (lambda: ferroglyph.decode_components(CS, reduce=2.5), TypeError, "reduce"),
    (lambda: ferroglyph.decode(b""), OpenJphError, "empty"),
    (lambda: ferroglyph.decode(b"GIF89a......"), OpenJphError, "GIF"),
], ids=lambda v: "" if callable(v) or isinstance(v, (type, str)) else None)
def test_decode_arguments(call, kind, words):
    with pytest.raises(kind, match=words):
        call()


def test_refusals_that_were_openjph_errors_still_are():
    for call in (lambda: ferroglyph.encode(np.zeros((4, 4), bool)),
                 lambda: ferroglyph.encode(np.zeros((0, 4), np.uint8)),
                 lambda: ferroglyph.decode(CS, reduce=9)):
        with pytest.raises(OpenJphError):
            call()


@pytest.mark.parametrize("call, kind", [
    (lambda: ferroglyph.encode_components([np.zeros((4, 4))]), TypeError),
    (lambda: ferroglyph.encode_components([A], "90"), TypeError),
    (lambda: ferroglyph.encode_components([A], numthreads=1.5), TypeError),
    (lambda: ferroglyph.encode_components([A], numthreads=-2), ValueError),
    (lambda: ferroglyph.encode_components([A], 101), ValueError),
    (lambda: ferroglyph.encode_components([np.zeros((0, 4), np.uint8)]), ValueError),
])
def test_encode_components_arguments(call, kind):
    with pytest.raises(kind):
        call()


def test_files_name_the_path_at_fault(tmp_path):
    missing = tmp_path / "nowhere" / "a.jph"
    with pytest.raises(FileNotFoundError) as raised:
        ferroglyph.imwrite(missing, A)
    assert raised.value.filename == str(tmp_path / "nowhere")
    with pytest.raises(FileNotFoundError) as raised:
        ferroglyph.imread(missing)
    assert raised.value.filename == str(missing)
    (tmp_path / "d.jph").mkdir()
    for call in (lambda: ferroglyph.imwrite(tmp_path / "d.jph", A),
                 lambda: ferroglyph.imread(tmp_path / "d.jph")):
        with pytest.raises(IsADirectoryError) as raised:
            call()
        assert raised.value.filename == str(tmp_path / "d.jph")
    with pytest.raises(ValueError, match="suffix"):
        ferroglyph.imwrite(tmp_path / "a.png", A)
    assert os.listdir(tmp_path) == ["d.jph"]  # nothing written by a refusal


@pytest.mark.parametrize("codec", ["numcodecs", "zarr"])
def test_chunk_codecs_follow_the_rule(codec):
    pytest.importorskip(codec)
    mod = __import__(f"ferroglyph.{codec}", fromlist=["HTJ2K"])
    for options, kind in [({"level": "90"}, TypeError), ({"level": 150}, ValueError),
                          ({"numthreads": 1.5}, TypeError), ({"numthreads": -1}, ValueError),
                          ({"tile": (0, 8)}, ValueError)]:
        with pytest.raises(kind):
            mod.HTJ2K(**options)
    if codec == "numcodecs":
        with pytest.raises(TypeError):
            mod.HTJ2K().encode(np.zeros((8, 8), bool))


# ---------------------------------------------------------------------------
# File objects


class Unseekable(io.RawIOBase):
    def __init__(self, data):
        self._inner = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, b):
        return self._inner.readinto(b)


@pytest.mark.parametrize("form", ["jph", "j2c"])
def test_file_objects_round_trip(tmp_path, form):
    buffer = io.BytesIO()
    ferroglyph.imwrite(buffer, IMAGE, format=None if form == "jph" else form)
    data = buffer.getvalue()
    assert data.startswith(b"\x00\x00\x00\x0cjP  ") == (form == "jph")
    assert data.startswith(cst.SOC_SIZ) == (form == "j2c")
    for source in (io.BytesIO(data), Unseekable(data)):
        np.testing.assert_array_equal(ferroglyph.imread(source), IMAGE)
    # From the file's current position, as other image readers do.
    shifted = io.BytesIO(b"header" + data)
    shifted.seek(6)
    np.testing.assert_array_equal(ferroglyph.imread(shifted), IMAGE)
    path = tmp_path / f"a.{form}"
    with open(path, "wb") as f:  # a real file's name chooses the form
        ferroglyph.imwrite(f, IMAGE)
    assert path.read_bytes() == data
    with open(path, "rb") as f:
        np.testing.assert_array_equal(ferroglyph.imread(f, reduce=1), ferroglyph.decode(
            data, reduce=1))


def test_imread_of_bytes_or_text_files_is_a_type_error(tmp_path):
    with pytest.raises(TypeError, match=r"ferroglyph\.decode"):
        ferroglyph.imread(CS)
    (tmp_path / "a.jph").write_bytes(as_jph(CS))
    with open(tmp_path / "a.jph") as text, pytest.raises(TypeError, match="'rb'"):
        ferroglyph.imread(text)
    with open(tmp_path / "b.jph", "w") as text, pytest.raises(TypeError, match="'wb'"):
        ferroglyph.imwrite(text, A)


# ---------------------------------------------------------------------------
# The command line


def run_cli(*args, cwd):
    return subprocess.run([sys.executable, "-m", "ferroglyph", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, check=False)


def test_bad_arguments_stop_before_any_file_with_status_2(tmp_path):
    inputs = []
    for k in range(3):
        np.save(tmp_path / f"i{k}.npy", A)
        inputs.append(f"i{k}.npy")
    for args, words in [
        (["encode", *inputs, "-o", "out", "--level", "150"], "--level"),
        (["encode", *inputs, "-o", "out", "--tile", "0", "8"], "--tile"),
        (["encode", *inputs, "-o", "out", "--reversible", "--level", "50"], "--reversible"),
        (["decode", "x.jph", "-o", "out", "--reduce", "1.5"], "--reduce"),
        (["decode", "x.jph", "-o", "out", "--numthreads", "-1"], "--numthreads"),
        (["encode", *inputs, "-o", "one.pgm"], "3 inputs cannot go to the one file one.pgm"),
    ]:
        run = run_cli(*args, cwd=tmp_path)
        assert run.returncode == 2, args
        assert len(run.stderr.splitlines()) == 1 and words in run.stderr, run.stderr
    assert sorted(os.listdir(tmp_path)) == sorted(inputs)  # no folder, no output


def test_cli_failures_name_the_file_and_speak_in_flags(tmp_path):
    np.save(tmp_path / "a.npy", IMAGE)
    assert run_cli("encode", "a.npy", "-o", "deep/er/a.jph", cwd=tmp_path).returncode == 0
    coded = (tmp_path / "deep" / "er" / "a.jph").read_bytes()
    (tmp_path / "cut.jph").write_bytes(coded[:len(coded) * 2 // 3])
    (tmp_path / "classic.j2c").write_bytes(classic(ferroglyph.encode(A)))
    np.save(tmp_path / "nan.npy", np.full((8, 8), np.nan, np.float32))
    for args, words in [
        (["encode", "nan.npy", "-o", "n.jph", "--level", "90"], "no --level"),
        (["decode", "cut.jph", "-o", "c.pgm"], "--lenient writes what is there"),
        (["decode", "deep/er/a.jph", "-o", "r.pgm", "--reduce", "9"],
         "the maximum is --reduce 5"),
        (["decode", "classic.j2c", "-o", "k.pgm"], CLASSIC),
        (["info", "classic.j2c"], CLASSIC),
    ]:
        run = run_cli(*args, cwd=tmp_path)
        assert run.returncode == 1
        assert run.stderr.splitlines() == [f"ferroglyph: {args[1]}: " + run.stderr.split(
            ": ", 2)[2].rstrip("\n")]
        assert words in run.stderr and "=" not in run.stderr.split(": ", 2)[2]
    run = run_cli("decode", "cut.jph", "-o", "c.pgm", "--lenient", cwd=tmp_path)
    assert run.returncode == 0 and "warning" in run.stderr and (tmp_path / "c.pgm").exists()


def test_pages_become_files_never_components(tmp_path):
    pages = np.stack([smooth((40, 50)) + k for k in range(5)])
    np.save(tmp_path / "stack.npy", pages)
    np.save(tmp_path / "rgb.npy", smooth((40, 50, 3)))
    assert run_cli("encode", "stack.npy", "rgb.npy", "-o", "out", cwd=tmp_path).returncode == 0
    out = sorted(os.listdir(tmp_path / "out"))
    assert out == ["rgb.jph"] + [f"stack_p{k}.jph" for k in range(5)]
    for k in range(5):
        np.testing.assert_array_equal(ferroglyph.imread(tmp_path / "out" / f"stack_p{k}.jph"),
                                      pages[k])
    tifffile = pytest.importorskip("tifffile")
    tifffile.imwrite(tmp_path / "pages.tif", pages)
    assert run_cli("encode", "pages.tif", "-o", "t.jph", cwd=tmp_path).returncode == 0
    np.testing.assert_array_equal(ferroglyph.imread(tmp_path / "t_p4.jph"), pages[4])
