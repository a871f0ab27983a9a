"""The installed bridge library: self-contained, exporting only its C interface."""

import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import ferroglyph.codecs
import bridge_ctypes

CODECS_DIR = os.path.dirname(ferroglyph.codecs.__file__)
LIBRARY = os.path.join(CODECS_DIR, "libopenjph_shim.so")
EXPORTED = {
    "ferroglyph_htj2k_decode_info", "ferroglyph_htj2k_decode", "ferroglyph_htj2k_encode",
    "ferroglyph_htj2k_free", "ferroglyph_htj2k_last_error", "ferroglyph_htj2k_last_warnings",
    "ferroglyph_htj2k_clear_warnings", "ferroglyph_htj2k_encode_region",
    "ferroglyph_htj2k_components_info", "ferroglyph_htj2k_decode_components",
    "ferroglyph_htj2k_encode_components", "ferroglyph_htj2k_means_data_loss",
}


def test_library_and_header_are_installed_in_the_package():
    assert os.path.isfile(LIBRARY)
    assert os.path.isfile(os.path.join(CODECS_DIR, "openjph_shim", "openjph_shim.h"))
    assert not any(name.endswith(".cpp") for name in os.listdir(os.path.join(CODECS_DIR, "openjph_shim")))


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils' nm is not available")
def test_exports_exactly_the_c_interface():
    out = subprocess.run(["nm", "-D", "--defined-only", LIBRARY], capture_output=True, text=True,
                         check=True).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert symbols == EXPORTED


def test_loads_without_library_path_from_a_clean_process():
    # The OpenJPH library (bundled or system) must be found through the run
    # path alone, in a process that inherits no loader variables.
    env = {k: v for k, v in os.environ.items() if not k.startswith("LD_")}
    code = textwrap.dedent(f"""
        import ctypes
        lib = ctypes.CDLL({LIBRARY!r})
        lib.ferroglyph_htj2k_last_error.restype = ctypes.c_char_p
        print(repr(lib.ferroglyph_htj2k_last_error()))
    """)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "b''"


@pytest.mark.parametrize("dtype", ["u1", "i1", "u2", "i2", "u4", "i4"])
@pytest.mark.parametrize("planar", [False, True])
def test_c_callers_round_trip_every_sample_type(bridge, dtype, planar):
    info = np.iinfo(dtype)
    rng = np.random.default_rng(1)
    shape = (3, 21, 34) if planar else (21, 34, 3)
    image = rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)
    image.flat[:2] = info.min, info.max
    cs = bridge.encode(image, planar=planar)
    assert cs[:4] == b"\xff\x4f\xff\x51" and cs[-2:] == b"\xff\xd9"
    assert np.array_equal(bridge.decode(cs, planar=planar), image)


def test_failures_carry_the_bridge_code_and_text(bridge):
    with pytest.raises(bridge_ctypes.BridgeError) as e:
        bridge.decode_info(b"\xff\x4f\xff\x51 this is not a codestream")
    assert e.value.code == 2
    assert e.value.text.startswith("decode_info: ")
    with pytest.raises(bridge_ctypes.BridgeError, match=r"invalid frame info \(rc=2\)"):
        bridge.encode(np.zeros((4, 4), np.uint8), bit_depth=9)


def test_bridge_never_prints(bridge, capfd):
    image = np.arange(64 * 64, dtype=np.uint16).reshape(64, 64)
    cs = bridge.encode(image)
    for cut in (len(cs) // 2, len(cs) - 3):
        try:
            bridge.decode(cs[:cut])
        except bridge_ctypes.BridgeError:
            pass
    out, err = capfd.readouterr()
    assert out == "" and err == ""


@pytest.mark.parametrize("line, lost", [
    (b"File terminated early", 1), (b"Error decoding a codeblock.", 1),
    (b"Not enough precision to decode the SgnProp nor MagRef passes; both will be skipped.", 1),
    (b"RGN is not supported yet", 0), (b"CRG has been ignored", 0), (b"", 0), (None, 0),
])
def test_one_list_says_which_lines_mean_lost_samples(line, lost):
    import ctypes
    lib = ctypes.CDLL(LIBRARY)
    lib.ferroglyph_htj2k_means_data_loss.argtypes = [ctypes.c_char_p]
    assert lib.ferroglyph_htj2k_means_data_loss(line) == lost
