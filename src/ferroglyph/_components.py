"""Components at their own sizes: YCbCr 4:2:2 / 4:2:0 and mixed precisions.

A JPEG 2000 codestream may give each component its own subsampling (XRsiz,
YRsiz in the SIZ marker segment), precision and signedness; broadcast and
cinema masters are YCbCr 4:2:2 or 4:2:0 at 10 or 12 bits.  Such a picture has
no single (H, W, C) array, so these functions speak in one 2-D array per
component.
"""

from __future__ import annotations

import numbers
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _api, _args, _jp2, _lossy, _rate, _strict, _window
from ._codestream import MAX_COMPONENTS, MAX_SUBSAMPLING
from .codecs import _openjph
from .codecs._openjph import OpenJphError

__all__ = ["components_info", "decode_components", "encode_components"]

_ENCODE_KEYWORDS = frozenset(
    {"rgb", "resolutions", "reversible", "tlm", "tilepart", "block_size", "prog_order", "profile",
     "num_decomp"})


def _codestream(data: Any, function: str) -> tuple[Any, str | None]:
    """The codestream inside ``data`` (raw, or in a JPH/JP2 file) and why it
    is shorter than its box says, if it is; classic JPEG 2000 refused."""
    _api._refuse_path(data, function)
    view, where = _jp2.locate_in_buffer(data)
    view = view[where.offset:where.offset + where.length]
    _strict.refuse_classic(view, function)
    return _api._in_place(view), where.truncated


def _reductions(reduce: Any, skipres: Any) -> tuple[int, int]:
    _api._reduction(reduce, skipres)
    data_r, recon_r = _openjph._reductions(reduce, skipres)
    return int(data_r), int(recon_r)


def components_info(data: Any, *, reduce: int = 0, skipres: Any = None,
                    resilient: bool = False) -> list[dict[str, Any]]:
    """Every component's facts, read from the main header.

    Returns one dict per component: ``width`` and ``height`` (after the
    reduction), ``subsampling`` ``(dx, dy)``, ``bit_depth``, ``signed``,
    ``nlt_type`` and ``dtype`` (what :func:`decode_components` returns for it,
    or None when it cannot).
    """
    data_r, recon_r = _reductions(reduce, skipres)
    codestream, _truncated = _codestream(data, "components_info")
    facts: list[dict[str, Any]] = _api._module_call(
        codestream, "components_info", data_r,
        lambda: _openjph._components_info(codestream, data_r, recon_r, bool(resilient)))
    for f in facts:
        try:
            f["dtype"] = _openjph._output_dtype(f["bit_depth"], f["signed"], f["nlt_type"])
        except OpenJphError:
            f["dtype"] = None
    return facts


def decode_components(data: Any, *, reduce: int = 0, skipres: Any = None,
                      resilient: bool = False, strict: bool = True,
                      region: Any = None) -> list[np.ndarray]:
    """Decode every component at its own size, in its own dtype.

    Works for any codestream OpenJPH decodes, whether or not its components
    share size, precision, signedness and nonlinearity (YCbCr 4:2:2 and
    4:2:0, 12-bit luma with 10-bit chroma, ...).  The interpreter lock is
    released while OpenJPH works, so threads decode side by side.

    Parameters
    ----------
    data : bytes-like
        The codestream, or a JPH/JP2 file holding one.
    reduce : int, optional
        Skip this many finest resolutions.  Each component shrinks from its
        own coordinates as JPEG 2000 defines it: a component spanning
        ``[x0, x1)`` on its own grid becomes ``ceil(x1 / 2**reduce) -
        ceil(x0 / 2**reduce)`` samples wide, and likewise in height.
    skipres : int or (int, int), optional
        Alternative to ``reduce``: (resolutions unread, resolutions left out
        of the reconstruction).
    resilient : bool, optional
        Ask OpenJPH to tolerate damaged codestreams.
    strict : bool, optional
        True (the default): a codestream that ends early, or whose tiles or
        code-blocks could not be decoded, raises :class:`OpenJphError`, and
        one with marker segments OpenJPH skipped raises
        :class:`OpenJphUnsupportedFeature`.  False: both are RuntimeWarnings
        and what was decoded is returned.
    region : (y0, x0, y1, x1), optional
        A window in full-resolution image coordinates (the reference grid
        from the image's top-left sample), half-open.  Each component's
        window follows its subsampling: rows ``ceil(y0 / (dy * 2**reduce))``
        to ``ceil(y1 / (dy * 2**reduce))`` of its reduced samples, and
        likewise columns.  The components are decoded whole and cropped.

    Returns
    -------
    list of numpy.ndarray
        One ``(height, width)`` array per component: (u)int8/16/32 by
        precision and signedness, float16/float32 for floating-point (NLT
        type 3) components, as :func:`ferroglyph.decode` chooses.

    Raises
    ------
    OpenJphError
        For codestreams OpenJPH or the bridge refuses, and (``strict``) for
        lost samples.
    """
    data_r, recon_r = _reductions(reduce, skipres)
    codestream, box_truncated = _codestream(data, "decode_components")
    box = None if region is None else _window.image_region(codestream, region)
    # A cut codestream is refused or read resiliently, as by decode; a
    # progressive prefix holding what the reduction needs is not cut.
    keywords = {"reduce": reduce, "skipres": skipres, "resilient": bool(resilient)}
    codestream, notes = _api._prepare(memoryview(codestream).cast("B"), box_truncated,
                                      bool(strict), "decode_components", keywords)
    resilient = keywords["resilient"]
    # The module judges OpenJPH's warnings; stack level 4 is this function's caller.
    arrays: list[np.ndarray] = _api._module_call(
        codestream, "decode_components", data_r, lambda: _openjph._decode_components_checked(
            codestream, data_r, recon_r, bool(resilient), bool(strict), 4))
    for note in notes:
        warnings.warn(f"ferroglyph: {note}", RuntimeWarning, stacklevel=2)
    if box is not None:  # windows (_window.py): a whole decode, then a crop
        return _window.crop_components(codestream, arrays, box, recon_r)
    return arrays


def _subsampling(first: int, size: int, axis: str, index: int) -> int:
    """The factor d with ceil(first / d) == size (the smallest, if several)."""
    if 1 <= size <= first:
        d = -(-first // size)  # the smallest candidate
        if d <= MAX_SUBSAMPLING and -(-first // d) == size:
            return d
    raise ValueError(
        f"encode_components: component {index} is {size} samples {axis}, which is not an integer "
        f"subsampling (1 to {MAX_SUBSAMPLING}) of component 0's {first}: a component d times "
        f"subsampled has ceil({first} / d) samples")


def _bits_of(bits: Any, arrays: Sequence[np.ndarray]) -> list[int]:
    n = len(arrays)
    if bits is None:
        per = [a.dtype.itemsize * 8 for a in arrays]
    elif isinstance(bits, numbers.Integral) and not isinstance(bits, bool):
        per = [int(bits)] * n
    else:
        per = list(bits)
        if len(per) != n:
            raise ValueError(f"encode_components: bits has {len(per)} entries for {n} components")
        if not all(isinstance(b, numbers.Integral) and not isinstance(b, bool) for b in per):
            raise TypeError("encode_components: bits must be an int or a sequence of ints")
        per = [int(b) for b in per]
    for c, (b, a) in enumerate(zip(per, arrays, strict=True)):
        try:
            _args.bits(a, b)
        except ValueError as e:
            raise ValueError(f"encode_components: component {c}: {e}") from None
    return per


def _pair(value: Any, name: str) -> tuple[int, int]:
    text = f"encode_components: {name} must be a pair of ints, got {value!r}"
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__"):
        raise TypeError(text)
    if len(value) != 2:
        raise ValueError(text)
    try:
        a, b = (int(v) for v in value)
    except (TypeError, ValueError):
        raise TypeError(text) from None
    return a, b


def encode_components(components: Sequence[Any], level: float | None = None, *,
                      bits: int | Sequence[int] | None = None,
                      tile: tuple[int, int] | None = None, numthreads: int | None = None,
                      psnr: float | None = None, ratio: float | None = None,
                      max_bytes: int | None = None, **keywords: Any) -> bytes:
    """Encode one 2-D array per component, each at its own size and precision.

    Parameters
    ----------
    components : sequence of array_like
        ``(height, width)`` arrays of (u)int8/16/32.  Component 0 sets the
        image size; every other component's size sets its subsampling
        relative to it (luma 1920x1080 with chroma 960x1080 is 4:2:2, with
        chroma 960x540 4:2:0): a component d times subsampled across has
        ``ceil(width / d)`` columns, for d from 1 to 255.  Signedness comes
        from each array's dtype.
    level : float, optional
        None: lossless.  Below 1: irreversible quantization step.  From 1 to
        100: quality level, with the rule of :func:`ferroglyph.encode` (see
        docs/lossy.md; OpenJPH accepts a quality factor only for a luma
        component that is not subsampled vertically).
    bits : int or sequence of int, optional
        Precision of every component, or one per component (for example
        ``(12, 10, 10)``); default: each dtype's width.  Samples outside the
        range a precision allows raise ValueError.
    tile : (int, int), optional
        Tile (width, height) on the image grid.
    numthreads : int, optional
        Accepted for symmetry with :func:`ferroglyph.encode`; the components
        are coded on the calling thread (with the interpreter lock released).
    psnr, ratio, max_bytes : optional
        A target instead of a ``level``, as for :func:`ferroglyph.encode`.
        The PSNR pools all samples of all components, each error divided by
        its component's peak (2**bits - 1); the ratio counts the arrays'
        bytes.
    **keywords
        ``rgb`` (the component transform, default off; refused when a
        component is subsampled), ``resolutions``, ``num_decomp``,
        ``reversible``, ``tlm``, ``tilepart``, ``block_size``,
        ``prog_order``, ``profile``, as for :func:`ferroglyph.encode`.  When
        no ``prog_order`` is given and a subsampling factor is not a power of
        two, LRCP is used (OpenJPH refuses position-major orders then).

    Returns
    -------
    bytes
        A raw HTJ2K codestream.

    Raises
    ------
    ValueError
        For sizes that are not an integer subsampling of component 0, the
        component transform on subsampled components, precisions outside a
        dtype or samples outside a precision, and bad keywords.
    OpenJphError
        For OpenJPH's own refusals.
    """
    _check_call(keywords, numthreads)
    if psnr is not None or ratio is not None or max_bytes is not None:
        target = _args.target(level, psnr, ratio, max_bytes)
        arrays = _component_arrays(components)
        return _rate.encode_components(
            arrays, target, bits=_bits_of(bits, arrays),
            keywords=dict(keywords, bits=bits, tile=tile, numthreads=numthreads),
            encode=encode_components, decode=decode_components)
    arrays = _component_arrays(components)
    height, width = arrays[0].shape
    factors = [(_subsampling(width, a.shape[1], "wide", c), _subsampling(height, a.shape[0], "high", c))
               for c, a in enumerate(arrays)]
    subsampled = any(f != (1, 1) for f in factors)
    per_bits = _bits_of(bits, arrays)

    _args.level(level)
    tile_w, tile_h = _args.tile(tile) or (0, 0)  # (width, height) here
    # The module's own encode rules (level, reversible path, component
    # transform, levels, names), read as encode reads them.
    settings = _openjph._encode_settings(
        "encode_components", width, height, len(arrays), level, keywords, planar=True,
        subsampling=factors if subsampled else None, tile_w=tile_w, tile_h=tile_h)
    reversible = bool(settings["reversible"])
    if per_bits and min(per_bits) == 1:
        _api._check_lossless_precision(1, reversible)
    if not reversible:  # the lossy rule, as for encode(): right or refused
        num_decomp = settings["num_decomp"]
        settings["qstep"], settings["qfactor"] = _lossy.settings(
            [a.dtype for a in arrays], per_bits, level,
            num_decomp if num_decomp >= 0 else _lossy.DEFAULT_DECOMPOSITIONS,
            [None] * len(arrays))
    block_w, block_h = (_pair(keywords["block_size"], "block_size")
                        if keywords.get("block_size") is not None else (0, 0))
    if settings["prog_order"] is None and any(d & (d - 1) for f in factors for d in f):
        settings["prog_order"] = "LRCP"
    settings.update({
        "tile_w": tile_w, "tile_h": tile_h, "tlm": int(bool(keywords.get("tlm"))),
        "tilepart": int(keywords.get("tilepart") or 0), "block_w": block_w, "block_h": block_h,
    })
    geometry = (width, height, [(dx, dy, b) for (dx, dy), b in zip(factors, per_bits, strict=True)])
    codestream = _openjph._encode_components(arrays, geometry, settings)
    _rate.record(level, len(codestream), sum(a.nbytes for a in arrays))
    return codestream


def _check_call(keywords: dict[str, Any], numthreads: Any) -> None:
    """Refuses keywords :func:`encode_components` does not know, and a thread count below 1."""
    unknown = set(keywords) - _ENCODE_KEYWORDS
    if unknown:
        raise TypeError(f"encode_components() got an unexpected keyword argument {min(unknown)!r}")
    _args.numthreads(numthreads)


def _component_arrays(components: Any) -> list[np.ndarray]:
    """Each component as a native-order contiguous 2-D integer array; refuses what
    a codestream cannot hold."""
    if isinstance(components, np.ndarray) and components.ndim == 2:
        components = [components]
    arrays = []
    for c, item in enumerate(components):
        a = np.asarray(item)
        if a.ndim != 2:
            raise ValueError(f"encode_components: component {c} has shape {a.shape}; each must be 2-D")
        if a.dtype.kind not in "ui" or a.dtype.itemsize not in (1, 2, 4):
            raise TypeError(
                f"encode_components: component {c} has dtype {a.dtype}; expected "
                "uint8/int8/uint16/int16/uint32/int32")
        if a.size == 0:
            raise ValueError(f"encode_components: component {c} is empty {a.shape}")
        arrays.append(np.ascontiguousarray(a, dtype=a.dtype.newbyteorder("=")))
    if not arrays:
        raise ValueError("encode_components: no components")
    if len(arrays) > MAX_COMPONENTS:
        raise ValueError(f"encode_components: {len(arrays)} components; a codestream holds at "
                         f"most {MAX_COMPONENTS}")
    return arrays
