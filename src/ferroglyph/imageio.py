"""imageio (v3) plugin: ``iio.imread``/``iio.imwrite`` of HTJ2K through ferroglyph.

imageio finds plugins in its own tables only, so this module must be
imported once before use; importing it adds the plugin ``"ferroglyph"`` to
``imageio.config.known_plugins`` and puts it first for the suffixes
``.jph``/``.jhc`` (and first to try, for reading only, for ``.j2c``, ``.j2k``,
``.jpc``, ``.jp2``, where classic JPEG 2000 goes on to the next plugin)::

    import imageio.v3 as iio
    import ferroglyph.imageio  # noqa: F401

    image = iio.imread("scan.jph", reduce=2)
    iio.imwrite("copy.jph", image, level=90, dpi=(300, 300))

Reading takes the keywords of :func:`ferroglyph.imread` (``reduce``,
``region``, ``strict``, ...); writing those of :func:`ferroglyph.imwrite`
(``level``, ``bits``, ``tile``, the rate targets, and the metadata
``icc_profile``, ``dpi``, ``xml``, ``xmp``, ``alpha``).
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any

import numpy as np
from imageio.config import extension_list, known_extensions, known_plugins
from imageio.config.extensions import FileExtension
from imageio.config.plugins import PluginConfig
from imageio.core.request import URI_BYTES, URI_FILENAME, InitializationError, IOMode, Request
from imageio.core.v3_plugin_api import ImageProperties, PluginV3

from . import _api, _codestream, _jp2, _metadata, _window
from .codecs._openjph import OpenJphError

__all__ = ["NAME", "FerroglyphPlugin", "register"]

NAME = "ferroglyph"
_OWN = (".jph", ".jhc")
_SHARED = (".j2c", ".j2k", ".jpc", ".jp2")  # read first, classic files left to others
_RAW = (".jhc", ".j2c", ".j2k", ".jpc")


class FerroglyphPlugin(PluginV3):
    """Reads and writes HTJ2K codestreams and JPH files (one image each)."""

    def __init__(self, request: Request) -> None:
        super().__init__(request)
        self._head: _jp2.Head | None = None
        if request.mode.io_mode == IOMode.write:
            extension = (request.extension or request.format_hint or "").lower()
            if extension not in _OWN:
                raise InitializationError(f"ferroglyph writes .jph and .jhc, not {extension!r}")
            return
        if not request.firstbytes.startswith((_jp2.SOC_SIZ, _jp2.SIGNATURE)):
            raise InitializationError("not a JPEG 2000 codestream or JPH/JP2 file")
        file = request.get_file()
        start = file.tell()
        size = file.seek(0, os.SEEK_END) - start

        def read(off: int, n: int) -> bytes:
            file.seek(start + off)
            data: bytes = file.read(n)
            return data

        try:
            self._head = _jp2.head(read, size)
        except OpenJphError as e:
            raise InitializationError(f"ferroglyph cannot read this file: {e}") from None
        if not self._head.is_ht:
            raise InitializationError("classic JPEG 2000: ferroglyph reads HTJ2K only")
        self._read, self._size = read, size

    # -- reading --------------------------------------------------------------

    def _decode(self, keywords: dict[str, Any]) -> np.ndarray:
        if self.request._uri_type == URI_FILENAME:
            return _api.imread(self.request.get_local_filename(), **keywords)
        return _api.decode(self._read(0, self._size), **keywords)

    def read(self, *, index: Any = None, **keywords: Any) -> np.ndarray:
        """The image (``index`` 0 or None), or a batch of one (``index=...``).
        ``keywords`` are those of :func:`ferroglyph.imread`."""
        _check_index(index)
        image = self._decode(keywords)
        return image[None] if index is Ellipsis else image

    def iter(self, **keywords: Any) -> Iterator[np.ndarray]:
        """The one image of the file."""
        yield self._decode(keywords)

    def properties(self, index: Any = None, *, reduce: int = 0,
                   region: Any = None) -> ImageProperties:
        """Shape and dtype of what :meth:`read` returns, from the headers only."""
        _check_index(index)
        assert self._head is not None
        info = _api.decode_info(self._head.prefix, reduce=reduce)
        shape = tuple(info["shape"] or ())
        if region is not None:
            y0, x0, y1, x1 = region
            scale = 1 << reduce
            h, w = (-(-y1 // scale) - -(-y0 // scale)), (-(-x1 // scale) - -(-x0 // scale))
            shape = (h, w, *shape[2:])
        if index is Ellipsis:
            return ImageProperties(shape=(1, *shape), dtype=info["dtype"], n_images=1,
                                   is_batch=True)
        return ImageProperties(shape=shape, dtype=info["dtype"])

    def metadata(self, index: Any = None, exclude_applied: bool = True) -> dict[str, Any]:
        """:func:`ferroglyph.immeta`'s dict and the codestream's header facts
        (``decode_info``)."""
        _check_index(index)
        assert self._head is not None
        meta = _metadata.read_metadata(self._read, self._head.where.boxes)
        info = _api.decode_info(self._head.prefix)
        meta.update({k: v for k, v in info.items() if k not in ("shape", "components_info")})
        # The prefix above ends after the first tile-part header: the prefix
        # sizes are the whole codestream's, walked through its headers only.
        where = self._head.where
        try:
            meta["prefix_bytes"] = _window.prefix_bytes(
                lambda off, n: self._read(where.offset + off, max(0, min(n, where.length - off))),
                where.length)
        except _codestream.CodestreamError:
            meta["prefix_bytes"] = [where.length] + [None] * (len(info["prefix_bytes"]) - 1)
        return meta

    # -- writing --------------------------------------------------------------

    def write(self, ndimage: Any, *, is_batch: bool = False, level: float | None = None,
              **keywords: Any) -> bytes | None:
        """Encodes one image into the file; ``keywords`` are those of
        :func:`ferroglyph.imwrite`.  A batch (``is_batch=True``, or a list)
        must hold exactly one image: a JPH file holds one."""
        if isinstance(ndimage, (list, tuple)) or is_batch:
            images = list(ndimage)
            if len(images) != 1:
                raise ValueError(f"a JPH file holds one image; {len(images)} were given")
            ndimage = images[0]
        extension = (self.request.extension or self.request.format_hint or "").lower()
        meta = _metadata.take(keywords)
        raw = extension in _RAW
        if raw:
            _metadata.refuse_raw(meta, str(self.request.raw_uri))
        codestream = _api.encode(np.asarray(ndimage), level, **keywords)
        file = self.request.get_file()
        for chunk in [codestream] if raw else _metadata.jph_file(codestream, meta):
            file.write(chunk)
        if self.request._uri_type == URI_BYTES:
            result: bytes = file.getvalue()  # type: ignore[attr-defined]  # a BytesIO here
            return result
        return None


def _check_index(index: Any) -> None:
    if index not in (None, 0, Ellipsis):
        raise IndexError(f"a JPH file holds one image; index {index!r} is out of range")


def register() -> None:
    """Adds the plugin to imageio's tables (idempotent; importing this module calls it)."""
    known_plugins[NAME] = PluginConfig(name=NAME, class_name="FerroglyphPlugin",
                                       module_name=__name__)
    for extension in _OWN:
        if not any(NAME in f.priority for f in known_extensions.get(extension, ())):
            entry = FileExtension(name="HTJ2K (JPH)", extension=extension, priority=[NAME],
                                  description="High-Throughput JPEG 2000, through ferroglyph")
            known_extensions.setdefault(extension, []).insert(0, entry)
            extension_list.append(entry)
    for extension in _SHARED:
        for entry in known_extensions.get(extension, ()):
            if NAME not in entry.priority:
                entry.priority.insert(0, NAME)


register()
