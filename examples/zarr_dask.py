"""Compress a large image into a zarr store of HTJ2K chunks with dask, then read it back.

The image (16384 x 16384 x 3 uint8 by default, 768 MiB) is never held in memory:
each chunk is cut from a photograph repeated in mirror image (the Kodak
photograph of the shared test corpus when it is beside the checkout, a
synthetic picture otherwise). The same job runs on dask's threaded scheduler
and on dask.distributed (a LocalCluster of worker processes here, or any
cluster with --scheduler), which is how ferroglyph work scales past one core
and past one machine: each chunk is one independent encode or decode.

    python examples/zarr_dask.py --size 4096
    python examples/zarr_dask.py --schedulers distributed --scheduler tcp://host:8786 --store /shared/img.zarr

Needs ``pip install ferroglyph[zarr]``.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import shutil
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
PHOTO = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "corpus", "openhtj2k_data",
                                      "references", "kodim23.ppm"))


def read_pnm(path: str) -> np.ndarray:
    """A binary PGM (P5) or PPM (P6), 8 or 16 bits, as (H, W) or (H, W, 3)."""
    with open(path, "rb") as f:
        data = f.read()
    fields: list[bytes] = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    magic, width, height, maxval = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
    channels = {b"P5": 1, b"P6": 3}[magic]
    dtype = np.dtype(">u2" if maxval > 255 else "u1")
    img = np.frombuffer(data, dtype, height * width * channels, pos + 1)
    img = img.reshape((height, width, channels) if channels > 1 else (height, width))
    return img.astype(dtype.newbyteorder("="))


def synthetic_image(h: int = 512, w: int = 768) -> np.ndarray:
    """A smooth colour image with edges and a little texture."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    r = 128 + 100 * np.sin(x / 61.0) * np.cos(y / 47.0)
    g = 128 + 90 * np.cos((x + y) / 83.0)
    b = np.where((x - w / 2) ** 2 + (y - h / 2) ** 2 < (h / 3) ** 2, 200.0, 60.0)
    rng = np.random.default_rng(7)
    img = np.stack([r, g, b], axis=-1) + rng.normal(0, 3, (h, w, 3))
    return np.clip(img, 0, 255).astype(np.uint8)


def load_photo(path: str | None) -> np.ndarray:
    """The photograph as (H, W, 3) uint8: the PNM at ``path``, else a synthetic one."""
    if path and os.path.exists(path):
        img = read_pnm(path)
        if img.dtype != np.uint8:
            img = (img >> 8).astype(np.uint8)
        return np.repeat(img[..., None], 3, axis=2) if img.ndim == 2 else img
    return synthetic_image()


def mirrored(index: np.ndarray, n: int) -> np.ndarray:
    """Indices into a length-``n`` axis repeated as n, n reversed, n, ... (no seams)."""
    j = index % (2 * n)
    return np.where(j < n, j, 2 * n - 1 - j)


def source_block(photo: np.ndarray, block_info: dict | None = None) -> np.ndarray:
    """One chunk of the large image, cut from the repeated photograph."""
    (y0, y1), (x0, x1), (c0, c1) = block_info[None]["array-location"]
    h, w = photo.shape[:2]
    # Row then column gathers: four times quicker than one 2-D fancy index.
    rows = photo.take(mirrored(np.arange(y0, y1), h), axis=0)
    return rows.take(mirrored(np.arange(x0, x1), w), axis=1)[:, :, c0:c1]


def source(size: int, chunk: int, photo: np.ndarray):
    """The large image as a lazy dask array; the photograph is one task every chunk reads."""
    import dask
    import dask.array as da

    chunks = ((chunk,) * (size // chunk) + ((size % chunk,) if size % chunk else ()),) * 2 + ((3,),)
    return da.map_blocks(source_block, dask.delayed(photo), dtype=np.uint8, chunks=chunks,
                         meta=np.empty((0, 0, 0), np.uint8))


def stored_bytes(path: str) -> int:
    """Bytes of chunk data in the store (metadata excluded)."""
    total = 0
    for root, _, files in os.walk(path):
        total += sum(os.path.getsize(os.path.join(root, f)) for f in files if f != "zarr.json")
    return total


def run(name: str, compute, size: int, chunk: int, store: str, photo: np.ndarray, level) -> bool:
    """Writes the store, reads it back and compares; prints the figures. True if equal."""
    import dask.array as da
    import zarr

    import ferroglyph.zarr

    src = source(size, chunk, photo)
    shutil.rmtree(store, ignore_errors=True)
    z = zarr.create_array(store, shape=src.shape, chunks=(chunk, chunk, 3), dtype=np.uint8,
                          serializer=ferroglyph.zarr.HTJ2K(level=level), compressors=None)
    raw = src.nbytes
    print(f"\n[{name}] writing {size}x{size}x3 uint8 ({raw / 2**20:,.0f} MiB) in "
          f"{chunk}x{chunk} chunks to {store}")
    t0 = time.perf_counter()
    compute(da.store(src, z, lock=False, compute=False))
    t_write = time.perf_counter() - t0

    print(f"[{name}] reading back and comparing")
    back = da.from_zarr(zarr.open_array(store, mode="r"))
    t0 = time.perf_counter()
    equal = bool(compute((back == src).all()))
    t_check = time.perf_counter() - t0

    packed = stored_bytes(store)
    print(f"[{name}] write {raw / 2**20 / t_write:8.1f} MiB/s ({t_write:.2f} s)   "
          f"read+compare {raw / 2**20 / t_check:8.1f} MiB/s ({t_check:.2f} s)")
    print(f"[{name}] {packed:,} bytes stored, ratio {raw / packed:.2f}x "
          f"({'lossless' if level is None else f'level {level}'}); "
          f"read back {'identical' if equal else 'DIFFERENT'}")
    return equal if level is None else True


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=int, default=16384, help="image height and width (default 16384)")
    ap.add_argument("--chunk", type=int, default=1024, help="chunk height and width (default 1024)")
    ap.add_argument("--level", type=float, default=None, help="lossy level (default: lossless)")
    ap.add_argument("--photo", default=PHOTO, help="PPM/PGM photograph to tile (default: corpus Kodak)")
    ap.add_argument("--store", default=None, help="zarr store path (default: a temporary folder)")
    ap.add_argument("--schedulers", default="threads,distributed",
                    help="comma-separated: threads, distributed (default both)")
    ap.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default 2)")
    ap.add_argument("--scheduler", default=None, metavar="ADDRESS",
                    help="use a running dask.distributed scheduler instead of a LocalCluster; "
                         "--store must then be a path every worker can reach")
    args = ap.parse_args(argv)
    if args.size < 1 or args.chunk < 1:
        ap.error("--size and --chunk must be positive")
    schedulers = [s.strip() for s in args.schedulers.split(",") if s.strip()]
    for s in schedulers:
        if s not in ("threads", "distributed"):
            ap.error(f"unknown scheduler {s!r}: use threads and/or distributed")

    try:
        import dask  # noqa: F401
        import zarr  # noqa: F401
    except ImportError as exc:
        print(f"this example needs the zarr extra: pip install ferroglyph[zarr] ({exc})", file=sys.stderr)
        return 2

    photo_path = args.photo if args.photo and os.path.exists(args.photo) else None
    photo = load_photo(photo_path)
    print(f"source: {photo_path or 'synthetic picture (no photograph found)'}, "
          f"{photo.shape[1]}x{photo.shape[0]}, repeated in mirror image")
    tmp = None
    store = args.store
    if store is None:
        tmp = tempfile.mkdtemp(prefix="ferroglyph-zarr-")
    ok = True
    try:
        if "threads" in schedulers:
            from dask.diagnostics import ProgressBar

            def threaded(x):
                # A bar redraws itself with escape codes: only for a person watching.
                bar = ProgressBar() if sys.stdout.isatty() else contextlib.nullcontext()
                with bar:
                    return x.compute(scheduler="threads")

            path = store or os.path.join(tmp, "threads.zarr")
            ok &= run(f"threads x{os.cpu_count()}", threaded, args.size, args.chunk, path,
                      photo, args.level)
        if "distributed" in schedulers:
            from distributed import Client, LocalCluster, progress

            if args.scheduler:
                cluster, client = None, Client(args.scheduler)
                label = f"distributed {args.scheduler}"
            else:
                cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                       processes=True, dashboard_address=None)
                client = Client(cluster)
                label = f"distributed, {args.workers} worker processes"

            def distributed(x):
                future = client.compute(x)
                if sys.stdout.isatty():
                    progress(future)
                    print()
                return future.result()

            try:
                path = store or os.path.join(tmp, "distributed.zarr")
                ok &= run(label, distributed, args.size, args.chunk, path, photo, args.level)
            finally:
                client.close()
                if cluster is not None:
                    cluster.close()
    finally:
        if tmp is not None:
            shutil.rmtree(tmp, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
