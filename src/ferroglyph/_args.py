"""The public layer's argument rules: one validator per argument, one exception rule.

Every public function and codec of ferroglyph (``encode``, ``decode``,
``imread``, ``imwrite``, the component calls, the chunk codecs, ``dicom``,
the command) reads its arguments through these functions, so that each
argument has one meaning, one range and one error text everywhere.

The exception rule:

- ``TypeError`` for an argument of the wrong type (a ``str`` level, a
  non-integer ``reduce``, a dtype ferroglyph does not code);
- ``ValueError`` for a value or shape out of range (an empty array, a
  ``reduce`` past the codestream's levels, a window outside the image);
- :class:`OpenJphError` for data the codec cannot read;
- ``OSError`` subclasses naming the path that is really at fault.

Where the public layer raised ``OpenJphError`` before for a wrong type or
value, it now raises :class:`OpenJphTypeError` or :class:`OpenJphValueError`,
which are both: callers that catch ``OpenJphError`` keep working.

The codec's own rules (which dtypes and layouts are coded, levels and their
limits, reversibility, the component transform) are the extension module's;
this module holds only what the public layer adds over them.
"""

from __future__ import annotations

import functools
import math
import numbers
import operator
from typing import Any, NamedTuple

import numpy as np

from .codecs import _openjph
from .codecs._openjph import OpenJphError

__all__ = ["OpenJphTypeError", "OpenJphValueError", "Target", "bits", "check_array",
           "dtype_refusal", "level", "numthreads", "reduce", "reduce_within", "region", "target",
           "tile"]


class OpenJphTypeError(OpenJphError, TypeError):
    """A wrong type where the public layer raised OpenJphError before."""


class OpenJphValueError(OpenJphError, ValueError):
    """A wrong value or shape where the public layer raised OpenJphError before."""


def _is_bool(value: Any) -> bool:
    return isinstance(value, (bool, np.bool_))


def _integer(value: Any, name: str) -> int:
    """``value`` as an int: Python and NumPy integers, never bools or floats."""
    if _is_bool(value):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__} "
                        f"{value!r}") from None


def numthreads(value: Any) -> int | None:
    """``numthreads``: None or 0 chooses (the CPUs this process may use), n >= 1 uses at most n."""
    if value is None:
        return None
    n = _integer(value, "numthreads")
    if n < 0:
        raise ValueError(f"numthreads must be None, 0 (automatic) or a positive integer, got {n}")
    return n or None


def level(value: Any) -> float | None:
    """``level``: None (lossless), a quantization step in (0, 1) or a quality factor 1-100."""
    if value is None:
        return None
    if _is_bool(value) or not isinstance(value, numbers.Real):
        raise TypeError(
            f"level must be None (lossless) or a number: a quantization step below 1 or a "
            f"quality factor from 1 to 100; got {type(value).__name__} {value!r}")
    v = float(value)
    if math.isnan(v) or not 0.0 <= v <= 100.0:
        raise ValueError(
            f"level must be None (lossless), a quantization step below 1, or a quality factor "
            f"from 1 to 100; got {value!r}")
    return v


def tile(value: Any) -> tuple[int, int] | None:
    """``tile``: None (one tile) or (width, height), each from 1 to 2**32 - 1 (OpenJPH's order,
    not the array's)."""
    if value is None:
        return None
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") or len(value) != 2:
        raise TypeError(f"tile must be None or (width, height), two integers; got {value!r}")
    w, h = (_integer(v, "tile") for v in value)
    if not (1 <= w < 1 << 32 and 1 <= h < 1 << 32):
        raise ValueError(f"tile (width, height) sides must be from 1 to 4294967295, got "
                         f"({w}, {h})")
    return w, h


def planar(shape: tuple[int, ...], asked: Any) -> bool:
    """Whether the module's encode reads an array of ``shape`` as (components, rows,
    columns): ``planar=`` (``asked``) when given, else the module's own reading of a
    3-D array (``_openjph._planar_default``)."""
    if asked is not None:
        return bool(asked)
    return len(shape) == 3 and _openjph._planar_default(shape[0], shape[2])


def bits(array: np.ndarray, value: Any) -> int | None:
    """``bits``: the samples' precision, 1 to the dtype's bits; every sample must fit."""
    if value is None:
        return None
    b = _integer(value, "bits")
    if array.dtype.kind not in "iu":
        raise ValueError(f"bits applies to integer samples; the data is {array.dtype}")
    container = array.dtype.itemsize * 8
    if not 1 <= b <= container:
        raise ValueError(f"bits must be from 1 to {container} for {array.dtype} samples, got {b}")
    lo, hi = ((0, (1 << b) - 1) if array.dtype.kind == "u"
              else (-(1 << (b - 1)), (1 << (b - 1)) - 1))
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


def reduce(value: Any) -> int:
    """``reduce``: a non-negative integer (the finest resolutions left out)."""
    r = _integer(value, "reduce")
    if r < 0:
        raise ValueError(f"reduce must be 0 or more, got {r}")
    return r


def reduce_within(r: int, levels: int) -> None:
    """Raises ValueError naming the maximum when ``r`` exceeds a codestream's ``levels``."""
    if r > levels:
        raise OpenJphValueError(
            f"reduce={r} exceeds this codestream's {levels} decomposition levels; "
            f"the maximum is reduce={levels}")


def region(value: Any, height: int, width: int) -> tuple[int, int, int, int] | None:
    """``region``: None, or (y0, x0, y1, x1), half-open, inside a ``height`` x ``width`` image."""
    if value is None:
        return None
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") or len(value) != 4:
        raise TypeError(f"region must be (y0, x0, y1, x1), four integers; got {value!r}")
    y0, x0, y1, x1 = (_integer(v, "region") for v in value)
    if not (0 <= y0 < y1 <= height and 0 <= x0 < x1 <= width):
        raise ValueError(
            f"region (y0, x0, y1, x1) = ({y0}, {x0}, {y1}, {x1}) must be a non-empty window "
            f"inside the {height} x {width} image: 0 <= y0 < y1 <= {height} and "
            f"0 <= x0 < x1 <= {width}")
    return y0, x0, y1, x1


class Target(NamedTuple):
    """What a lossy encode aims at: one of a level, a PSNR, a ratio, a size (or none: lossless)."""

    kind: str | None  # None, "level", "psnr", "ratio" or "max_bytes"
    value: float | int | None


def target(level_: Any = None, psnr: Any = None, ratio: Any = None,
           max_bytes: Any = None) -> Target:
    """At most one of ``level``, ``psnr``, ``ratio`` and ``max_bytes``, each checked."""
    given = [name for name, v in (("level", level_), ("psnr", psnr), ("ratio", ratio),
                                  ("max_bytes", max_bytes)) if v is not None]
    if len(given) > 1:
        raise ValueError(f"give at most one of level, psnr, ratio and max_bytes; got "
                         f"{' and '.join(given)}")
    if level_ is not None:
        return Target("level", level(level_))
    for name, v in (("psnr", psnr), ("ratio", ratio)):
        if v is None:
            continue
        if _is_bool(v) or not isinstance(v, numbers.Real):
            raise TypeError(f"{name} must be a number, got {type(v).__name__} {v!r}")
        f = float(v)
        if name == "psnr" and not (math.isfinite(f) and f > 0):
            raise ValueError(f"psnr must be a positive number of decibels, got {v!r}")
        if name == "ratio" and not (math.isfinite(f) and f >= 1):
            raise ValueError(f"ratio must be 1 or more (the input's bytes over the output's), "
                             f"got {v!r}")
        return Target(name, f)
    if max_bytes is not None:
        n = _integer(max_bytes, "max_bytes")
        if n <= 0:
            raise ValueError(f"max_bytes must be a positive number of bytes, got {n}")
        return Target("max_bytes", n)
    return Target(None, None)


@functools.lru_cache(maxsize=64)
def dtype_refusal(dtype: np.dtype[Any]) -> str | None:
    """Why the extension module does not code ``dtype``, in its words; None when it does.

    The module is the home of that rule (``_dtype_coded``); its words come
    from a 2 x 2 image of zeros it refuses.  Remembered per dtype.
    """
    from .codecs import _openjph

    if _openjph._dtype_coded(dtype):
        return None
    try:  # for the module's words
        _openjph.encode(np.zeros((2, 2), dtype))
    except OpenJphError as e:
        text = str(e)
        return text.split(": ", 1)[1] if text.startswith("HTJ2K encode: ") else text
    return None


def check_array(data: Any, function: str, *, planar: bool = False) -> np.ndarray:
    """``data`` as an array the codec can take: 2-D or 3-D, not empty, of a dtype it codes.

    A dtype the module does not code raises :class:`OpenJphTypeError`; a
    shape it cannot hold, :class:`OpenJphValueError`.
    """
    array = np.asarray(data)
    refusal = dtype_refusal(array.dtype)
    if refusal is not None:
        raise OpenJphTypeError(f"{function}: {refusal}")
    if array.ndim not in (2, 3):
        what = "(C, H, W) with planar=True" if planar else "(H, W, C)"
        raise OpenJphValueError(
            f"{function}: an image is a 2-D (H, W) or 3-D {what} array; got {array.ndim} "
            f"dimension{'s' if array.ndim != 1 else ''}, shape {array.shape}")
    if array.size == 0:
        raise OpenJphValueError(f"{function}: the image is empty, shape {array.shape}")
    return array
