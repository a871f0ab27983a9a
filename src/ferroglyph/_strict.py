"""What a decode may hand back: codestreams judged before OpenJPH sees them.

OpenJPH reads a codestream that ends early in two ways, neither of them a
caller's: without resilience it fails with "error reading from file", and
with resilience it returns what it found, which for a cut just after the
first tile-part header is a flat grey image with nothing of the data in it.
So the public layer walks the headers first (``_codestream``), says in the
caller's words what is missing, refuses a strict decode, and hands OpenJPH a
lenient one with its resilience on.  Classic JPEG 2000 (Rsiz without the HT
bit) is refused here too, in one sentence.
"""

from __future__ import annotations

import re
from typing import Any, NamedTuple

from . import _codestream as cs
from ._window import prefix_cut
from .codecs._openjph import OpenJphError

__all__ = ["CLASSIC", "Cut", "public_error", "refuse_classic", "refuse_incomplete_header",
           "truncation"]

CLASSIC = "classic JPEG 2000 (Part 1) codestream: ferroglyph reads HTJ2K only"

_RC = re.compile(r" \(rc=\d+\)$")


class Cut(NamedTuple):
    """What is missing from a codestream."""

    text: str  # for the error or the warning
    samples: bool  # whether any coded sample data is present
    eoc_only: bool  # only the end-of-codestream marker is missing: no sample is lost
    # A progressive prefix holding every tile-part the reduced decode needs
    # (_window.prefix_cut): its leading ``prefix`` bytes, ended with EOC, are
    # what OpenJPH should read.  Nothing the decode keeps is lost.
    prefix: int | None = None


def public_error(error: OpenJphError) -> OpenJphError:
    """``error`` without the bridge's return code (``(rc=N)``), which means nothing
    to a caller; the same exception class."""
    text = str(error)
    stripped = _RC.sub("", text)
    if stripped == text:
        return error
    new = type(error)(stripped)
    new.__cause__ = error.__cause__
    return new


def refuse_classic(view: Any, function: str) -> None:
    """Raises OpenJphError when ``view`` (a codestream) is classic JPEG 2000."""
    # SOC, SIZ, Lsiz, then Rsiz: bit 14 marks HTJ2K capabilities (ISO/IEC 15444-15).
    if len(view) >= 8 and bytes(view[:4]) == cs.SOC_SIZ and not view[6] & 0x40:
        raise OpenJphError(f"{function}: {CLASSIC}")


def _header(view: Any, function: str) -> cs.MainHeader | None:
    """The main header; OpenJphError when the data ends inside it; None when the
    walk fails otherwise (OpenJPH then says what is wrong in its words)."""
    try:
        return cs.main_header(cs.buffer_reader(view), len(view))
    except cs.CodestreamError as e:
        if "incomplete" in str(e):
            raise OpenJphError(
                f"{function}: the codestream's main header is incomplete: the data ends after "
                f"{len(view)} bytes, before the first tile-part; there is nothing to decode"
            ) from None
        return None


def refuse_incomplete_header(view: Any, function: str) -> None:
    """Raises OpenJphError when the data ends inside the main header (for an error
    OpenJPH gave in its own words)."""
    try:
        _header(memoryview(view).cast("B"), function)
    except (TypeError, ValueError):
        pass


def _has_samples(view: Any, parts: list[cs.TilePart]) -> bool:
    """Whether any tile-part present holds a byte after its SOD marker."""
    size = len(view)
    for tp in parts:
        pos = tp.offset + 12
        while pos + 2 <= size:
            marker = cs.u16(view, pos)
            if marker == cs.SOD:
                return pos + 2 < min(size, tp.offset + tp.length)
            if pos + 4 > size:
                break
            pos += 2 + cs.u16(view, pos + 2)
    return False


def truncation(view: Any, box_truncated: str | None, reduce: int = 0,
               function: str = "decode") -> Cut | None:
    """What a codestream (``view``) lacks against what its headers declare, or None.

    ``box_truncated`` is the file's own report that its codestream box is short.
    Raises OpenJphError when the data ends inside the main header.  ``reduce``
    is the decode's reduction (the resolutions it leaves unread): a reduced
    decode needs only the resolutions it keeps, and this is the one place
    that decides what a short codestream costs it.  The prefix rule comes
    first, before the file's own report: a codestream whose layout proves
    that the tile-parts present hold every resolution the decode keeps lacks
    nothing (``prefix`` set, ``text`` empty).
    """
    size = len(view)
    if box_truncated is None and size >= 2 and bytes(view[size - 2:]) == cs.EOC_BYTES:
        return None  # ends with its end marker: OpenJPH reports anything else
    if reduce > 0:
        cut = prefix_cut(memoryview(view).cast("B"), reduce)
        if cut is not None:
            return Cut("", True, False, len(cut))
    header = _header(view, function)
    if header is None:
        return None
    try:
        parts = list(cs.tile_parts(cs.buffer_reader(view), size, header, use_tlm=False))
    except cs.CodestreamError:
        return None  # not a cut: damage that OpenJPH reports in its words
    if not parts:
        return Cut(f"the codestream ends after {size} bytes, inside its first tile-part "
                   "header", False, False)
    declared = max(tp.offset + tp.length for tp in parts)
    if header.tlm is not None:
        declared = max(declared, header.end + sum(length for _, length in header.tlm))
    text = None
    if declared > size:
        text = f"the codestream ends after {size} bytes; its tile-parts declare {declared}"
    else:
        tiles = {tp.index for tp in parts}
        if len(tiles) < header.siz.num_tiles:
            text = (f"the codestream ends after {size} bytes, with {len(tiles)} of its "
                    f"{header.siz.num_tiles} tiles")
        else:
            counts: dict[int, tuple[int, int]] = {}
            for tp in parts:
                got, want = counts.get(tp.index, (0, 0))
                counts[tp.index] = (got + 1, max(want, tp.parts))
            short = next(((t, g, w) for t, (g, w) in counts.items() if w and g < w), None)
            if short is not None:
                text = (f"the codestream ends after {size} bytes: tile {short[0]} has "
                        f"{short[1]} of its {short[2]} tile-parts")
    if text is None:
        last = parts[-1]
        end = last.offset + last.length
        if bytes(view[end:end + 2]) == cs.EOC_BYTES or end != size:
            return None  # whole (only a box around it may be short), or not a cut
        if cs.u32(view, last.offset + 6) == 0:
            # Psot 0: the last tile-part runs to the end, so without EOC
            # nothing says where it should end; OpenJPH reports what it finds.
            return None
        return Cut("the codestream lacks its end marker (EOC), though every tile-part is "
                   "whole", True, True)
    return Cut(text, _has_samples(view, parts), False)
