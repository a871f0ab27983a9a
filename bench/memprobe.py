"""Peak resident memory of one codec call, measured in fresh processes.

    memprobe.py rss CMD...
        runs CMD as this process's only child and prints the child's peak
        resident set in KiB (getrusage(RUSAGE_CHILDREN).ru_maxrss)
    memprobe.py dec J2C CODEC
    memprobe.py enc RAW SHAPE DTYPE LEVEL TILE CODEC
        the ferroglyph workloads: load the input, then (CODEC=1) make the
        call and keep its result; CODEC=0 is the baseline that does the
        same except the call; CODEC=2 encodes with ferroglyph.encode (the
        tiles on every core)

A measurement is peak(CODEC=1) - peak(CODEC=0), each in its own process, so
the interpreter, NumPy, the module and the input cancel out.
"""

from __future__ import annotations

import resource
import subprocess
import sys


def rss(argv: list[str]) -> int:
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)
    return resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss


def workload(argv: list[str]) -> None:
    import numpy as np

    from ferroglyph.codecs import _openjph

    op = argv[0]
    if op == "dec":
        path, codec = argv[1], argv[2] == "1"
        with open(path, "rb") as f:
            data = f.read()
        result = _openjph.decode(data) if codec else None
    elif op == "enc":
        path, shape, dtype, level, tile, codec = argv[1:7]
        image = np.fromfile(path, dtype=np.dtype(dtype)).reshape(
            tuple(int(n) for n in shape.split("x")))
        lvl = None if level == "none" else float(level)
        tiles = None if tile == "none" else tuple(int(n) for n in tile.split("x"))
        if codec == "2":
            import ferroglyph
            result = ferroglyph.encode(image, lvl, tile=tiles)
        else:
            result = _openjph.encode(image, lvl, tile=tiles) if codec == "1" else None
    else:
        raise SystemExit(f"unknown workload {op}")
    del result


if __name__ == "__main__":
    if sys.argv[1] == "rss":
        print(rss(sys.argv[2:]))
    else:
        workload(sys.argv[1:])
