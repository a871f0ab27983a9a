"""Record what a few hundred calls of the codec module return, to compare builds.

Every case calls ``ferroglyph.codecs._openjph`` (and the public per-component
encoder, whose keyword rules live in the module) with fixed inputs and records
the outcome: a digest of the bytes or samples returned, or the exception's type
and text, plus the warnings raised.  Run it with two interpreters (two
installed builds) and compare the files:

    python tools/differential.py --out before.json          # one build
    python tools/differential.py --out after.json           # the other
    python tools/differential.py --compare before.json after.json

The comparison lists every case that differs; cases whose texts differ only
in a bridge return code ``(rc=N)`` are counted apart, since those numbers are
the bridge's to renumber in its newer exports.
"""

from __future__ import annotations

import argparse
import hashlib
import itertools
import json
import re
import sys
import warnings
from collections.abc import Callable, Iterator
from functools import partial
from typing import Any

import numpy as np

Case = tuple[str, Callable[[], Any]]


def _digest(value: Any) -> Any:
    """A JSON-able summary of a call's result."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        value = bytes(value)
        return {"bytes": len(value), "sha256": hashlib.sha256(value).hexdigest()}
    if isinstance(value, np.ndarray):
        data = np.ascontiguousarray(value).tobytes()
        return {"array": list(value.shape), "dtype": value.dtype.str,
                "sha256": hashlib.sha256(data).hexdigest()}
    if isinstance(value, dict):
        return {str(k): _digest(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_digest(v) for v in value]
    if isinstance(value, np.dtype):
        return {"dtype": value.str}
    if isinstance(value, (bool, int, float, str)) or value is None:
        return value
    return repr(value)


def _run(fn: Callable[[], Any]) -> dict[str, Any]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            outcome: dict[str, Any] = {"result": _digest(fn())}
        except Exception as e:  # noqa: BLE001 (every exception is an outcome to record)
            outcome = {"raises": type(e).__name__, "text": str(e)}
    outcome["warnings"] = sorted({f"{w.category.__name__}: {w.message}" for w in caught})
    return outcome


def _images() -> dict[str, np.ndarray]:
    rng = np.random.default_rng(20)
    y, x = np.mgrid[0:37, 0:45]
    smooth = (x * 5 + y * 3).astype(np.uint16)
    out = {
        "u8": rng.integers(0, 256, (37, 45), dtype=np.uint8),
        "i8": rng.integers(-128, 128, (37, 45), dtype=np.int8),
        "u16": smooth,
        "i16": (smooth.astype(np.int16) - 200),
        "u32": rng.integers(0, 2**32, (21, 19), dtype=np.uint32),
        "i32": rng.integers(-(2**31), 2**31, (21, 19), dtype=np.int32),
        "f32": (np.sin(x / 7.0) * np.cos(y / 5.0)).astype(np.float32),
        "rgb8": rng.integers(0, 256, (33, 40, 3), dtype=np.uint8),
        "rgba16": rng.integers(0, 4096, (24, 30, 4), dtype=np.uint16),
        "planar5": rng.integers(0, 256, (2, 20, 25), dtype=np.uint8),
        "swapped": smooth.astype(">u2"),
        "strided": rng.integers(0, 256, (40, 50), dtype=np.uint8)[::2, 1::3],
    }
    return out


def _encode_cases(op: Any, images: dict[str, np.ndarray]) -> Iterator[Case]:
    keywords: list[dict[str, Any]] = [
        {}, {"level": 90}, {"level": 50}, {"level": 0.01}, {"level": 1e-6}, {"level": "90"},
        {"level": 100}, {"level": 150}, {"level": float("nan")}, {"reversible": True},
        {"reversible": False}, {"level": 80, "reversible": True}, {"rgb": True}, {"rgb": False},
        {"planar": True}, {"planar": False}, {"tile": (16, 16)}, {"tile": (8, 0)},
        {"tile": (1, 1)}, {"resolutions": 2}, {"resolutions": 0}, {"num_decomp": 0},
        {"num_decomp": 3}, {"num_decomp": -1}, {"num_decomp": 33}, {"num_decomp": -1.5},
        {"num_decomp": 2, "resolutions": 2}, {"tlm": True, "tile": (16, 16)},
        {"tilepart": 1}, {"tilepart": 3, "tile": (16, 16)}, {"tilepart": -1},
        {"block_size": (32, 32)}, {"block_size": (4, 4)}, {"block_size": (3, 3)},
        {"prog_order": "rpcl"}, {"prog_order": "XYZ"}, {"prog_order": 5}, {"profile": "imf"},
        {"profile": "broadcast"}, {"profile": "nope"}, {"tile": (3,)}, {"tile": "ab"},
    ]
    for (name, img), kw in itertools.product(images.items(), keywords):
        yield f"encode {name} {kw!r}", partial(op.encode, img, **kw)
    bad_inputs = {
        "bool": np.zeros((4, 4), bool), "f64": np.zeros((4, 4)), "i64": np.zeros((4, 4), np.int64),
        "c64": np.zeros((4, 4), np.complex64), "empty": np.zeros((0, 4), np.uint8),
        "1d": np.zeros(5, np.uint8), "0d": np.uint8(3), "4d": np.zeros((2, 2, 2, 2), np.uint8),
        "list": [[1, 2], [3, 4]], "f16": np.zeros((4, 4), np.float16),
        "many": np.zeros((16385, 1, 2), np.uint8),
    }
    for name, data in bad_inputs.items():
        yield f"encode bad {name}", partial(op.encode, data)
        yield f"encode_ex bad {name}", partial(op._encode_ex, data, bits=8)
    u16 = images["u16"]
    ex_keywords: list[dict[str, Any]] = [
        {"bits": 12}, {"bits": 17}, {"bits": 0}, {"origin": (32, 64), "tile": (32, 32)},
        {"origin": (-1, 0), "tile": (32, 32)}, {"origin": (0, 32), "tile": (32, 32),
                                                "header_only": True},
        {"origin": (32, 32), "tile": (32, 32), "profile": "IMF"},
        {"origin": (32, 32), "tile": (32, 32), "profile": "IMF", "header_only": True},
        {"origin": (1, 2)}, {"origin": (0, 0), "level": 90, "tlm": True},
        {"origin": (32, 32), "tile": (32, 32), "block_size": (3, 3)},
        {"origin": (32, 32), "tile": (32, 32), "num_decomp": 0},
        {"origin": (0, 32), "tile": (32, 32), "num_decomp": 40, "header_only": True},
    ]
    for kw in ex_keywords:
        yield f"encode_ex u16 {kw!r}", partial(op._encode_ex, u16, **kw)
    yield "encode_ex rgb origin", lambda: op._encode_ex(images["rgb8"], origin=(0, 16), tile=(16, 16))


def _codestreams(op: Any, images: dict[str, np.ndarray]) -> dict[str, bytes]:
    cs = {
        "u8": op.encode(images["u8"]),
        "u16 lossy": op.encode(images["u16"], level=90),
        "rgb": op.encode(images["rgb8"]),
        "rgb tiled": op.encode(images["rgb8"], tile=(16, 16), tlm=True),
        "f32": op.encode(images["f32"]),
        "i32": op.encode(images["i32"]),
        "planar": op.encode(images["planar5"], planar=True),
        "tileparts": op.encode(images["u16"], tile=(16, 16), tilepart=3),
    }
    return cs


def _decode_cases(op: Any, cs: dict[str, bytes]) -> Iterator[Case]:
    keywords: list[dict[str, Any]] = [
        {}, {"reduce": 1}, {"reduce": 2}, {"reduce": 9}, {"reduce": -1}, {"skipres": 1},
        {"skipres": (1, 0)}, {"skipres": (0, 1)}, {"planar": True}, {"planar": False},
        {"resilient": True}, {"numthreads": 2}, {"_tile": True},
    ]
    for (name, data), kw in itertools.product(cs.items(), keywords):
        yield f"decode {name} {kw!r}", partial(op.decode, data, **kw)
    for (name, data), kw in itertools.product(cs.items(), keywords[:8]):
        yield f"decode_info {name} {kw!r}", partial(op.decode_info, data, **kw)
    whole = cs["rgb tiled"]
    for cut in (0, 2, 10, 60, len(whole) // 3, len(whole) // 2, len(whole) - 3):
        part = whole[:cut]
        yield f"decode cut {cut}", partial(op.decode, part)
        yield f"decode cut {cut} resilient", partial(op.decode, part, resilient=True)
        yield f"decode_info cut {cut}", partial(op.decode_info, part)
    spoiled = bytearray(cs["u16 lossy"])
    for at in range(len(spoiled) // 2, len(spoiled) - 2, max(1, len(spoiled) // 20)):
        spoiled[at] ^= 0x5A
        frozen = bytes(spoiled)
        yield f"decode spoiled {at}", partial(op.decode, frozen)
    yield "decode str", lambda: op.decode("abc")
    yield "decode junk", lambda: op.decode(b"\xff\x4f\xff\x51" + bytes(60))
    yield "decode_info junk", lambda: op.decode_info(b"junk")
    out = np.zeros((33, 40, 3), np.uint8)
    yield "decode out", lambda: op.decode(cs["rgb"], out=out)
    yield "decode out small", lambda: op.decode(cs["rgb"], out=np.zeros((3, 3, 3), np.uint8))


def _component_cases(op: Any, cs: dict[str, bytes]) -> Iterator[Case]:
    import ferroglyph

    for (name, data), (rd, rr) in itertools.product(cs.items(), [(0, 0), (1, 1), (0, 2), (7, 7)]):
        yield (f"_components_info {name} {rd} {rr}",
               partial(op._components_info, data, rd, rr, False))
        yield (f"_decode_components {name} {rd} {rr}",
               partial(op._decode_components, data, rd, rr, False))
    yield "_decode_components junk", lambda: op._decode_components(b"\xff\x4f\xff\x51", 0, 0, False)
    rng = np.random.default_rng(24)
    luma = rng.integers(0, 1024, (32, 48), dtype=np.uint16)
    chroma = rng.integers(0, 1024, (32, 24), dtype=np.uint16)
    odd = rng.integers(0, 1024, (32, 16), dtype=np.uint16)
    sets = {"422": [luma, chroma, chroma], "444": [luma, luma, luma], "odd": [luma, odd, odd],
            "one": [luma], "i8": [rng.integers(-128, 128, (16, 16), dtype=np.int8)] * 3}
    keywords: list[dict[str, Any]] = [
        {}, {"level": 90}, {"level": 0.02}, {"level": "90"}, {"level": 60, "reversible": True},
        {"reversible": False}, {"rgb": True}, {"rgb": 1}, {"resolutions": 2}, {"resolutions": 9},
        {"num_decomp": 0}, {"num_decomp": 0, "rgb": True}, {"num_decomp": -2},
        {"num_decomp": 2, "resolutions": 3}, {"tile": (16, 16)}, {"tile": (16, 16), "tlm": True},
        {"tilepart": 1}, {"block_size": (16, 16)}, {"prog_order": "cprl"},
        {"prog_order": "bad"}, {"profile": "imf"}, {"profile": "x"}, {"bits": 10},
        {"bits": (10, 9, 9)}, {"bits": 1}, {"bits": 1, "level": 90}, {"numthreads": 0},
        {"colour": 1}, {"resolutions": 0, "reversible": False},
    ]
    for (name, arrays), kw in itertools.product(sets.items(), keywords):
        yield (f"encode_components {name} {kw!r}",
               partial(ferroglyph.encode_components, arrays, **kw))


def cases() -> Iterator[Case]:
    from ferroglyph.codecs import _openjph as op

    images = _images()
    yield from _encode_cases(op, images)
    cs = _codestreams(op, images)
    yield from _decode_cases(op, cs)
    yield from _component_cases(op, cs)
    yield "_quantization", lambda: [op._quantization(v) for v in (None, 0.5, 1e-6, 90, 150, "7")]
    yield "_max_decompositions", lambda: op._max_decompositions(100, 37, 16, 0)
    yield "_reductions", lambda: [op._reductions(r, s) for r, s in ((0, None), (1, 2), (2, (1, 3)))]
    yield "_output_dtype", lambda: [op._output_dtype(b, s, n) for b, s, n in
                                    ((8, False, 0), (12, True, 0), (32, True, 3), (33, False, 0))]
    tile_plan = op.__dict__["_tile_plan"]  # not in the module's stub
    yield "_tile_plan", partial(tile_plan, cs["rgb tiled"])
    yield "_tile_plan untiled", partial(tile_plan, cs["rgb"])


_RC = re.compile(r" \(rc=\d+\)$")


def compare(before_path: str, after_path: str) -> int:
    with open(before_path) as f:
        before = json.load(f)
    with open(after_path) as f:
        after = json.load(f)
    same = rc_only = 0
    differ = []
    for name in sorted(set(before) | set(after)):
        a, b = before.get(name), after.get(name)
        if a == b:
            same += 1
        elif (a is not None and b is not None and "text" in a and "text" in b
              and a["raises"] == b["raises"] and a["warnings"] == b["warnings"]
              and _RC.sub("", a["text"]) == _RC.sub("", b["text"])):
            rc_only += 1
            print(f"rc renumbered: {name}: {a['text']!r} -> {b['text']!r}")
        else:
            differ.append(name)
            print(f"DIFFERS: {name}\n  before: {a}\n  after:  {b}")
    print(f"{len(before)} cases before, {len(after)} after: {same} identical, "
          f"{rc_only} differ only in a bridge return code, {len(differ)} differ otherwise")
    return 1 if differ else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--out", help="run every case and write the outcomes to this JSON file")
    group.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"),
                       help="compare two files written by --out")
    args = parser.parse_args()
    if args.compare:
        return compare(*args.compare)
    outcomes: dict[str, Any] = {}
    for name, fn in cases():
        if name in outcomes:
            raise SystemExit(f"duplicate case name {name!r}")
        outcomes[name] = _run(fn)
    with open(args.out, "w") as f:
        json.dump(outcomes, f, indent=1, sort_keys=True)
    raised = sum("raises" in o for o in outcomes.values())
    print(f"{len(outcomes)} cases ({raised} raised) written to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
