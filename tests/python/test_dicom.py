"""pydicom: HTJ2K datasets compressed with ferroglyph.dicom.compress and decoded by its plugin."""

import io
import subprocess
import sys

import numpy as np
import pytest

pydicom = pytest.importorskip("pydicom", minversion="3", reason="pydicom 3 not installed (extra ferroglyph[dicom])")
from pydicom.data import get_testdata_file  # noqa: E402
from pydicom.uid import HTJ2K, HTJ2KLossless, HTJ2KLosslessRPCL, JPEG2000Lossless  # noqa: E402

import ferroglyph  # noqa: E402
import ferroglyph.dicom  # noqa: E402
from ferroglyph.dicom import compress  # noqa: E402

# Uncompressed (or RLE, which pydicom decodes itself) datasets that pydicom ships.
DATASETS = {
    "CT_small.dcm": "MONOCHROME2",                    # signed 16-bit
    "MR_small_bigendian.dcm": "MONOCHROME2",          # signed 16-bit, big endian source
    "examples_overlay.dcm": "MONOCHROME2",            # Bits Stored 12 of 16
    "rtdose.dcm": "MONOCHROME2",                      # 15 frames of 32-bit, implicit VR source
    "examples_rgb_color.dcm": "YBR_RCT",
    "SC_rgb_rle_16bit_2frame.dcm": "YBR_RCT",         # 2 frames of 16-bit RGB
    "SC_ybr_full_422_uncompressed.dcm": "YBR_FULL",   # read without its subsampling
    "examples_palette.dcm": "PALETTE COLOR",
    "SC_rgb_small_odd.dcm": "YBR_RCT",                # 3x3
}


def load(name):
    path = get_testdata_file(name, download=False)  # never the network
    if path is None:
        pytest.skip(f"pydicom does not ship {name}")
    ds = pydicom.dcmread(path)
    if ds.file_meta.TransferSyntaxUID.is_compressed:
        ds.decompress(as_rgb=False)
    return ds


def written_and_read(ds):
    buf = io.BytesIO()
    ds.save_as(buf, enforce_file_format=True)
    buf.seek(0)
    return pydicom.dcmread(buf)


def frames_of(ds):
    return pydicom.encaps.generate_frames(ds.PixelData, number_of_frames=int(ds.get("NumberOfFrames", 1)))


@pytest.mark.filterwarnings("ignore:Invalid value for VR UI")  # a UID in pydicom's rtdose.dcm
@pytest.mark.parametrize("uid", [HTJ2KLossless, HTJ2KLosslessRPCL, HTJ2K])
@pytest.mark.parametrize("name", sorted(DATASETS))
def test_lossless_round_trip_is_exact_and_the_file_valid(name, uid):
    ds = load(name)
    expected = ds.pixel_array.copy()
    uid_before, lossy_before = ds.SOPInstanceUID, ds.get("LossyImageCompression")
    compress(ds, uid)
    back = written_and_read(ds)
    assert back.file_meta.TransferSyntaxUID == uid
    assert back.PhotometricInterpretation == DATASETS[name]
    assert back.SOPInstanceUID != uid_before
    assert back.file_meta.MediaStorageSOPInstanceUID == back.SOPInstanceUID
    assert back["PixelData"].VR == "OB" and back["PixelData"].is_undefined_length
    assert back.get("LossyImageCompression") == lossy_before   # a lossless step changes no history
    decoded = back.pixel_array
    assert decoded.dtype == expected.dtype.newbyteorder("=") and np.array_equal(decoded, expected)
    assert np.array_equal(pydicom.pixels.pixel_array(back, decoding_plugin="ferroglyph"), expected)

    # What the codestreams say: stored precision, signedness, component transform, progression.
    infos = [ferroglyph.decode_info(f) for f in frames_of(back)]
    assert len(infos) == int(ds.get("NumberOfFrames", 1))
    for info in infos:
        assert info["bit_depth"] == ds.BitsStored
        assert info["signed"] == bool(ds.PixelRepresentation)
        assert info["color_transform"] == (DATASETS[name] == "YBR_RCT")


def test_rpcl_codestreams_have_rpcl_order_and_tlm():
    ds = compress(load("CT_small.dcm"), HTJ2KLosslessRPCL)
    cs = next(frames_of(ds))
    cod = cs.index(b"\xff\x52")
    assert cs[cod + 5] == 2                     # COD progression order: 2 = RPCL
    assert b"\xff\x55" in cs[: cs.index(b"\xff\x90")]   # TLM before the first tile


@pytest.mark.parametrize("name, level, worst", [
    ("MR_small.dcm", 0.0001, 0.005),             # a quantization step
    ("examples_rgb_color.dcm", 90, 0.03),
])
def test_lossy_htj2k(name, level, worst):
    ds = load(name)
    expected = ds.pixel_array.astype(float)
    compress(ds, HTJ2K, level=level)
    back = written_and_read(ds)
    assert back.LossyImageCompression == "01"
    assert back.LossyImageCompressionMethod == "ISO_15444_15"
    assert float(back.LossyImageCompressionRatio) > 1
    if back.SamplesPerPixel == 3:
        assert back.PhotometricInterpretation == "YBR_ICT"
    peak = float(expected.max() - expected.min())
    assert np.abs(back.pixel_array - expected).mean() / peak < worst


def test_multiframe_frames_encoded_on_threads_match_one_by_one():
    ct = load("CT_small.dcm")
    stack = np.stack([np.roll(ct.pixel_array, 7 * i, axis=1) for i in range(20)])   # 20 x 128 x 128
    results = []
    for threads in (1, 4):
        ds = load("CT_small.dcm")
        ds.NumberOfFrames = len(stack)
        results.append(compress(ds, HTJ2KLossless, arr=stack, numthreads=threads, generate_instance_uid=False))
    assert results[0].PixelData == results[1].PixelData
    assert np.array_equal(written_and_read(results[1]).pixel_array, stack)


def overlay_with(value):
    arr = load("examples_overlay.dcm").pixel_array.copy()   # Bits Stored 12 of 16
    arr[0, 0] = value
    return arr


@pytest.mark.parametrize("keywords", [
    {"uid": HTJ2KLossless, "level": 90},
    {"uid": JPEG2000Lossless},
    {"uid": HTJ2KLossless, "arr": overlay_with(4096)},      # above Bits Stored
    {"uid": HTJ2KLossless, "arr": overlay_with(7)[:10]},
    {"uid": HTJ2KLossless, "arr": np.stack([overlay_with(7)] * 2)},   # 2 frames, the dataset has 1
    {"uid": HTJ2KLossless, "arr": overlay_with(7).astype(np.int32) + 70000},   # would wrap in uint16
    {"uid": HTJ2KLossless, "arr": overlay_with(7).astype(np.float32)},
])
def test_refusals_leave_the_dataset_as_it_was(keywords):
    ds = load("examples_overlay.dcm")
    before = ds.PixelData
    with pytest.raises(ValueError):
        compress(ds, **keywords)
    assert ds.PixelData == before and not ds.file_meta.TransferSyntaxUID.is_compressed


def test_compressed_datasets_are_refused():
    compressed = compress(load("CT_small.dcm"), HTJ2KLossless)
    with pytest.raises(ValueError, match="only uncompressed"):
        compress(compressed, HTJ2K)


def test_one_import_switches_decoding_on_in_a_fresh_process(tmp_path):
    path = tmp_path / "ct.dcm"
    compress(load("CT_small.dcm"), HTJ2KLossless).save_as(path)
    code = (
        "import pydicom, ferroglyph.dicom\n"
        f"ds = pydicom.dcmread({str(path)!r})\n"
        "from pydicom.pixels import get_decoder\n"
        "print(get_decoder(ds.file_meta.TransferSyntaxUID).available_plugins, ds.pixel_array.sum())\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "'ferroglyph'" in proc.stdout
    assert proc.stdout.split()[-1] == str(load("CT_small.dcm").pixel_array.sum())
