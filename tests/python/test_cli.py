"""The ferroglyph command: info, encode, decode over files and folders."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

import ferroglyph
from ferroglyph import cli


def pnm(path, data, maxval):
    magic = b"P5" if data.ndim == 2 else b"P6"
    samples = data.astype(">u2" if maxval > 255 else "u1").tobytes()
    path.write_bytes(b"%s\n%d %d\n%d\n" % (magic, data.shape[1], data.shape[0], maxval) + samples)


@pytest.fixture
def folder(tmp_path):
    """Three images and one bad file among them."""
    src = tmp_path / "in"
    src.mkdir()
    rng = np.random.default_rng(3)
    images = {
        "grey": rng.integers(0, 256, (30, 40), dtype=np.uint8),
        "colour": rng.integers(0, 4096, (20, 24, 3)).astype(np.uint16),
        "stack": rng.integers(-500, 500, (10, 12, 5)).astype(np.int16),
    }
    pnm(src / "grey.pgm", images["grey"], 255)
    pnm(src / "colour.ppm", images["colour"], 4095)
    np.save(src / "stack.npy", images["stack"])
    (src / "bad.ppm").write_bytes(b"P6\n40 30\n255\n" + bytes(100))  # samples missing
    (src / "notes.txt").write_text("not an image; not picked from a folder")
    return tmp_path, images


def test_a_folder_with_one_bad_file_writes_the_rest_and_exits_1(folder, capsys):
    root, images = folder
    assert cli.main(["encode", str(root / "in"), "-o", str(root / "coded")]) == 1
    out, err = capsys.readouterr()
    assert err.splitlines() == [f"ferroglyph: {root / 'in' / 'bad.ppm'}: truncated PGM/PPM "
                                "file: 3600 bytes of samples expected, 100 present"]
    assert "encoded 3 of 4 files (1 failed)" in out.splitlines()[-1]
    assert sorted(os.listdir(root / "coded")) == ["colour.jph", "grey.jph", "stack.jph"]
    # 4095 as the PPM's maximum: coded at 12 bits unless --bits says otherwise.
    assert ferroglyph.decode_info((root / "coded" / "colour.jph").read_bytes())[
        "bit_depth"] == 12

    assert cli.main(["decode", str(root / "coded"), "-o", str(root / "back")]) == 0
    capsys.readouterr()
    assert sorted(os.listdir(root / "back")) == ["colour.ppm", "grey.pgm", "stack.npy"]
    assert (root / "back" / "grey.pgm").read_bytes() == (root / "in" / "grey.pgm").read_bytes()
    assert (root / "back" / "colour.ppm").read_bytes() == \
        (root / "in" / "colour.ppm").read_bytes()
    np.testing.assert_array_equal(np.load(root / "back" / "stack.npy"), images["stack"])


def test_info_prints_one_json_object_per_file_and_reports_bad_ones(folder, capsys):
    root, _ = folder
    cli.main(["encode", str(root / "in" / "grey.pgm"), "-o", str(root / "g.jph"),
              "--tile", "16", "16"])
    cli.main(["encode", str(root / "in" / "grey.pgm"), "-o", str(root / "g.j2c")])
    capsys.readouterr()
    status = cli.main(["info", str(root / "g.jph"), str(root / "in" / "grey.pgm"),
                       str(root / "g.j2c")])
    out, err = capsys.readouterr()
    assert status == 1
    assert err == (f"ferroglyph: {root / 'in' / 'grey.pgm'}: not a JPEG 2000 codestream or "
                   "JPH/JP2 file; the data starts like a PGM file\n")
    jph, raw = (json.loads(line) for line in out.splitlines())
    assert (jph["width"], jph["height"], jph["shape"], jph["tiles"]) == (40, 30, [30, 40], 6)
    assert [b["type"] for b in jph["boxes"]] == ["jP  ", "ftyp", "jp2h", "jp2c"]
    assert jph["boxes"][2]["boxes"][0]["compression"] == 7
    assert "boxes" not in raw and raw["tiles"] == 1 and raw["size"] == raw["codestream_bytes"]


@pytest.mark.parametrize("command", [[], ["info"], ["encode"], ["decode"]])
def test_every_command_has_help(command):
    run = subprocess.run([sys.executable, "-m", "ferroglyph", *command, "--help"],
                         capture_output=True, text=True, check=True)
    assert run.stdout.startswith("usage: ferroglyph")


def test_png_without_pillow_names_the_extra(folder, capsys, monkeypatch):
    root, _ = folder
    monkeypatch.setitem(sys.modules, "PIL", None)
    monkeypatch.setitem(sys.modules, "PIL.Image", None)
    (root / "a.png").write_bytes(b"\x89PNG\r\n\x1a\n")
    assert cli.main(["encode", str(root / "a.png"), "-o", str(root / "a.jph")]) == 1
    assert "needs Pillow, which is not installed: pip install 'ferroglyph[io]'" in \
        capsys.readouterr().err


@pytest.mark.parametrize("suffix", [".png", ".tif"])
def test_png_and_tiff_round_trip_with_the_extra(folder, capsys, suffix):
    root, images = folder
    pytest.importorskip("PIL" if suffix == ".png" else "tifffile")
    grey = root / f"grey{suffix}"
    assert cli.main(["decode", str(_coded(root, "grey")), "-o", str(grey)]) == 0
    assert cli.main(["encode", str(grey), "-o", str(root / "again.j2c")]) == 0
    capsys.readouterr()
    np.testing.assert_array_equal(ferroglyph.imread(root / "again.j2c"), images["grey"])


def _coded(root, name):
    path = root / f"{name}.jph"
    if not path.exists():
        cli.main(["encode", str(root / "in" / f"{name}.pgm"), "-o", str(path)])
    return path


def test_on_a_terminal_several_files_show_a_bar_instead_of_lines(folder, capsys, monkeypatch):
    pytest.importorskip("tqdm")
    root, _ = folder
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    threads = set(threading.enumerate())
    assert cli.main(["encode", str(root / "in" / "grey.pgm"), str(root / "in" / "stack.npy"),
                     "-o", str(root / "coded")]) == 0
    out, err = capsys.readouterr()
    assert out.splitlines()[0].startswith("encoded 2 of 2 files: ")  # the summary alone
    assert "2/2" in err
    assert set(threading.enumerate()) == threads  # no monitor thread left behind


@pytest.mark.parametrize("suffix", [".png", ".tif"])
def test_icc_and_dpi_travel_from_png_and_tiff_through_jph_and_back(tmp_path, capsys, suffix):
    Image = pytest.importorskip("PIL.Image")
    ImageCms = pytest.importorskip("PIL.ImageCms")
    tifffile = pytest.importorskip("tifffile")
    jpylyzer = pytest.importorskip("jpylyzer.jpylyzer")
    icc = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
    data = np.random.default_rng(4).integers(0, 256, (12, 16, 3), dtype=np.uint8)
    src = tmp_path / f"in{suffix}"
    if suffix == ".png":
        Image.fromarray(data).save(src, icc_profile=icc, dpi=(254, 127))  # whole px per metre
    else:
        tifffile.imwrite(src, data, photometric="rgb", iccprofile=icc, resolution=(254, 127),
                         resolutionunit="INCH")
    jph = tmp_path / "a.jph"
    assert cli.main(["encode", str(src), "-o", str(jph)]) == 0
    assert jpylyzer.checkOneFile(str(jph), "jph").findtext("isValid") == "True"
    capsys.readouterr()
    assert cli.main(["info", str(jph)]) == 0
    facts = json.loads(capsys.readouterr().out)["metadata"]
    assert facts["colour"] == "icc" and facts["icc_profile_bytes"] == len(icc)
    assert facts["dpi"] == pytest.approx([254, 127], rel=1e-6)
    for out in ("b.png", "b.tif"):
        assert cli.main(["decode", str(jph), "-o", str(tmp_path / out)]) == 0
        from ferroglyph import _image_files
        meta = _image_files.read_metadata(str(tmp_path / out))
        assert meta["icc_profile"] == icc
        assert meta["dpi"] == pytest.approx((254, 127), rel=1e-6)
    assert cli.main(["encode", str(src), "-o", str(tmp_path / "raw.j2c")]) == 0  # not refused
