"""JPH metadata written by imwrite and read by immeta; box lengths; jpylyzer validity."""

import io
import math
import random
import struct

import numpy as np
import pytest

import ferroglyph
from ferroglyph import _jp2

try:
    from PIL import ImageCms
except ImportError:  # the installed wheel's check has NumPy and pytest only
    SRGB_ICC = LAB_ICC = None
else:
    SRGB_ICC = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()  # matrix
    LAB_ICC = ImageCms.ImageCmsProfile(ImageCms.createProfile("LAB")).tobytes()  # LUT-based
XMP = ('<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf='
       '"http://www.w3.org/1999/02/22-rdf-syntax-ns#"/></x:xmpmeta>')


def assert_valid(path, kind="jph"):
    """jpylyzer, an independent validator, accepts the file as ``kind``."""
    jpylyzer = pytest.importorskip("jpylyzer.jpylyzer")
    result = jpylyzer.checkOneFile(str(path), kind)
    failed = sorted({t.tag for t in result.find("tests").iter() if t.text == "False"})
    assert result.findtext("isValid") == "True", failed


def image(shape, dtype=np.uint8, seed=0):
    rng = np.random.default_rng(seed)
    return rng.integers(0, 200, shape).astype(dtype)


def colr_method(data):
    for box in _jp2.locate_in_buffer(data)[1].boxes:
        if box.type == "jp2h":
            colr = next(c for c in box.children if c.type == "colr")
            return data[colr.offset + colr.header]
    raise AssertionError("no jp2h")


# ---------------------------------------------------------------------------
# Round trips through imwrite and immeta


@pytest.mark.parametrize("shape, keywords, expected", [
    ((16, 24, 3), {"icc_profile": SRGB_ICC}, {"colour": "icc", "icc_profile": SRGB_ICC}),
    ((16, 24, 3), {"icc_profile": LAB_ICC}, {"colour": "icc", "icc_profile": LAB_ICC}),
    ((16, 24), {"dpi": (300, 150)}, {"dpi": (300.0, 150.0), "colour": "greyscale"}),
    ((16, 24, 3), {"dpi": (72.5, 2400)}, {"dpi": (72.5, 2400.0), "colour": "sRGB"}),
    ((16, 24), {"xml": "<a>é</a>"}, {"xml": ["<a>é</a>"]}),
    ((16, 24), {"xml": [b"<a/>", "<b x='1'/>"], "xmp": XMP}, {"xml": ["<a/>", "<b x='1'/>"],
                                                            "xmp": XMP}),
    ((16, 24), {}, {"channels": None, "icc_profile": None, "dpi": None, "xml": [], "xmp": None}),
])
def test_metadata_round_trips_and_validates(tmp_path, shape, keywords, expected):
    if keywords.get("icc_profile", b"") is None:
        pytest.skip("Pillow's ImageCms makes the test profiles")
    path = tmp_path / "a.jph"
    data = image(shape)
    ferroglyph.imwrite(path, data, **keywords)
    meta = ferroglyph.immeta(path)
    for key, value in expected.items():
        assert meta[key] == value, key
    np.testing.assert_array_equal(ferroglyph.imread(path), data)
    # The same answer from a file object and from bytes.
    with open(path, "rb") as f:
        assert ferroglyph.immeta(f) == meta
    assert ferroglyph.immeta(path.read_bytes()) == meta
    assert_valid(path)


def test_icc_method_follows_the_profile(tmp_path):
    if SRGB_ICC is None:
        pytest.skip("Pillow's ImageCms makes the test profiles")
    for profile, method in ((SRGB_ICC, 2), (LAB_ICC, 3)):
        ferroglyph.imwrite(tmp_path / "a.jph", image((8, 8, 3)), icc_profile=profile)
        assert colr_method((tmp_path / "a.jph").read_bytes()) == method


OPACITY = {"channel": 3, "type": "opacity", "association": 0}


@pytest.mark.parametrize("components, alpha, last", [
    (1, None, None),
    (2, None, {"channel": 1, "type": "opacity", "association": 0}),
    (3, None, None),
    (4, None, OPACITY),
    (4, True, OPACITY),
    (4, False, {"channel": 3, "type": "unspecified", "association": None}),  # RGB + NIR
    (5, None, None),  # extra channels, as before
    (5, True, {"channel": 4, "type": "opacity", "association": 0}),
])
def test_alpha_declared_in_cdef(tmp_path, components, alpha, last):
    path = tmp_path / "a.jph"
    shape = (8, 8) if components == 1 else (8, 8, components)
    ferroglyph.imwrite(path, image(shape), alpha=alpha)
    channels = ferroglyph.immeta(path)["channels"]
    if last is None:
        assert channels is None
    else:
        assert channels[-1] == last
        colours = 1 if components == 2 else 3
        assert [c["type"] for c in channels[:colours]] == ["colour"] * colours
    assert_valid(path)


def test_dpi_exact_for_whole_and_tenths_and_close_otherwise(tmp_path):
    path = tmp_path / "a.jph"
    for dpi in (1, 72, 96, 300, 13109, 65535, 0.1, 72.1, 6553.5):
        ferroglyph.imwrite(path, image((4, 4)), dpi=(dpi, dpi))
        assert ferroglyph.immeta(path)["dpi"] == (dpi, dpi)
    rng = random.Random(5)
    for _ in range(40):
        dpi = 10 ** rng.uniform(-2, 5)
        ferroglyph.imwrite(path, image((4, 4)), dpi=(dpi, 1))
        assert math.isclose(ferroglyph.immeta(path)["dpi"][0], dpi, rel_tol=2e-6)


@pytest.mark.parametrize("keywords, error, match", [
    ({"icc_profile": "srgb"}, TypeError, "icc_profile must be bytes"),
    ({"icc_profile": b"\0" * 200}, ValueError, "not an ICC profile"),
    ({"icc_profile": SRGB_ICC and SRGB_ICC[:-4]}, ValueError, "declares 588 bytes"),
    ({"dpi": 300}, TypeError, "pair"),
    ({"dpi": (300, -1)}, ValueError, "positive"),
    ({"dpi": (300, float("nan"))}, ValueError, "positive"),
    ({"dpi": (1e-30, 1)}, ValueError, "outside"),
    ({"xml": "<a>"}, ValueError, "not well-formed"),
    ({"xml": 5}, TypeError, "xml must be"),
    ({"xmp": "plain text"}, ValueError, "not well-formed"),
    ({"alpha": 1}, TypeError, "alpha must be"),
])
def test_bad_metadata_is_refused_before_writing(tmp_path, keywords, error, match):
    if "icc_profile" in keywords and keywords["icc_profile"] is None:
        pytest.skip("Pillow's ImageCms makes the test profiles")
    path = tmp_path / "a.jph"
    with pytest.raises(error, match=match):
        ferroglyph.imwrite(path, image((8, 8, 3)), **keywords)
    assert not path.exists()


@pytest.mark.parametrize("shape, keywords, match", [
    ((8, 8), {"icc_profile": SRGB_ICC}, "3 colour channels; the image has 1 component"),
    ((8, 8, 3), {"alpha": True}, "at least 4 components"),
    ((8, 8), {"alpha": True}, "2 or more"),
])
def test_metadata_that_does_not_fit_the_image(tmp_path, shape, keywords, match):
    if "icc_profile" in keywords and keywords["icc_profile"] is None:
        pytest.skip("Pillow's ImageCms makes the test profiles")
    with pytest.raises(ValueError, match=match):
        ferroglyph.imwrite(tmp_path / "a.jph", image(shape), **keywords)


@pytest.mark.parametrize("suffix", [".j2c", ".jhc"])
def test_metadata_for_a_raw_codestream_raises(tmp_path, suffix):
    path = tmp_path / ("a" + suffix)
    with pytest.raises(ValueError, match="dpi, xml cannot be stored in a raw codestream"):
        ferroglyph.imwrite(path, image((8, 8)), dpi=(72, 72), xml="<a/>")
    assert not path.exists()
    ferroglyph.imwrite(path, image((8, 8, 4)), alpha=False)  # asks for nothing
    assert ferroglyph.immeta(path) == {"icc_profile": None, "dpi": None, "xml": [],
                                       "xmp": None, "colour": None, "channels": None,
                                       "boxes": []}
    assert_valid(path, "jhc")


# ---------------------------------------------------------------------------
# Every box length form: 32-bit, 64-bit XLBox, 0 (to the end of the file)


def _box(kind, contents, form, last):
    if form == "64":
        return struct.pack(">I4sQ", 1, kind.encode("latin-1"), 16 + len(contents)) + contents
    if form == "0" and last:
        return struct.pack(">I4s", 0, kind.encode("latin-1")) + contents
    return struct.pack(">I4s", 8 + len(contents), kind.encode("latin-1")) + contents


def rebuild(data, form):
    """``data`` with every box after the signature rewritten in length form ``form``
    (superboxes' children too); with "0" the last box runs to the end of the file."""
    def write(boxes, top):
        out = b""
        for i, box in enumerate(boxes):
            if box.children:
                contents = write(box.children, False)
            else:
                contents = data[box.offset + box.header:box.offset + box.length]
            out += _box(box.type, contents, form, top and i == len(boxes) - 1)
        return out
    boxes = _jp2.locate_in_buffer(data)[1].boxes
    return data[:12] + write(boxes[1:], True)


@pytest.mark.parametrize("form", ["32", "64", "0"])
def test_boxes_read_in_every_length_form(tmp_path, form):
    path = tmp_path / "a.jph"
    data = image((12, 10, 4), np.uint16)
    ferroglyph.imwrite(path, data, dpi=(300, 300), xml="<a/>", xmp=XMP,
                       **({"icc_profile": SRGB_ICC} if SRGB_ICC else {}))
    original = ferroglyph.immeta(path)
    bent = rebuild(path.read_bytes(), form)
    assert (bent == path.read_bytes()) == (form == "32")
    path.write_bytes(bent)
    np.testing.assert_array_equal(ferroglyph.imread(path), data)
    np.testing.assert_array_equal(ferroglyph.decode(bent), data)
    meta = ferroglyph.immeta(path)
    for key in ("icc_profile", "dpi", "xml", "xmp", "colour", "channels"):
        assert meta[key] == original[key], key
    assert [b["type"] for b in meta["boxes"]] == [b["type"] for b in original["boxes"]]
    assert meta["boxes"][-1]["length"] == len(bent) - meta["boxes"][-1]["offset"]
    assert_valid(path)


def test_immeta_refuses_what_is_no_jpeg2000_file(tmp_path):
    with pytest.raises(ferroglyph.OpenJphError, match="starts like a PNG file"):
        ferroglyph.immeta(b"\x89PNG\r\n\x1a\n" + bytes(30))
    with pytest.raises(TypeError, match="immeta"):
        ferroglyph.immeta(12)
    stream = io.BytesIO(b"junk" + path_bytes(tmp_path))
    stream.seek(4)  # a file object is read from where it stands
    assert ferroglyph.immeta(stream)["dpi"] == (96.0, 96.0)
    assert stream.tell() == 4


def path_bytes(tmp_path):
    path = tmp_path / "b.jph"
    ferroglyph.imwrite(path, image((4, 4)), dpi=(96, 96))
    return path.read_bytes()


@pytest.mark.parametrize("dtype, shape, keywords", [
    (np.uint8, (20, 30, 3), {"level": 80}),
    (np.uint8, (70, 90, 3), {"tile": (32, 32), "tlm": True}),
    (np.uint8, (20, 30, 6), {}),
    (np.uint16, (20, 30, 4), {}),
    (np.uint16, (20, 30), {"bits": 12}),
    (np.int16, (20, 30), {}),
    (np.int32, (20, 30), {}),
    (np.float32, (20, 30, 3), {}),
])
def test_every_kind_of_file_written_validates(tmp_path, dtype, shape, keywords):
    data = image(shape, dtype)
    if dtype == np.float32:
        data = data / 7 - 10
    for name, kind in (("a.jph", "jph"), ("a.jhc", "jhc"), ("a.j2c", "jhc")):
        ferroglyph.imwrite(tmp_path / name, data, **keywords)
        assert_valid(tmp_path / name, kind)
