"""What the numcodecs and zarr codecs share: their options and the chunk layout rule.

Kept free of numcodecs and zarr imports so that each integration needs only its
own library.
"""

from __future__ import annotations

import json
import math
import numbers
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field, fields
from typing import Any

import numpy as np

import ferroglyph
from ferroglyph import _args

CODEC_ID = "ferroglyph.htj2k"

# The sample types an HTJ2K codestream can carry losslessly (float32 as its bit
# patterns); chunks of other dtypes are refused before anything is written.
SUPPORTED_DTYPES = tuple(np.dtype(t) for t in ("u1", "i1", "u2", "i2", "u4", "i4", "f4"))


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
    dt: np.dtype[Any] = np.dtype(dtype)
    refusal = _args.dtype_refusal(dt)
    if refusal is not None:
        raise _args.OpenJphTypeError(f"HTJ2K chunks: {refusal}")
    return dt.newbyteorder("=")


def _int_pair(name: str, value: Any) -> tuple[int, int] | None:
    if value is None:
        return None
    try:
        pair = [int(v) for v in value]
    except TypeError:
        raise TypeError(f"{name} must be a (width, height) pair of integers, got {value!r}") from None
    if len(pair) != 2 or min(pair) < 1:
        raise ValueError(f"{name} must be two positive integers, got {value!r}")
    return pair[0], pair[1]


# One parse per option: each takes what a caller or a stored configuration gives and
# returns the value kept (hashable, and JSON-able through Options.config).

def parse_level(level: Any) -> float | None:
    checked = _args.level(level)  # the public rule
    if checked is None:
        return None
    return int(level) if isinstance(level, numbers.Integral) else checked  # JSON-able


def parse_bits(bits: Any) -> int | None:
    if bits is None:
        return None
    value = _args._integer(bits, "bits")
    if not 1 <= value <= 32:
        raise ValueError(f"bits must be None or an integer from 1 to 32, got {bits!r}")
    return value


def parse_tile(tile: Any) -> tuple[int, int] | None:
    return _args.tile(tile)


def parse_reversible(reversible: Any) -> bool | None:
    if reversible is not None and not isinstance(reversible, bool):
        raise TypeError(f"reversible must be None, True or False, got {reversible!r}")
    return reversible


def parse_numthreads(numthreads: Any) -> int | None:
    if numthreads is None:
        return None
    # 0 keeps its spelling in the configuration: automatic, as None.
    return 0 if _args.numthreads(numthreads) is None else int(numthreads)


def parse_block_size(block_size: Any) -> tuple[int, int] | None:
    return _int_pair("block_size", block_size)


def _parse_target(name: str) -> Callable[[Any], Any]:
    def parse(value: Any) -> Any:
        return None if value is None else _args.target(**{name: value}).value
    return parse


def parse_passed(value: Any) -> Any:
    """A keyword passed to :func:`ferroglyph.encode` as given: any JSON value (lists kept
    as tuples, so that the codec hashes); ``encode`` judges it."""
    try:
        json.dumps(value)
    except TypeError as exc:
        raise TypeError(f"HTJ2K codec options must be JSON values: {exc}") from None
    return tuple(value) if isinstance(value, list) else value


def _option(parse: Callable[[Any], Any], default: Any = None, *, always: bool = False) -> Any:
    """A configuration field read by ``parse``; ``always``: written to the configuration even
    when None (the first five options, as stores have always held them); other options are
    written only when set, so that stores that do not use them read as before."""
    return field(default=default, metadata={"parse": parse, "always": always})


@dataclass(frozen=True)
class Options:
    """The configuration of a chunk codec: one field per option, read by its parse function.

    An option is one line here; the zarr codec takes these fields as its own,
    the numcodecs codec passes its keywords through.  ``level``, ``bits``,
    ``tile``, ``reversible``, ``numthreads`` are this codec's own; the others
    are keywords of :func:`ferroglyph.encode` passed as given (``planar`` is
    not among them: the codec decides the layout, channels last).
    """

    level: float | None = _option(parse_level, always=True)
    bits: int | None = _option(parse_bits, always=True)
    tile: Sequence[int] | None = _option(parse_tile, always=True)
    reversible: bool | None = _option(parse_reversible, always=True)
    numthreads: int | None = _option(parse_numthreads, 1, always=True)
    rgb: bool | None = _option(parse_passed)
    resolutions: int | None = _option(parse_passed)
    tlm: bool | None = _option(parse_passed)
    tilepart: int | None = _option(parse_passed)
    block_size: Sequence[int] | None = _option(parse_block_size)
    prog_order: str | None = _option(parse_passed)
    profile: str | None = _option(parse_passed)
    num_decomp: int | None = _option(parse_passed)
    # A rate or distortion target instead of a level, for each chunk on its own
    # (ratio counts the chunk's bytes); see docs/rate.md.
    psnr: float | None = _option(_parse_target("psnr"))
    ratio: float | None = _option(_parse_target("ratio"))
    max_bytes: int | None = _option(_parse_target("max_bytes"))

    def __post_init__(self) -> None:
        for f in fields(Options):
            object.__setattr__(self, f.name, f.metadata["parse"](getattr(self, f.name)))
        target = _args.target(self.level, self.psnr, self.ratio, self.max_bytes)  # at most one
        if target.kind not in (None, "level") and self.reversible is not None:
            raise ValueError(f"reversible cannot be combined with {target.kind}: the target "
                             "chooses between the lossless and lossy paths itself")

    def config(self) -> dict[str, Any]:
        """The options as JSON values; ``Options(**config())`` gives the same options.

        The options always written come first, in their order, then the others that
        are set, by name.
        """
        items = [(f.name, getattr(self, f.name)) for f in fields(Options)]
        always = {f.name for f in fields(Options) if f.metadata["always"]}
        out = {k: v for k, v in items if k in always}
        out.update(sorted((k, v) for k, v in items if k not in always and v is not None))
        return {k: list(v) if isinstance(v, tuple) else v for k, v in out.items()}

    def encode_chunk(self, chunk: Any) -> bytes:
        """One HTJ2K codestream for ``chunk`` under the layout rule."""
        arr = np.asarray(chunk)
        native = check_dtype(arr.dtype)
        shape = image_shape(arr.shape)
        arr = np.ascontiguousarray(arr, dtype=native).reshape(shape)
        own = {"level", "bits", "numthreads"}
        extra = {f.name: getattr(self, f.name) for f in fields(Options)
                 if f.name not in own and getattr(self, f.name) is not None}
        if arr.ndim == 3:
            extra["planar"] = False
        return ferroglyph.encode(arr, self.level, bits=self.bits, numthreads=self.numthreads,
                                 **extra)


def options_of(config: Mapping[str, Any]) -> dict[str, Any]:
    """The options in a stored configuration, refusing names :class:`Options` does not have."""
    known = [f.name for f in fields(Options)]
    unknown = sorted(set(config) - set(known))
    if unknown:
        raise TypeError(f"unknown HTJ2K codec option(s) {', '.join(unknown)}; known: "
                        f"{', '.join(known)}")
    return dict(config)


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
