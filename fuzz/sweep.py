"""Truncation and mutation sweep of small codestreams, through the Python module.

    python fuzz/sweep.py [--quick] [--out DIR]

Small codestreams are encoded here (single-tile and multi-tile, with and
without the component transform).  Every prefix of each (0 to its full
length), single-byte mutations (every position with a few values; sampled
with --quick) and marker-segment length mutations (0, 1, 2, L-1, L+1, 0xFFFF)
go through ``decode_info`` and ``decode`` (resilient off and on); multi-tile
ones also through the tiled decode with two threads.  The calls run in a
child process (pychild.py): crashes, hangs and unexpected exception types are
saved under the output directory and reported, and so is every call slower
than 1 s beyond what its declared image size accounts for (pychild.SAMPLE_RATE;
a finding in the full run; --quick only lists them, since a shared CI machine
can stall any call).  Exit status 1 if anything was found.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pychild  # noqa: E402


SLOW = 1.0
BYTE_VALUES = (0x00, 0xFF, "x^01", "x^80", "+1")


def sweep_codestreams(quick: bool) -> list[tuple[str, bytes, bool]]:
    """(name, codestream, multi-tile) for the sweep: a few hundred bytes to a few KB."""
    import numpy as np

    import ferroglyph.codecs._openjph as ojph
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:32, 0:32]
    gray = ((x * 5 + y * 3) % 256).astype(np.uint8)
    rgb = np.stack([gray, gray[::-1], (gray // 2 + 40).astype(np.uint8)], -1)
    rgb = (rgb + rng.integers(0, 6, rgb.shape)).astype(np.uint8)
    made = [
        ("single-tile rgb, component transform", ojph.encode(rgb[:16, :16], 85), False),
        ("multi-tile rgb, component transform, tile-parts, TLM",
         ojph.encode(rgb, tile=(16, 16), tilepart=2, tlm=True, num_decomp=2), True),
    ]
    if not quick:
        made += [
            ("single-tile gray lossless", ojph.encode(gray[:16, :20]), False),
            ("single-tile 3 components, no transform, u16",
             ojph.encode(rgb[:12, :12].astype(np.uint16) * 64, rgb=False), False),
            ("multi-tile gray lossy", ojph.encode(gray, 70, tile=(16, 16), num_decomp=2), True),
            ("multi-tile rgb, no transform", ojph.encode(rgb, tile=(16, 32), rgb=False,
                                                         num_decomp=1), True),
        ]
    return made


def marker_lengths(cs: bytes) -> list[tuple[int, int, int]]:
    """(marker, offset, Lxxx) of the main-header segments and of every SOT."""
    import codestreams
    out = [(m, pos, length - 2)
           for m, pos, length in codestreams.main_header_segments(cs)]
    out += [(0xFF90, p.start, 10) for p in codestreams.tile_parts(cs)]
    return out


def calls(multi_tile: bool) -> list[tuple[str, dict]]:
    out = [("info", {}), ("decode", {"resilient": False}), ("decode", {"resilient": True})]
    if multi_tile:
        out += [("decode", {"numthreads": 2, "resilient": False, "compare": True}),
                ("decode", {"numthreads": 2, "resilient": True})]
    return out


def byte_mutations(cs: bytes, quick: bool, rng: random.Random):
    positions = list(range(len(cs)))
    if quick:
        # The headers (up to the first SOD) wholly, packet data sampled.
        sod = cs.find(b"\xff\x93")
        head = positions[:sod + 2] if sod > 0 else positions[:200]
        body = positions[len(head):]
        positions = head + sorted(rng.sample(body, min(len(body), 40)))
    for at in positions:
        old = cs[at]
        for v in BYTE_VALUES:
            new = {"x^01": old ^ 1, "x^80": old ^ 0x80, "+1": (old + 1) & 0xFF}.get(v, v)
            if new != old and (not quick or rng.random() < 0.35):
                yield at, bytes(cs[:at]) + bytes([new]) + bytes(cs[at + 1:])


def length_mutations(cs: bytes):
    for marker, at, length in marker_lengths(cs):
        for v in sorted({0, 1, 2, length - 1, length + 1, 0xFFFF} - {length}):
            yield marker, bytes(cs[:at + 2]) + v.to_bytes(2, "big") + bytes(cs[at + 4:])


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="a subset for CI (well under a minute)")
    ap.add_argument("--out", default=os.path.join(pychild.HERE, "findings"))
    args = ap.parse_args(argv)

    rng = random.Random(11)
    streams = sweep_codestreams(args.quick)
    runner = pychild.Runner(args.out, prefix="sweep", watchdog=60.0, slow=SLOW,
                            slow_findings=not args.quick)
    truncations = mutations = 0
    start = time.monotonic()
    with runner:
        for name, cs, multi in streams:
            print(f"{name}: {len(cs)} bytes", flush=True)
            ops = calls(multi)
            step = 4 if args.quick else 1
            for n in list(range(0, len(cs), step)) + [len(cs)]:
                truncations += 1
                for op, kw in ops:
                    runner.call(cs[:n], op, **kw)
            for _, data in byte_mutations(cs, args.quick, rng):
                mutations += 1
                for op, kw in ops:
                    runner.call(data, op, **kw)
            for _, data in length_mutations(cs):
                mutations += 1
                for op, kw in ops:
                    runner.call(data, op, **kw)
        elapsed = time.monotonic() - start
    return runner.finish(f"truncation points: {truncations}, mutations: {mutations}", elapsed)


if __name__ == "__main__":
    sys.exit(main())
