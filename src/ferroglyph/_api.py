"""The public functions of ferroglyph: arrays to HTJ2K and back, in memory and in files.

They sit on the extension module ``ferroglyph.codecs._openjph`` and add what
a user of an image library expects from it: channel-last arrays, JPH files
beside raw codestreams, data loss reported as an error, arguments checked
before any work is done.
"""

from __future__ import annotations

import contextlib
import errno
import io
import os
import secrets
import stat
import warnings
from collections.abc import Callable
from typing import Any, NoReturn

import numpy as np
from numpy.typing import ArrayLike

from . import _args, _codestream, _jp2, _lossy, _metadata, _parallel_encode, _rate, _strict, _window
from .codecs import _openjph
from .codecs._openjph import OpenJphError, OpenJphUnsupportedFeature, last_warnings

__all__ = ["FILE_SUFFIXES", "RAW_SUFFIXES", "OpenJphError", "OpenJphUnsupportedFeature",
           "decode", "decode_info", "encode", "imread", "imwrite", "last_warnings"]

#: Suffixes :func:`imwrite` writes as a raw codestream.
RAW_SUFFIXES = (".j2c", ".j2k", ".jhc")
#: Suffixes :func:`imwrite` writes as a JPH file.
FILE_SUFFIXES = (".jph",)
#: ``format=`` values of :func:`imwrite`: a JPH file, or a raw codestream.
FORMATS = {"jph": "jph", "j2c": "raw", "j2k": "raw", "jhc": "raw"}


def _refuse_path(data: Any, function: str) -> None:
    if isinstance(data, (str, os.PathLike)):
        raise TypeError(
            f"{function}() takes the encoded bytes, not a path ({os.fspath(data)!r}); "
            "read a file with ferroglyph.imread(path)")
    if hasattr(data, "read") and not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"{function}() takes the encoded bytes, not a file object; read a "
                        "file object with ferroglyph.imread(f)")
    try:
        memoryview(data)
    except TypeError:
        raise TypeError(f"{function}() takes the encoded bytes (a bytes-like object), got "
                        f"{type(data).__name__}") from None


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
        array = _args.check_array(data, "encode", planar=bool(keywords.get("planar")))
        return _rate.encode_image(array, target, bits=bits, numthreads=numthreads,
                                  keywords=keywords, encode=encode, decode=decode)
    level = _args.level(level)
    array = _args.check_array(data, "encode", planar=bool(keywords.get("planar")))
    if array.ndim == 3:
        keywords = _lossy.planar_colour(array, keywords)
    lossy = _lossy.is_lossy(level, keywords)
    if bits is None and numthreads is None and keywords.get("tile") is None:
        # The common call goes straight to the module: each Python frame
        # between costs about a microsecond after an encode has left the
        # caches cold, and small images are encoded by the thousand.
        if lossy:
            codestream = _openjph._encode_lossy(array, level, **keywords)
            _lossy.check_narrow_data(array, level, None, keywords, codestream)
        else:
            codestream = _openjph.encode(array, level, **keywords)
        _rate.record(level, len(codestream), array.nbytes)
        return codestream
    numthreads = _args.numthreads(numthreads)
    if keywords.get("tile") is not None:
        _args.tile(keywords["tile"])
    precision = _args.bits(array, bits)
    if precision is not None:
        _check_lossless_precision(precision, not lossy)
    codestream = _parallel_encode.encode(array, level, numthreads=numthreads, bits=precision,
                                         lossy=lossy, **keywords)
    if lossy:
        _lossy.check_narrow_data(array, level, precision, keywords, codestream)
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


def _reduction(reduce: Any, skipres: Any) -> int:
    """``reduce`` checked by the public rule (an integer, 0 or more); skipres is the module's."""
    if skipres is None:
        return _args.reduce(reduce)
    if reduce is not None and not isinstance(reduce, (bool, np.bool_)) and reduce != 0:
        _args.reduce(reduce)
    return 0


def _levels_refusal(data: Any, reduce: int, error: OpenJphError, function: str) -> None:
    """Raises ValueError naming the maximum when ``error`` came from a ``reduce``
    past the codestream's levels; returns otherwise."""
    if reduce <= 0:
        return
    try:
        levels = _openjph.decode_info(data)["num_decompositions"]
    except OpenJphError:
        return
    if reduce > levels:
        try:
            _args.reduce_within(reduce, levels)
        except _args.OpenJphValueError as e:
            raise _args.OpenJphValueError(f"{function}: {e}") from error


def _explain(error: OpenJphError, data: Any, function: str, reduce: int) -> NoReturn:
    """Raises ``error`` in the public layer's words: a cut main header, a ``reduce``
    past the levels, components that differ, and no bridge return codes."""
    _strict.refuse_incomplete_header(data, function)
    _levels_refusal(data, reduce, error, function)
    if function != "decode_info":
        _refuse_non_uniform(data, error, function)
    public = _strict.public_error(error)
    if public is error:
        raise error
    raise public from None


def _module_call(data: Any, function: str, reduce: int, call: Callable[[], Any]) -> Any:
    """``call()``, its OpenJphErrors in the public layer's words."""
    try:
        return call()
    except OpenJphError as e:
        _explain(e, data, function, reduce)


def _unread(keywords: dict[str, Any]) -> int:
    """The resolutions a decode leaves unread: ``reduce``, or the first of ``skipres``."""
    reduce = _reduction(keywords.get("reduce", 0), keywords.get("skipres"))
    if keywords.get("skipres") is None:
        return reduce
    try:
        return int(_openjph._reductions(keywords.get("reduce", 0), keywords["skipres"])[0])
    except (TypeError, ValueError, OpenJphError):
        return 0  # the module words the refusal


def _in_place(view: memoryview) -> Any:
    """The bytes object ``view`` spans whole, for the module to read in place (it copies
    a memoryview), else ``view``."""
    obj = view.obj
    if obj is not None and isinstance(obj, (bytes, bytearray)) and len(view) == len(obj):
        return obj
    return view


def _prepare(view: memoryview, box_truncated: str | None, strict: bool, function: str,
             keywords: dict[str, Any]) -> tuple[Any, list[str]]:
    """What to hand the module for the codestream in ``view``, and the notes to warn
    with: a cut is refused (strict, or nothing to decode) or read resiliently."""
    _strict.refuse_classic(view, function)
    cut = _strict.truncation(view, box_truncated, _unread(keywords), function)
    data = _in_place(view)
    if cut is None:
        return data, [box_truncated] if box_truncated else []
    if cut.prefix is not None:  # a progressive prefix holding what the reduction needs
        return _window.ended(view[:cut.prefix]), []
    if box_truncated and not cut.eoc_only:
        cut = cut._replace(text=f"{box_truncated}; {cut.text}")
    if cut.eoc_only:
        data = bytes(view) + _codestream.EOC_BYTES  # nothing is lost: end it
    elif strict and cut.samples:
        raise OpenJphError(f"{function}: {cut.text}; pass strict=False to decode what is there")
    elif not cut.samples:  # strict=False would not help: say so under either mode
        raise OpenJphError(f"{function}: {cut.text}, before any coded sample: there is no "
                           "image to return")
    else:
        keywords["resilient"] = True  # OpenJPH fails on a short codestream unless resilient
    return data, [cut.text]


def _decode_view(view: memoryview, box_truncated: str | None, *, strict: bool,
                 ignore_unsupported: bool, stacklevel: int, function: str = "decode",
                 **keywords: Any) -> np.ndarray:
    data, notes = _prepare(view, box_truncated, strict, function, keywords)
    keywords["ignore_unsupported"] = ignore_unsupported
    keywords["numthreads"] = _args.numthreads(keywords.get("numthreads"))
    # The module's warnings are attributed to the public function's caller:
    # two frames (run, this function) above the stack level given.
    level = stacklevel + 2

    def run() -> np.ndarray:
        image: np.ndarray = _openjph._decode_checked(data, keywords, strict, level)
        return image

    try:
        try:
            image = run()
        except OpenJphUnsupportedFeature:
            raise
        except OpenJphError as e:
            if strict or keywords.get("resilient") or not str(e).startswith("decode:"):
                raise
            # Damaged data that only OpenJPH's resilience reads: strict=False asks for it.
            keywords["resilient"] = True
            image = run()
    except OpenJphError as e:
        _explain(e, data, function, int(keywords.get("reduce") or 0))
    for note in notes:
        warnings.warn(f"ferroglyph: {note}", RuntimeWarning, stacklevel=stacklevel + 1)
    return image


def decode(data: Any, *, reduce: int = 0, skipres: Any = None, resilient: bool = False,
           strict: bool = True, planar: bool = False, out: Any = None,
           numthreads: int | None = None, ignore_unsupported: bool = False,
           region: Any = None) -> np.ndarray:
    """Decode an HTJ2K codestream or JPH/JP2 file (as bytes) to an array.

    Parameters
    ----------
    data : bytes-like
        A raw codestream, or a JPEG 2000 family file (.jph/.jp2) whose
        contiguous codestream box is decoded.  To read a file by its path,
        use :func:`imread`.
    reduce : int, optional
        Skip this many finest resolutions: about 2**reduce smaller per axis.
        More than the codestream's decomposition levels raises ValueError
        naming the maximum.
    skipres : int or (int, int), optional
        Alternative to ``reduce``: (resolutions unread, resolutions left out
        of the reconstruction).
    resilient : bool, optional
        Ask OpenJPH to tolerate damaged codestreams (``strict=False`` turns
        it on where that is what reading the data takes).
    strict : bool, optional
        True (the default): a codestream that ends early (its tile-parts
        declare more bytes than are present), or whose tiles or code-blocks
        could not be decoded, raises OpenJphError naming what was lost.
        False: what the data holds is returned, with RuntimeWarnings saying
        what is missing; a codestream that ends before any coded sample still
        raises, since it holds no image.
    planar : bool, optional
        (C, H, W) instead of the default channel-last (H, W, C).
    out : ndarray or writable buffer, optional
        Decode into this (of exactly the output's shape and dtype).
    numthreads : int, optional
        Threads for multi-tile codestreams; 1 keeps the calling thread.
    ignore_unsupported : bool, optional
        Return the image even when OpenJPH skipped a marker segment it does
        not implement (otherwise OpenJphUnsupportedFeature is raised).
    region : (y0, x0, y1, x1), optional
        Decode only this window: half-open, in full-resolution image
        coordinates from the top-left sample, inside the image.  The result
        is exactly ``decode(data, reduce=r)[ceil(y0/2**r):ceil(y1/2**r),
        ceil(x0/2**r):ceil(x1/2**r)]``; only the tiles that meet the window
        are decoded (see docs/windows.md).  ``out=`` then has the window's
        shape.

    Returns
    -------
    numpy.ndarray
        (H, W) for one component, else (H, W, C), or (C, H, W) with
        ``planar=True``; (u)int8/16/32 or float16/float32.

    Raises
    ------
    TypeError
        For a path, a non-integer ``reduce`` or ``numthreads``.
    ValueError
        For a negative ``reduce`` or one past the levels.
    OpenJphError
        For data the codec cannot read: classic JPEG 2000 (Part 1), a
        truncated or damaged codestream (``strict``), anything else OpenJPH
        refuses.

    Warnings from OpenJPH that do not mean lost data are RuntimeWarnings
    attributed to the caller's line; :func:`last_warnings` has their text.
    A codestream cut after the tile-parts that a reduced decode needs
    (``len(data) >= decode_info(whole)["prefix_bytes"][reduce]``) decodes at
    that reduction exactly, with no truncation error.
    """
    _refuse_path(data, "decode")
    if isinstance(data, bytes) and data.startswith(_jp2.SOC_SIZ):
        view, truncated = memoryview(data), None  # a raw codestream: nothing to walk
    else:
        view, where = _jp2.locate_in_buffer(data)
        view, truncated = view[where.offset:where.offset + where.length], where.truncated
    if region is not None:  # windows (_window.py)
        return _window.decode_window(view, truncated, region, reduce=reduce, skipres=skipres,
                                     resilient=resilient, strict=strict, planar=planar, out=out,
                                     numthreads=numthreads, ignore_unsupported=ignore_unsupported)
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
    reduction leaves some component without samples), and ``"prefix_bytes"``:
    per ``reduce`` (``num_decompositions + 1`` items), how many leading bytes
    of the codestream suffice to decode at that reduction where its layout
    proves it (one tile, one quality layer, a tile-part per resolution,
    RPCL/RLCP or one-layer LRCP), else None; item 0 is the whole codestream.
    """
    _refuse_path(data, "decode_info")
    view, where = _jp2.locate_in_buffer(data)
    view = view[where.offset:where.offset + where.length]
    _strict.refuse_classic(view, "decode_info")
    r = _reduction(reduce, skipres)
    info = dict(_module_call(view, "decode_info", r, lambda: _openjph.decode_info(
        view, reduce=reduce, skipres=skipres, resilient=resilient)))
    info["shape"] = _shape(info, bool(planar))
    info["components_info"] = _components_info(view, reduce, skipres, resilient)
    levels: Any = info["num_decompositions"]
    info["prefix_bytes"] = _window.prefix_bytes_of(view, levels)
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


def _is_file_object(source: Any) -> bool:
    return hasattr(source, "read") and not isinstance(source, (str, bytes, os.PathLike))


class _Source:
    """Where :func:`imread` reads from: ``read(offset, n)`` over the file's bytes, its
    size and its name.  Paths and seekable file objects are read with seeks (only
    what is needed); other file objects are read whole first."""

    def __init__(self, read: _codestream.Reader, size: int, name: str) -> None:
        self.read, self.size, self.name = read, size, name

    @classmethod
    @contextlib.contextmanager
    def open(cls, source: Any, *, buffering: int = -1) -> Any:
        if isinstance(source, (bytes, bytearray, memoryview)):
            raise TypeError(
                "imread() takes a path or a binary file object, not the encoded bytes; "
                "decode bytes with ferroglyph.decode(data)")
        if _is_file_object(source):
            yield cls.of_file_object(source)
            return
        if not isinstance(source, (str, os.PathLike)):
            raise TypeError(f"imread() takes a path or a binary file object, got "
                            f"{type(source).__name__}")
        with open(source, "rb", buffering=buffering) as f:
            yield cls(_codestream.file_reader(f), os.fstat(f.fileno()).st_size,
                      os.fsdecode(os.fspath(source)))

    @classmethod
    def of_file_object(cls, f: Any) -> _Source:
        name = getattr(f, "name", None)
        name = name if isinstance(name, str) else "<file object>"
        if isinstance(f, io.TextIOBase):  # its reads decode (or fail to) as text
            raise TypeError(f"imread() needs a binary file object; {name} is open in text "
                            "mode: open it with 'rb'")
        seekable = getattr(f, "seekable", None)
        if callable(seekable) and seekable():
            start = f.tell()
            end = f.seek(0, os.SEEK_END)
            return cls(_codestream.file_reader(f, start), end - start, name)
        data = f.read()
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"imread() needs a binary file object; {name} gave "
                            f"{type(data).__name__}")
        return cls(_codestream.buffer_reader(data), len(data), name)


def imread(source: str | os.PathLike[str] | Any, **decode_keywords: Any) -> np.ndarray:
    """Read a .jph/.jp2 file or a raw codestream (.j2c, .j2k, .jhc, any name).

    ``source`` is a path or a binary file object (``open(p, "rb")``,
    ``io.BytesIO``, an fsspec file, ...), read from its current position;
    bytes go to :func:`decode` instead.  The file is read once: for JPEG 2000
    family files only the box headers before the codestream and the
    codestream itself.  ``decode_keywords`` are those of :func:`decode`
    (``reduce``, ``strict``, ``planar``, ``out``, ...).  With
    ``region=(y0, x0, y1, x1)`` only the headers and the tile-parts that meet
    the window are read (see docs/windows.md), so windows of files far larger
    than memory can be read, from a path or from any seekable file object.
    A file that is neither kind raises OpenJphError naming what it looks like.
    """
    strict = bool(decode_keywords.pop("strict", True))
    ignore_unsupported = bool(decode_keywords.pop("ignore_unsupported", False))
    region = decode_keywords.pop("region", None)
    unknown = set(decode_keywords) - {"reduce", "skipres", "resilient", "planar", "out",
                                      "numthreads"}
    if unknown:
        raise TypeError(f"imread() got an unexpected keyword argument {min(unknown)!r}")
    decode_keywords["planar"] = bool(decode_keywords.get("planar", False))
    _reduction(decode_keywords.get("reduce", 0), decode_keywords.get("skipres"))
    _args.numthreads(decode_keywords.get("numthreads"))
    # A window reads files unbuffered: the bytes asked for are the bytes the
    # operating system delivers, with no read-ahead into tile-parts it does
    # not need (_window.py).
    with _Source.open(source, buffering=-1 if region is None else 0) as src:
        if region is not None:
            return _window.read_window(src.read, src.size, region, strict=strict,
                                       ignore_unsupported=ignore_unsupported, **decode_keywords)
        where = _jp2.locate(src.read, src.size)
        codestream = src.read(where.offset, where.length)
    return _decode_view(memoryview(codestream), where.truncated, strict=strict,
                        ignore_unsupported=ignore_unsupported, stacklevel=2, function="imread",
                        **decode_keywords)


def _file_kind(path: str, format: str | None = None) -> str:
    if format is not None:
        if not isinstance(format, str):
            raise TypeError(f"imwrite: format must be a str, got {type(format).__name__}")
        kind = FORMATS.get(format.lower().lstrip("."))
        if kind is None:
            raise ValueError(f"imwrite: format must be 'jph' (a JPH file) or 'j2c' (a raw "
                             f"codestream), got {format!r}")
        return kind
    suffix = os.path.splitext(path)[1].lower()
    if suffix in FILE_SUFFIXES:
        return "jph"
    if suffix in RAW_SUFFIXES:
        return "raw"
    raise ValueError(
        f"imwrite: cannot tell what to write from the suffix {suffix or '(none)'!r} of "
        f"{path!r}; use .jph for a JPH file or .j2c, .j2k, .jhc for a raw codestream "
        "(or pass format='jph' or 'j2c')")


def _check_folder(path: str) -> None:
    """OSError naming what is really at fault, before anything is encoded: a
    folder that is missing or not writable, or a folder at ``path`` itself."""
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, "imwrite: the output is a folder", path)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, "imwrite: the output's folder does not exist",
                                folder)
    if not os.access(folder, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, "imwrite: the output's folder is not writable",
                              folder)


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


def imwrite(path: str | os.PathLike[str] | Any, data: ArrayLike,
            level: float | None = None, *, bits: int | None = None,
            numthreads: int | None = None, format: str | None = None,
            **encode_keywords: Any) -> None:
    """Encode ``data`` and write it to ``path``, a path or a binary file object.

    ``.jph``: an HTJ2K JPH file (ISO/IEC 15444-15): signature box, ``ftyp``
    with brand 'jph ', a ``jp2h`` header box (``ihdr`` with the image's size,
    component count and precision; ``colr`` with an enumerated colour space)
    and the codestream in a ``jp2c`` box.  The colour space is greyscale for
    1 component, sRGB for 3 or 4 (with or without the component transform);
    2 components are written as greyscale with one extra channel, 5 or more
    as sRGB (the first three) with extra channels.

    ``.j2c``, ``.j2k``, ``.jhc``: the raw codestream.  Other suffixes raise
    ValueError before anything is encoded.

    ``format``: ``"jph"`` or ``"j2c"`` (a raw codestream), whatever the name;
    a file object without a name that says is written as ``"jph"``.

    Metadata (JPH files only; asked of a raw codestream it raises
    ValueError): ``icc_profile=`` (bytes: an ICC profile, in place of the
    enumerated colour space), ``dpi=(x, y)`` (the capture resolution),
    ``xml=`` (str, bytes or a list of them: well-formed XML, one box each),
    ``xmp=`` (str or bytes: an XMP packet), ``alpha=`` (None: the last of 2
    or 4 components is declared alpha; True: the last component is alpha;
    False: no alpha, extra components are of unspecified type).
    :func:`ferroglyph.immeta` reads them back.

    ``level``, ``bits``, ``numthreads`` and ``encode_keywords`` are those of
    :func:`encode`, the targets ``psnr=``, ``ratio=`` and ``max_bytes=``
    included (they count the codestream, not the JPH boxes around it).  A
    file is written under a temporary name in the same
    folder and renamed: a failed write leaves no partial file at ``path``.
    A missing or read-only folder raises FileNotFoundError or PermissionError
    naming the folder, before anything is encoded.
    """
    meta = _metadata.take(encode_keywords)  # icc_profile, dpi, xml, xmp, alpha
    if hasattr(path, "write") and not isinstance(path, (str, bytes, os.PathLike)):
        name = getattr(path, "name", None)
        usable = isinstance(name, str) and os.path.splitext(name)[1].lower() in \
            FILE_SUFFIXES + RAW_SUFFIXES
        kind = _file_kind(str(name) if usable else "", format if format or usable else "jph")
        where = str(name) if isinstance(name, str) else "the file object"
        if isinstance(path, io.TextIOBase):
            raise TypeError(f"imwrite() needs a binary file object; {where} is open in text "
                            "mode: open it with 'wb'")
        for chunk in _encoded_chunks(kind, where, meta, data, level, bits, numthreads,
                                     encode_keywords):
            path.write(chunk)
        return
    if isinstance(path, (bytes, bytearray)) or not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"imwrite() takes a path or a binary file object to write to, got "
                        f"{type(path).__name__}")
    target = os.fsdecode(os.fspath(path))
    kind = _file_kind(target, format)
    _check_folder(target)
    _write_atomically(target, _encoded_chunks(kind, target, meta, data, level, bits, numthreads,
                                              encode_keywords))


def _encoded_chunks(kind: str, target: str, meta: Any, data: ArrayLike, level: Any, bits: Any,
                    numthreads: Any, encode_keywords: dict[str, Any]) -> list[bytes]:
    """The bytes of the file: a raw codestream, or a JPH file with ``meta``'s boxes."""
    if kind == "raw":
        _metadata.refuse_raw(meta, target)
    codestream = encode(data, level, bits=bits, numthreads=numthreads, **encode_keywords)
    if kind == "raw":
        return [codestream]
    chunks: list[bytes] = _metadata.jph_file(codestream, meta)
    return chunks
