"""The public functions of ferroglyph: arrays to HTJ2K and back, in memory and in files.

They sit on the extension module ``ferroglyph.codecs._openjph`` and add what
a user of an image library expects from it: channel-last arrays, JPH files
beside raw codestreams, data loss reported as an error, arguments checked
before any work is done.
"""

from __future__ import annotations

import contextlib
import math
import operator
import os
import secrets
import stat
import warnings
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from . import _args, _jp2, _lossy, _metadata, _parallel_encode, _rate
from .codecs import _openjph
from .codecs._openjph import OpenJphError, OpenJphUnsupportedFeature, last_warnings

__all__ = ["FILE_SUFFIXES", "RAW_SUFFIXES", "OpenJphError", "OpenJphUnsupportedFeature",
           "decode", "decode_info", "encode", "imread", "imwrite", "last_warnings"]

#: Suffixes :func:`imwrite` writes as a raw codestream.
RAW_SUFFIXES = (".j2c", ".j2k", ".jhc")
#: Suffixes :func:`imwrite` writes as a JPH file.
FILE_SUFFIXES = (".jph",)

# OpenJPH's texts that mean samples were lost or left wrong: the information
# the bridge keeps when a codestream ends early or resilient decoding skips a
# tile or code-block, and the block decoder's warnings about code-blocks it
# could not decode fully (see the bridge's info_means_data_loss).
_LOSS_MARKERS = ("terminated", "ended before", "error", "wrong", "incorrect", "corrupt",
                 "missing", "codeblock", "code-block", "coding passes", "not enough", "skipped")


def _means_data_loss(line: str) -> bool:
    low = line.lower()
    return any(m in low for m in _LOSS_MARKERS)


def _refuse_path(data: Any, function: str) -> None:
    if isinstance(data, (str, os.PathLike)):
        raise TypeError(
            f"{function}() takes the encoded bytes, not a path ({os.fspath(data)!r}); "
            "read a file with ferroglyph.imread(path)")


def _check_level(level: Any) -> None:
    if level is None or isinstance(level, (str, bytes)):
        return  # the module reads text levels and words its own errors
    try:
        value = float(level)
    except (TypeError, ValueError):
        return  # likewise: the module names the wrong type
    if math.isnan(value) or not 0.0 <= value <= 100.0:
        raise ValueError(
            f"level must be None (lossless), a quantization step below 1 or a quality factor "
            f"from 1 to 100, got {level!r}")


def _check_bits(array: np.ndarray, bits: Any) -> int:
    try:
        b = operator.index(bits)
    except TypeError:
        raise TypeError(f"bits must be an integer, got {type(bits).__name__}") from None
    if array.dtype.kind not in "iu":
        raise ValueError(f"bits applies to integer samples; the data is {array.dtype}")
    container = array.dtype.itemsize * 8
    if not 1 <= b <= container:
        raise ValueError(f"bits must be from 1 to {container} for {array.dtype} samples, got {b}")
    if array.dtype.kind == "u":
        lo, hi = 0, (1 << b) - 1
    else:
        lo, hi = -(1 << (b - 1)), (1 << (b - 1)) - 1
    if b == container or array.size == 0:
        return b
    # min/max first: a full scan without a mask costs no memory in the usual case.
    if array.min() >= lo and array.max() <= hi:
        return b
    outside = (array < lo) | (array > hi)
    first = int(np.argmax(outside.reshape(-1)))  # C order of the array as given
    where = tuple(int(i) for i in np.unravel_index(first, array.shape))
    raise ValueError(
        f"bits={b} allows values from {lo} to {hi}, but the data holds {array[where]} at "
        f"index {where}; nothing was encoded")


def _check_lossless_precision(bits: int, reversible: bool) -> None:
    # OpenJPH 0.32 codes some 1-bit images with wrong samples on the reversible
    # path (with 5 or more decomposition levels, about 1 random 0/1 image in
    # 60 came back with a code-block of ones turned to zeros); 2 bits were
    # exact in every trial, so a lossless encode is refused rather than lossy.
    if bits == 1 and reversible:
        raise ValueError(
            "bits=1 is not coded losslessly by OpenJPH (some images come back with wrong "
            "samples); use bits=2 for 1-bit data")


def encode(data: ArrayLike, level: float | None = None, *, bits: int | None = None,
           numthreads: int | None = None, psnr: float | None = None,
           ratio: float | None = None, max_bytes: int | None = None, **keywords: Any) -> bytes:
    """Encode an array as an HTJ2K codestream (the bytes of a .j2c file).

    Parameters
    ----------
    data : array_like
        (H, W), (H, W, C), or (C, H, W) with ``planar=True``; uint8, int8,
        uint16, int16, uint32, int32 or float32.
    level : float, optional
        None: lossless.  Below 1: an irreversible quantization step, a
        fraction of the samples' range.  From 1 to 100: a quality level
        (OpenJPH's quality factor where it codes correctly; for float32
        data, relative to the data's range).  A lossy encode stays within
        the bounds docs/lossy.md states, or raises ValueError naming what
        works.  NaN, negative values and values above 100 raise ValueError.
    bits : int, optional
        The samples' precision, from 1 to the bits of the dtype: 12-bit data
        in uint16 is coded as 12-bit (its header says so, a decode returns
        uint16 again, and lossy levels act on the 12-bit range).  A sample
        outside the range raises ValueError naming it; nothing is clipped.
    numthreads : int, optional
        Threads for tiled encodes (``tile=``); 1 keeps the calling thread.
    psnr, ratio, max_bytes : optional
        A target instead of a ``level`` (at most one of the four): the
        smallest codestream with at least ``psnr`` dB (and at most about 1 dB
        more) against the input; the best quality within ``data.nbytes /
        ratio`` bytes, or within ``max_bytes`` bytes (and at least 85 % of
        that).  The quantization step is searched; lossless is returned
        where it is smaller (PSNR) or fits (size).  A size below what the
        coarsest quantization gives raises ValueError naming that size.
        :func:`last_encode_stats` tells what was reached.
    **keywords
        Every keyword of ``ferroglyph.codecs._openjph.encode``: ``tile``,
        ``tlm``, ``reversible``, ``rgb``, ``planar``, ``resolutions``,
        ``block_size``, ``prog_order``, ``profile``, ...  Integer images of 3
        or 4 components get the component transform whatever their layout
        (``planar=True`` included) unless ``rgb=False``.

    Returns
    -------
    bytes
    """
    if psnr is not None or ratio is not None or max_bytes is not None:
        target = _args.target(level, psnr, ratio, max_bytes)
        array = np.asarray(data)
        return _rate.encode_image(array, target, bits=bits, numthreads=numthreads,
                                  keywords=keywords, encode=encode, decode=decode)
    if level is not None:
        _check_level(level)
    array = np.asarray(data)
    if array.ndim == 3:
        keywords = _lossy.planar_colour(array, keywords)
    lossy = _lossy.is_lossy(level, keywords)
    if bits is None and numthreads is None and keywords.get("tile") is None:
        # The common call goes straight to the module: each Python frame
        # between costs about a microsecond after an encode has left the
        # caches cold, and small images are encoded by the thousand.
        if lossy:
            codestream = _openjph._encode_lossy(array, level, **keywords)
        else:
            codestream = _openjph.encode(array, level, **keywords)
        _rate.record(level, len(codestream), array.nbytes)
        return codestream
    if bits is not None:
        bits = _check_bits(array, bits)
        reversible = keywords.get("reversible")
        _check_lossless_precision(bits, level is None if reversible is None else bool(reversible))
    codestream = _parallel_encode.encode(array, level, numthreads=numthreads, bits=bits,
                                         lossy=lossy, **keywords)
    _rate.record(level, len(codestream), array.nbytes)
    return codestream


def _refuse_non_uniform(data: Any, error: OpenJphError, function: str) -> None:
    """Raises an OpenJphError that points to decode_components when ``error``
    came from a codestream whose components differ; returns otherwise."""
    if type(error) is not OpenJphError:
        return
    try:
        uniform = _openjph.decode_info(data)["uniform"]
    except OpenJphError:
        return
    if uniform:
        return
    how = ("ferroglyph.decode_components(data)" if function == "decode" else
           "ferroglyph.decode_components(open(path, 'rb').read())")
    raise OpenJphError(
        f"{function}: the components of this codestream differ in size, precision, signedness "
        "or nonlinearity (YCbCr 4:2:2 or 4:2:0, for example), so they do not fit one array; "
        f"read them one array per component with {how}") from error


def _decode_view(view: memoryview, truncated: str | None, *, strict: bool,
                 ignore_unsupported: bool, stacklevel: int, function: str = "decode",
                 **keywords: Any) -> np.ndarray:
    if truncated and strict:
        raise OpenJphError(f"decode: {truncated}; pass strict=False to decode what is there")
    data: Any = view
    if view.obj is not None and isinstance(view.obj, (bytes, bytearray)) \
            and len(view) == len(view.obj):
        data = view.obj  # read in place by the module; a memoryview is copied
    keywords["ignore_unsupported"] = ignore_unsupported
    try:
        image = _openjph._decode_quiet(data, keywords)
    except OpenJphError as e:
        _refuse_non_uniform(data, e, function)
        raise
    lines = sorted({line for line in last_warnings().split("\n") if line})
    if ignore_unsupported:  # skipped marker segments the caller chose to accept
        lines = [line for line in lines if "not supported" not in line]
    lost = [line for line in lines if _means_data_loss(line)]
    if strict and lost:
        raise OpenJphError(
            "decode: OpenJPH lost data, so the image would be incomplete or wrong: "
            + "; ".join(lost)
            + ". Pass strict=False to get it anyway (and resilient=True for damaged data).")
    if truncated:
        warnings.warn(f"ferroglyph: {truncated}", RuntimeWarning, stacklevel=stacklevel + 1)
    for line in lines:
        warnings.warn(f"OpenJPH: {line}", RuntimeWarning, stacklevel=stacklevel + 1)
    return image


def decode(data: Any, *, reduce: int = 0, skipres: Any = None, resilient: bool = False,
           strict: bool = True, planar: bool = False, out: Any = None,
           numthreads: int | None = None, ignore_unsupported: bool = False) -> np.ndarray:
    """Decode an HTJ2K codestream or JPH/JP2 file (as bytes) to an array.

    Parameters
    ----------
    data : bytes-like
        A raw codestream, or a JPEG 2000 family file (.jph/.jp2) whose
        contiguous codestream box is decoded.  To read a file by its path,
        use :func:`imread`.
    reduce : int, optional
        Skip this many finest resolutions: about 2**reduce smaller per axis.
    skipres : int or (int, int), optional
        Alternative to ``reduce``: (resolutions unread, resolutions left out
        of the reconstruction).
    resilient : bool, optional
        Ask OpenJPH to tolerate damaged codestreams (with ``strict=False``
        to get what survives).
    strict : bool, optional
        True (the default): a codestream that ends early, or whose tiles or
        code-blocks could not be decoded, raises OpenJphError naming what
        was lost.  False: such losses are RuntimeWarnings and the image is
        returned.
    planar : bool, optional
        (C, H, W) instead of the default channel-last (H, W, C).
    out : ndarray or writable buffer, optional
        Decode into this (of exactly the output's shape and dtype).
    numthreads : int, optional
        Threads for multi-tile codestreams; 1 keeps the calling thread.
    ignore_unsupported : bool, optional
        Return the image even when OpenJPH skipped a marker segment it does
        not implement (otherwise OpenJphUnsupportedFeature is raised).

    Returns
    -------
    numpy.ndarray
        (H, W) for one component, else (H, W, C), or (C, H, W) with
        ``planar=True``; (u)int8/16/32 or float16/float32.

    Warnings from OpenJPH that do not mean lost data are RuntimeWarnings
    attributed to the caller's line; :func:`last_warnings` has their text.
    """
    _refuse_path(data, "decode")
    if isinstance(data, bytes) and data.startswith(_jp2.SOC_SIZ):
        view, truncated = memoryview(data), None  # a raw codestream: nothing to walk
    else:
        view, where = _jp2.locate_in_buffer(data)
        view, truncated = view[where.offset:where.offset + where.length], where.truncated
    return _decode_view(view, truncated, strict=bool(strict),
                        ignore_unsupported=bool(ignore_unsupported), stacklevel=2,
                        reduce=reduce, skipres=skipres, resilient=resilient,
                        planar=bool(planar), out=out, numthreads=numthreads)


def _shape(info: dict[str, Any], planar: bool) -> tuple[int, ...] | None:
    if info["dtype"] is None:
        return None  # decode refuses this codestream
    h, w, c = info["height"], info["width"], info["components"]
    if c == 1:
        return (h, w)
    return (c, h, w) if planar else (h, w, c)


def decode_info(data: Any, *, reduce: int = 0, skipres: Any = None, resilient: bool = False,
                planar: bool = False) -> dict[str, Any]:
    """Read an HTJ2K codestream's or JPH/JP2 file's headers, decoding no samples.

    Returns the dict of ``ferroglyph.codecs._openjph.decode_info`` (width,
    height, components, bit_depth, signed, num_decompositions,
    color_transform, nlt_type, uniform, dtype) plus ``"shape"``: the shape
    :func:`decode` returns with the same keywords (None where it would
    refuse the codestream), and ``"components_info"``: one dict per
    component with its ``width`` and ``height`` at the reduction,
    ``subsampling`` ``(dx, dy)``, ``bit_depth``, ``signed`` and
    ``nlt_type`` (what :func:`decode_components` returns; None when the
    reduction leaves some component without samples).
    """
    _refuse_path(data, "decode_info")
    view, where = _jp2.locate_in_buffer(data)
    view = view[where.offset:where.offset + where.length]
    info = dict(_openjph.decode_info(view, reduce=reduce, skipres=skipres, resilient=resilient))
    info["shape"] = _shape(info, bool(planar))
    info["components_info"] = _components_info(view, reduce, skipres, resilient)
    return info


def _components_info(view: memoryview, reduce: Any, skipres: Any,
                     resilient: bool) -> list[dict[str, Any]] | None:
    data_r, recon_r = _openjph._reductions(reduce, skipres)
    try:
        return _openjph._components_info(view, data_r, recon_r, bool(resilient))
    except OpenJphError:
        # Component 0 has samples at this reduction (decode_info said so)
        # but another component has none.
        return None


def imread(path: str | os.PathLike[str], **decode_keywords: Any) -> np.ndarray:
    """Read a .jph/.jp2 file or a raw codestream (.j2c, .j2k, .jhc, any name).

    The file is read once: for JPEG 2000 family files only the box headers
    before the codestream and the codestream itself.  ``decode_keywords`` are
    those of :func:`decode` (``reduce``, ``strict``, ``planar``, ``out``, ...).
    A file that is neither kind raises OpenJphError naming what it looks like.
    """
    strict = bool(decode_keywords.pop("strict", True))
    ignore_unsupported = bool(decode_keywords.pop("ignore_unsupported", False))
    unknown = set(decode_keywords) - {"reduce", "skipres", "resilient", "planar", "out",
                                      "numthreads"}
    if unknown:
        raise TypeError(f"imread() got an unexpected keyword argument {min(unknown)!r}")
    decode_keywords["planar"] = bool(decode_keywords.get("planar", False))
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        where = _jp2.locate_in_file(f, size)
        f.seek(where.offset)
        codestream = f.read(where.length)
    return _decode_view(memoryview(codestream), where.truncated, strict=strict,
                        ignore_unsupported=ignore_unsupported, stacklevel=2, function="imread",
                        **decode_keywords)


def _file_kind(path: str) -> str:
    suffix = os.path.splitext(path)[1].lower()
    if suffix in FILE_SUFFIXES:
        return "jph"
    if suffix in RAW_SUFFIXES:
        return "raw"
    raise ValueError(
        f"imwrite: cannot tell what to write from the suffix {suffix or '(none)'!r} of "
        f"{path!r}; use .jph for a JPH file or .j2c, .j2k, .jhc for a raw codestream")


def _write_atomically(path: str, chunks: list[bytes]) -> None:
    """Writes ``chunks`` to a new file in ``path``'s folder, then renames it
    over ``path``: a failed write never leaves part of a file at ``path``."""
    folder, name = os.path.split(os.path.abspath(path))
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0) \
        | getattr(os, "O_CLOEXEC", 0)
    for _ in range(100):
        temp = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
        try:
            fd = os.open(temp, flags, 0o666)  # the process's umask applies, as for open()
            break
        except FileExistsError:
            continue
    else:  # pragma: no cover - 100 collisions of 32 random bits
        raise FileExistsError(f"imwrite: no free temporary name in {folder!r}")
    try:
        with os.fdopen(fd, "wb") as f:
            for chunk in chunks:
                f.write(chunk)
            f.flush()
            os.fsync(f.fileno())
        with contextlib.suppress(FileNotFoundError):  # keep a replaced file's permissions
            os.chmod(temp, stat.S_IMODE(os.stat(path).st_mode))
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise


def imwrite(path: str | os.PathLike[str], data: ArrayLike, level: float | None = None, *,
            bits: int | None = None, numthreads: int | None = None,
            psnr: float | None = None, ratio: float | None = None,
            max_bytes: int | None = None, **encode_keywords: Any) -> None:
    """Encode ``data`` and write it to ``path``; the suffix chooses the form.

    ``.jph``: an HTJ2K JPH file (ISO/IEC 15444-15): signature box, ``ftyp``
    with brand 'jph ', a ``jp2h`` header box (``ihdr`` with the image's size,
    component count and precision; ``colr`` with an enumerated colour space)
    and the codestream in a ``jp2c`` box.  The colour space is greyscale for
    1 component, sRGB for 3 or 4 (with or without the component transform);
    2 components are written as greyscale with one extra channel, 5 or more
    as sRGB (the first three) with extra channels.

    ``.j2c``, ``.j2k``, ``.jhc``: the raw codestream.  Other suffixes raise
    ValueError before anything is encoded.

    Metadata (JPH files only; asked of a raw codestream it raises
    ValueError): ``icc_profile=`` (bytes: an ICC profile, in place of the
    enumerated colour space), ``dpi=(x, y)`` (the capture resolution),
    ``xml=`` (str, bytes or a list of them: well-formed XML, one box each),
    ``xmp=`` (str or bytes: an XMP packet), ``alpha=`` (None: the last of 2
    or 4 components is declared alpha; True: the last component is alpha;
    False: no alpha, extra components are of unspecified type).
    :func:`ferroglyph.immeta` reads them back.

    ``level``, ``bits``, ``numthreads``, the targets ``psnr``, ``ratio`` and
    ``max_bytes`` (which count the codestream, not the JPH boxes around it)
    and ``encode_keywords`` are those of :func:`encode`.  The file is
    written under a temporary name in the same
    folder and renamed: a failed write leaves no partial file at ``path``.
    """
    target = os.fspath(path)
    kind = _file_kind(target)
    meta = _metadata.take(encode_keywords)  # icc_profile, dpi, xml, xmp, alpha
    if kind == "raw":
        _metadata.refuse_raw(meta, target)
    codestream = encode(data, level, bits=bits, numthreads=numthreads, psnr=psnr, ratio=ratio,
                        max_bytes=max_bytes, **encode_keywords)
    if kind == "raw":
        chunks = [codestream]
    else:
        chunks = _metadata.jph_file(codestream, meta)
    _write_atomically(target, chunks)
