"""pydicom: HTJ2K datasets compressed with ds.compress or ferroglyph.dicom.compress, decoded by
the plugin; the .202 layout read from the codestream."""

import inspect
import io
import subprocess
import sys

import numpy as np
import pytest

pydicom = pytest.importorskip("pydicom", minversion="3", reason="pydicom 3 not installed (extra ferroglyph[dicom])")
from pydicom.data import get_testdata_file  # noqa: E402
from pydicom.pixels.encoders import base as encoders  # noqa: E402
from pydicom.uid import HTJ2K, HTJ2KLossless, HTJ2KLosslessRPCL, JPEG2000Lossless  # noqa: E402

import ferroglyph  # noqa: E402
import ferroglyph.dicom  # noqa: E402
from ferroglyph import _codestream  # noqa: E402
from ferroglyph.dicom import compress  # noqa: E402

UIDS = [HTJ2KLossless, HTJ2KLosslessRPCL, HTJ2K]
RATE_TARGETS = "psnr" in inspect.signature(ferroglyph.encode).parameters

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


@pytest.mark.parametrize("pydicom_call", [True, False])
def test_bit_packed_data_is_refused_naming_it(pydicom_call):
    ds = load("liver_1frame.dcm")   # Bits Allocated 1
    before = ds.PixelData
    with pytest.raises(ValueError, match="Bits Allocated"):
        ds.compress(HTJ2KLossless) if pydicom_call else compress(ds, HTJ2KLossless)
    assert ds.PixelData == before


def test_compressed_datasets_are_refused():
    compressed = compress(load("CT_small.dcm"), HTJ2KLossless)
    with pytest.raises(ValueError, match="only uncompressed"):
        compress(compressed, HTJ2K)


def test_one_import_switches_decoding_on_in_a_fresh_process(tmp_path):
    path = tmp_path / "ct.dcm"
    compress(load("CT_small.dcm"), HTJ2KLossless).save_as(path)
    code = (
        "import pydicom, ferroglyph.dicom, warnings\n"
        "warnings.simplefilter('error')\n"
        "ferroglyph.dicom.enable()\n"   # again: nothing more
        f"ds = pydicom.dcmread({str(path)!r})\n"
        "from pydicom.pixels import get_decoder\n"
        "ds.decompress(); ds.compress(pydicom.uid.HTJ2KLosslessRPCL)\n"
        "print(get_decoder(ds.file_meta.TransferSyntaxUID).available_plugins, ds.pixel_array.sum())\n")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "'ferroglyph'" in proc.stdout
    assert proc.stdout.split()[-1] == str(load("CT_small.dcm").pixel_array.sum())


def synthetic(rows, columns, frames=1, signed=False):
    """An uncompressed 12-bit MONOCHROME2 dataset (smooth plus noise) and its pixels."""
    y, x = np.mgrid[:rows, :columns]
    rng = np.random.default_rng(frames)
    arr = np.stack([2048 + 1500 * np.sin(x / 97 + f) * np.cos(y / 61)
                    + rng.normal(0, 20 * (f + 1), (rows, columns)) for f in range(frames)])
    arr = np.clip(arr - 2048 * signed, -2048 * signed, 4095 - 2048 * signed)
    arr = arr.astype(np.int16 if signed else np.uint16)
    ds = load("examples_overlay.dcm")   # uncompressed 12 of 16 bits
    ds.Rows, ds.Columns, ds.NumberOfFrames, ds.PixelRepresentation = rows, columns, frames, signed
    ds.PixelData = arr.tobytes()
    return ds, arr if frames > 1 else arr[0]


def layout(cs):
    """What a codestream's headers say: progression, levels, base (rows, columns), TLM, parts."""
    read = _codestream.buffer_reader(cs)
    header = _codestream.main_header(read, len(cs))
    levels, siz = header.cod.levels, header.siz
    base = (-(-siz.height // (1 << levels)), -(-siz.width // (1 << levels)))
    walk = _codestream.tile_parts(read, len(cs), header, use_tlm=False)
    parts = [(t.part, t.parts) for t in walk]
    return header.cod.progression, levels, base, header.tlm is not None, parts


@pytest.mark.filterwarnings("ignore:Invalid value for VR UI")
@pytest.mark.parametrize("uid", UIDS)
@pytest.mark.parametrize("name, pi", [
    ("CT_small.dcm", None), ("examples_overlay.dcm", None), ("rtdose.dcm", None),
    ("examples_rgb_color.dcm", "RGB"), ("examples_rgb_color.dcm", "YBR_RCT"),
    ("SC_rgb_rle_16bit_2frame.dcm", "YBR_RCT"), ("examples_palette.dcm", None),
    ("MR_small_bigendian.dcm", None),   # pydicom hands its bytes over as if little endian
])
def test_ds_compress_is_exact_after_save_and_read(name, pi, uid):
    ds = load(name)
    if pi:   # pydicom's convention: set to what the compressed data will be
        ds.PhotometricInterpretation = pi
    expected, pi = ds.pixel_array.copy(), ds.PhotometricInterpretation
    ds.compress(uid)
    buf = io.BytesIO()
    pydicom.dcmwrite(buf, ds, little_endian=True, implicit_vr=False)
    back = pydicom.dcmread(io.BytesIO(buf.getvalue()))
    assert back.file_meta.TransferSyntaxUID == uid and back.PhotometricInterpretation == pi
    assert np.array_equal(back.pixel_array, expected)
    frames = list(pydicom.pixels.iter_pixels(back))
    assert np.array_equal(np.stack(frames), expected.reshape(len(frames), *frames[0].shape))
    for cs in frames_of(back):
        info = ferroglyph.decode_info(cs)
        assert info["bit_depth"] == back.BitsStored
        assert info["signed"] == bool(back.PixelRepresentation)
        assert info["color_transform"] == (pi == "YBR_RCT")
    back.decompress()
    assert np.array_equal(back.pixel_array, expected)


@pytest.mark.parametrize("uid, pi, keywords, match", [
    (HTJ2K, "RGB", {"level": 90}, None),
    (HTJ2K, "YBR_ICT", {"level": 0.002}, None),
    (HTJ2K, "YBR_RCT", {"level": 90}, "YBR_RCT is the reversible"),
    (HTJ2KLosslessRPCL, "YBR_ICT", {}, "YBR_ICT is the irreversible"),
    (HTJ2KLossless, "RGB", {"level": 90}, "is lossless"),
    (HTJ2K, "RGB", {"level": 90, "ratio": 10}, "at most one"),
])
def test_ds_compress_lossy_follows_the_photometric_interpretation(uid, pi, keywords, match):
    ds = load("examples_rgb_color.dcm")
    expected, before = ds.pixel_array.astype(float), ds.PixelData
    ds.PhotometricInterpretation = pi
    if match:
        with pytest.raises(RuntimeError, match=match):   # pydicom wraps the plugin's error
            ds.compress(uid, encoding_plugin="ferroglyph", **keywords)
        assert ds.PixelData == before
        return
    ds.compress(uid, encoding_plugin="ferroglyph", **keywords)
    back = written_and_read(ds)
    assert ferroglyph.decode_info(next(frames_of(back)))["color_transform"] == (pi == "YBR_ICT")
    assert "LossyImageCompression" not in back   # the caller's, as with pydicom's encoders
    assert np.abs(back.pixel_array - expected).mean() < 4


def test_ds_compress_reads_planar_samples_and_ignores_bits_above_bits_stored():
    ds = load("examples_rgb_color.dcm")
    rgb = ds.pixel_array.copy()
    ds.PixelData, ds.PlanarConfiguration = rgb.transpose(2, 0, 1).tobytes(), 1
    ds.compress(HTJ2KLossless)
    assert np.array_equal(written_and_read(ds).pixel_array, rgb)
    for signed, stored in [(True, lambda a: a.view(np.uint16) & 0x0FFF),
                           (False, lambda a: a | 0xF000)]:
        ds, arr = synthetic(40, 50, signed=signed)   # bits above Bits Stored as some files have
        ds.PixelData = stored(arr).tobytes()
        ds.compress(HTJ2K)
        assert np.array_equal(written_and_read(ds).pixel_array, arr)


@pytest.mark.parametrize("rows, columns", [(2500, 3000), (20, 3000), (3000, 20), (200, 100)])
@pytest.mark.parametrize("pydicom_call", [True, False])
def test_rpcl_layout_read_from_the_codestream(rows, columns, pydicom_call):
    ds, arr = synthetic(rows, columns)
    ds.compress(HTJ2KLosslessRPCL) if pydicom_call else compress(ds, HTJ2KLosslessRPCL)
    back = written_and_read(ds)
    cs = next(frames_of(back))
    progression, levels, base, tlm, parts = layout(cs)
    assert progression == "RPCL" and tlm and max(base) <= 64
    assert parts == [(r, levels + 1) for r in range(levels + 1)]   # a tile-part per resolution
    assert np.array_equal(back.pixel_array, arr)
    assert ferroglyph.decode(cs, reduce=levels).shape == base


@pytest.mark.parametrize("keywords, fault", [
    ({"prog_order": "LRCP", "tlm": True, "tilepart": 1}, "LRCP"),
    ({"prog_order": "RPCL", "tilepart": 1}, "no TLM"),
    ({"prog_order": "RPCL", "tlm": True}, "tile-parts"),
    ({"prog_order": "RPCL", "tlm": True, "tilepart": 1, "num_decomp": 1}, "base resolution"),
])
def test_rpcl_check_refuses_codestreams_that_break_the_rules(keywords, fault):
    cs = ferroglyph.encode(synthetic(300, 300)[1], bits=12, **{"num_decomp": 5, **keywords})
    with pytest.raises(ferroglyph.OpenJphError, match=fault):
        ferroglyph._dicom_encoder.check_rpcl(cs)


def test_lossy_attributes_are_the_mean_of_the_frames_ratios():
    ds, stack = synthetic(128, 160, frames=3)
    compress(ds, HTJ2K, level=80, encapsulate_ext=True)
    back = written_and_read(ds)
    ratios = [stack[0].nbytes / len(cs.rstrip(b"\0")) for cs in frames_of(back)]  # unpadded
    assert len(set(ratios)) == 3 and "ExtendedOffsetTable" in back
    assert back.LossyImageCompression == "01"
    assert back.LossyImageCompressionMethod == "ISO_15444_15"
    assert float(back.LossyImageCompressionRatio) == pytest.approx(np.mean(ratios), rel=1e-3)


@pytest.mark.parametrize("uid, keywords", [
    (HTJ2K, {"ratio": 10, "level": 90}), (HTJ2K, {"ratio": 10, "j2k_cr": [10]}),
    (HTJ2K, {"j2k_cr": []}), (HTJ2KLossless, {"psnr": 40}),
])
def test_target_conflicts_are_refused(uid, keywords):
    with pytest.raises(ValueError):
        compress(synthetic(32, 32)[0], uid, **keywords)


@pytest.mark.skipif(RATE_TARGETS, reason="ferroglyph.encode has rate targets")
def test_rate_targets_without_rate_control_are_refused_not_ignored():
    with pytest.raises(NotImplementedError, match="no ratio target"):
        compress(synthetic(32, 32)[0], HTJ2K, ratio=10)


@pytest.mark.skipif(not RATE_TARGETS, reason="ferroglyph.encode has no psnr/ratio targets yet")
def test_rate_targets_are_met():
    ds = synthetic(256, 256)[0]
    compress(ds, HTJ2K, j2k_cr=[12, 4])   # the first value counts
    assert float(ds.LossyImageCompressionRatio) >= 12
    ds, arr = synthetic(256, 256)
    ds.compress(HTJ2K, psnr=50)
    err = written_and_read(ds).pixel_array.astype(float) - arr
    assert 10 * np.log10(4095.0**2 / np.mean(err**2)) >= 50


@pytest.fixture
def stand_in_rate_encode(monkeypatch):
    """ferroglyph.encode with ratio= as the rate-control interface gives it: the lossless
    codestream where that meets the ratio, else the finest step that does."""
    real, asked = ferroglyph.encode, []

    def encode(data, level=None, *, psnr=None, ratio=None, max_bytes=None, **keywords):
        if ratio is None:
            return real(data, level, **keywords)
        asked.append(ratio)
        return next(cs for q in [None, *(0.5 ** k for k in range(12, 0, -1))] if data.nbytes / len(
            cs := real(data, q, **{**keywords, "reversible": q is None})) >= ratio)

    monkeypatch.setattr(ferroglyph, "encode", encode)
    return asked


@pytest.mark.parametrize("ratio, pi", [(1.01, "YBR_RCT"), (25, "YBR_ICT"), (8, None)])
def test_rate_target_attributes_follow_the_codestreams(stand_in_rate_encode, ratio, pi):
    ds = load("examples_rgb_color.dcm")
    photo = ds.pixel_array
    ds.NumberOfFrames = 2   # the second frame flat: tiny when lossless
    ds.PixelData = before = np.stack([photo, photo if pi else np.zeros_like(photo)]).tobytes()
    if pi is None:   # lossless RCT for one frame, ICT for the other: no one interpretation
        with pytest.raises(ValueError, match="one Photometric Interpretation"):
            compress(ds, HTJ2K, ratio=ratio)
        ds.PhotometricInterpretation = "YBR_ICT"
        with pytest.raises(RuntimeError, match="met losslessly"):
            ds.compress(HTJ2K, ratio=ratio)
        assert ds.PixelData == before and not ds.file_meta.TransferSyntaxUID.is_compressed
        return
    compress(ds, HTJ2K, j2k_cr=[ratio, 2])
    back = written_and_read(ds)
    assert stand_in_rate_encode == [ratio, ratio] and back.PhotometricInterpretation == pi
    assert ("LossyImageCompressionRatio" in back) == (pi == "YBR_ICT")


@pytest.mark.parametrize("change", ["version", "registry layout"])
def test_enable_warns_when_the_registry_is_not_as_expected(monkeypatch, change):
    registry = {u: v for u, v in encoders._PIXEL_DATA_ENCODERS.items() if u not in UIDS}
    monkeypatch.setattr(encoders, "_PIXEL_DATA_ENCODERS", registry)   # before any enable()
    if change == "version":
        monkeypatch.setattr(pydicom, "__version__", "4.0.0")
    else:
        registry.update({uid: encoder for uid, (encoder, _) in list(registry.items())})
    with pytest.warns(RuntimeWarning, match=r"use ferroglyph\.dicom\.compress"):
        ferroglyph.dicom.enable()
    ds, arr = synthetic(16, 16)
    with pytest.raises(NotImplementedError):
        ds.compress(HTJ2KLossless)
    compress(ds, HTJ2KLossless)   # the way out the warning names
    assert np.array_equal(written_and_read(ds).pixel_array, arr)
