"""ferroglyph: HTJ2K (High-Throughput JPEG 2000) codec for NumPy arrays, over OpenJPH.

``encode``/``decode`` turn arrays into HTJ2K codestreams and back;
``imread``/``imwrite`` read and write .jph files and raw .j2c codestreams;
``decode_info`` reads a header without decoding; ``immeta`` reads a JPH
file's metadata (ICC profile, resolution, XML, XMP, channels); ``decode_components`` and
``encode_components`` take pictures whose components differ in size or
precision (YCbCr 4:2:2, 4:2:0) one array per component.  The ``ferroglyph``
command (``python -m ferroglyph``) does the same for files.
"""

from ._api import (
    OpenJphError,
    OpenJphUnsupportedFeature,
    decode,
    decode_info,
    encode,
    imread,
    imwrite,
    last_warnings,
)
from ._components import decode_components, encode_components
from ._metadata import immeta
from ._rate import last_encode_stats

__all__ = ["OpenJphError", "OpenJphUnsupportedFeature", "decode", "decode_components",
           "decode_info", "encode", "encode_components", "immeta", "imread", "imwrite",
           "last_encode_stats", "last_warnings"]

__version__ = "0.1.0"
