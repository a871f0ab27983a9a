"""HTJ2K as a numcodecs codec: ``numcodecs.get_codec({"id": "ferroglyph.htj2k"})``.

Each chunk becomes one HTJ2K codestream, lossless unless ``level`` says
otherwise. The codec is registered under the ``numcodecs.codecs`` entry point,
so a process that never imported ferroglyph finds it by its id (zarr 2 stores,
xarray, kerchunk and other numcodecs users)::

    import numcodecs
    codec = numcodecs.get_codec({"id": "ferroglyph.htj2k", "level": 90})

Needs the optional extra ``ferroglyph[zarr]`` (numcodecs).
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numcodecs.abc import Codec
from numcodecs.compat import ensure_contiguous_ndarray, ensure_ndarray_like

from ferroglyph._chunkcodec import CODEC_ID, Options, decode_into, options_of

__all__ = ["HTJ2K"]


class HTJ2K(Codec):  # type: ignore[misc]  # numcodecs ships no types: Codec is Any here
    """HTJ2K codec for numcodecs.

    Parameters
    ----------
    level : float, optional
        None (default): lossless. Below 1: irreversible quantization step.
        From 1 to 100: quality factor.
    psnr, ratio, max_bytes : optional
        A target for each chunk instead of ``level`` (at most one of the
        four), as for :func:`ferroglyph.encode`: ``ratio`` counts the
        chunk's bytes. Kept in the configuration only when set.
    bits : int, optional
        Code integer samples at this precision (e.g. 12 for 12-bit data in
        uint16); samples outside its range raise ValueError at encode time.
    tile : (int, int), optional
        Tile (width, height) inside each chunk.
    reversible : bool, optional
        Force the reversible (5/3) or irreversible (9/7) wavelet.
    numthreads : int, optional
        Threads for one chunk's tiles (default 1: zarr and dask already run
        chunks in parallel; None for all cores).
    **keywords
        Further options of :func:`ferroglyph.encode`: ``rgb``, ``resolutions``,
        ``tlm``, ``tilepart``, ``block_size``, ``prog_order``, ``profile``,
        ``num_decomp``.

    Notes
    -----
    Dtypes: uint8, int8, uint16, int16, uint32, int32 and float32 (coded as
    its bit patterns, lossless).

    Chunk layout: a 2-D chunk is one (H, W) image; a 3-D chunk is (H, W, C)
    with the components last. Leading axes of length 1 are dropped first, so
    a (1, H, W) chunk of an image stack is coded as one (H, W) image and a
    (1, 1, H, W, C) chunk as (H, W, C). Any other shape (1-D, or more than
    three axes longer than 1) raises ValueError: chunk the stack axes by 1.
    Without ``out``, ``decode`` returns the (H, W) or (H, W, C) image.
    """

    codec_id = CODEC_ID

    def __init__(
        self,
        level: float | None = None,
        bits: int | None = None,
        tile: Any = None,
        reversible: bool | None = None,
        numthreads: int | None = 1,
        **keywords: Any,
    ) -> None:
        self._options = Options(level, bits, tile, reversible, numthreads, **options_of(keywords))

    def encode(self, buf: Any) -> bytes:
        """One codestream for the chunk ``buf`` (an array; see the layout rule)."""
        return self._options.encode_chunk(ensure_ndarray_like(buf))

    def decode(self, buf: Any, out: Any = None) -> np.ndarray:
        """The decoded chunk, written into ``out`` when given (any shape of the same size)."""
        data = ensure_contiguous_ndarray(buf).view(np.uint8)
        if out is not None:
            out = ensure_ndarray_like(out)
        return decode_into(data, out)

    def get_config(self) -> dict[str, Any]:
        return {"id": self.codec_id, **self._options.config()}

    @classmethod
    def from_config(cls, config: dict[str, Any]) -> HTJ2K:
        config = dict(config)
        config.pop("id", None)
        return cls(**options_of(config))

    def __repr__(self) -> str:
        settings = ", ".join(f"{k}={v!r}" for k, v in self._options.config().items())
        return f"{type(self).__name__}({settings})"

