"""The ``ferroglyph`` command's arguments: one parser, each flag checked by the public rules.

Every value is checked here, before any file is read, by the same validators
the public functions use (``_args``), with the messages in the flags' words;
argparse gives a bad one a line on standard error and exit status 2.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable, Mapping
from typing import Any, NoReturn

from . import __version__, _api, _args, _image_files

__all__ = ["DECODE_SUFFIXES", "ENCODE_SUFFIXES", "Commands", "parser"]

#: Output suffixes of ``decode`` (``.npz`` for files whose components differ in size).
DECODE_SUFFIXES = _image_files.WRITE_SUFFIXES + (".npz",)
#: Output suffixes of ``encode``.
ENCODE_SUFFIXES = _api.FILE_SUFFIXES + _api.RAW_SUFFIXES
#: The function that runs each command, by name ("info", "encode", "decode").
Commands = Mapping[str, Callable[[argparse.Namespace], int]]


class _Parser(argparse.ArgumentParser):
    """argparse with its usual exit status 2, the message on one line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _checked(convert: Callable[[str], Any], check: Callable[[Any], Any]) -> Callable[[str], Any]:
    """An argparse type: ``convert`` the text, then the public layer's own ``check``."""
    def parse(text: str) -> Any:
        try:
            value = convert(text)
        except ValueError:
            kind = "an integer" if convert is int else "a number"
            raise argparse.ArgumentTypeError(f"not {kind}: {text!r}") from None
        try:
            check(value)
        except (TypeError, ValueError) as e:
            raise argparse.ArgumentTypeError(str(e)) from None
        return value
    parse.__name__ = convert.__name__  # argparse names the type in some messages
    return parse


def _target(name: str) -> Callable[[Any], None]:
    """The public check of the rate or distortion target ``name``, in the flag's words."""
    flag = "--" + name.replace("_", "-")

    def check(value: Any) -> None:
        try:
            _args.target(**{name: value})
        except ValueError as e:
            raise ValueError(str(e).replace(name, flag, 1)) from None
    return check


def _positive(name: str, most: int | None = None) -> Callable[[int], None]:
    def check(value: int) -> None:
        if value < 1 or (most is not None and value > most):
            limit = f" from 1 to {most}" if most is not None else " of 1 or more"
            raise ValueError(f"{name} must be an integer{limit}, got {value}")
    return check


def _add_info(sub: Any, commands: Commands) -> argparse.ArgumentParser:
    p: argparse.ArgumentParser = sub.add_parser(
        "info", help="print the header facts of HTJ2K files as JSON, one line per file",
        description="One JSON object per file on standard output: size, format, the header "
                    "facts of the codestream (width, height, components, bit_depth, ...), "
                    "the shape a decode returns, each component's size, subsampling, "
                    "precision, signedness and NLT type (components_info), tile count, "
                    "the box structure of JPH/JP2 files and their metadata (colour space, "
                    "ICC profile size, dpi, channels, XML, XMP).")
    p.add_argument("files", nargs="+", metavar="FILE",
                   help=".jph/.jp2 files, raw codestreams, or folders of them")
    p.set_defaults(run=commands["info"], check=None)
    return p


def _add_encode(sub: Any, commands: Commands) -> argparse.ArgumentParser:
    p: argparse.ArgumentParser = sub.add_parser(
        "encode", help="encode images to .jph files or raw codestreams",
        description="Encode .npy and binary PGM/PPM images (and PNG, TIFF with the extra "
                    "ferroglyph[io]) to HTJ2K.  A folder among the inputs stands for its image "
                    "files.  With several inputs, OUT is a folder (created if missing) and "
                    "each output is named after its input.  A PGM/PPM whose maximum is 2**B-1 "
                    "is coded with B bits unless --bits says otherwise.  A multi-page TIFF, "
                    "and a 3-D .npy stack of pages (N, H, W), give one file per page: "
                    "NAME_p0.jph, NAME_p1.jph, ...")
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="image files or folders")
    p.add_argument("-o", "--output", required=True, metavar="OUT_OR_DIR",
                   help="an output file (.jph, .j2c, .j2k, .jhc) or a folder")
    quality = p.add_mutually_exclusive_group()
    quality.add_argument("--level", type=_checked(float, _args.level), default=None,
                         metavar="L", help="quality factor 1-100, or a quantization step "
                                           "below 1 (default: lossless)")
    quality.add_argument("--psnr", type=_checked(float, _target("psnr")), default=None,
                         metavar="DB", help="the smallest file with at least DB dB PSNR "
                                            "(and at most about 1 dB more)")
    quality.add_argument("--ratio", type=_checked(float, _target("ratio")), default=None,
                         metavar="R", help="the best quality in at most 1/R of the image's "
                                           "bytes")
    quality.add_argument("--max-bytes", type=_checked(int, _target("max_bytes")),
                         default=None, metavar="N",
                         help="the best quality in at most N bytes of codestream")
    p.add_argument("--bits", type=_checked(int, _positive("--bits", 32)), default=None,
                   metavar="B", help="sample precision, e.g. 12 for 12-bit data in 16-bit "
                                     "samples")
    p.add_argument("--tile", type=_checked(int, _positive("--tile", (1 << 32) - 1)), nargs=2,
                   metavar=("W", "H"), help="tile size")
    p.add_argument("--tlm", action="store_true", help="write a TLM marker (tile index)")
    p.add_argument("--numthreads", type=_checked(int, _args.numthreads), default=None,
                   metavar="N", help="threads for tiled encodes (0: automatic)")
    group = p.add_mutually_exclusive_group()
    group.add_argument("--reversible", dest="reversible", action="store_const", const=True,
                       default=None, help="reversible (5/3) wavelet: lossless")
    group.add_argument("--irreversible", dest="reversible", action="store_const", const=False,
                       help="irreversible (9/7) wavelet")
    p.add_argument("--stack", choices=("pages", "image"), default=None,
                   help="how a 3-D .npy array is read: 'pages' (N, H, W), one output per "
                        "page, or 'image' (H, W, C); by default (H, W, C) unless its first "
                        "axis is the shortest and its last longer than 4")
    p.add_argument("--suffix", default=".jph", choices=ENCODE_SUFFIXES,
                   help="output suffix in a folder (default: .jph)")
    p.set_defaults(run=commands["encode"], check=lambda args: _check_encode(p, args))
    return p


def _check_encode(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.reversible and args.level:
        parser.error("--reversible codes losslessly and --level asks for a lossy code; "
                     "give one of them")
    aim = next((flag for flag, v in (("--psnr", args.psnr), ("--ratio", args.ratio),
                                     ("--max-bytes", args.max_bytes)) if v is not None), None)
    if aim is not None and args.reversible is not None:
        parser.error(f"{aim} chooses between lossless and lossy coding itself; drop "
                     f"{'--reversible' if args.reversible else '--irreversible'}")


def _add_decode(sub: Any, commands: Commands) -> argparse.ArgumentParser:
    p: argparse.ArgumentParser = sub.add_parser(
        "decode", help="decode .jph files or raw codestreams to images",
        description="Decode HTJ2K files to .npy, PGM/PPM (and PNG, TIFF with the extra "
                    "ferroglyph[io]); the output's suffix chooses.  A folder among the "
                    "inputs stands for its .jph/.jp2/.j2c/.j2k/.jhc files.  With several "
                    "inputs, OUT is a folder and each output is named after its input: "
                    ".pgm/.ppm where those hold the image, .npy otherwise, unless --suffix "
                    "is given.")
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="HTJ2K files or folders")
    p.add_argument("-o", "--output", required=True, metavar="OUT_OR_DIR",
                   help="an output file (.npy, .pgm, .ppm, .png, .tif) or a folder; for a "
                        "file whose components differ in size (4:2:2, 4:2:0) one output per "
                        "component, NAME_c0.npy, ..., or one .npz archive")
    p.add_argument("--reduce", type=_checked(int, _args.reduce), default=0, metavar="R",
                   help="skip R finest resolutions (about 2**R smaller per axis)")
    p.add_argument("--numthreads", type=_checked(int, _args.numthreads), default=None,
                   metavar="N", help="threads for multi-tile codestreams (0: automatic)")
    p.add_argument("--region", type=int, nargs=4, default=None,
                   metavar=("Y0", "X0", "Y1", "X1"),
                   help="decode only this window (half-open, full-resolution coordinates "
                        "from the top-left sample); with --reduce R the window scales to "
                        "ceil(Y0/2**R) ... ceil(X1/2**R)")
    p.add_argument("--lenient", action="store_true",
                   help="write what survives of damaged or truncated files instead of "
                        "failing them")
    p.add_argument("--ignore-unsupported", action="store_true",
                   help="decode files with marker segments OpenJPH skips (the image may not "
                        "be the encoder's)")
    p.add_argument("--suffix", default=None, choices=DECODE_SUFFIXES,
                   help="output suffix in a folder (.npz only for files whose components "
                        "differ in size)")
    p.set_defaults(run=commands["decode"], check=None)
    return p


def parser(commands: Commands) -> argparse.ArgumentParser:
    """The command's argument parser; ``commands`` runs each command (by name)."""
    parser = _Parser(
        prog="ferroglyph",
        description="HTJ2K (High-Throughput JPEG 2000) files: header facts, encoding, decoding.",
        epilog="'ferroglyph COMMAND --help' describes each command.")
    parser.add_argument("--version", action="version", version=f"ferroglyph {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                parser_class=_Parser)
    for add in (_add_info, _add_encode, _add_decode):
        add(sub, commands)
    return parser
