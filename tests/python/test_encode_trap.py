"""Settings OpenJPH's encoder asserts on raise instead of ending the process.

OpenJPH checks some encoder settings with assert() only; the bridge traps
the abort, so these calls, which once killed the interpreter, run in-process.
"""

from __future__ import annotations

import numpy as np
import pytest

import ferroglyph.codecs._openjph as ojph

TRAPPED = (r"^encode: OpenJPH stopped at a failed internal check \(assertion\) while encoding; "
           r"it cannot code these samples with these settings \(rc=5\)$")


def _noise(shape: tuple[int, ...], bits: int, dtype: str) -> np.ndarray:
    return np.random.default_rng(0).integers(0, 1 << bits, shape, dtype=dtype)


CASES = {
    # A band step that leaves busy content no magnitude bit.
    "grey noise at 7": lambda: ojph.encode(_noise((256, 256), 8, "u1"), 7),
    # Code-blocks wider than OpenJPH's 32-bit lines.
    "25-bit at 100": lambda: ojph._encode_ex(_noise((64, 64), 25, "u4"), 100, bits=25),
    "25-bit tiled at 100": lambda: ojph._encode_ex(_noise((64, 64), 25, "u4"), 100, bits=25,
                                                   tile=(32, 32)),
}


@pytest.mark.parametrize("name", list(CASES))
def test_uncodable_settings_raise_and_leave_the_codec_working(name: str) -> None:
    for _ in range(3):
        with pytest.raises(ojph.OpenJphError, match=TRAPPED):
            CASES[name]()
    image = _noise((64, 64), 25, "u4")
    assert np.array_equal(ojph.decode(ojph._encode_ex(image, bits=25)), image)

