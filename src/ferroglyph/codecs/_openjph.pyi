"""HTJ2K (High-Throughput JPEG 2000, ISO/IEC 15444-15) codec over OpenJPH."""

from collections.abc import Iterable
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt, TypeAlias, TypedDict

import numpy as np
from numpy.typing import ArrayLike

_BytesLike: TypeAlias = bytes | bytearray | memoryview | Any
_IntLike: TypeAlias = SupportsInt | SupportsIndex

_PROG_ORDERS: tuple[str, str, str, str, str]
_PROFILES: tuple[str, str]
_SOC_SIZ: bytes

class OpenJphError(RuntimeError):
    """Raised on OpenJPH (HTJ2K) encode/decode failures."""

class OpenJphUnsupportedFeature(OpenJphError):
    """The codestream uses a marker segment OpenJPH does not implement."""

class _Info(TypedDict):
    width: int
    height: int
    components: int
    bit_depth: int
    signed: bool
    num_decompositions: int
    color_transform: bool
    nlt_type: int
    uniform: bool
    dtype: np.dtype[Any] | None

def last_warnings() -> str:
    """Warnings OpenJPH raised during the most recent call."""

def _quantization(level: SupportsFloat | str | bytes | None) -> tuple[float, int]: ...
def _max_decompositions(width: _IntLike, height: _IntLike, tile_w: _IntLike, tile_h: _IntLike) -> int: ...
def encode(
    data: ArrayLike,
    level: SupportsFloat | str | bytes | None = None,
    *,
    rgb: object = None,
    planar: object = None,
    tile: Iterable[_IntLike] | None = None,
    resolutions: _IntLike | None = None,
    reversible: object = None,
    tlm: object = None,
    tilepart: _IntLike | None = None,
    block_size: Iterable[_IntLike] | None = None,
    prog_order: str | None = None,
    profile: str | None = None,
    num_decomp: _IntLike | None = None,
) -> bytes:
    """Encode an ndarray as an HTJ2K codestream."""

def _encode_ex(
    data: ArrayLike,
    level: SupportsFloat | str | bytes | None = None,
    *,
    rgb: object = None,
    planar: object = None,
    tile: Iterable[_IntLike] | None = None,
    resolutions: _IntLike | None = None,
    reversible: object = None,
    tlm: object = None,
    tilepart: _IntLike | None = None,
    block_size: Iterable[_IntLike] | None = None,
    prog_order: str | None = None,
    profile: str | None = None,
    num_decomp: _IntLike | None = None,
    bits: _IntLike | None = None,
    origin: Iterable[_IntLike] | None = None,
    header_only: object = False,
) -> bytes:
    """Encode like ``encode``, with the coded precision and a part's geometry."""

def _reductions(reduce: _IntLike, skipres: _IntLike | Iterable[_IntLike] | None) -> tuple[int, int]: ...
def _output_dtype(bit_depth: _IntLike, is_signed: object, nlt_type: _IntLike) -> np.dtype[Any]: ...
def decode_info(
    data: _BytesLike,
    *,
    reduce: _IntLike = 0,
    skipres: _IntLike | Iterable[_IntLike] | None = None,
    resilient: object = False,
) -> _Info:
    """Read the HTJ2K headers without decoding any samples."""

def _decode_target(out: Any, shape: Iterable[int], dtype: np.dtype[Any]) -> np.ndarray: ...
def decode(
    data: _BytesLike,
    *,
    ignore_unsupported: object = False,
    reduce: _IntLike = 0,
    planar: object = None,
    skipres: _IntLike | Iterable[_IntLike] | None = None,
    resilient: object = False,
    out: Any = None,
    numthreads: int | None = None,
    _tile: object = False,
) -> np.ndarray:
    """Decode an HTJ2K codestream to an ndarray."""
def _decode_checked(data: _BytesLike, keywords: dict[str, Any] | None = None,
                    strict: object = False, stacklevel: _IntLike = 0) -> np.ndarray:
    """``decode(data, **keywords)``, with OpenJPH's warnings judged for a caller."""

# One new dict per component, which callers may extend: "width", "height" (int),
# "subsampling" (tuple[int, int]), "bit_depth" (int), "signed" (bool), "nlt_type" (int).
def _components_info(data: _BytesLike, reduce_data: _IntLike, reduce_recon: _IntLike,
                     resilient: object) -> list[dict[str, Any]]: ...
def _decode_components(data: _BytesLike, reduce_data: _IntLike, reduce_recon: _IntLike,
                       resilient: object) -> tuple[list[np.ndarray], str]: ...
def _decode_components_checked(data: _BytesLike, reduce_data: _IntLike, reduce_recon: _IntLike,
                               resilient: object, strict: object,
                               stacklevel: _IntLike = 0) -> list[np.ndarray]: ...
def _encode_components(arrays: list[np.ndarray], geometry: tuple[int, int, list[tuple[int, int, int]]],
                       settings: dict[str, Any]) -> bytes: ...
def _encode_settings(where: str, width: _IntLike, height: _IntLike, components: _IntLike,
                     level: SupportsFloat | str | bytes | None, keywords: dict[str, Any], *,
                     planar: object = False, is_float: object = False,
                     subsampling: list[tuple[int, int]] | None = None, tile_w: _IntLike = 0,
                     tile_h: _IntLike = 0) -> dict[str, Any]: ...
def _dtype_coded(dtype: Any) -> bool: ...
def _planar_default(first: _IntLike, last: _IntLike) -> bool: ...
def _lossy_settings(dtype: Any, bits: _IntLike | None, components: _IntLike,
                    decompositions: _IntLike, level: SupportsFloat | str | bytes | None,
                    value_range: tuple[float, float] | None = None) -> tuple[float, int]:
    """The irreversible quantization OpenJPH codes correctly for this data."""
def _encode_lossy(
    data: ArrayLike,
    level: SupportsFloat | str | bytes | None = None,
    *,
    rgb: object = None,
    planar: object = None,
    tile: Iterable[_IntLike] | None = None,
    resolutions: _IntLike | None = None,
    reversible: object = None,
    tlm: object = None,
    tilepart: _IntLike | None = None,
    block_size: Iterable[_IntLike] | None = None,
    prog_order: str | None = None,
    profile: str | None = None,
    num_decomp: _IntLike | None = None,
    bits: _IntLike | None = None,
    origin: Iterable[_IntLike] | None = None,
    header_only: object = False,
    value_range: tuple[float, float] | None = None,
) -> bytes:
    """Encode like ``_encode_ex``, with the lossy rule applied."""
def _decode_rows(data: _BytesLike, data_r: _IntLike, recon_r: _IntLike, resilient: object,
                 planar: object, window: tuple[int, int, int, int],
                 dest: np.ndarray) -> np.ndarray: ...
def _judge_warnings(text: str, strict: object = False, ignore_unsupported: object = False,
                    stacklevel: _IntLike = 0) -> None:
    """Judge OpenJPH's warning lines as decode judges its own."""
