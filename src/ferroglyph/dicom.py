"""HTJ2K in DICOM through pydicom: decode and encode the three HTJ2K transfer syntaxes.

Switched on by importing this module::

    import ferroglyph.dicom          # HTJ2K datasets now decode and encode through ferroglyph
    ds = pydicom.dcmread("ct_htj2k.dcm")
    ds.pixel_array

    ds = pydicom.dcmread("ct.dcm")
    ds.compress(HTJ2KLossless)                     # pydicom's own call
    ferroglyph.dicom.compress(ds, HTJ2K, level=90)  # or the complete path (attributes too)

Importing registers the ``"ferroglyph"`` decoding plugin with pydicom's decoders
for HTJ2K Lossless (1.2.840.10008.1.2.4.201), HTJ2K Lossless RPCL (.202) and
HTJ2K (.203) through pydicom's public ``Decoder.add_plugin``, and a
``"ferroglyph"`` encoding plugin for the same three (pydicom 3.0 has no encoders
for them: they are added to its encoder registry, see ``_dicom_encoder``).  When
other plugins are installed as well, pass ``decoding_plugin="ferroglyph"`` or
``encoding_plugin="ferroglyph"`` to choose it.  ``ds.compress`` follows pydicom's
conventions (it sets only Pixel Data, the transfer syntax and the SOP Instance
UID); :func:`compress` also sets the Photometric Interpretation and the lossy
compression attributes, and encodes frames in parallel.  See docs/dicom.md.

Needs the optional extra ``ferroglyph[dicom]`` (pydicom 3).
"""

from __future__ import annotations

import os
import warnings
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any

import numpy as np
import pydicom
from pydicom.encaps import encapsulate, encapsulate_extended
from pydicom.pixels.decoders.base import get_decoder
from pydicom.uid import (
    HTJ2K,
    UID,
    HTJ2KLossless,
    HTJ2KLosslessRPCL,
    generate_uid,
)
from pydicom.valuerep import VR

import ferroglyph

from . import _args, _dicom_encoder

if TYPE_CHECKING:
    from pydicom.dataset import Dataset
    from pydicom.pixels.decoders.base import DecodeRunner

__all__ = ["HTJ2K_TRANSFER_SYNTAXES", "PLUGIN", "compress", "enable"]

PLUGIN = "ferroglyph"
HTJ2K_TRANSFER_SYNTAXES = (HTJ2KLossless, HTJ2KLosslessRPCL, HTJ2K)
_PARALLEL_MIN_SAMPLES = 1 << 18   # a few milliseconds of encoding

# What pydicom's plugin interface asks of a plugin module: which transfer
# syntaxes it handles and what it needs for each.
DECODER_DEPENDENCIES = {uid: ("numpy", "ferroglyph") for uid in HTJ2K_TRANSFER_SYNTAXES}


def is_available(uid: str) -> bool:
    """Whether this plugin can decode transfer syntax ``uid``."""
    return UID(uid) in HTJ2K_TRANSFER_SYNTAXES


def _decode_frame(src: bytes, runner: DecodeRunner) -> bytes:
    """pydicom decoding plugin: one HTJ2K codestream to the frame's bytes."""
    info = ferroglyph.decode_info(src)
    if info["components"] != runner.samples_per_pixel:
        raise ValueError(
            f"the codestream has {info['components']} components but (0028,0002) "
            f"'Samples per Pixel' is {runner.samples_per_pixel}"
        )
    if info["height"] != runner.rows or info["width"] != runner.columns:
        raise ValueError(
            f"the codestream is {info['width']}x{info['height']} but the dataset says "
            f"{runner.columns} columns x {runner.rows} rows"
        )
    frame = ferroglyph.decode(src)  # channel-last: (rows, columns[, samples])
    if runner.samples_per_pixel > 1:
        # The decoded samples are interleaved whatever the dataset's Planar Configuration.
        runner.set_option("planar_configuration", 0)
        if info["color_transform"] and runner.photometric_interpretation in ("YBR_ICT", "YBR_RCT"):
            # Decoding undid the component transform: the samples are RGB again.
            runner.set_option("photometric_interpretation", "RGB")
    # Precisions of 8 or less decode to 8-bit samples; the frame buffer has
    # Bits Allocated per sample. Sign differences are pydicom's to correct
    # afterwards (it reads the codestream's precision and signedness).
    return frame.astype(runner.pixel_dtype, copy=False).tobytes()


def enable() -> None:
    """Registers the decoding and encoding plugins with pydicom (done on import; calling it
    again does nothing).

    Where pydicom's encoder registry is not one ferroglyph knows, ``ds.compress`` cannot
    be given the encoders: a RuntimeWarning says so and points to :func:`compress`.
    """
    for uid in HTJ2K_TRANSFER_SYNTAXES:
        decoder = get_decoder(uid)
        if PLUGIN not in decoder.available_plugins:
            decoder.add_plugin(PLUGIN, (__name__, "_decode_frame"))
    why = _dicom_encoder.register()
    if why:
        warnings.warn(
            f"ferroglyph: {why}, so ds.compress() cannot encode HTJ2K (pydicom will raise "
            "NotImplementedError); use ferroglyph.dicom.compress(ds, uid, ...) instead",
            RuntimeWarning, stacklevel=2)


def _container(bits_allocated: int, pixel_representation: int) -> np.dtype:
    if bits_allocated not in (8, 16, 32):
        raise ValueError(f"HTJ2K encoding needs (0028,0100) 'Bits Allocated' 8, 16 or 32, not {bits_allocated}")
    return np.dtype(f"{'ui'[pixel_representation]}{bits_allocated // 8}")


def _colour_plan(pi: str, samples: int, lossy: bool) -> tuple[bool, str]:
    """Whether to apply the component transform, and the Photometric Interpretation to write
    when the frames are coded as asked (the codestreams have the last word: see
    :func:`_coded_interpretation`).

    JPEG 2000 family codestreams in DICOM say through the Photometric
    Interpretation whether the codestream carries the component transform:
    YBR_RCT with the reversible one, YBR_ICT with the irreversible one (PS3.5
    8.2, the JPEG 2000 family); without it the samples keep their own
    interpretation.
    """
    _dicom_encoder.check_samples(pi, samples, lossy)
    if samples == 1:
        return False, pi
    if pi in ("RGB", "YBR_RCT", "YBR_ICT"):  # YBR_RCT/ICT sources were decoded to RGB
        return True, "YBR_ICT" if lossy else "YBR_RCT"
    if pi == "YBR_FULL":
        return False, pi
    raise ValueError(
        f"cannot HTJ2K-encode Photometric Interpretation {pi!r}; RGB, YBR_FULL (YBR_FULL_422 "
        "is read without its subsampling) and MONOCHROME1/2 can be"
    )


def compress(
    ds: Dataset,
    uid: str = HTJ2KLossless,
    level: float | None = None,
    *,
    ratio: float | None = None,
    psnr: float | None = None,
    arr: np.ndarray | None = None,
    numthreads: int | None = None,
    encapsulate_ext: bool = False,
    generate_instance_uid: bool = True,
    j2k_cr: Any = None,
    j2k_psnr: Any = None,
) -> Dataset:
    """Compresses ``ds``'s pixel data to an HTJ2K transfer syntax, in place.

    Parameters
    ----------
    ds : pydicom.dataset.Dataset
        A dataset with uncompressed *Pixel Data* (or any dataset when ``arr``
        is given) and the Image Pixel module elements.
    uid : str
        ``HTJ2KLossless`` (1.2.840.10008.1.2.4.201, default),
        ``HTJ2KLosslessRPCL`` (.202: RPCL progression, TLM, a tile-part per
        resolution, base resolution at most 64 on a side) or ``HTJ2K`` (.203,
        lossless unless a level, ratio or psnr is given).
    level : float, optional
        For ``HTJ2K`` only: a quality from 1 to 100 or a quantization step
        below 1 (see :func:`ferroglyph.encode`). None: lossless.
    ratio, psnr : float, optional
        For ``HTJ2K`` only, instead of ``level``: each frame at least this
        compression ratio (its bytes over the codestream's), or this PSNR in
        dB at Bits Stored's peak (see :func:`ferroglyph.encode`).
    j2k_cr, j2k_psnr : float or list of float, optional
        pydicom's spellings of ``ratio`` and ``psnr``: the first value counts
        (one quality layer is coded).
    arr : numpy.ndarray, optional
        Pixel data to use instead of the dataset's: (rows, columns[, samples])
        or (frames, rows, columns[, samples]), as ``ds``'s Image Pixel module
        elements and Number of Frames describe it (as for ``Dataset.compress``).
    numthreads : int, optional
        Frames encoded at once (default: all cores).
    encapsulate_ext : bool
        Write an Extended Offset Table (done anyway beyond 4 GiB).
    generate_instance_uid : bool
        Give the dataset a new SOP Instance UID (default True, as pydicom does).

    Returns
    -------
    pydicom.dataset.Dataset
        ``ds``, compressed.

    Notes
    -----
    - Samples are coded at Bits Stored: 12-bit CT in 16-bit words is a 12-bit
      codestream; a sample outside the Bits Stored range raises ValueError
      naming it and nothing is changed.
    - Signed data (Pixel Representation 1) is coded as signed samples.
    - Photometric Interpretation: RGB becomes YBR_RCT (lossless) or YBR_ICT
      (lossy) and the codestream carries the matching component transform;
      YBR_FULL and MONOCHROME1/2 stay; PALETTE COLOR is lossless only;
      YBR_FULL_422 becomes YBR_FULL (pydicom reads it without subsampling).
    - Lossy compression sets Lossy Image Compression "01" and appends its
      ratio (the mean of the frames' ratios reached) and the method
      "ISO_15444_15".  A rate target met losslessly is recorded as lossless
      (YBR_RCT for RGB); frames coded some lossy, some lossless with the
      component transform cannot be described by one Photometric
      Interpretation and are refused.
    - Frames are encoded one by one, several at once on threads when the
      dataset is large enough for that to help.
    """
    uid = _checked_syntax(uid)
    target = _dicom_encoder.resolve_target(uid, level, ratio, psnr, j2k_cr, j2k_psnr)
    numthreads = _args.numthreads(numthreads)
    samples = int(ds.SamplesPerPixel)
    bits_allocated = int(ds.BitsAllocated)
    bits_stored = int(ds.BitsStored)
    container = _container(bits_allocated, int(ds.PixelRepresentation))
    if not 1 <= bits_stored <= bits_allocated:
        raise ValueError(f"(0028,0101) 'Bits Stored' {bits_stored} does not fit Bits Allocated {bits_allocated}")

    pi = str(ds.PhotometricInterpretation)
    if arr is None:
        frames, pi = _dataset_frames(ds, pi)
    else:
        frames = _array_frames(ds, arr, samples, container)
    mct, new_pi = _colour_plan(pi, samples, target.kind is not None)
    frames = [np.asarray(f).astype(container.newbyteorder("="), copy=False) for f in frames]
    if not frames:
        raise ValueError("the dataset has no frames to compress")

    encoded = _encode_frames(frames, uid, target, bits_stored, mct, numthreads)
    facts = [_dicom_encoder.facts(e) for e in encoded]
    if mct:
        new_pi = _coded_interpretation(facts)
    # Everything encoded: only now is the dataset touched, so a failure leaves it as it was.
    _store_pixel_data(ds, encoded, encapsulate_ext)
    ds.PhotometricInterpretation = new_pi
    if samples > 1:
        ds.PlanarConfiguration = 0
    if not all(f.reversible for f in facts):
        _record_lossy(ds, [f.nbytes / max(1, len(e)) for f, e in zip(frames, encoded, strict=True)])
    ds.file_meta.TransferSyntaxUID = uid
    if ds.original_encoding not in ((False, True), (None, None)):
        # The HTJ2K transfer syntaxes are explicit VR little endian; without this
        # pydicom refuses to write a dataset read as big endian or implicit VR.
        ds.set_original_encoding(None, None)
    if generate_instance_uid:
        instance_uid = generate_uid()
        ds.SOPInstanceUID = instance_uid
        ds.file_meta.MediaStorageSOPInstanceUID = instance_uid
    return ds


def _checked_syntax(uid: str) -> UID:
    """``uid`` as a UID, refused unless it is an HTJ2K syntax."""
    uid = UID(uid)
    if uid not in HTJ2K_TRANSFER_SYNTAXES:
        names = ", ".join(f"{u.name} ({u})" for u in HTJ2K_TRANSFER_SYNTAXES)
        raise ValueError(f"{uid.name or uid} is not an HTJ2K transfer syntax; use one of {names}")
    return uid


def _coded_interpretation(facts: list[_dicom_encoder.Facts]) -> str:
    """The Photometric Interpretation of frames coded with the component transform:
    YBR_RCT for the reversible one, YBR_ICT for the irreversible one, as the
    codestreams say (a rate target may be met losslessly)."""
    kinds = {f.reversible for f in facts}
    if len(kinds) > 1:
        raise ValueError(
            "the target was met losslessly (reversible transform, YBR_RCT) for some frames "
            "and lossily (YBR_ICT) for others, which one Photometric Interpretation cannot "
            "describe; aim lower, or compress losslessly")
    return "YBR_RCT" if kinds == {True} else "YBR_ICT"


def _dataset_frames(ds: Dataset, pi: str) -> tuple[list[np.ndarray], str]:
    """The frames of an uncompressed dataset, and the Photometric Interpretation they are in."""
    tsyntax = getattr(getattr(ds, "file_meta", None), "TransferSyntaxUID", None)
    if tsyntax is None:
        raise AttributeError("the dataset has no (0002,0010) 'Transfer Syntax UID' in its file_meta")
    if tsyntax.is_compressed:
        raise ValueError(
            f"only uncompressed datasets can be compressed (this one is {tsyntax.name}); "
            "decompress it first or pass arr="
        )
    frames = []
    for frame, props in get_decoder(tsyntax).iter_array(ds, raw=True):
        frames.append(frame)
        pi = str(props.get("photometric_interpretation", pi))
    return frames, pi


def _array_frames(ds: Dataset, arr: Any, samples: int, container: np.dtype) -> list[np.ndarray]:
    """The frames of ``arr``, refused unless the dataset describes its shape and the
    container holds its values."""
    a = np.asarray(arr)
    frame_ndim = 2 if samples == 1 else 3
    if a.ndim == frame_ndim:
        a = a[np.newaxis]
    expected: tuple[int, ...] = (int(ds.get("NumberOfFrames") or 1), int(ds.Rows),
                                 int(ds.Columns))
    expected += (samples,) if samples > 1 else ()
    if a.shape != expected:
        raise ValueError(f"arr has shape {np.shape(arr)}; the dataset describes {expected} "
                         "(frames, rows, columns[, samples])")
    if a.dtype.newbyteorder("=") != container:
        # A cast must not change a value: refuse what the container cannot hold.
        if a.dtype.kind not in "ui":
            raise ValueError(f"arr must hold integers for {container} pixel data, not {a.dtype}")
        limits = np.iinfo(container)
        if a.size and (a.min() < limits.min or a.max() > limits.max):
            raise ValueError(f"arr holds values from {a.min()} to {a.max()}, outside {container}")
    return list(a)


def _encode_frames(
    frames: list[np.ndarray], uid: UID, target: _args.Target, bits_stored: int,
    mct: bool, numthreads: int | None,
) -> list[bytes]:
    """One codestream per frame."""
    def one(frame: np.ndarray, threads: int | None) -> bytes:
        return _dicom_encoder.encode_frame(frame, uid, target, bits_stored, mct,
                                           numthreads=threads)

    # Frames on several threads once there is enough work to share (the encoder
    # releases the interpreter lock); small datasets stay on the calling thread.
    workers = min(len(frames), numthreads or os.cpu_count() or 1)
    if sum(f.size for f in frames) < _PARALLEL_MIN_SAMPLES:
        workers = 1
    if workers <= 1:
        return [one(f, numthreads) for f in frames]
    with ThreadPoolExecutor(workers) as pool:
        return list(pool.map(lambda f: one(f, 1), frames))


def _store_pixel_data(ds: Dataset, encoded: list[bytes], extended: bool) -> None:
    """Encapsulates the codestreams as ``ds``'s Pixel Data, with an Extended Offset
    Table when asked or when the Basic Offset Table's 32-bit offsets cannot reach."""
    total = sum(len(f) + 8 for f in encoded[:-1])
    if extended or total > 2**32 - 1:
        ds.PixelData, ds.ExtendedOffsetTable, ds.ExtendedOffsetTableLengths = encapsulate_extended(encoded)
    else:
        ds.PixelData = encapsulate(encoded)
    # PS3.5 A.4: encapsulated pixel data is OB with undefined length.
    elem = ds["PixelData"]
    elem.is_undefined_length = True
    elem.VR = VR.OB


def _record_lossy(ds: Dataset, ratios: list[float]) -> None:
    """Lossy Image Compression "01", with this compression's ratio (the mean of the
    frames' ratios) and method appended to any earlier ones."""
    ratio = sum(ratios) / len(ratios)
    ds.LossyImageCompression = "01"
    ds.LossyImageCompressionRatio = [*_as_list(ds.get("LossyImageCompressionRatio")), f"{ratio:.4g}"[:16]]
    ds.LossyImageCompressionMethod = [*_as_list(ds.get("LossyImageCompressionMethod")), "ISO_15444_15"]


def _as_list(element: Any) -> list[Any]:
    if element is None:
        return []
    value = element.value if hasattr(element, "value") else element
    if value is None or value == "":
        return []
    return list(value) if isinstance(value, (list, tuple, pydicom.multival.MultiValue)) else [value]


enable()
