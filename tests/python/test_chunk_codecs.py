"""The numcodecs and zarr 3 HTJ2K codecs, and the dask example that uses them."""

import json
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import codestreams as cst

numcodecs = pytest.importorskip("numcodecs", reason="numcodecs not installed (extra ferroglyph[zarr])")
from ferroglyph.numcodecs import HTJ2K  # noqa: E402

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "zarr_dask.py")


def run_fresh(code: str) -> str:
    """Runs ``code`` in a new interpreter (entry points are looked up there, not here)."""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def image(shape, dtype, seed=3):
    return cst.random_image(shape, dtype, seed)


@pytest.mark.parametrize("options", [
    {},
    {"level": 90},
    {"level": 0.01, "tile": (64, 32), "numthreads": None},
    {"bits": 12, "reversible": True, "block_size": [32, 32], "prog_order": "RPCL", "tlm": True},
    {"level": np.float32(50), "bits": np.int64(10), "numthreads": np.int32(2)},   # NumPy scalars
])
def test_config_round_trips_through_json_and_the_registry(options):
    codec = HTJ2K(**options)
    config = json.loads(json.dumps(codec.get_config()))
    assert config["id"] == "ferroglyph.htj2k"
    again = numcodecs.get_codec(config)
    assert type(again) is HTJ2K and again == codec and again.get_config() == codec.get_config()
    assert pickle.loads(pickle.dumps(codec)) == codec      # dask ships codecs to worker processes


def test_a_fresh_process_finds_the_codec_without_importing_ferroglyph():
    out = run_fresh(
        "import sys, numcodecs\n"
        "assert 'ferroglyph' not in sys.modules\n"
        "codec = numcodecs.get_codec({'id': 'ferroglyph.htj2k', 'level': 90})\n"
        "print(type(codec).__module__, codec.get_config()['level'])\n")
    assert out.split() == ["ferroglyph.numcodecs", "90"]


@pytest.mark.parametrize("shape, coded", [
    ((40, 30), (40, 30)),
    ((40, 30, 3), (40, 30, 3)),
    ((3, 8, 5), (3, 8, 5)),        # (H, W, C) with C > 4 and H <= 4: still channels last
    ((40, 30, 2), (40, 30, 2)),
    ((1, 40, 30), (40, 30)),       # one plane of an image stack
    ((1, 1, 40, 30, 4), (40, 30, 4)),
])
@pytest.mark.parametrize("dtype", ["u1", "i2", "u4", "f4"])
def test_lossless_chunks_round_trip_with_and_without_out(shape, coded, dtype):
    chunk = image(shape, dtype)
    codec = HTJ2K()
    buf = codec.encode(chunk)
    decoded = codec.decode(buf)
    assert decoded.shape == coded and decoded.dtype == chunk.dtype
    assert decoded.tobytes() == chunk.tobytes()
    out = np.zeros_like(chunk)
    assert codec.decode(buf, out=out) is not None and out.tobytes() == chunk.tobytes()
    raw = bytearray(chunk.nbytes)                    # numcodecs' plain-buffer form of out
    codec.decode(buf, out=raw)
    assert bytes(raw) == chunk.tobytes()
    strided = np.zeros(shape + (2,), dtype)[..., 0]  # a non-contiguous out of the right shape
    codec.decode(buf, out=strided)
    assert strided.tobytes() == chunk.tobytes()


def test_bits_and_lossy_levels():
    data = image((64, 48), "u2") >> 4
    twelve = HTJ2K(bits=12).encode(data)
    assert HTJ2K().decode(twelve).tobytes() == data.tobytes()
    import ferroglyph
    assert ferroglyph.decode_info(twelve)["bit_depth"] == 12
    with pytest.raises(ValueError):
        HTJ2K(bits=12).encode(data | 0x1000)
    rgb = image((64, 64, 3), "u1") // 4 + 100
    lossy = HTJ2K(level=60).decode(HTJ2K(level=60).encode(rgb)).astype(int)
    assert np.abs(lossy - rgb).mean() < 16


@pytest.mark.parametrize("call, error", [
    (lambda: HTJ2K().encode(np.zeros(100, "u1")), ValueError),
    (lambda: HTJ2K().encode(np.zeros((2, 8, 8, 3), "u1")), ValueError),
    (lambda: HTJ2K().encode(np.zeros((8, 8), "f8")), TypeError),
    (lambda: HTJ2K().encode(np.zeros((8, 8), bool)), TypeError),
    (lambda: HTJ2K().decode(HTJ2K().encode(np.zeros((8, 8), "u1")), out=np.zeros(65, "u1")), ValueError),
    (lambda: HTJ2K(level=-1), ValueError),
    (lambda: HTJ2K(level=float("nan")), ValueError),
    (lambda: HTJ2K(bits=0), ValueError),
    (lambda: HTJ2K(tile=(0, 8)), ValueError),
    (lambda: HTJ2K(planar=True), TypeError),
    (lambda: HTJ2K(qualty=9), TypeError),
])
def test_refusals(call, error):
    with pytest.raises(error):
        call()


# --- zarr 3 -----------------------------------------------------------------------------------

@pytest.fixture
def zarr():
    return pytest.importorskip("zarr", minversion="3", reason="zarr 3 not installed (extra ferroglyph[zarr])")


@pytest.mark.parametrize("shape, chunks, dtype, options", [
    ((100, 70, 3), (64, 64, 3), "u1", {}),               # edge chunks on both axes
    ((5, 90, 33), (1, 32, 32), "u2", {"bits": 12}),      # 12-bit image stack, planes chunked by 1
    ((50, 50), (50, 50), "i4", {}),
    ((37, 41), (16, 16), "f4", {}),
])
def test_zarr_store_round_trip_in_a_fresh_process(tmp_path, zarr, shape, chunks, dtype, options):
    import ferroglyph.zarr

    data = image(shape, dtype)
    if "bits" in options:
        data >>= 16 - options["bits"]
    store = str(tmp_path / "a.zarr")
    z = zarr.create_array(store, shape=shape, chunks=chunks, dtype=dtype,
                          serializer=ferroglyph.zarr.HTJ2K(**options), compressors=None)
    z[...] = data
    assert zarr.open_array(store, mode="r")[...].tobytes() == data.tobytes()
    meta = json.loads((tmp_path / "a.zarr" / "zarr.json").read_text())
    assert meta["codecs"] == [{"name": "ferroglyph.htj2k", "configuration": z.metadata.codecs[0].to_dict()["configuration"]}]
    np.save(tmp_path / "ref.npy", data)
    out = run_fresh(
        "import sys, numpy as np, zarr\n"
        f"z = zarr.open_array({store!r}, mode='r')\n"
        f"ref = np.load({str(tmp_path / 'ref.npy')!r})\n"
        "print(z[...].tobytes() == ref.tobytes(), z[3:7, 5:40].tobytes() == ref[3:7, 5:40].tobytes())\n")
    assert out.split() == ["True", "True"]


def test_zarr_format_2_store_with_the_numcodecs_codec_in_a_fresh_process(tmp_path, zarr):
    data = image((100, 70, 3), "u1")
    store = str(tmp_path / "v2.zarr")
    z = zarr.create_array(store, shape=data.shape, chunks=(64, 64, 3), dtype="u1",
                          compressors=HTJ2K(), zarr_format=2)
    z[...] = data
    assert json.loads((tmp_path / "v2.zarr" / ".zarray").read_text())["compressor"]["id"] == "ferroglyph.htj2k"
    np.save(tmp_path / "ref.npy", data)
    out = run_fresh(
        "import numpy as np, zarr\n"
        f"print(zarr.open_array({store!r}, mode='r')[...].tobytes() == "
        f"np.load({str(tmp_path / 'ref.npy')!r}).tobytes())\n")
    assert out.split() == ["True"]


def test_zarr_codec_refuses_what_it_cannot_store_when_the_array_is_created(tmp_path, zarr):
    import ferroglyph.zarr

    for dtype, chunks, kind in [("f8", (8, 8), TypeError), ("u1", (2, 8, 8, 3), ValueError),
                                ("u1", (64,), ValueError)]:
        shape = chunks
        with pytest.raises(kind):
            zarr.create_array(str(tmp_path / f"{dtype}{len(chunks)}.zarr"), shape=shape, chunks=chunks,
                              dtype=dtype, serializer=ferroglyph.zarr.HTJ2K(), compressors=None)


def test_zarr_codec_dict_round_trip(zarr):
    import ferroglyph.zarr

    codec = ferroglyph.zarr.HTJ2K(level=80, tile=(128, 128), prog_order="RPCL")
    again = ferroglyph.zarr.HTJ2K.from_dict(json.loads(json.dumps(codec.to_dict())))
    assert again == codec and hash(again) == hash(codec)
    assert pickle.loads(pickle.dumps(codec)) == codec


# Configurations exactly as the zarr.json of stores written before the codec's options became
# its dataclass fields: they must keep opening, and be written back unchanged.
STORED_CONFIGURATIONS = [
    {"level": None, "bits": None, "tile": None, "reversible": None, "numthreads": 1},
    {"level": 80, "bits": None, "tile": [128, 128], "reversible": None, "numthreads": 1,
     "prog_order": "RPCL"},
    {"level": 0.01, "bits": 12, "tile": None, "reversible": False, "numthreads": None,
     "block_size": [32, 32], "num_decomp": 3, "profile": "IMF", "resolutions": 4, "rgb": False,
     "tilepart": 1, "tlm": True},
]


@pytest.mark.parametrize("configuration", STORED_CONFIGURATIONS)
def test_zarr_codec_reads_and_writes_stored_configurations_unchanged(zarr, configuration):
    import dataclasses

    import ferroglyph.zarr

    stored = {"name": "ferroglyph.htj2k", "configuration": configuration}
    codec = ferroglyph.zarr.HTJ2K.from_dict(json.loads(json.dumps(stored)))
    assert json.dumps(codec.to_dict()) == json.dumps(stored)      # same keys, order and values
    # The configuration is the dataclass's fields, compared and hashed as such.
    names = {f.name for f in dataclasses.fields(codec)}
    assert set(configuration) <= names and "options" not in names
    again = dataclasses.replace(codec, **{k: v for k, v in configuration.items() if k != "level"})
    assert again == codec and hash(again) == hash(codec)
    assert (dataclasses.replace(codec, level=50) == codec) is False


@pytest.mark.parametrize("configuration, error", [
    ({"level": 90, "qualty": 9}, TypeError),             # an option this codec does not have
    ({"level": "90"}, TypeError),
    ({"numthreads": -1}, ValueError),                      # 0 is automatic, as everywhere
    ({"tile": [64]}, TypeError),                           # not a pair
    ({"tile": [0, 64]}, ValueError),
    ({"block_size": 32}, TypeError),
])
def test_zarr_codec_refuses_bad_stored_configurations(zarr, configuration, error):
    import ferroglyph.zarr

    with pytest.raises(error):
        ferroglyph.zarr.HTJ2K.from_dict({"name": "ferroglyph.htj2k", "configuration": configuration})


# --- the dask example -------------------------------------------------------------------------

def test_dask_example_with_both_schedulers(tmp_path, zarr):
    if not os.path.exists(EXAMPLE):
        pytest.skip("examples/ is not beside these tests")
    pytest.importorskip("dask.array", reason="dask not installed (extra ferroglyph[zarr])")
    pytest.importorskip("distributed", reason="dask.distributed not installed (extra ferroglyph[zarr])")
    proc = subprocess.run(
        [sys.executable, EXAMPLE, "--size", "700", "--chunk", "256", "--workers", "2",
         "--schedulers", "threads,distributed"],
        capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.count("read back identical") == 2
    assert "ratio" in proc.stdout and "MiB/s" in proc.stdout
