"""The ``ferroglyph`` command: header facts, encoding and decoding of image files.

    ferroglyph info FILE...
    ferroglyph encode INPUT... -o OUT_OR_DIR [--level L] [--bits B] [--tile W H] ...
    ferroglyph decode INPUT... -o OUT_OR_DIR [--reduce R] [--region Y0 X0 Y1 X1] ...

The arguments are checked once, before any file is read: a bad one gives one
line on standard error and exit status 2.  Then every file is handled on its
own: a bad one gives one line on standard error (the file and the reason, in
the command's words: flags, not Python keywords), the others are still done,
and the exit status is 1 when any failed.
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import re
import sys
import time
import warnings
from collections.abc import Callable, Sequence
from typing import Any, TextIO

import numpy as np

from . import (
    _api,
    _cli_parser,
    _codestream,
    _components,
    _image_files,
    _jp2,
    _metadata,
    _rate,
)

__all__ = ["main"]

_CODESTREAM_SUFFIXES = (".jph", ".jp2", ".j2c", ".j2k", ".jhc")
_DECODE_SUFFIXES = _cli_parser.DECODE_SUFFIXES
_ENCODE_SUFFIXES = _cli_parser.ENCODE_SUFFIXES


class _Failure(Exception):
    """A file that cannot be done, with the reason to print."""


# The package's texts name Python keywords; the command has flags for them.
_CLI_WORDS = [
    (re.compile(r"[Pp]ass strict=False to get (it|them) anyway \(and resilient=True for damaged "
                r"data\)"), "--lenient writes what survives"),
    (re.compile(r"pass strict=False to decode what is there"), "--lenient writes what is there"),
    (re.compile(r"[Pp]ass ignore_unsupported=True to decode anyway"),
     "--ignore-unsupported decodes it anyway"),
    (re.compile(r"[Pp]ass strict=False to decode anyway"), "--lenient decodes it anyway"),
    (re.compile(r"\bstrict=False\b"), "--lenient"),
    (re.compile(r"\bresilient=True\b"), "--lenient"),
    (re.compile(r"\bignore_unsupported=True\b"), "--ignore-unsupported"),
    (re.compile(r"\breversible=True\b"), "--reversible"),
    (re.compile(r"\blevel=None\b"), "no --level"),
    (re.compile(r"\breversible=False\b"), "--irreversible"),
    (re.compile(r"\b(reduce|bits|level|numthreads)=(-?[\d.]+)"), r"--\1 \2"),
    (re.compile(r"\b(level|bits|tile|numthreads|reduce) must\b"), r"--\1 must"),
]
_CALL_PREFIX = re.compile(
    r"^(?:HTJ2K )?(?:decode|decode_info|decode_components|components_info|imread|imwrite|"
    r"encode|encode_components): ")


def _cli_words(text: str) -> str:
    """A text of the package in the command's words."""
    for pattern, words in _CLI_WORDS:
        text = pattern.sub(words, text)
    return text


def _reason(exc: BaseException, src: str | None = None) -> str:
    """One line: why a file failed, naming another path when that one is at fault."""
    if isinstance(exc, OSError) and exc.strerror:
        where = exc.filename
        if where is not None and os.fsdecode(where) != src:
            return f"{_CALL_PREFIX.sub('', exc.strerror)}: {os.fsdecode(where)}"
        return exc.strerror
    text = str(exc) or type(exc).__name__
    text = text.splitlines()[0] if text else text
    return _cli_words(_CALL_PREFIX.sub("", text))


# ---------------------------------------------------------------------------
# Inputs and outputs


def _expand(paths: Sequence[str], suffixes: Sequence[str]) -> list[str]:
    """Files named on the command line; a folder stands for its files with ``suffixes``."""
    files: list[str] = []
    for p in paths:
        if os.path.isdir(p):
            for name in sorted(os.listdir(p)):
                full = os.path.join(p, name)
                if not name.startswith(".") and os.path.isfile(full) and \
                        os.path.splitext(name)[1].lower() in suffixes:
                    files.append(full)
        else:
            files.append(p)
    return files


def _output_plan(inputs: list[str], out: str, default_suffix: str | None
                 ) -> tuple[bool, Callable[[str, str | None], str]]:
    """Whether ``out`` is a folder (made here if missing), and the output path
    of an input (given the suffix to use when the folder form leaves it open).
    Raises _Failure when ``out`` cannot be what the inputs need."""
    as_folder = os.path.isdir(out) or out.endswith(("/", os.sep))
    if not as_folder and len(inputs) > 1:
        if os.path.splitext(out)[1]:
            raise _Failure(f"{len(inputs)} inputs cannot go to the one file {out}; name a "
                           "folder for the outputs (it is made if missing)")
        as_folder = True
    folder = out if as_folder else os.path.dirname(out)
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise _Failure(f"{folder} is a file, not a folder to write to")
    if folder:
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError as exc:
            raise _Failure(f"cannot make the output folder {folder}: {exc.strerror}") from None
    if not as_folder:
        return False, lambda _src, _suffix: out

    def name(src: str, suffix: str | None) -> str:
        stem = os.path.splitext(os.path.basename(src))[0]
        return os.path.join(out, stem + (suffix or default_suffix or ""))

    return True, name


class _Progress:
    """A progress bar on a terminal (tqdm), else one plain line per file."""

    def __init__(self, total: int, verb: str, stream: TextIO) -> None:
        self.stream = stream
        self.bar = None
        if total > 1 and sys.stderr.isatty():
            try:
                from tqdm import tqdm
            except ImportError:
                pass
            else:
                # Without tqdm's monitor thread, which would outlive the command
                # in a process that calls main() (and wake every 10 s there).
                bar_type = type("_Bar", (tqdm,), {"monitor_interval": 0})
                self.bar = bar_type(total=total, desc=verb, unit="file", file=sys.stderr)

    def done(self, line: str) -> None:
        if self.bar is not None:
            self.bar.update(1)
        else:
            print(line, file=self.stream, flush=True)

    def failed(self, path: str, reason: str) -> None:
        """One line naming ``path`` and the reason."""
        text = f"ferroglyph: {path}: {reason}"
        if self.bar is not None:
            self.bar.update(1)
            self.bar.write(text, file=sys.stderr)
        else:
            print(text, file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _run(files: list[str], verb: str, one: Callable[[str], tuple[str, int, int]],
         stream: TextIO, *, coded_in: bool = False) -> int:
    """Runs ``one`` over ``files``; prints lines, failures and a summary with
    the compression ratio (image bytes to HTJ2K bytes; ``coded_in``: the
    inputs are the HTJ2K files)."""
    progress = _Progress(len(files), verb, stream)
    failed = 0
    read = written = 0
    start = time.perf_counter()
    try:
        for path in files:
            try:
                line, n_in, n_out = one(path)
            except KeyboardInterrupt:
                raise
            except Exception as exc:  # noqa: BLE001 (one line per bad file, never a traceback)
                failed += 1
                progress.failed(path, _reason(exc, path))
                continue
            read += n_in
            written += n_out
            progress.done(line)
    finally:
        progress.close()
    seconds = time.perf_counter() - start
    done = len(files) - failed
    image, coded = (written, read) if coded_in else (read, written)
    ratio = f"{image / coded:.2f}:1" if coded and image else "-"
    print(f"{verb} {done} of {len(files)} file{'s' if len(files) != 1 else ''}"
          f"{f' ({failed} failed)' if failed else ''}: {read:,} bytes in, {written:,} bytes "
          f"out, ratio {ratio}, {seconds:.2f} s", file=stream, flush=True)
    return 1 if failed else 0


# ---------------------------------------------------------------------------
# info


def _tiles(codestream: bytes) -> dict[str, Any]:
    """Tile count and size from the SIZ marker segment (ISO/IEC 15444-1 A.5.1)."""
    try:
        siz = _codestream.siz(_codestream.buffer_reader(codestream), len(codestream))
    except _codestream.CodestreamError:
        return {}
    return {"tiles": siz.num_tiles, "tile_size": [siz.tile_w, siz.tile_h],
            "tile_grid": [siz.tiles_across, siz.tiles_down]}


def _read_file(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _read_codestream(path: str) -> tuple[bytes, _jp2.Located]:
    """The codestream of a file (read alone from a JPH/JP2 file) and where it was."""
    with open(path, "rb") as f:
        where = _jp2.locate_in_file(f, os.fstat(f.fileno()).st_size)
        return _codestream.file_reader(f)(where.offset, where.length), where


def _info_one(path: str) -> dict[str, Any]:
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        where = _jp2.locate_in_file(f, size)
        read = _codestream.file_reader(f)
        codestream = read(where.offset, where.length)

        boxes = [b.as_dict(read) for b in where.boxes]
        meta = _metadata.read_metadata(read, where.boxes) if where.boxes else None
    info = _api.decode_info(codestream)
    facts: dict[str, Any] = {"file": path, "size": size,
                             "format": "JPEG 2000 family file" if boxes else "codestream"}
    for key, value in info.items():
        if key == "dtype":
            value = None if value is None else str(value)
        elif key == "shape":
            value = None if value is None else list(value)
        facts[key] = value
    facts.update(_tiles(codestream))
    facts["codestream_bytes"] = len(codestream)
    if boxes:
        facts["boxes"] = boxes
    if meta is not None:
        facts["metadata"] = _metadata_facts(meta)
    if where.truncated:
        facts["truncated"] = where.truncated
    return facts


def _metadata_facts(meta: dict[str, Any]) -> dict[str, Any]:
    """immeta's dict in JSON: the ICC profile by its size, dpi as a list."""
    icc = meta["icc_profile"]
    return {"colour": meta["colour"], "icc_profile_bytes": None if icc is None else len(icc),
            "dpi": None if meta["dpi"] is None else list(meta["dpi"]),
            "channels": meta["channels"], "xml": meta["xml"], "xmp": meta["xmp"]}


def _cmd_info(args: argparse.Namespace) -> int:
    failed = 0
    for path in _expand(args.files, _CODESTREAM_SUFFIXES):
        try:
            facts = _info_one(path)
        except KeyboardInterrupt:
            raise
        except Exception as exc:  # noqa: BLE001 (one line per bad file, never a traceback)
            failed += 1
            print(f"ferroglyph: {path}: {_reason(exc, path)}", file=sys.stderr, flush=True)
            continue
        print(json.dumps(facts), flush=True)
    return 1 if failed else 0


# ---------------------------------------------------------------------------
# encode


def _plan(command: str, args: argparse.Namespace, in_suffixes: Sequence[str],
          out_suffixes: Sequence[str]) -> tuple[list[str], bool, Callable[[str, str | None], str]] | int:
    """The input files, whether the output is a folder, and the output path of
    an input; or the exit status when the command line names nothing to do
    (1) or an output that cannot be (2), said on standard error."""
    files = _expand(args.inputs, in_suffixes)
    if not files:
        print(f"ferroglyph {command}: no input files", file=sys.stderr)
        return 1
    try:
        as_folder, target = _output_plan(files, args.output, args.suffix)
    except _Failure as exc:
        print(f"ferroglyph {command}: {exc}", file=sys.stderr)
        return 2
    if not as_folder and os.path.splitext(args.output)[1].lower() not in out_suffixes:
        print(f"ferroglyph {command}: the output {args.output!r} needs one of the suffixes "
              f"{', '.join(out_suffixes)}, or is a folder", file=sys.stderr)
        return 2
    return files, as_folder, target


def _refuse_written(paths: Sequence[str], seen: set[str]) -> None:
    """Two inputs with one output name: the second must not overwrite the first."""
    clash = [dst for dst in paths if dst in seen]
    if clash:
        raise _Failure(f"another input was already written to {clash[0]}")


def _tiff_pages(path: str) -> list[np.ndarray] | None:
    """The pages of a TIFF file with more than one, else None."""
    tifffile = _image_files._need("tifffile", "tifffile", "reading TIFF files")
    with tifffile.TiffFile(path) as tif:
        if len(tif.pages) <= 1:
            return None
        return [page.asarray() for page in tif.pages]


def _pages(src: str, stack: str | None) -> tuple[list[np.ndarray], int | None]:
    """The images of an input file: one, or one per page of a multi-page TIFF or of
    a 3-D .npy stack; and the precision the file states."""
    suffix = os.path.splitext(src)[1].lower()
    if suffix in (".tif", ".tiff"):
        pages = _tiff_pages(src)
        if pages is not None:
            return pages, None
    image, stated_bits = _image_files.read_image(src)
    if suffix == ".npy" and image.ndim == 3:
        # (H, W, C) unless the first axis is the short one and the last is
        # longer than a pixel's channels: (N, H, W) pages.  --stack decides.
        as_pages = stack == "pages" or (stack is None and image.shape[0] < image.shape[2]
                                        and image.shape[2] > 4)
        if as_pages:
            return list(image), stated_bits
    if image.ndim > 3:
        raise _Failure(f"an array of shape {image.shape} is not an image, nor a stack of "
                       "pages (N, H, W)")
    return [image], stated_bits


def _paged(dst: str, page: int, pages: int) -> str:
    """The output of page ``page``: NAME_p0.jph, NAME_p1.jph, ... when there are several."""
    if pages == 1:
        return dst
    stem, suffix = os.path.splitext(dst)
    return f"{stem}_p{page}{suffix}"


def _encode_keywords(args: argparse.Namespace) -> dict[str, Any]:
    keywords: dict[str, Any] = {}
    if args.tile:
        keywords["tile"] = tuple(args.tile)
    if args.tlm:
        keywords["tlm"] = True
    if args.reversible is not None:
        keywords["reversible"] = args.reversible
    return keywords


def _reached() -> str:
    """What the last encode with a rate or distortion target reached, as " (step S, P dB)"."""
    stats = _rate.last_encode_stats()
    if not stats or stats["target"] is None:
        return ""
    how = ("lossless" if stats["lossless"] else
           f"step {stats['step']:.4g}" if stats["step"] else f"quality {stats['quality']}")
    db = f", {stats['psnr']:.2f} dB" if stats["psnr"] not in (None, math.inf) else ""
    return f" ({how}{db})"


def _cmd_encode(args: argparse.Namespace) -> int:
    plan = _plan("encode", args, _image_files.READ_SUFFIXES, _ENCODE_SUFFIXES)
    if isinstance(plan, int):
        return plan
    files, _as_folder, target = plan
    keywords = _encode_keywords(args)
    seen: set[str] = set()

    def one(src: str) -> tuple[str, int, int]:
        pages, stated_bits = _pages(src, args.stack)
        first = target(src, None)
        dsts = [_paged(first, k, len(pages)) for k in range(len(pages))]
        _refuse_written(dsts, seen)
        bits = args.bits if args.bits is not None else stated_bits
        # A .jph output keeps the input's ICC profile and resolution.
        meta = _image_files.read_metadata(src) if first.lower().endswith(_api.FILE_SUFFIXES) \
            else {}
        for dst, image in zip(dsts, pages, strict=True):
            _api.imwrite(dst, image, args.level, bits=bits, numthreads=args.numthreads,
                         psnr=args.psnr, ratio=args.ratio, max_bytes=args.max_bytes,
                         **keywords, **meta)
            seen.add(dst)
        n_in, n_out = os.path.getsize(src), sum(os.path.getsize(d) for d in dsts)
        names = dsts[0] if len(dsts) == 1 else f"{dsts[0]} ... {dsts[-1]} ({len(dsts)} pages)"
        reached = _reached() if len(dsts) == 1 else ""
        return f"{src} -> {names}: {n_in:,} -> {n_out:,} bytes{reached}", n_in, n_out

    return _run(files, "encoded", one, sys.stdout)


# ---------------------------------------------------------------------------
# decode


def _cmd_decode(args: argparse.Namespace) -> int:
    plan = _plan("decode", args, _CODESTREAM_SUFFIXES, _DECODE_SUFFIXES)
    if isinstance(plan, int):
        return plan
    files, as_folder, target = plan
    seen: set[str] = set()

    def one(src: str) -> tuple[str, int, int]:
        return _decode_file(src, args, as_folder, target, seen)

    return _run(files, "decoded", one, sys.stdout, coded_in=True)


def _warned(src: str, notes: list[str], decode: Callable[[], Any]) -> Any:
    """What ``decode`` returns, its warnings (after ``notes``) printed as lines
    naming ``src``. A command-line program has one thread here: recording
    warnings is safe."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = decode()
    for note in notes + [str(w.message) for w in caught]:
        print(f"ferroglyph: {src}: warning: {_cli_words(note)}", file=sys.stderr, flush=True)
    return result


def _write_outputs(outputs: list[tuple[str, bytes]], seen: set[str]) -> None:
    for dst, payload in outputs:
        _api._write_atomically(dst, [payload])
        seen.add(dst)


def _decode_file(src: str, args: argparse.Namespace, as_folder: bool,
                 target: Callable[[str, str | None], str], seen: set[str]) -> tuple[str, int, int]:
    """Decodes one file to one image file, or to its components when they differ."""
    window = _window_of_file(src, args) if args.region is not None else None
    meta: dict[str, Any] | None
    if window is not None:
        image, bit_depth = window
        meta = _metadata.immeta(src)  # reads box headers only (none in a raw codestream)
    else:
        data = _read_file(src)
        info = _api.decode_info(data, reduce=args.reduce)
        if not info["uniform"]:
            return _decode_components_file(src, data, info["components_info"], args, target,
                                           seen)
        image = _warned(src, [], lambda: _api.decode(
            data, reduce=args.reduce, numthreads=args.numthreads, strict=not args.lenient,
            resilient=args.lenient, ignore_unsupported=args.ignore_unsupported,
            region=args.region))
        bit_depth = info["bit_depth"]
        meta = None if data.startswith(_jp2.SOC_SIZ) else _metadata.immeta(src)
    suffix = None
    if as_folder and args.suffix is None:
        suffix = _image_files.pnm_suffix(image) or ".npy"
    dst = target(src, suffix)
    _refuse_written([dst], seen)
    out_suffix = os.path.splitext(dst)[1]
    # PNG and TIFF outputs get the file's ICC profile and resolution back.
    payload = _image_files.image_bytes(image, out_suffix,
                                       bit_depth if image.dtype.kind == "u" else None, meta)
    _write_outputs([(dst, payload)], seen)
    return (f"{src} -> {dst}: {image.shape} {image.dtype}", os.path.getsize(src),
            len(payload))


def _window_of_file(src: str, args: argparse.Namespace) -> tuple[np.ndarray, int] | None:
    """--region of a whole file whose components share one size and precision, read as
    imread reads a window (headers and the tile-parts it needs); None for the other files."""
    with open(src, "rb", buffering=0) as f:
        size = os.fstat(f.fileno()).st_size
        where = _jp2.locate_in_file(f, size)
        if where.truncated:
            return None
        read = _codestream.file_reader(f)
        try:
            siz = _codestream.main_header(
                lambda off, n: read(where.offset + off, min(n, where.length - off)),
                where.length).siz
        except _codestream.CodestreamError:
            return None
    if len(set(siz.ssiz)) != 1 or any(s != (1, 1) for s in siz.subsampling):
        return None
    image = _warned(src, [], lambda: _api.imread(
        src, region=args.region, reduce=args.reduce, numthreads=args.numthreads,
        strict=not args.lenient, resilient=args.lenient,
        ignore_unsupported=args.ignore_unsupported))
    return image, (siz.ssiz[0] & 0x7F) + 1


def _decode_components_file(src: str, data: bytes, facts: list[dict[str, Any]] | None,
                            args: argparse.Namespace, target: Callable[[str, str | None], str],
                            seen: set[str]) -> tuple[str, int, int]:
    """Components of different sizes or precisions: one output per component
    (NAME_c0.npy, ...), or one .npz archive holding c0, c1, ..."""
    planes = _warned(src, [], lambda: _components.decode_components(
        data, reduce=args.reduce, strict=not args.lenient, resilient=args.lenient,
        region=args.region))
    outputs = _component_outputs(planes, facts, target(src, args.suffix or ".npy"))
    _refuse_written([dst for dst, _ in outputs], seen)
    _write_outputs(outputs, seen)
    shapes = ", ".join(f"{p.shape} {p.dtype}" for p in planes)
    names = outputs[0][0] if len(outputs) == 1 else f"{outputs[0][0]} ... {outputs[-1][0]}"
    return (f"{src} -> {names}: {len(planes)} components {shapes}", os.path.getsize(src),
            sum(len(payload) for _, payload in outputs))


def _component_outputs(planes: list[np.ndarray], facts: list[dict[str, Any]] | None,
                       first: str) -> list[tuple[str, bytes]]:
    """The files to write for ``planes`` and their bytes: one archive when
    ``first`` names a .npz, else ``first``'s name with _c0, _c1, ... per component."""
    stem, suffix = os.path.splitext(first)
    if suffix.lower() == ".npz":
        buf = io.BytesIO()
        arrays: dict[str, Any] = {f"c{c}": p for c, p in enumerate(planes)}
        np.savez(buf, **arrays)
        return [(first, buf.getvalue())]
    # PGM files state each component's own precision (maxval 2**B - 1).
    depths = [f["bit_depth"] if p.dtype.kind == "u" else None
              for f, p in zip(facts or [{"bit_depth": None}] * len(planes), planes, strict=True)]
    return [(f"{stem}_c{c}{suffix}", _image_files.image_bytes(p, suffix, depth))
            for c, (p, depth) in enumerate(zip(planes, depths, strict=True))]


# ---------------------------------------------------------------------------
# Arguments


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = _cli_parser.parser({"info": _cmd_info, "encode": _cmd_encode,
                                 "decode": _cmd_decode})
    args = parser.parse_args(argv)
    if args.check is not None:  # what one argument alone cannot say
        args.check(args)
    try:
        return int(args.run(args))
    except BrokenPipeError:  # e.g. `ferroglyph info *.jph | head`
        sys.stderr.close()
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
