"""`_openjph._encode_ex` (coded precision, a part's geometry) and encode's
released interpreter lock."""

import threading
import time

import numpy as np
import pytest

from ferroglyph.codecs import _openjph as oj

RNG = np.random.default_rng(12)
GREY16 = RNG.integers(0, 1 << 12, (61, 83), np.uint16)
RGB = RNG.integers(0, 256, (70, 90, 3), np.uint8)


@pytest.mark.parametrize("image, bits", [
    (GREY16, 12), (GREY16 & 1, 1), (RGB, 5), (RGB.astype(np.int16) - 16, 9),
    (RGB.astype(np.int32), 32)], ids=["u16-12", "u16-1", "u8-5", "i16-9", "i32-32"])
def test_bits_sets_the_coded_precision_and_round_trips(image, bits):
    image = image & ((1 << bits) - 1) if image.dtype.kind == "u" else image
    # OpenJPH 0.32 codes some 1-bit images with 5 levels lossily (about 6%
    # of these samples); 4 levels are exact.
    codestream = oj._encode_ex(image, bits=bits, num_decomp=4 if bits == 1 else None)
    info = oj.decode_info(codestream)
    assert info["bit_depth"] == bits
    assert info["signed"] == (image.dtype.kind == "i")
    np.testing.assert_array_equal(oj.decode(codestream).astype(image.dtype), image)


@pytest.mark.parametrize("keywords", [{}, {"tile": (32, 32), "tlm": True}, {"level": 80}])
def test_without_geometry_it_is_encode(keywords):
    assert oj._encode_ex(RGB, **keywords) == oj.encode(RGB, **keywords)
    assert oj._encode_ex(RGB, bits=8, **keywords) == oj.encode(RGB, **keywords)


@pytest.mark.parametrize("image, bits, text", [
    (GREY16, 0, "bits must be between 1 and 16 for uint16 samples, got 0"),
    (GREY16, 17, "bits must be between 1 and 16 for uint16 samples, got 17"),
    (RGB.astype(np.float32), 16, "bits must be between 32 and 32 for float32 samples, got 16"),
])
def test_bits_out_of_range_is_refused(image, bits, text):
    with pytest.raises(ValueError, match=text):
        oj._encode_ex(image, bits=bits)


def test_encode_errors_come_first():
    with pytest.raises(oj.OpenJphError, match="unsupported dtype"):
        oj._encode_ex(RGB.astype(np.float64), bits=0)


def test_header_only_is_the_main_header_and_reads_no_samples():
    whole = oj.encode(RGB, 90, tile=(32, 32), tlm=True, resolutions=3)
    header = oj._encode_ex(RGB, 90, tile=(32, 32), tlm=True, resolutions=3, header_only=True)
    assert whole.index(b"\xff\x55") == len(header)  # TLM follows the header
    assert whole.startswith(header)
    # A broadcast view of one byte stands for a 64 MiB image: never read, never copied.
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, np.uint8), (4096, 4096, 4), (0, 0, 0))
    assert oj._encode_ex(huge, tile=(1024, 1024), header_only=True)[:2] == b"\xff\x4f"


@pytest.mark.parametrize("layout", ["interleaved", "planar", "grey"])
def test_origin_codes_a_view_as_the_whole_images_tiles(layout):
    tile = (16, 24)
    whole_image = {"interleaved": RGB, "planar": RGB.transpose(2, 0, 1).copy(),
                   "grey": GREY16}[layout]
    planar = layout == "planar"
    whole = oj.encode(whole_image, tile=tile, planar=planar)
    view = whole_image[:, 24:48, 32:] if planar else whole_image[24:48, 32:]
    part = oj._encode_ex(view, tile=tile, planar=planar, origin=(32, 24))
    # The part's tile-parts are those of the whole image's tiles from
    # (2, 1) on in that tile row, but for Isot.
    sot = part.index(b"\xff\x90")
    body = part[sot:-2]
    across = -(-whole_image.shape[-1 if planar else 1] // tile[0])
    start = whole.index(b"\xff\x90\x00\x0a" + (across + 2).to_bytes(2, "big"))
    end = whole.index(b"\xff\x90\x00\x0a" + (2 * across).to_bytes(2, "big"))
    assert len(body) == end - start
    other = bytearray(whole[start:end])
    at = 0
    while at < len(body):
        other[at + 4:at + 6] = body[at + 4:at + 6]
        at += int.from_bytes(body[at + 6:at + 10], "big")
    assert body == bytes(other)


@pytest.mark.parametrize("origin, error, text", [
    ((-32, 0), ValueError, "origin must be two integers >= 0"),
    ((1, 2, 3), ValueError, "origin must be two integers >= 0"),
    (5, TypeError, None),
])
def test_bad_origin_is_refused(origin, error, text):
    with pytest.raises(error, match=text):
        oj._encode_ex(RGB, tile=(32, 32), origin=origin)


def test_origin_and_header_only_exclude_each_other():
    with pytest.raises(ValueError, match="not both"):
        oj._encode_ex(RGB, origin=(0, 0), header_only=True)


def test_other_threads_run_while_encode_codes():
    image = RNG.integers(0, 256, (1024, 1024, 3), np.uint8)
    window = []

    def work():
        start = time.perf_counter()
        oj.encode(image)
        window.extend((start, time.perf_counter()))

    stamps = []
    worker = threading.Thread(target=work)
    worker.start()
    while worker.is_alive():
        stamps.append(time.perf_counter())
    worker.join()
    start, end = window
    inside = sum(start < t < end for t in stamps)
    # With the lock held through the bridge call, this thread would not run
    # at all between the call's first and last Python-visible instants.
    assert inside > 100
