"""What the numcodecs and zarr codecs share: their options and the chunk layout rule.

Kept free of numcodecs and zarr imports so that each integration needs only its
own library.
"""

from __future__ import annotations

import json
import math
import numbers
from typing import Any

import numpy as np

import ferroglyph
from ferroglyph import _args

CODEC_ID = "ferroglyph.htj2k"

# The sample types an HTJ2K codestream can carry losslessly (float32 as its bit
# patterns); chunks of other dtypes are refused before anything is written.
SUPPORTED_DTYPES = tuple(np.dtype(t) for t in ("u1", "i1", "u2", "i2", "u4", "i4", "f4"))

# Keywords of ferroglyph.encode that a chunk codec passes through as given.
# ``planar`` is not among them: the codec decides the layout (channels last).
PASSED_KEYWORDS = frozenset(
    {"rgb", "resolutions", "tlm", "tilepart", "block_size", "prog_order", "profile", "num_decomp"}
)


def image_shape(shape: tuple[int, ...]) -> tuple[int, ...]:
    """The (H, W) or (H, W, C) shape a chunk of ``shape`` is coded as."""
    dims = list(shape)
    while len(dims) > 2 and dims[0] == 1:
        dims.pop(0)
    if len(dims) not in (2, 3):
        raise ValueError(
            f"HTJ2K chunks must be (H, W) or (H, W, C) after dropping leading axes of length 1; "
            f"got shape {tuple(shape)}"
        )
    return tuple(dims)


def check_dtype(dtype: Any) -> np.dtype:
    """The native-order dtype for ``dtype``, or TypeError (the module's rule, in its words)."""
    dt = np.dtype(dtype)
    refusal = _args.dtype_refusal(dt)
    if refusal is not None:
        raise _args.OpenJphTypeError(f"HTJ2K chunks: {refusal}")
    return dt.newbyteorder("=")


def _int_pair(name: str, value: Any) -> list[int] | None:
    if value is None:
        return None
    if name == "tile":
        pair = _args.tile(value)
        return None if pair is None else list(pair)
    try:
        pair_ = [int(v) for v in value]
    except TypeError:
        raise TypeError(f"{name} must be a (width, height) pair of integers, got {value!r}") from None
    if len(pair_) != 2 or min(pair_) < 1:
        raise ValueError(f"{name} must be two positive integers, got {value!r}")
    return pair_


class Options:
    """Validated encode options of a chunk codec, with a JSON form."""

    __slots__ = ("level", "bits", "tile", "reversible", "numthreads", "keywords")

    def __init__(
        self,
        level: float | None = None,
        bits: int | None = None,
        tile: Any = None,
        reversible: bool | None = None,
        numthreads: int | None = 1,
        **keywords: Any,
    ) -> None:
        if level is not None:
            checked = _args.level(level)
            level = int(level) if isinstance(level, numbers.Integral) else checked  # JSON-able
        if bits is not None:
            bits = _args._integer(bits, "bits")
            if not 1 <= bits <= 32:
                raise ValueError(f"bits must be None or an integer from 1 to 32, got {bits!r}")
        if reversible is not None and not isinstance(reversible, bool):
            raise TypeError(f"reversible must be None, True or False, got {reversible!r}")
        if numthreads is not None:
            # 0 keeps its spelling in the configuration: automatic, as None.
            numthreads = 0 if _args.numthreads(numthreads) is None else int(numthreads)
        unknown = sorted(set(keywords) - PASSED_KEYWORDS)
        if unknown:
            raise TypeError(
                f"unknown HTJ2K codec option(s) {', '.join(unknown)}; "
                f"known: level, bits, tile, reversible, numthreads, {', '.join(sorted(PASSED_KEYWORDS))}"
            )
        if "block_size" in keywords:
            keywords["block_size"] = _int_pair("block_size", keywords["block_size"])
        try:
            json.dumps(keywords)
        except TypeError as exc:
            raise TypeError(f"HTJ2K codec options must be JSON values: {exc}") from None
        self.level = level
        self.bits = bits
        self.tile = _int_pair("tile", tile)
        self.reversible = reversible
        self.numthreads = numthreads
        self.keywords = {k: v for k, v in keywords.items() if v is not None}

    def config(self) -> dict[str, Any]:
        """The options as JSON values; ``Options(**config())`` gives the same options."""
        return {
            "level": self.level,
            "bits": self.bits,
            "tile": None if self.tile is None else list(self.tile),
            "reversible": self.reversible,
            "numthreads": self.numthreads,
            **dict(sorted(self.keywords.items())),
        }

    def __repr__(self) -> str:
        return ", ".join(f"{k}={v!r}" for k, v in self.config().items())

    def encode(self, chunk: Any) -> bytes:
        """One HTJ2K codestream for ``chunk`` under the layout rule."""
        arr = np.asarray(chunk)
        native = check_dtype(arr.dtype)
        shape = image_shape(arr.shape)
        arr = np.ascontiguousarray(arr, dtype=native).reshape(shape)
        extra: dict[str, Any] = dict(self.keywords)
        if self.tile is not None:
            extra["tile"] = tuple(self.tile)
        if "block_size" in extra:
            extra["block_size"] = tuple(extra["block_size"])
        if self.reversible is not None:
            extra["reversible"] = self.reversible
        if arr.ndim == 3:
            extra["planar"] = False
        return ferroglyph.encode(arr, self.level, bits=self.bits, numthreads=self.numthreads, **extra)


def decode_into(buf: Any, out: np.ndarray | None) -> np.ndarray:
    """Decodes one codestream; into ``out`` (any shape of the same size) when given."""
    if out is None:
        return ferroglyph.decode(buf)
    info = ferroglyph.decode_info(buf)
    shape, dtype = tuple(info["shape"]), np.dtype(info["dtype"])
    size = math.prod(shape) * dtype.itemsize
    if out.nbytes != size:
        raise ValueError(
            f"out holds {out.nbytes} bytes but the codestream decodes to {size} "
            f"({'x'.join(map(str, shape))} of {dtype})"
        )
    if out.flags.c_contiguous and out.flags.writeable and out.dtype.isnative:
        # A plain buffer of the right size (numcodecs' contract): decode straight into it.
        ferroglyph.decode(buf, out=out.reshape(-1).view(np.uint8).view(dtype).reshape(shape))
    elif out.dtype.newbyteorder("=") == dtype:
        np.copyto(out, ferroglyph.decode(buf).reshape(out.shape))
    else:
        raise ValueError(f"out of dtype {out.dtype} cannot take {dtype} samples unless it is contiguous")
    return out
