"""Writes the starting inputs of the fuzz targets into a directory.

Seeds are small codestreams made by ferroglyph's encoder over many settings
and the codestreams of the shared test corpus beside the checkout (raw ones
and those inside .jph files), each also with a settings byte in front (see
fuzz_params.h) so that reduced, resilient, planar and narrow or wide decodes
are reached from the start.

    python fuzz/make_seeds.py OUTDIR [--corpus DIR] [--max-size BYTES]
"""
from __future__ import annotations

import argparse
import hashlib
import os
import struct
import sys

import numpy as np

from ferroglyph.codecs import _openjph as htj2k

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CORPUS = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "corpus"))

# Settings bytes: reduce 1 and 2, skipres, resilient, planar, 1/2/4-byte samples.
SETTINGS = (0x01, 0x02, 0x09, 0x10, 0x20, 0x40, 0x80, 0xC0, 0x31)


def encoder_seeds() -> list[bytes]:
    rng = np.random.default_rng(7)
    out = []

    def image(shape, dtype):
        info = np.iinfo(dtype) if np.dtype(dtype).kind in "iu" else None
        if info is None:
            return rng.standard_normal(shape).astype(dtype)
        return rng.integers(info.min, info.max, size=shape, dtype=dtype, endpoint=True)

    for dtype in (np.uint8, np.uint16, np.int16, np.uint32, np.int32, np.float32):
        out.append(htj2k.encode(image((24, 20), dtype)))
    rgb = image((32, 40, 3), np.uint8)
    out += [
        htj2k.encode(rgb),
        htj2k.encode(rgb, 80),
        htj2k.encode(rgb, 0.01),
        htj2k.encode(rgb, tile=(16, 16), tlm=True),
        htj2k.encode(rgb, tile=(16, 24), tilepart=1),
        htj2k.encode(rgb, tile=(8, 8), resolutions=2, prog_order="RPCL"),
        htj2k.encode(rgb, rgb=False, block_size=(8, 8), prog_order="CPRL"),
        htj2k.encode(image((3, 16, 16), np.uint16), planar=True, tile=(8, 8), tilepart=2),
        htj2k.encode(image((20, 20, 4), np.uint8), tile=(12, 12)),
        htj2k.encode(image((40, 24), np.uint16) >> 4, num_decomp=1),
        htj2k.encode(image((16, 16), np.float32), tile=(8, 8)),
        htj2k.encode(image((1, 33), np.uint8)),
    ]
    return out


def boxes(data: bytes):
    """(type, payload) of the top-level boxes of a JP2-family file."""
    pos = 0
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        header = 8
        if length == 1 and pos + 16 <= len(data):
            length = struct.unpack(">Q", data[pos + 8:pos + 16])[0]
            header = 16
        elif length == 0:
            length = len(data) - pos
        if length < header:
            return
        yield kind, data[pos + header:pos + length]
        pos += length


def corpus_seeds(corpus: str, max_size: int) -> list[bytes]:
    out = []
    if not os.path.isdir(corpus):
        return out
    for root, _, files in sorted(os.walk(corpus)):
        for name in sorted(files):
            path = os.path.join(root, name)
            if os.path.getsize(path) > 4 * max_size:
                continue
            with open(path, "rb") as f:
                data = f.read()
            if data[:2] == b"\xff\x4f":
                out.append(data)
            elif data[4:8] == b"jP  ":
                out += [payload for kind, payload in boxes(data) if kind == b"jp2c"]
    return [d for d in out if len(d) <= max_size]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir")
    parser.add_argument("--corpus", default=DEFAULT_CORPUS)
    parser.add_argument("--max-size", type=int, default=64 * 1024)
    args = parser.parse_args(argv)
    os.makedirs(args.outdir, exist_ok=True)
    streams = encoder_seeds() + corpus_seeds(args.corpus, args.max_size)
    count = 0
    for stream in streams:
        for prefix in (b"",) + tuple(bytes([s]) for s in SETTINGS):
            data = prefix + stream
            name = hashlib.sha1(data).hexdigest()
            with open(os.path.join(args.outdir, name), "wb") as f:
                f.write(data)
            count += 1
    print(f"{count} seeds from {len(streams)} codestreams in {args.outdir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
