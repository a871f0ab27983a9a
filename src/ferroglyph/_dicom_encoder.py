"""HTJ2K codestreams for DICOM frames, and pydicom's encoder plugin for the HTJ2K transfer syntaxes.

One frame in, one codestream out, laid out as its transfer syntax asks:

- HTJ2K Lossless (1.2.840.10008.1.2.4.201) and HTJ2K (.203): ferroglyph's
  usual layout (one tile, five decomposition levels where the size allows).
- HTJ2K Lossless RPCL (.202), by the rules of PS3.5 10.18: RPCL progression,
  a TLM segment, and enough decomposition levels that the base resolution is
  at most 64 samples on a side, so that a viewer can show a thumbnail from the
  first bytes.  Each resolution is its own tile-part, so the byte where each
  resolution ends can be read from the TLM segment or the SOT segments.  Every
  .202 codestream is checked from its own headers before it is handed out.

This module is also the ``ferroglyph`` encoding plugin that
``ferroglyph.dicom.enable()`` adds to pydicom's encoders for the three
syntaxes, so that ``ds.compress(HTJ2KLossless)`` works.  pydicom 3.0 has no
encoder objects for them and no public call that adds one; the objects are
put into its encoder registry, for the pydicom versions whose registry has the
layout checked here.
"""

from __future__ import annotations

import inspect
import numbers
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
from pydicom.pixels.encoders.base import Encoder
from pydicom.uid import HTJ2K, UID, HTJ2KLossless, HTJ2KLosslessRPCL

import ferroglyph

from . import _args, _codestream
from .codecs._openjph import OpenJphError

if TYPE_CHECKING:
    from collections.abc import Iterator

    from pydicom.dataset import Dataset
    from pydicom.pixels.encoders.base import EncodeRunner

PLUGIN = "ferroglyph"
HTJ2K_TRANSFER_SYNTAXES = (HTJ2KLossless, HTJ2KLosslessRPCL, HTJ2K)

# What pydicom's plugin interface asks of an encoding plugin module.
ENCODER_DEPENDENCIES = {uid: ("numpy", "ferroglyph") for uid in HTJ2K_TRANSFER_SYNTAXES}

#: Largest side of the base resolution of an HTJ2K Lossless RPCL codestream.
RPCL_BASE_MAX = 64
_DEFAULT_LEVELS = 5   # ferroglyph's (and OpenJPH's) usual count
_MAX_LEVELS = 32      # the format's limit (COD, ISO/IEC 15444-1 A.6.1); OpenJPH refuses more


def is_available(uid: str) -> bool:
    """Whether this plugin can encode transfer syntax ``uid``."""
    return UID(uid) in HTJ2K_TRANSFER_SYNTAXES


# ---------------------------------------------------------------------------
# What to aim at

def rate_targets_supported() -> bool:
    """Whether this ferroglyph's ``encode`` takes ``ratio=`` and ``psnr=`` targets."""
    try:
        return "psnr" in inspect.signature(ferroglyph.encode).parameters
    except (TypeError, ValueError):
        return False


def _first(value: Any, pydicom_value: Any, name: str, pydicom_name: str) -> Any:
    """``value``, or the first of pydicom's per-layer list ``pydicom_value``."""
    if pydicom_value is None:
        return value
    if value is not None:
        raise ValueError(f"give {name} or {pydicom_name}, not both")
    if isinstance(pydicom_value, numbers.Real):
        return pydicom_value
    if isinstance(pydicom_value, (str, bytes)) or not isinstance(pydicom_value, Iterable):
        raise TypeError(f"{pydicom_name} must be a number or a list of numbers, "
                        f"got {type(pydicom_value).__name__}")
    values = list(pydicom_value)
    if not values:
        raise ValueError(f"{pydicom_name} is empty; give one value")
    # One quality layer is coded: the first value is its target.
    return values[0]


def resolve_target(uid: UID, level: Any = None, ratio: Any = None, psnr: Any = None,
                   j2k_cr: Any = None, j2k_psnr: Any = None) -> _args.Target:
    """The one lossy target of an encode (kind None: lossless), refused where ``uid``
    is lossless or where this ferroglyph cannot aim at it."""
    ratio = _first(ratio, j2k_cr, "ratio", "j2k_cr")
    psnr = _first(psnr, j2k_psnr, "psnr", "j2k_psnr")
    target = _args.target(level, psnr, ratio)
    if target.kind is not None and uid != HTJ2K:
        raise ValueError(f"{uid.name} is lossless: level, ratio and psnr must be None "
                         f"(use HTJ2K, {HTJ2K}, for lossy)")
    if target.kind in ("ratio", "psnr") and not rate_targets_supported():
        raise NotImplementedError(
            f"this ferroglyph ({ferroglyph.__version__}) has no {target.kind} target; "
            "give a level instead")
    return target


# ---------------------------------------------------------------------------
# The codestream of one frame

def rpcl_levels(height: int, width: int) -> int:
    """Decomposition levels for an HTJ2K Lossless RPCL frame: enough that both sides of the
    base resolution are at most 64, or at least the smaller side where OpenJPH's level
    limit stops the larger one, and never fewer than the usual five."""
    def needed(n: int) -> int:
        levels = 0
        while -(-n // (1 << levels)) > RPCL_BASE_MAX:
            levels += 1
        return levels

    both = max(needed(height), needed(width))
    if both <= _MAX_LEVELS:
        return max(_DEFAULT_LEVELS, both)
    if needed(min(height, width)) <= _MAX_LEVELS:
        return _MAX_LEVELS
    raise ValueError(
        f"a {width} x {height} frame cannot be coded as HTJ2K Lossless RPCL: its base "
        f"resolution would be over {RPCL_BASE_MAX} samples on every side with OpenJPH's "
        f"{_MAX_LEVELS} decomposition levels")


def check_rpcl(codestream: bytes) -> None:
    """Raises OpenJphError unless ``codestream`` meets the HTJ2K Lossless RPCL rules:
    RPCL progression, TLM present and right, one tile-part per resolution, base
    resolution at most 64 on both sides (on the smaller side at OpenJPH's level limit).
    Read from the codestream's own headers."""
    read = _codestream.buffer_reader(codestream)
    size = len(codestream)
    header = _codestream.main_header(read, size)
    cod, siz = header.cod, header.siz
    faults = []
    if cod is None:
        raise OpenJphError("HTJ2K Lossless RPCL: the codestream has no COD segment")
    if cod.progression != "RPCL":
        faults.append(f"progression {cod.progression}, not RPCL")
    if not cod.reversible:
        faults.append("the irreversible wavelet")
    f = 1 << cod.levels
    # A resolution's size is ceil(x1 / 2^levels) - ceil(x0 / 2^levels) (ISO/IEC 15444-1 B.5).
    base = (-(-siz.ysiz // f) + (-siz.y0 // f), -(-siz.xsiz // f) + (-siz.x0 // f))
    if max(base) > RPCL_BASE_MAX and (cod.levels < _MAX_LEVELS or min(base) > RPCL_BASE_MAX):
        faults.append(f"a {base[1]} x {base[0]} base resolution after {cod.levels} levels")
    walked = list(_codestream.tile_parts(read, size, header, use_tlm=False))
    if header.tlm is None:
        faults.append("no TLM segment")
    elif [(t.index, t.length) for t in walked] != list(header.tlm):
        faults.append("a TLM segment that does not match the tile-parts")
    for tile in range(siz.num_tiles):
        parts = [t for t in walked if t.index == tile]
        if [(t.part, t.parts) for t in parts] != [(r, cod.levels + 1)
                                                    for r in range(cod.levels + 1)]:
            faults.append(f"tile {tile} in {len(parts)} tile-parts, not one per resolution "
                          f"({cod.levels + 1})")
    if faults:
        raise OpenJphError("HTJ2K Lossless RPCL: the codestream written has "
                           + "; ".join(faults) + " (PS3.5 10.18); nothing was stored")


class Facts(NamedTuple):
    """What a frame's codestream says about its coding."""

    reversible: bool   # the 5/3 wavelet (lossless unless truncated)
    mct: bool          # a component transform (RCT with 5/3, ICT with 9/7)


def facts(codestream: bytes) -> Facts:
    header = _codestream.main_header(_codestream.buffer_reader(codestream), len(codestream))
    if header.cod is None:
        raise OpenJphError("the codestream has no COD segment")
    return Facts(header.cod.reversible, bool(header.cod.mct))


def encode_frame(frame: np.ndarray, uid: UID, target: _args.Target, bits_stored: int,
                 mct: bool, *, planar: bool = False, numthreads: int | None = None) -> bytes:
    """One frame, (rows, columns[, samples]) or (samples, rows, columns) with ``planar``,
    as a codestream of transfer syntax ``uid`` coded at Bits Stored."""
    keywords: dict[str, Any] = {}
    if target.kind is None:
        keywords["reversible"] = True
    elif target.kind == "level":
        keywords["reversible"] = False
    else:  # a rate target: the search may find a lossless codestream smaller
        keywords[str(target.kind)] = target.value
    if frame.ndim == 3:
        keywords["rgb"] = mct
        keywords["planar"] = planar
    if uid == HTJ2KLosslessRPCL:
        rows, columns = frame.shape[1:] if planar else frame.shape[:2]
        keywords.update(prog_order="RPCL", tlm=True, tilepart=1,
                        num_decomp=rpcl_levels(rows, columns))
    bits = bits_stored if bits_stored < 8 * frame.dtype.itemsize else None
    level = target.value if target.kind == "level" else None
    codestream = ferroglyph.encode(frame, level, bits=bits, numthreads=numthreads, **keywords)
    if uid == HTJ2KLosslessRPCL:
        check_rpcl(codestream)
    return codestream


# ---------------------------------------------------------------------------
# pydicom's encoding plugin

def check_samples(pi: str, samples: int, lossy: bool) -> None:
    """The refusals that ``compress`` and pydicom's plugin share: 1 sample per pixel
    (monochrome, or palette indices coded losslessly) or 3."""
    if samples == 1:
        if pi not in ("MONOCHROME1", "MONOCHROME2", "PALETTE COLOR"):
            raise ValueError(f"cannot HTJ2K-encode 1 sample per pixel with Photometric "
                             f"Interpretation {pi!r}")
        if pi == "PALETTE COLOR" and lossy:
            raise ValueError("PALETTE COLOR indices can only be coded losslessly (no level, "
                             "ratio or psnr)")
    elif samples != 3:
        raise ValueError(f"HTJ2K encoding in DICOM supports 1 or 3 samples per pixel, "
                         f"not {samples}")


def plugin_transform(pi: str, samples: int, lossy: bool) -> bool:
    """Whether a frame handed over by pydicom gets the component transform.

    pydicom's convention: the Photometric Interpretation is set beforehand to
    what the compressed data will be.  RGB and YBR_FULL stay without a
    transform; YBR_RCT asks for the reversible one (lossless), YBR_ICT for the
    irreversible one (lossy).
    """
    check_samples(pi, samples, lossy)
    if samples == 1:
        return False
    if pi == "YBR_RCT" and lossy:
        raise ValueError("Photometric Interpretation YBR_RCT is the reversible component "
                         "transform: compress losslessly, or set YBR_ICT (or RGB) for lossy")
    if pi == "YBR_ICT" and not lossy:
        raise ValueError("Photometric Interpretation YBR_ICT is the irreversible component "
                         "transform: give HTJ2K a level, ratio or psnr, or set YBR_RCT (or "
                         "RGB) for lossless")
    if pi in ("YBR_RCT", "YBR_ICT"):
        return True
    if pi in ("RGB", "YBR_FULL"):
        return False
    raise ValueError(f"cannot HTJ2K-encode Photometric Interpretation {pi!r} through "
                     "ds.compress; RGB, YBR_RCT, YBR_ICT, YBR_FULL and MONOCHROME1/2 can "
                     "(ferroglyph.dicom.compress reads YBR_FULL_422 and converts)")


def _encode_frame(src: bytes, runner: EncodeRunner) -> bytes:
    """pydicom encoding plugin: one frame of little-endian samples to an HTJ2K codestream.

    Options taken from ``ds.compress(...)``'s keywords: ``level`` (HTJ2K only: a
    quality 1-100 or a step below 1), ``ratio``/``psnr`` (or pydicom's ``j2k_cr``/
    ``j2k_psnr``, first value) and ``numthreads``.
    """
    uid = UID(runner.transfer_syntax)
    if runner.get_option("byteorder", "<") != "<":
        raise ValueError("only little-endian samples can be encoded")
    target = resolve_target(uid, runner.get_option("level"), runner.get_option("ratio"),
                            runner.get_option("psnr"), runner.get_option("j2k_cr"),
                            runner.get_option("j2k_psnr"))
    samples, pi = runner.samples_per_pixel, str(runner.photometric_interpretation)
    mct = plugin_transform(pi, samples, target.kind is not None)
    bits_stored = runner.bits_stored
    if runner.bits_allocated == 1:
        raise ValueError("bit-packed pixel data (Bits Allocated 1) cannot be HTJ2K-encoded; "
                         "store it in 8 bits first")
    if not 1 <= bits_stored <= 32:
        raise ValueError(f"HTJ2K codes 1 to 32 bits a sample; Bits Stored is {bits_stored}")
    # pydicom hands over samples in the smallest of 1, 2 or 4 bytes that holds Bits Stored.
    width = 1 if bits_stored <= 8 else 2 if bits_stored <= 16 else 4
    signed = runner.pixel_representation == 1
    dtype = np.dtype(f"<{'i' if signed else 'u'}{width}")
    rows, columns = runner.rows, runner.columns
    # A dataset's planar Pixel Data arrives as it is stored; arrays are channel-last.
    planar = samples > 1 and not runner.is_array and runner.planar_configuration == 1
    shape: tuple[int, ...] = (rows, columns)
    if samples > 1:
        shape = (samples, rows, columns) if planar else (rows, columns, samples)
    count = rows * columns * samples
    if len(src) < count * width:
        raise ValueError(f"the frame has {len(src)} bytes; {count * width} were expected")
    frame = np.frombuffer(src, dtype, count=count).reshape(shape).astype(
        dtype.newbyteorder("="), copy=False)
    if bits_stored < 8 * width:
        # Bits above Bits Stored carry no value (pydicom ignores them when reading too):
        # cleared for unsigned samples, copies of the sign bit for signed ones.
        shift = 8 * width - bits_stored
        frame = (frame << shift) >> shift
    codestream = encode_frame(frame, uid, target, bits_stored, mct, planar=planar,
                              numthreads=_args.numthreads(runner.get_option("numthreads")))
    if mct and pi == "YBR_ICT" and facts(codestream).reversible:
        raise ValueError(f"the {target.kind} target was met losslessly, with the reversible "
                         "transform, which YBR_ICT does not describe; set YBR_RCT and "
                         "compress losslessly, or aim lower")
    return codestream


# ---------------------------------------------------------------------------
# Registration with pydicom

class HTJ2KEncoder(Encoder):
    """pydicom's ``Encoder`` for an HTJ2K transfer syntax, made by ferroglyph where pydicom
    has none.

    It also takes datasets stored big endian: pydicom 3.0 hands a dataset's
    Pixel Data bytes to plugins as if they were little endian, so such a
    dataset is read to an array first (as ``ds.compress(uid, arr)`` would).
    """

    def encode(self, src: Any, *, index: int | None = None, validate: bool = True,
               encoding_plugin: str = "", **kwargs: Any) -> bytes:
        src, kwargs = _little_endian_source(src, kwargs)
        return super().encode(src, index=index, validate=validate,
                              encoding_plugin=encoding_plugin, **kwargs)

    def iter_encode(self, src: Any, *, validate: bool = True, encoding_plugin: str = "",
                    **kwargs: Any) -> Iterator[bytes]:
        src, kwargs = _little_endian_source(src, kwargs)
        yield from super().iter_encode(src, validate=validate,
                                       encoding_plugin=encoding_plugin, **kwargs)


def _little_endian_source(src: Any, kwargs: dict[str, Any]) -> tuple[Any, dict[str, Any]]:
    from pydicom.dataset import Dataset
    from pydicom.pixels.decoders.base import get_decoder
    from pydicom.pixels.utils import as_pixel_options

    if not isinstance(src, Dataset):
        return src, kwargs
    if src.get("BitsAllocated") == 1:
        # pydicom 3.0 fails on such frames before a plugin sees them, in words
        # ("slice step cannot be zero") that do not say what is wrong.
        raise ValueError("bit-packed pixel data (Bits Allocated 1) cannot be HTJ2K-encoded; "
                         "store it in 8 bits first")
    tsyntax = getattr(src.get("file_meta"), "TransferSyntaxUID", None)
    if tsyntax is None or tsyntax.is_compressed or tsyntax.is_little_endian:
        return src, kwargs
    ds: Dataset = src
    arr, _ = get_decoder(tsyntax).as_array(ds, raw=True)
    return arr, {**as_pixel_options(ds), **kwargs}


def register() -> str | None:
    """Adds the ``ferroglyph`` plugin to pydicom's encoders for the three syntaxes,
    creating the encoders where pydicom has none.  Returns None when done, else why not."""
    import pydicom
    from pydicom import pixels
    from pydicom.pixels.encoders import base

    added: list[Any] = []
    for uid in HTJ2K_TRANSFER_SYNTAXES:
        try:
            encoder = base.get_encoder(uid)  # a pydicom with its own encoder for the syntax
        except NotImplementedError:
            why = _registry_fault(pydicom, pixels, base)
            if why:
                return why
            encoder = HTJ2KEncoder(uid)
            added.append((uid, encoder))
        try:
            encoder.add_plugin(PLUGIN, (__name__, "_encode_frame"))
        except ValueError as e:  # added before: enable() may be called again
            if "already has a plugin" not in str(e):
                raise
    for uid, encoder in added:
        # The second item is what pydicom's documentation lists as "version added".
        base._PIXEL_DATA_ENCODERS[uid] = (encoder, f"ferroglyph {ferroglyph.__version__}")
    return None


def _registry_fault(pydicom: Any, pixels: Any, base: Any) -> str | None:
    """Why pydicom's encoder registry cannot take an encoder, or None when it can.

    Written against pydicom 3.0's: ``_PIXEL_DATA_ENCODERS`` maps a UID to
    (Encoder, version added), and the ``get_encoder`` that ``Dataset.compress``
    calls looks there.
    """
    version = str(getattr(pydicom, "__version__", "unknown"))
    if not version.startswith("3."):
        return f"pydicom {version} is not a version whose encoder registry ferroglyph knows"
    registry = getattr(base, "_PIXEL_DATA_ENCODERS", None)
    rle = UID("1.2.840.10008.1.2.5")
    try:
        layout = (isinstance(registry, dict) and isinstance(registry[rle], tuple)
                  and isinstance(registry[rle][0], base.Encoder)
                  and pixels.get_encoder is base.get_encoder
                  and base.get_encoder(rle) is registry[rle][0])
    except (AttributeError, IndexError, KeyError, TypeError, ValueError):
        layout = False
    if not layout:
        return f"pydicom {version}'s encoder registry is not laid out as ferroglyph expects"
    return None
