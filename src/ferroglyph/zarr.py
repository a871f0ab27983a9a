"""HTJ2K as a zarr 3 array-to-bytes codec: each chunk stored as one HTJ2K codestream.

::

    import zarr, ferroglyph.zarr
    z = zarr.create_array(store, shape=(8192, 8192, 3), chunks=(1024, 1024, 3),
                          dtype="uint8", serializer=ferroglyph.zarr.HTJ2K())

The codec is registered under zarr's ``zarr.codecs`` entry point with the name
``ferroglyph.htj2k``, so a process that opens the store finds it without
importing ferroglyph. Chunks at the array's border are stored padded to the
full chunk shape (zarr's rule for every codec) and read back exactly.

Needs the optional extra ``ferroglyph[zarr]`` (zarr 3, CPython 3.11 or later).
"""

from __future__ import annotations

import asyncio
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from zarr.abc.codec import ArrayBytesCodec
from zarr.core.common import parse_named_configuration

from ferroglyph._chunkcodec import (
    CODEC_ID,
    Options,
    check_dtype,
    decode_into,
    image_shape,
    options_of,
)

if TYPE_CHECKING:
    from typing import Self

    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer
    from zarr.core.common import JSON

__all__ = ["HTJ2K"]


@dataclass(frozen=True)
class HTJ2K(Options, ArrayBytesCodec):
    """HTJ2K serializer for zarr 3 arrays; lossless by default.

    The configuration is the dataclass's fields, as in zarr's own codecs:
    ``level``, ``bits``, ``tile``, ``reversible``, ``numthreads`` (default 1)
    and the further keywords of :func:`ferroglyph.encode` (``rgb``,
    ``resolutions``, ``tlm``, ``tilepart``, ``block_size``, ``prog_order``,
    ``profile``, ``num_decomp``, and a target instead of ``level``: ``psnr``,
    ``ratio`` or ``max_bytes``), each read when the codec is made; they mean
    what they mean for :class:`ferroglyph.numcodecs.HTJ2K`, and so does the
    chunk layout: (H, W) or (H, W, C) after dropping leading axes of length 1,
    so chunk the stack axes of image stacks by 1. Dtypes: uint8, int8, uint16,
    int16, uint32, int32, float32; other dtypes and chunk shapes are refused
    when the array is created.
    """

    is_fixed_size = False

    @classmethod
    def from_dict(cls, data: dict[str, JSON]) -> Self:
        _, configuration = parse_named_configuration(data, CODEC_ID, require_configuration=False)
        return cls(**options_of(configuration or {}))

    def to_dict(self) -> dict[str, JSON]:
        return {"name": CODEC_ID, "configuration": self.config()}

    def validate(self, *, shape: tuple[int, ...], dtype: Any, chunk_grid: Any) -> None:
        check_dtype(dtype.to_native_dtype())
        chunk_shape = getattr(chunk_grid, "chunk_shape", None)
        if chunk_shape is not None:
            image_shape(tuple(chunk_shape))
        elif len(shape) < 2:
            image_shape(tuple(shape))

    def _decode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        dtype = chunk_spec.dtype.to_native_dtype()
        out = np.empty(chunk_spec.shape, dtype=dtype.newbyteorder("="))
        decode_into(chunk_bytes.as_numpy_array(), out)
        if out.dtype != dtype:
            out = out.astype(dtype)
        return chunk_spec.prototype.nd_buffer.from_ndarray_like(out)

    def _encode_sync(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        codestream = self.encode_chunk(chunk_array.as_numpy_array())
        return chunk_spec.prototype.buffer.from_bytes(codestream)

    # The codec releases the interpreter lock: run it on a worker thread so the
    # event loop and other chunks go on meanwhile (as zarr's own compressors do).
    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        return await asyncio.to_thread(self._decode_sync, chunk_bytes, chunk_spec)

    async def _encode_single(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        return await asyncio.to_thread(self._encode_sync, chunk_array, chunk_spec)

    def compute_encoded_size(self, input_byte_length: int, _chunk_spec: ArraySpec) -> int:
        raise NotImplementedError
