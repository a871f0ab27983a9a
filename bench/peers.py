"""What a Python user could otherwise use to read HTJ2K: the peers.

- Pillow, in-process; it reads JPEG 2000 (HTJ2K included) through the
  OpenJPEG it bundles.  Timed from ``Image.open`` to the end of ``load()``.
- OpenJPEG's ``opj_decompress`` (Debian's libopenjp2-tools) and Grok's
  ``grk_decompress`` (grokj2k-tools), as command-line programs: one thread
  and all threads.  Timed from process start to exit, output written to
  tmpfs (start-up and the write are a few percent of their time).

Before a peer is timed on a codestream, its output is compared with
ferroglyph's decode: equal for lossless codestreams, within a small tolerance
for lossy ones.  A peer that fails or differs is reported as n/a with the
reason and not timed.
"""

from __future__ import annotations

import io
import os
import shutil
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np

from images import read_pnm

#: Largest difference from ferroglyph's decode accepted from a peer on a
#: lossy codestream (9/7 decoders round differently in a few samples).
LOSSY_TOLERANCE = 4

CPUS = os.cpu_count() or 1


@dataclass
class Peer:
    name: str
    # Decodes the codestream at `path` (bytes `data`), reduced by `reduce`;
    # returns a timed step and a checker, or raises PeerUnavailable.
    prepare: Callable[[Path, bytes, int], tuple[Callable[[], float], Callable[[], np.ndarray]]]
    cli: bool


class PeerUnavailable(Exception):
    pass


# ---------------------------------------------------------------------------
# Pillow

def _pillow_version() -> str | None:
    try:
        import PIL
        from PIL import features
    except ImportError:
        return None
    return f"Pillow {PIL.__version__} (OpenJPEG {features.version('jpg_2000')})"


def _pillow_prepare(path: Path, data: bytes, reduce: int):
    from PIL import Image

    def load():
        im = Image.open(io.BytesIO(data))
        if reduce:
            im.reduce = reduce
        im.load()
        return im

    def step() -> float:
        t0 = time.perf_counter()
        im = load()
        t1 = time.perf_counter()
        del im
        return t1 - t0

    def result() -> np.ndarray:
        try:
            im = load()
        except Exception as e:  # noqa: BLE001 - the reason is reported
            raise PeerUnavailable(f"{type(e).__name__}: {e}") from None
        return np.asarray(im)

    return step, result


# ---------------------------------------------------------------------------
# Command-line decoders

def _tool_version(tool: str, package: str) -> str | None:
    if shutil.which(tool) is None:
        return None
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package],
                             capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        out = "?"
    return f"{tool} {out}"


def _cli_prepare(argv: Callable[[Path, Path, int], list[str]], work: Path, tag: str):
    def prepare(path: Path, data: bytes, reduce: int):
        suffix = ".ppm" if _components(data) == 3 else ".pgm"
        out = work / f"{tag}-{path.stem}{suffix}"
        args = argv(path, out, reduce)

        def step() -> float:
            t0 = time.perf_counter()
            subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            t1 = time.perf_counter()
            return t1 - t0

        def result() -> np.ndarray:
            out.unlink(missing_ok=True)
            run = subprocess.run(args, capture_output=True, text=True)
            if run.returncode != 0 or not out.exists():
                raise PeerUnavailable(f"exit {run.returncode}: {_first_error(run)}")
            try:
                return read_pnm(out)
            finally:
                out.unlink(missing_ok=True)

        return step, result

    return prepare


def _first_error(run: subprocess.CompletedProcess) -> str:
    lines = [ln.strip() for ln in (run.stderr + run.stdout).splitlines() if ln.strip()]
    errors = [ln for ln in lines if "error" in ln.lower()] or lines or ["no output"]
    text = errors[0]
    if text.startswith("[") and "] " in text:  # grk: "[date] [error] text"
        text = text.rsplit("] ", 1)[1]
    return text[:160]


def _components(data: bytes) -> int:
    # Csiz, the component count in SIZ: bytes 40-41 of the codestream.
    return int.from_bytes(data[40:42], "big")


def available(work: Path) -> tuple[list[Peer], dict[str, str]]:
    """The peers present on this machine, and their versions."""
    peers: list[Peer] = []
    versions: dict[str, str] = {}
    if (v := _pillow_version()) is not None:
        peers.append(Peer("Pillow", _pillow_prepare, cli=False))
        versions["Pillow"] = v
    if (v := _tool_version("opj_decompress", "libopenjp2-tools")) is not None:
        versions["opj_decompress"] = v
        for n in sorted({1, CPUS}):
            peers.append(Peer(
                f"opj_decompress -threads {n}",
                _cli_prepare(lambda i, o, r, n=n: [
                    "opj_decompress", "-quiet", "-threads", str(n), "-i", str(i), "-o", str(o)]
                    + (["-r", str(r)] if r else []), work, f"opj{n}"),
                cli=True))
    if (v := _tool_version("grk_decompress", "grokj2k-tools")) is not None:
        versions["grk_decompress"] = v
        for n in sorted({1, CPUS}):
            peers.append(Peer(
                f"grk_decompress -H {n}",
                _cli_prepare(lambda i, o, r, n=n: [
                    "grk_decompress", "-H", str(n), "-i", str(i), "-o", str(o)]
                    + (["-r", str(r)] if r else []), work, f"grk{n}"),
                cli=True))
    return peers, versions


def compare(peer_pixels: np.ndarray, ours: np.ndarray, lossless: bool) -> str | None:
    """None when a peer's output matches ours, else the reason it does not."""
    if ours.dtype.kind == "f":
        return "returns integers: it does not apply the NLT (float) marker"
    if peer_pixels.shape != ours.shape:
        return f"shape {peer_pixels.shape}, ours {ours.shape}"
    diff = np.abs(peer_pixels.astype(np.int64) - ours.astype(np.int64))
    worst = int(diff.max()) if diff.size else 0
    if lossless and worst != 0:
        return f"differs from ours (lossless) by up to {worst}"
    if worst > LOSSY_TOLERANCE:
        return f"differs from ours by up to {worst}"
    return None
