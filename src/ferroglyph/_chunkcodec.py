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
    """The native-order dtype for ``dtype``, or ValueError naming what is supported."""
    dt = np.dtype(dtype)
    native = dt.newbyteorder("=")
    if native not in SUPPORTED_DTYPES:
        names = ", ".join(str(t) for t in SUPPORTED_DTYPES)
        raise ValueError(f"HTJ2K chunks must be one of {names}; got {dt}")
    return native


def _int_pair(name: str, value: Any) -> list[int] | None:
    if value is None:
        return None
    try:
        pair = [int(v) for v in value]
    except TypeError:
        raise TypeError(f"{name} must be a (width, height) pair of integers, got {value!r}") from None
    if len(pair) != 2 or min(pair) < 1:
        raise ValueError(f"{name} must be two positive integers, got {value!r}")
    return pair


class Options:
    """Validated encode options of a chunk codec, with a JSON form."""

    __slots__ = ("bits", "keywords", "level", "numthreads", "reversible", "targets", "tile")

    def __init__(
        self,
        level: float | None = None,
        bits: int | None = None,
        tile: Any = None,
        reversible: bool | None = None,
        numthreads: int | None = 1,
        *,
        psnr: float | None = None,
        ratio: float | None = None,
        max_bytes: int | None = None,
        **keywords: Any,
    ) -> None:
        # A rate or distortion target (at most one with level) applies to
        # each chunk on its own: ratio counts the chunk's bytes.
        target = _args.target(None, psnr, ratio, max_bytes)
        if target.kind is not None and level is not None:
            raise ValueError(f"give at most one of level, psnr, ratio and max_bytes; got level "
                             f"and {target.kind}")
        if level is not None:
            if isinstance(level, (bool, np.bool_)) or not isinstance(level, numbers.Real):
                raise TypeError(f"level must be None or a number, got {level!r}")
            level = int(level) if isinstance(level, numbers.Integral) else float(level)  # JSON-able
            if not math.isfinite(level) or not 0 <= level <= 100:
                raise ValueError(
                    f"level must be None (lossless), a quantization step below 1 or a quality "
                    f"up to 100; got {level!r}"
                )
        if bits is not None:
            if isinstance(bits, (bool, np.bool_)) or not isinstance(bits, numbers.Integral) \
                    or not 1 <= bits <= 32:
                raise ValueError(f"bits must be None or an integer from 1 to 32, got {bits!r}")
            bits = int(bits)
        if reversible is not None and not isinstance(reversible, bool):
            raise TypeError(f"reversible must be None, True or False, got {reversible!r}")
        if reversible is not None and target.kind is not None:
            raise ValueError(f"reversible cannot be combined with {target.kind}: the target "
                             "chooses between the lossless and lossy paths itself")
        if numthreads is not None:
            if isinstance(numthreads, (bool, np.bool_)) or not isinstance(numthreads, numbers.Integral) \
                    or numthreads < 1:
                raise ValueError(f"numthreads must be None or a positive integer, got {numthreads!r}")
            numthreads = int(numthreads)
        unknown = sorted(set(keywords) - PASSED_KEYWORDS)
        if unknown:
            raise TypeError(
                f"unknown HTJ2K codec option(s) {', '.join(unknown)}; "
                f"known: level, psnr, ratio, max_bytes, bits, tile, reversible, numthreads, "
                f"{', '.join(sorted(PASSED_KEYWORDS))}"
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
        self.targets: dict[str, Any] = {} if target.kind is None else {target.kind: target.value}

    def config(self) -> dict[str, Any]:
        """The options as JSON values; ``Options(**config())`` gives the same options.

        A target appears only when set, so configurations stored without one
        read the same as before.
        """
        return {
            "level": self.level,
            **self.targets,
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
        extra.update(self.targets)
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
