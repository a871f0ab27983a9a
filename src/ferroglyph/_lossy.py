"""Lossy coding that is right or refused: the public layer's side of the lossy rule.

The rule itself is the extension module's (``_openjph._lossy_settings``, and
``_openjph._encode_lossy``, which applies it): for every sample type and
precision it keeps OpenJPH's quality factor where OpenJPH codes it
correctly, moves a level to the nearest setting that is safe where that
keeps what the level promises, and otherwise raises ValueError naming what
works (a lower level, a step, lossless).  See docs/lossy.md.

This module decides when an encode is lossy, gives float32 data the range
that levels and steps are relative to (once per image, so that the tiles
of a parallel encode share one quantization), and applies the rule where
the settings are passed to the module directly (``encode_components``).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _args
from .codecs import _openjph

__all__ = ["check_narrow_data", "is_lossy", "planar_colour", "settings", "value_range"]

#: OpenJPH's decomposition levels when neither ``resolutions`` nor ``num_decomp`` is given.
DEFAULT_DECOMPOSITIONS = 5


def is_lossy(level: Any, keywords: dict[str, Any]) -> bool:
    """Whether an encode takes the irreversible path, where the rule applies."""
    if keywords.get("reversible") is True:
        return False  # the module refuses a lossy level with reversible=True in its words
    if keywords.get("reversible") is False:
        return True
    # The module reads a level of 0 and steps up to 1e-5 as lossless: ask it, so that what
    # is judged here is what is coded.
    return level is not None and _openjph._quantization(level) != (0.0, 0)


#: The max error, as a share of the data's own span, a quality level may cost
#: (docs/lossy.md): at least this level, at most this share.
_LEVEL_GUARDS = ((90.0, 0.08), (75.0, 0.25), (0.0, 0.60))
#: Integer precisions from which samples often use little of their range (dose
#: maps, counts in 32-bit containers): the quality levels are relative to the
#: range, so the result is checked against the data's own span.
_WIDE_BITS = 24


def check_narrow_data(array: np.ndarray, level: Any, bits: int | None,
                      keywords: dict[str, Any], codestream: bytes) -> None:
    """Raises ValueError when a quality level on wide integer samples that use a small
    part of their range lost more of the data's own span than the level promises.

    A level is relative to the samples' precision: on 32-bit samples that span 19 bits
    (an RT dose map), level 90 keeps 30 dB of the 32-bit range and nothing of the data.
    Such encodes (24 bits and more, a quality level, a span at least 16 times smaller
    than the range) are decoded once and their max error checked against the span.
    """
    precision = bits or array.dtype.itemsize * 8
    if (array.dtype.kind not in "iu" or precision < _WIDE_BITS or array.size == 0
            or not isinstance(level, (int, float)) or level < 1):
        return
    lo, hi = int(array.min()), int(array.max())
    span = hi - lo
    if span == 0 or span.bit_length() > precision - 4:
        return  # the data fills its range: the documented bounds hold as they are
    planar = _args.planar(array.shape, keywords.get("planar"))
    back = _openjph.decode(codestream, planar=planar)
    error = int(np.max(np.abs(back.astype(np.int64) - array.astype(np.int64))))
    guard = next(share for least, share in _LEVEL_GUARDS if level >= least)
    if error <= guard * span:
        return
    if lo >= 0:
        fits = f"bits={max(hi.bit_length(), 1)} (the precision the data uses), "
    else:
        fits = f"bits={max(hi.bit_length(), (-lo - 1).bit_length()) + 1} (the precision " \
               "the data uses), "
    raise ValueError(
        f"level={level:g} on {precision}-bit samples that span only {span.bit_length()} bits "
        f"({lo} to {hi}) loses the data: the max error, {error}, is {error / span:.0%} of "
        f"that span (a level is relative to the {precision}-bit range). Pass {fits}a higher "
        "level, or code losslessly (level=None)")


def value_range(array: np.ndarray) -> tuple[float, float] | None:
    """(smallest, largest) of float32 samples (NaN or infinite when they hold such), else None."""
    if array.dtype.kind != "f" or array.size == 0:
        return None
    return float(np.min(array)), float(np.max(array))


def planar_colour(array: np.ndarray, keywords: dict[str, Any]) -> dict[str, Any]:
    """``keywords`` with the component transform on for planar integer RGB(A) when not set.

    The module turns the transform on by default only for channel-last
    input; the public layer codes an image the same way whatever its layout,
    so ``(3, H, W)`` costs no more than ``(H, W, 3)`` (``rgb=False`` keeps it off).
    """
    if keywords.get("rgb") is not None or array.ndim != 3 or array.dtype.kind not in "iu":
        return keywords
    if not _args.planar(array.shape, keywords.get("planar")) or array.shape[0] not in (3, 4):
        return keywords
    return dict(keywords, rgb=True)


def settings(dtypes: Sequence[np.dtype], bits: Sequence[int], level: Any,
             decompositions: int, ranges: Sequence[tuple[float, float] | None]
             ) -> tuple[float, int]:
    """(qstep, qfactor) for components of these dtypes and precisions, coded together.

    The quantization is one for all components: where the rule gives the
    components different settings, the finest base step any of them needs
    is used (a quality factor stands for its reference step at 100, where
    it is finest), so that none is coded outside its bound.
    """
    count = len(dtypes)
    chosen = {_openjph._lossy_settings(d, b, count, decompositions, level, r)
              for d, b, r in zip(dtypes, bits, ranges, strict=True)}
    if len(chosen) == 1:
        return chosen.pop()
    steps = [s for s, _ in chosen if s > 0]
    if not steps:
        return 0.0, max(q for _, q in chosen)
    return min(steps), 0
