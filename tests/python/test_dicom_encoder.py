"""pydicom's own ds.compress() for the three HTJ2K transfer syntaxes, the .202 layout read from
the codestream, and the attributes ferroglyph.dicom.compress writes."""

import inspect
import io
import warnings

import numpy as np
import pytest

pydicom = pytest.importorskip("pydicom", minversion="3",
                              reason="pydicom 3 not installed (extra ferroglyph[dicom])")
from pydicom.data import get_testdata_file  # noqa: E402
from pydicom.dataset import Dataset, FileMetaDataset  # noqa: E402
from pydicom.encaps import generate_frames  # noqa: E402
from pydicom.pixels import iter_pixels  # noqa: E402
from pydicom.pixels.encoders import base as encoders  # noqa: E402
from pydicom.uid import (  # noqa: E402
    HTJ2K,
    ExplicitVRLittleEndian,
    HTJ2KLossless,
    HTJ2KLosslessRPCL,
    generate_uid,
)

import ferroglyph  # noqa: E402
import ferroglyph.dicom  # noqa: E402
from ferroglyph import _codestream  # noqa: E402

UIDS = [HTJ2KLossless, HTJ2KLosslessRPCL, HTJ2K]
RATE_TARGETS = "psnr" in inspect.signature(ferroglyph.encode).parameters
needs_rate_targets = pytest.mark.skipif(not RATE_TARGETS,
                                        reason="ferroglyph.encode has no psnr/ratio yet")


def load(name):
    path = get_testdata_file(name, download=False)  # never the network
    if path is None:
        pytest.skip(f"pydicom does not ship {name}")
    ds = pydicom.dcmread(path)
    if ds.file_meta.TransferSyntaxUID.is_compressed:
        ds.decompress(as_rgb=False)
    return ds


def synthetic(rows, columns, frames=1, bits_stored=12, signed=False, seed=0):
    """An uncompressed MONOCHROME2 dataset of smooth data plus noise at Bits Stored."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[:rows, :columns]
    top = (1 << (bits_stored - 1)) - 1 if signed else (1 << bits_stored) - 1
    bottom = -(1 << (bits_stored - 1)) if signed else 0
    stack = []
    for f in range(frames):
        smooth = (bottom + (top - bottom) * (0.5 + 0.4 * np.sin(x / 97 + f) * np.cos(y / 61)))
        stack.append(np.clip(smooth + rng.normal(0, 20 * (f + 1), (rows, columns)), bottom, top))
    arr = np.stack(stack).astype(np.int16 if signed else np.uint16)
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.SOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    ds.SOPInstanceUID = ds.file_meta.MediaStorageSOPInstanceUID = generate_uid()
    ds.Rows, ds.Columns, ds.SamplesPerPixel = rows, columns, 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit = 16, bits_stored, bits_stored - 1
    ds.PixelRepresentation = int(signed)
    if frames > 1:
        ds.NumberOfFrames = frames
    ds.PixelData = arr.tobytes()
    return ds, arr if frames > 1 else arr[0]


def written_and_read(ds):
    buf = io.BytesIO()
    ds.save_as(buf, enforce_file_format=True)
    buf.seek(0)
    return pydicom.dcmread(buf)


def codestreams(ds):
    return list(generate_frames(ds.PixelData, number_of_frames=int(ds.get("NumberOfFrames", 1))))


def layout(cs):
    """What a codestream's own headers say: progression, levels, base size, TLM, tile-parts."""
    read = _codestream.buffer_reader(cs)
    header = _codestream.main_header(read, len(cs))
    levels, siz = header.cod.levels, header.siz
    base = (-(-siz.height // (1 << levels)), -(-siz.width // (1 << levels)))
    walk = _codestream.tile_parts(read, len(cs), header, use_tlm=False)
    parts = [(t.part, t.parts) for t in walk]
    return header.cod.progression, levels, base, header.tlm is not None, parts


# Uncompressed (or RLE, decompressed first) datasets that pydicom ships; the
# Photometric Interpretation is set before ds.compress as pydicom's convention asks.
DATASETS = [
    ("CT_small.dcm", None),                  # signed 16-bit
    ("MR_small.dcm", None),
    ("examples_overlay.dcm", None),          # Bits Stored 12 of 16
    ("rtdose.dcm", None),                    # 15 frames of 32-bit
    ("examples_rgb_color.dcm", "RGB"),       # no component transform
    ("examples_rgb_color.dcm", "YBR_RCT"),   # the reversible one
    ("SC_rgb_rle_16bit_2frame.dcm", "YBR_RCT"),
    ("SC_rgb_small_odd.dcm", "RGB"),
    ("examples_palette.dcm", None),
]


@pytest.mark.filterwarnings("ignore:Invalid value for VR UI")  # a UID in pydicom's rtdose.dcm
@pytest.mark.parametrize("uid", UIDS)
@pytest.mark.parametrize("name, pi", DATASETS)
def test_ds_compress_is_exact_after_save_and_read(name, pi, uid):
    ds = load(name)
    if pi:
        ds.PhotometricInterpretation = pi
    expected = ds.pixel_array.copy()
    before = ds.SOPInstanceUID
    ds.compress(uid)
    back = written_and_read(ds)
    assert back.file_meta.TransferSyntaxUID == uid and back.SOPInstanceUID != before
    assert back.PhotometricInterpretation == ds.PhotometricInterpretation   # pydicom's: untouched
    assert np.array_equal(back.pixel_array, expected)
    frames = list(iter_pixels(back))
    assert np.array_equal(np.stack(frames) if len(frames) > 1 else frames[0], expected)
    for cs in codestreams(back):
        info = ferroglyph.decode_info(cs)
        assert info["bit_depth"] == back.BitsStored
        assert info["signed"] == bool(back.PixelRepresentation)
        assert info["color_transform"] == (pi == "YBR_RCT")
        if uid == HTJ2KLosslessRPCL:
            assert layout(cs)[0] == "RPCL" and layout(cs)[3]
    back.decompress()
    assert np.array_equal(back.pixel_array, expected)


@pytest.mark.parametrize("pi, level, transform", [("RGB", 90, False), ("YBR_ICT", 90, True),
                                                  ("YBR_ICT", 0.002, True)])
def test_ds_compress_lossy_follows_the_photometric_interpretation(pi, level, transform):
    ds = load("examples_rgb_color.dcm")
    expected = ds.pixel_array.astype(float)
    ds.PhotometricInterpretation = pi
    ds.compress(HTJ2K, encoding_plugin="ferroglyph", level=level)
    back = written_and_read(ds)
    cs = codestreams(back)[0]
    assert ferroglyph.decode_info(cs)["color_transform"] == transform
    assert "LossyImageCompression" not in back   # the caller's, as with pydicom's encoders
    assert np.abs(back.pixel_array - expected).mean() < 4


@pytest.mark.parametrize("uid, pi, keywords, match", [
    (HTJ2K, "YBR_RCT", {"level": 90}, "YBR_RCT is the reversible"),
    (HTJ2K, "YBR_ICT", {}, "YBR_ICT is the irreversible"),
    (HTJ2KLosslessRPCL, "YBR_ICT", {}, "YBR_ICT is the irreversible"),
    (HTJ2KLossless, "RGB", {"level": 90}, "is lossless"),
    (HTJ2K, "RGB", {"level": 90, "ratio": 10}, "at most one"),
    (HTJ2K, "RGB", {"level": 101}, "level must be"),
])
def test_ds_compress_refusals_say_why_and_change_nothing(uid, pi, keywords, match):
    ds = load("examples_rgb_color.dcm")
    ds.PhotometricInterpretation = pi
    before = ds.PixelData
    with pytest.raises(RuntimeError, match=match):   # pydicom wraps the plugin's error
        ds.compress(uid, encoding_plugin="ferroglyph", **keywords)
    assert ds.PixelData == before and not ds.file_meta.TransferSyntaxUID.is_compressed


def test_planar_and_sign_extension_from_the_stored_bytes():
    # Planar Configuration 1: pydicom hands over the frame as stored (R plane, G plane, B plane).
    ds = load("examples_rgb_color.dcm")
    rgb = ds.pixel_array.copy()
    ds.PixelData, ds.PlanarConfiguration = np.ascontiguousarray(rgb.transpose(2, 0, 1)).tobytes(), 1
    ds.compress(HTJ2KLossless)
    assert np.array_equal(written_and_read(ds).pixel_array, rgb)
    # Signed 12-bit stored without sign extension above bit 11 (as some modalities write it).
    ds, arr = synthetic(40, 50, bits_stored=12, signed=True)
    ds.PixelData = (arr.view(np.uint16) & 0x0FFF).tobytes()
    ds.compress(HTJ2K)
    assert np.array_equal(written_and_read(ds).pixel_array, arr)


@pytest.mark.filterwarnings("ignore:Invalid value for VR UI")
@pytest.mark.parametrize("name", ["MR_small_bigendian.dcm", "SC_rgb_small_odd_big_endian.dcm",
                                  "rtdose_expb.dcm"])
def test_big_endian_datasets_are_read_as_stored(name):
    # pydicom hands a dataset's bytes to plugins as if little endian; these must not be.
    ds = load(name)
    expected = ds.pixel_array.copy()
    ds.compress(HTJ2KLossless)
    assert np.array_equal(ds.pixel_array, expected)
    buf = io.BytesIO()
    pydicom.dcmwrite(buf, ds, little_endian=True, implicit_vr=False)  # as pydicom asks
    buf.seek(0)
    assert np.array_equal(pydicom.dcmread(buf).pixel_array, expected)


@pytest.mark.parametrize("rows, columns", [(2500, 3000), (20, 3000), (3000, 20), (1, 5000),
                                           (64, 64), (200, 100)])
@pytest.mark.parametrize("how", ["ds.compress", "ferroglyph.dicom.compress"])
def test_rpcl_layout_read_from_the_codestream(rows, columns, how):
    ds, arr = synthetic(rows, columns)
    if how == "ds.compress":
        ds.compress(HTJ2KLosslessRPCL)
    else:
        ferroglyph.dicom.compress(ds, HTJ2KLosslessRPCL)
    back = written_and_read(ds)
    cs = codestreams(back)[0]
    progression, levels, base, tlm, parts = layout(cs)
    assert progression == "RPCL" and tlm
    assert max(base) <= 64
    assert parts == [(r, levels + 1) for r in range(levels + 1)]   # a tile-part per resolution
    assert np.array_equal(back.pixel_array, arr)
    assert ferroglyph.decode(cs, reduce=levels).shape == base


def test_rpcl_check_refuses_a_codestream_that_breaks_the_rules():
    arr = synthetic(300, 300)[1]
    for keywords, fault in [({"prog_order": "LRCP", "tlm": True, "tilepart": 1, "num_decomp": 5},
                             "LRCP"),
                            ({"prog_order": "RPCL", "tilepart": 1, "num_decomp": 5}, "no TLM"),
                            ({"prog_order": "RPCL", "tlm": True, "num_decomp": 5}, "tile-parts"),
                            ({"prog_order": "RPCL", "tlm": True, "tilepart": 1, "num_decomp": 2},
                             "base resolution")]:
        cs = ferroglyph.encode(arr, bits=12, **keywords)
        with pytest.raises(ferroglyph.OpenJphError, match=fault):
            ferroglyph._dicom_encoder.check_rpcl(cs)


def test_lossy_attributes_are_the_mean_of_the_frames_ratios():
    ds, stack = synthetic(128, 160, frames=3)
    before = ds.SOPInstanceUID
    ferroglyph.dicom.compress(ds, HTJ2K, level=80)
    back = written_and_read(ds)
    ratios = [stack[0].nbytes / len(cs) for cs in codestreams(back)]
    assert len(set(ratios)) == 3   # the frames differ, so the mean is not the total's ratio
    assert back.LossyImageCompression == "01"
    assert back.LossyImageCompressionMethod == "ISO_15444_15"
    assert float(back.LossyImageCompressionRatio) == pytest.approx(np.mean(ratios), rel=1e-3)
    assert back.SOPInstanceUID != before and back.BitsStored == 12
    assert all(ferroglyph.decode_info(cs)["bit_depth"] == 12 for cs in codestreams(back))


@pytest.mark.parametrize("keywords", [{"ratio": 10, "level": 90}, {"ratio": 10, "j2k_cr": [10]},
                                      {"psnr": 40, "j2k_psnr": 40}, {"j2k_cr": []}])
def test_target_conflicts_are_refused(keywords):
    ds, _ = synthetic(32, 32)
    with pytest.raises(ValueError):
        ferroglyph.dicom.compress(ds, HTJ2K, **keywords)
    with pytest.raises(ValueError, match="is lossless"):
        ferroglyph.dicom.compress(ds, HTJ2KLossless, ratio=10)


@needs_rate_targets
@pytest.mark.parametrize("keywords", [{"ratio": 12}, {"j2k_cr": [12, 4]}])
def test_ratio_target_is_met_and_recorded(keywords):
    ds, stack = synthetic(256, 256, frames=2)
    ferroglyph.dicom.compress(ds, HTJ2K, **keywords)
    back = written_and_read(ds)
    ratios = [stack[0].nbytes / len(cs) for cs in codestreams(back)]
    assert min(ratios) >= 12
    assert float(back.LossyImageCompressionRatio) == pytest.approx(np.mean(ratios), rel=1e-3)


@needs_rate_targets
def test_psnr_target_through_ds_compress():
    ds, arr = synthetic(256, 256)
    ds.compress(HTJ2K, encoding_plugin="ferroglyph", psnr=50)
    err = written_and_read(ds).pixel_array.astype(float) - arr
    assert 10 * np.log10(4095.0**2 / np.mean(err**2)) >= 50


@pytest.mark.skipif(RATE_TARGETS, reason="ferroglyph.encode has rate targets")
def test_rate_targets_missing_are_refused_not_ignored():
    ds, _ = synthetic(32, 32)
    with pytest.raises(NotImplementedError, match="ratio"):
        ferroglyph.dicom.compress(ds, HTJ2K, ratio=10)


@pytest.fixture
def fresh_pydicom(monkeypatch):
    """pydicom's encoder registry as it is before ferroglyph.dicom adds to it."""
    registry = {uid: v for uid, v in encoders._PIXEL_DATA_ENCODERS.items() if uid not in UIDS}
    monkeypatch.setattr(encoders, "_PIXEL_DATA_ENCODERS", registry)
    return registry


@pytest.mark.parametrize("change", ["version", "no registry", "registry layout"])
def test_enable_warns_when_the_registry_is_not_as_expected(fresh_pydicom, monkeypatch, change):
    if change == "version":
        monkeypatch.setattr(pydicom, "__version__", "4.0.0")
    elif change == "no registry":
        monkeypatch.delattr(encoders, "_PIXEL_DATA_ENCODERS")
        def no_encoder(uid):
            raise NotImplementedError(uid)
        monkeypatch.setattr(encoders, "get_encoder", no_encoder)
        monkeypatch.setattr(pydicom.pixels, "get_encoder", encoders.get_encoder)
    else:
        fresh_pydicom.update({uid: encoder for uid, (encoder, _) in list(fresh_pydicom.items())})
    with pytest.warns(RuntimeWarning, match=r"ferroglyph\.dicom\.compress"):
        ferroglyph.dicom.enable()
    ds, arr = synthetic(16, 16)
    with pytest.raises(NotImplementedError):
        ds.compress(HTJ2KLossless)
    ferroglyph.dicom.compress(ds, HTJ2KLossless)   # the way out the warning names
    assert np.array_equal(written_and_read(ds).pixel_array, arr)


def test_enable_registers_on_a_fresh_registry_and_is_idempotent(fresh_pydicom):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ferroglyph.dicom.enable()
        ferroglyph.dicom.enable()
    for uid in UIDS:
        encoder = pydicom.pixels.get_encoder(uid)
        assert encoder.UID == uid and encoder.available_plugins == ("ferroglyph",)
        assert pydicom.pixels.get_decoder(uid).available_plugins.count("ferroglyph") == 1
    ds, arr = synthetic(16, 16)
    ds.compress(HTJ2K)
    assert np.array_equal(written_and_read(ds).pixel_array, arr)


@pytest.fixture
def stand_in_rate_encode(monkeypatch):
    """ferroglyph.encode with a ratio target as the rate-control interface gives it: the
    lossless codestream when that meets the ratio, else the best level that does."""
    real, asked = ferroglyph.encode, []

    def encode(data, level=None, *, psnr=None, ratio=None, max_bytes=None, **keywords):
        if ratio is None:
            return real(data, level, **keywords)
        asked.append(ratio)
        data = np.asarray(data)
        lossless = real(data, None, reversible=True, **keywords)
        if data.nbytes / len(lossless) >= ratio:
            return lossless
        return next(cs for q in range(100, 0, -2)
                    if data.nbytes / len(cs := real(data, q, **keywords)) >= ratio)

    monkeypatch.setattr(ferroglyph, "encode", encode)
    return asked


def rgb_dataset(frames):
    """An RGB dataset with these (rows, columns, 3) uint8 frames."""
    ds = load("examples_rgb_color.dcm")
    ds.Rows, ds.Columns = frames[0].shape[:2]
    ds.NumberOfFrames = len(frames)
    ds.PixelData = np.stack(frames).tobytes()
    return ds


@pytest.mark.parametrize("ratio, pi, lossy", [(1.01, "YBR_RCT", False), (25, "YBR_ICT", True)])
def test_rate_target_attributes_follow_the_codestreams(stand_in_rate_encode, ratio, pi, lossy):
    photo = load("examples_rgb_color.dcm").pixel_array
    ds = rgb_dataset([photo, photo[::-1]])
    ferroglyph.dicom.compress(ds, HTJ2K, j2k_cr=[ratio, 2])   # the first value counts
    assert stand_in_rate_encode == [ratio, ratio]
    back = written_and_read(ds)
    assert back.PhotometricInterpretation == pi
    assert ("LossyImageCompression" in back) == lossy
    if lossy:
        ratios = [photo.nbytes / len(cs) for cs in codestreams(back)]
        assert min(ratios) >= ratio
        assert float(back.LossyImageCompressionRatio) == pytest.approx(np.mean(ratios), rel=1e-3)
    else:
        assert np.array_equal(back.pixel_array[0], photo)


def test_rate_target_mixing_lossless_and_lossy_transforms_is_refused(stand_in_rate_encode):
    photo = load("examples_rgb_color.dcm").pixel_array
    ds = rgb_dataset([photo, np.zeros_like(photo)])   # the flat frame is tiny when lossless
    before = ds.PixelData
    with pytest.raises(ValueError, match="one Photometric Interpretation"):
        ferroglyph.dicom.compress(ds, HTJ2K, ratio=8)
    assert ds.PixelData == before and ds.PhotometricInterpretation == "RGB"
    # Through ds.compress, YBR_ICT set beforehand cannot describe a lossless codestream.
    ds.PhotometricInterpretation = "YBR_ICT"
    with pytest.raises(RuntimeError, match="met losslessly"):
        ds.compress(HTJ2K, ratio=8)
    assert ds.PixelData == before
