"""A seeded mutation fuzzer of the codec, through the Python module.

    python fuzz/pyfuzz.py --seconds N [--seed S] [--out DIR]

Seeds are codestreams encoded here over many settings (sample types,
component counts, reversible or not, small tiles, TLM, tile-parts, code-block
sizes, progression orders) and the raw codestreams of the shared corpus.
Each input is a seed with one to three mutations (bit flips, random bytes,
marker-segment length edits, inserts, deletes, truncations, splices of two
seeds, edits of SIZ, COD and SOT fields); it goes through ``decode_info``,
``decode`` (resilient or not, reduced, sometimes into a caller's buffer) and,
for multi-tile seeds, the tiled decode with two threads and the tile planner.
The calls run in a child process (pychild.py); crashes, hangs and unexpected
exception types are saved under the output directory and reported.  The
sequence of inputs depends only on ``--seed``.  Exit status 1 if anything was
found.
"""

from __future__ import annotations

import argparse
import os
import random
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pychild  # noqa: E402


# Marker segments that carry a length (a tolerant scan finds them anywhere).
SEGMENT_MARKERS = frozenset([
    0xFF50, 0xFF51, 0xFF52, 0xFF53, 0xFF55, 0xFF57, 0xFF58, 0xFF59, 0xFF5C, 0xFF5D,
    0xFF5E, 0xFF5F, 0xFF60, 0xFF61, 0xFF63, 0xFF64, 0xFF72, 0xFF73, 0xFF74, 0xFF76,
    0xFF78, 0xFF90])
SIZ_U32 = (8, 12, 16, 20, 24, 28, 32, 36)  # Xsiz ... YTOsiz, from SOC
INTERESTING_U32 = (0, 1, 2, 3, 7, 8, 31, 32, 33, 63, 64, 255, 256, 4095, 65535, 65536,
                   0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF)
INTERESTING_BYTES = (0x00, 0x01, 0x02, 0x7F, 0x80, 0xFE, 0xFF, 0x4F, 0x51, 0x52, 0x90, 0x93,
                     0xD9)


# ---------------------------------------------------------------------------
# Seeds


def encoded_seeds(rng: random.Random) -> list[tuple[str, bytes]]:
    import numpy as np

    import ferroglyph.codecs._openjph as ojph
    gen = np.random.default_rng(rng.randrange(1 << 32))

    def image(h, w, c, dtype):
        y, x = np.mgrid[0:h, 0:w]
        base = (x * 7 + y * 3).astype(np.float64)
        shape = (h, w) if c == 1 else (h, w, c)
        noise = gen.normal(0, 8, shape)
        if c > 1:
            base = base[..., None] * np.arange(1, c + 1)
        dt = np.dtype(dtype)
        if dt.kind == "f":
            return (base + noise).astype(dt) / 37.0
        info = np.iinfo(dt)
        span = min(float(info.max) - float(info.min), 4095.0 if dt.itemsize > 1 else 255.0)
        return np.clip(info.min + (base + noise) % span if info.min < 0 else (base + noise) % span,
                       info.min, info.max).astype(dt)

    settings = [
        ("u8 gray", (24, 31, 1, "u1"), {}),
        ("u8 rgb lossless", (32, 32, 3, "u1"), {}),
        ("u8 rgb lossy", (40, 33, 3, "u1"), {"level": 80}),
        ("u8 rgba", (20, 20, 4, "u1"), {}),
        ("u16 gray lossy", (33, 17, 1, "u2"), {"level": 60}),
        ("i16 rgb", (16, 24, 3, "i2"), {}),
        ("u32 gray", (12, 20, 1, "u4"), {}),
        ("i32 4c", (12, 12, 4, "i4"), {}),
        ("f32 gray", (16, 16, 1, "f4"), {}),
        ("f32 3c lossy", (16, 16, 3, "f4"), {"level": 0.01}),
        ("tiled 16", (48, 40, 1, "u1"), {"tile": (16, 16)}),
        ("tiled rgb tlm", (40, 40, 3, "u1"), {"tile": (24, 16), "tlm": True}),
        ("tiled parts res", (40, 36, 1, "u1"), {"tile": (16, 16), "tilepart": 1}),
        ("tiled parts comp tlm", (32, 32, 3, "u1"), {"tile": (16, 16), "tilepart": 2,
                                                      "tlm": True}),
        ("tiled parts both", (32, 32, 3, "u2"), {"tile": (16, 32), "tilepart": 3}),
        ("tiled lossy rgb", (40, 40, 3, "u1"), {"tile": (20, 20), "level": 70, "rgb": True}),
        ("tiled f32", (32, 32, 1, "f4"), {"tile": (16, 16)}),
        ("cb 4x128", (24, 40, 1, "u1"), {"block_size": (4, 128)}),
        ("cb 64x16 RPCL", (33, 33, 3, "u1"), {"block_size": (64, 16), "prog_order": "RPCL"}),
        ("PCRL tiled", (32, 32, 3, "u1"), {"prog_order": "PCRL", "tile": (16, 16)}),
        ("CPRL", (20, 28, 3, "u1"), {"prog_order": "CPRL"}),
        ("LRCP decomp 1", (20, 28, 1, "u1"), {"prog_order": "LRCP", "num_decomp": 1}),
        ("RLCP decomp 8", (40, 8, 1, "u2"), {"prog_order": "RLCP", "num_decomp": 8}),
        ("lossy decomp 0", (16, 16, 1, "u1"), {"level": 90, "num_decomp": 0}),
        ("no ct", (16, 16, 3, "u1"), {"rgb": False}),
        ("wide", (3, 70, 1, "u1"), {}),
        ("tall 1x", (60, 1, 1, "u1"), {}),
    ]
    seeds = []
    for name, (h, w, c, dt), kw in settings:
        level = kw.pop("level", None)
        try:
            seeds.append((name, ojph.encode(image(h, w, c, dt), level, **kw)))
        except (ojph.OpenJphError, ValueError) as e:
            print(f"seed {name!r} not made: {e}", file=sys.stderr)
    return seeds


def corpus_seeds(max_bytes: int = 300_000) -> list[tuple[str, bytes]]:
    """The raw codestreams of the shared corpus (JPH/JP2 files unwrapped), up to a size."""
    import codestreams
    seeds = []
    if not os.path.isdir(pychild.CORPUS):
        return seeds
    for dirpath, _, files in sorted(os.walk(pychild.CORPUS)):
        for name in sorted(files):
            if not name.endswith((".j2c", ".j2k", ".jph", ".jhc", ".jp2")):
                continue
            path = os.path.join(dirpath, name)
            if os.path.getsize(path) > max_bytes:
                continue
            with open(path, "rb") as f:
                try:
                    cs = codestreams.raw_codestream(f.read())
                except ValueError:
                    continue
            seeds.append((os.path.relpath(path, pychild.CORPUS), cs))
    return seeds


def is_multi_tile(cs: bytes) -> bool:
    if len(cs) < 40 or cs[:4] != b"\xff\x4f\xff\x51":
        return False
    xsiz, ysiz, _xo, _yo, xt, yt, xto, yto = struct.unpack_from(">8I", cs, 8)
    if xt == 0 or yt == 0:
        return False
    return -(-(xsiz - xto) // xt) * -(-(ysiz - yto) // yt) > 1


# ---------------------------------------------------------------------------
# Mutations


def segments(data: bytes) -> list[tuple[int, int, int]]:
    """(marker, offset, length field) of everything that looks like a marker segment."""
    out = []
    at = data.find(b"\xff")
    while 0 <= at < len(data) - 3:
        marker = data[at] << 8 | data[at + 1]
        if marker in SEGMENT_MARKERS:
            out.append((marker, at, data[at + 2] << 8 | data[at + 3]))
        at = data.find(b"\xff", at + 1)
    return out


def _byte(rng):
    return rng.choice(INTERESTING_BYTES) if rng.random() < 0.5 else rng.randrange(256)


def _u32(rng, old):
    r = rng.random()
    if r < 0.5:
        return rng.choice(INTERESTING_U32)
    if r < 0.8:
        return (old + rng.choice((-1, 1, -2, 2, 16, -16))) & 0xFFFFFFFF
    return rng.randrange(1 << rng.choice((4, 8, 16, 32)))


def flip_bits(rng, d, seeds):
    for _ in range(rng.randint(1, 8)):
        i = rng.randrange(len(d))
        d[i] ^= 1 << rng.randrange(8)


def random_bytes(rng, d, seeds):
    for _ in range(rng.randint(1, 4)):
        d[rng.randrange(len(d))] = _byte(rng)


def segment_byte(rng, d, seeds):
    """A random byte inside some marker segment's body."""
    segs = [s for s in segments(bytes(d)) if s[2] > 2 and s[1] + 4 < len(d)]
    if not segs:
        return random_bytes(rng, d, seeds)
    _, at, length = rng.choice(segs)
    i = at + 4 + rng.randrange(length - 2)
    if i < len(d):
        d[i] = _byte(rng)


def marker_length(rng, d, seeds):
    segs = segments(bytes(d))
    if not segs:
        return random_bytes(rng, d, seeds)
    _, at, length = rng.choice(segs)
    value = rng.choice((0, 1, 2, 3, length - 1, length + 1, length - 2, length + 2, 0xFFFF,
                        rng.randrange(65536)))
    d[at + 2:at + 4] = struct.pack(">H", value & 0xFFFF)


def insert(rng, d, seeds):
    at = rng.randrange(len(d) + 1)
    if rng.random() < 0.5:
        d[at:at] = bytes(_byte(rng) for _ in range(rng.randint(1, 16)))
    else:  # a copy of some other stretch
        s = rng.randrange(len(d))
        d[at:at] = d[s:s + rng.randint(1, 64)]


def delete(rng, d, seeds):
    at = rng.randrange(len(d))
    del d[at:at + rng.choice((1, 1, 2, 4, 12, rng.randint(1, 256)))]


def truncate(rng, d, seeds):
    del d[rng.randrange(len(d) + 1):]


def splice(rng, d, seeds):
    _, other = rng.choice(seeds)
    if rng.random() < 0.5:
        # At marker boundaries: the head of one, the tail of the other.
        mine, theirs = segments(bytes(d)), segments(other)
        if mine and theirs:
            a = rng.choice(mine)[1]
            b = rng.choice(theirs)[1]
            d[a:] = other[b:]
            return
    a, b = rng.randrange(len(d) + 1), rng.randrange(len(other) + 1)
    d[a:] = other[b:]


def siz_field(rng, d, seeds):
    if bytes(d[:4]) != b"\xff\x4f\xff\x51" or len(d) < 45:
        return random_bytes(rng, d, seeds)
    r = rng.random()
    if r < 0.6:
        at = rng.choice(SIZ_U32)
        (old,) = struct.unpack_from(">I", d, at)
        struct.pack_into(">I", d, at, _u32(rng, old))
    elif r < 0.8:  # Csiz
        struct.pack_into(">H", d, 40, rng.choice((0, 1, 2, 3, 4, 5, 255, 256, 16384, 16385,
                                                  65535, rng.randrange(65536))))
    else:  # a component's Ssiz, XRsiz or YRsiz
        (csiz,) = struct.unpack_from(">H", d, 40)
        at = 42 + 3 * rng.randrange(max(1, min(csiz, 8))) + rng.randrange(3)
        if at < len(d):
            d[at] = rng.choice((0, 1, 2, 7, 15, 31, 32, 37, 0x80, 0x87, 0x9F, 0xA6, 0xFF, 3))


# COD field offsets from the marker: Scod 4, progression 5, layers 6-7, MCT 8,
# levels 9, xcb 10, ycb 11, style 12, wavelet 13.
COD_FIELDS = {
    4: (0, 1, 2, 4, 6, 7, 0x18, 0xFF),
    5: tuple(range(8)) + (0x7F, 0xFF),
    8: (0, 1, 2, 0xFF),
    9: (0, 1, 5, 6, 15, 31, 32, 33, 64, 255),
    10: (0, 1, 2, 3, 4, 5, 8, 9, 15, 255),
    11: (0, 1, 2, 3, 4, 5, 8, 9, 15, 255),
    12: (0, 0x40, 0x41, 0x48, 0x7F, 0xC0, 0xFF),
    13: (0, 1, 2, 255),
}


def cod_field(rng, d, seeds):
    cods = [s for s in segments(bytes(d)) if s[0] in (0xFF52, 0xFF53)]
    if not cods:
        return siz_field(rng, d, seeds)
    marker, at, _ = rng.choice(cods)
    if marker == 0xFF53:  # COC: Ccoc (1 byte up to 256 components), Scoc, levels, xcb, ycb
        i = at + 4 + rng.randrange(1, 6)
        if i < len(d):
            d[i] = rng.choice((0, 1, 2, 5, 9, 32, 33, 255))
        return
    off = rng.choice(list(COD_FIELDS))
    if off == 5 and rng.random() < 0.5:
        struct.pack_into(">H", d, at + 6, rng.choice((0, 1, 2, 0xFFFF))) if at + 8 <= len(d) \
            else None
        return
    if at + off < len(d):
        d[at + off] = rng.choice(COD_FIELDS[off]) if rng.random() < 0.8 else rng.randrange(256)


def sot_field(rng, d, seeds):
    sots = [s for s in segments(bytes(d)) if s[0] == 0xFF90 and s[1] + 12 <= len(d)]
    if not sots:
        return cod_field(rng, d, seeds)
    _, at, _ = rng.choice(sots)
    r = rng.randrange(4)
    if r == 0:  # Isot
        struct.pack_into(">H", d, at + 4, rng.choice((0, 1, 2, 3, 4, 255, 65534, 65535)))
    elif r == 1:  # Psot
        (old,) = struct.unpack_from(">I", d, at + 6)
        struct.pack_into(">I", d, at + 6, rng.choice((0, 1, 12, 13, 14, old - 1, old + 1,
                                                      0xFFFFFFFF, old * 2)) & 0xFFFFFFFF)
    else:  # TPsot, TNsot
        d[at + 10 + (r - 2)] = rng.choice((0, 1, 2, 5, 254, 255))


MUTATORS = [
    (flip_bits, 3), (random_bytes, 3), (segment_byte, 3), (marker_length, 3), (insert, 1),
    (delete, 1), (truncate, 2), (splice, 1), (siz_field, 3), (cod_field, 3), (sot_field, 2),
]
_FUNCS = [f for f, _ in MUTATORS]
_WEIGHTS = [w for _, w in MUTATORS]


def mutate(rng: random.Random, seed: bytes, seeds) -> tuple[bytes, list[str]]:
    d = bytearray(seed)
    names = []
    for _ in range(rng.choice((1, 1, 1, 2, 2, 3))):
        if not d:
            break
        f = rng.choices(_FUNCS, _WEIGHTS)[0]
        f(rng, d, seeds)
        names.append(f.__name__)
    return bytes(d), names


# ---------------------------------------------------------------------------
# Calls


def calls_for(rng: random.Random, multi_tile: bool) -> list[tuple[str, dict]]:
    resilient = rng.random() < 0.4
    reduce = rng.choice((0, 0, 0, 0, 1, 2, 3, 6, 33))
    out = []
    if rng.random() < 0.5:
        out.append(("info", {"reduce": rng.choice((0, 0, 1, 5)), "resilient": resilient}))
    kw = {"resilient": resilient}
    if reduce:
        kw["reduce"] = reduce
    r = rng.random()
    if r < 0.15:
        kw["out"] = rng.choice(("fit", "fit", "small", "dtype"))
    elif r < 0.25:
        kw["ignore_unsupported"] = True
    elif r < 0.3:
        kw["planar"] = True
    out.append(("decode", kw))
    if multi_tile:
        tkw = {"numthreads": 2, "resilient": resilient, "compare": not resilient}
        if rng.random() < 0.2:
            tkw["out"] = "fit"
        out.append(("decode", tkw))
        if rng.random() < 0.5:
            out.append(("tiles", {"decode_tiles": rng.random() < 0.3}))
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, required=True)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--out", default=os.path.join(pychild.HERE, "findings"))
    ap.add_argument("--watchdog", type=float, default=60.0)
    args = ap.parse_args(argv)

    rng = random.Random(args.seed)
    made = encoded_seeds(rng)
    corpus = corpus_seeds()
    seeds = made + corpus
    print(f"seeds: {len(made)} encoded, {len(corpus)} from the corpus", flush=True)
    runner = pychild.Runner(args.out, prefix="py", watchdog=args.watchdog, slow=1.0,
                            slow_findings=False)
    start = time.monotonic()
    inputs = 0
    with runner:
        # The unmutated seeds first, once each.
        for name, seed in seeds:
            runner.call(seed, "info")
            runner.call(seed, "decode", resilient=False)
            if is_multi_tile(seed):
                runner.call(seed, "decode", numthreads=2, compare=True)
        while time.monotonic() - start < args.seconds:
            # Encoded seeds twice as often as corpus files (smaller and quicker).
            pool = made if (rng.random() < 0.7 or not corpus) else corpus
            _, seed = rng.choice(pool)
            data, _ = mutate(rng, seed, seeds)
            inputs += 1
            for op, kw in calls_for(rng, is_multi_tile(data) or is_multi_tile(seed)):
                runner.call(data, op, **kw)
        elapsed = time.monotonic() - start
    return runner.finish(f"mutated inputs: {inputs}", elapsed)


if __name__ == "__main__":
    sys.exit(main())
