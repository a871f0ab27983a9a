"""decode() and decode_info() on real codestreams made by other encoders."""

import csv
import glob
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import codestreams as cst
from ferroglyph.codecs._openjph import (
    OpenJphError,
    OpenJphUnsupportedFeature,
    decode,
    decode_info,
    last_warnings,
)

CODESTREAM_SUFFIXES = (".j2k", ".j2c", ".jph", ".jhc", ".jp2")
KAKADU = "openjph_test_codestreams"
MALAMUTE_SOURCE = f"{KAKADU}/simple_dec_rev53_64x64.jph"
NOT_UNIFORM = ("HTJ2K decode: the components differ in precision, sign, nonlinearity or "
               "subsampling; not supported")


def load(corpus_dir, name):
    with open(os.path.join(corpus_dir, name), "rb") as f:
        return cst.raw_codestream(f.read())


@pytest.fixture(scope="module")
def catalog(corpus_dir):
    with open(os.path.join(corpus_dir, "catalog.tsv"), newline="") as f:
        return {row["file"]: row for row in
                csv.DictReader(f, delimiter="\t", quoting=csv.QUOTE_NONE)}


@pytest.fixture(scope="module")
def malamute(corpus_dir):
    """The absent Malamute.ppm, rebuilt from the lossless Kakadu codestream of it."""
    return decode(load(corpus_dir, MALAMUTE_SOURCE))


def parse_mse_pae(path):
    """mse_pae.txt: a "<file> <reference>" line, then one "<MSE> <PAE>" line per component."""
    expected = {}
    current = None
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) != 2:
                continue
            try:
                mse, pae = float(fields[0]), int(fields[1])
            except ValueError:
                current = fields[0]
                expected[current] = (fields[1], [])
                continue
            expected[current][1].append((mse, pae))
    return expected


def errors_per_component(decoded, reference):
    """[(MSE, peak absolute error)] per component of two (H, W) or (H, W, C) images."""
    diff = decoded.astype(np.int32) - reference.astype(np.int32)
    components = 1 if diff.ndim == 2 else diff.shape[-1]
    planes = np.ascontiguousarray(diff.reshape(-1, components).T, dtype=np.float64)
    return [(float(np.dot(p, p)) / p.size, int(np.abs(p).max())) for p in planes]


def assert_errors_within(got, expected, name):
    """Per component: MSE and peak error no larger than expected (the expected MSE
    is printed to a few digits, hence the slack)."""
    assert len(got) == len(expected), name
    for c, ((mse, pae), (want_mse, want_pae)) in enumerate(zip(got, expected)):
        assert pae <= want_pae, f"{name} component {c}: peak error {pae}, expected {want_pae}"
        assert mse <= want_mse * (1 + 1e-3) + 1e-9, (
            f"{name} component {c}: MSE {mse}, expected {want_mse}")


def reference_image(corpus_dir, entry, reference, malamute):
    """The reference named in the catalog or in mse_pae.txt, or None if it is absent."""
    if "Malamute" in reference:
        return malamute
    ref = reference.split()[0]
    candidates = [os.path.join(corpus_dir, ref),
                  os.path.join(corpus_dir, os.path.dirname(entry), ref),
                  os.path.join(corpus_dir, entry.split("/")[0], ref),
                  os.path.join(corpus_dir, KAKADU, "references", os.path.basename(ref))]
    for pattern in candidates:
        paths = sorted(glob.glob(pattern))
        if not paths:
            continue
        if paths[0].endswith(".pgx"):
            return np.stack([cst.read_pgx(p) for p in paths], axis=-1)
        if paths[0].endswith((".ppm", ".pgm")):
            return cst.read_pnm(paths[0])
        return None
    return None


# ---------------------------------------------------------------------------
# The sweep: every codestream in the corpus, in a child process


SWEEP_SCRIPT = textwrap.dedent("""
    import json, sys, warnings
    import codestreams as cst
    from ferroglyph.codecs import _openjph as m

    def attempt(call, data, **kw):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                got = call(data, **kw)
                out = {"result": "ok", "shape": list(got.shape) if call is m.decode else
                       [got["height"], got["width"], got["components"]],
                       "levels": None if call is m.decode else got["num_decompositions"]}
            except Exception as exc:
                out = {"result": "error", "type": type(exc).__name__,
                       "openjph": isinstance(exc, m.OpenJphError), "message": str(exc)}
        out["warnings"] = [[w.category.__name__, str(w.message)] for w in caught]
        return out

    def run(name, variant, call, data, resilient=False, reduce=0):
        print("START", name, variant, call.__name__, resilient, reduce, flush=True)
        rec = attempt(call, data, resilient=resilient, reduce=reduce)
        rec.update(file=name, variant=variant, call=call.__name__, resilient=resilient,
                   reduce=reduce)
        print(json.dumps(rec), flush=True)
        return rec

    root, plan = sys.argv[1], json.loads(sys.argv[2])
    for name, (full_decode, coarsest_only) in plan.items():
        with open(f"{root}/{name}", "rb") as f:
            whole = f.read()
        try:
            variants = {"raw": cst.raw_codestream(whole)}
        except ValueError:
            variants = {}
        if variants.get("raw") != whole:
            variants["file"] = whole
        raw = variants.get("raw")
        if raw is not None and len(raw) < 40_000:
            for cut in (0.3, 0.7, 0.97):
                variants[f"cut{cut}"] = raw[:int(len(raw) * cut)]
        calls = (m.decode_info, m.decode) if full_decode else (m.decode_info,)
        for variant, data in variants.items():
            for resilient in (False, True):
                for call in calls:
                    run(name, variant, call, data, resilient)
        if raw is None:
            continue
        info = run(name, "raw", m.decode_info, raw, reduce=0)
        if info["result"] != "ok":
            continue
        levels = info["levels"]
        for r in [levels] if coarsest_only else range(1, levels + 1):
            run(name, "raw", m.decode_info, raw, reduce=r)
            run(name, "raw", m.decode, raw, reduce=r)
    print("DONE", flush=True)
""")


@pytest.fixture(scope="module")
def all_codestreams(corpus_dir):
    names = []
    for folder, _dirs, files in os.walk(corpus_dir):
        for f in files:
            if f.endswith(CODESTREAM_SUFFIXES):
                names.append(os.path.relpath(os.path.join(folder, f), corpus_dir))
    return sorted(names)


def _tile_count(row):
    return int(row["tiles"].split()[0]) if row["tiles"] else 1


@pytest.fixture(scope="module", autouse=True)
def sweep(corpus_dir, all_codestreams, catalog, tmp_path_factory):
    """Starts the sweep at once, so that it runs beside this module's other tests.

    Every codestream goes through decode_info and decode, resilient or not, raw
    and (for wrapped files) whole, cut short, and at every reduction.  The
    Kakadu files are decoded at full size in process by the reference tests,
    and files of hundreds of tiles are reduced only to their coarsest level
    (their cost is per tile).  A crash or abort inside the codec kills the
    child, not pytest."""
    plan = {name: ("/simple_dec_" not in name, _tile_count(catalog.get(name, {"tiles": ""})) > 500)
            for name in all_codestreams}
    log_dir = tmp_path_factory.mktemp("sweep")
    with open(log_dir / "out", "w") as out, open(log_dir / "err", "w") as err:
        proc = subprocess.Popen(
            [sys.executable, "-c", SWEEP_SCRIPT, corpus_dir, json.dumps(plan)],
            stdout=out, stderr=err, cwd=os.path.dirname(os.path.abspath(__file__)))
    proc.log_dir = log_dir
    yield proc
    if proc.poll() is None:
        proc.kill()
        proc.wait()


def test_catalog_describes_the_corpus(catalog, all_codestreams):
    assert set(catalog) == set(all_codestreams)


# ---------------------------------------------------------------------------
# Lossless files


def _kakadu_reversible(catalog_rows):
    return sorted(n for n in catalog_rows if n.startswith(f"{KAKADU}/simple_dec_rev"))


KAKADU_REVERSIBLE = [
    "simple_dec_rev53_64x64.jph", "simple_dec_rev53_64x64_16bit.jph",
    "simple_dec_rev53_64x64_16bit_gray.jph", "simple_dec_rev53_64x64_gray_tiles.jph",
    "simple_dec_rev53_64x64_tiles_yuv.jph", "simple_dec_rev53_64x64_yuv.jph",
]


def test_every_reversible_kakadu_file_is_covered(catalog):
    assert _kakadu_reversible(catalog) == [f"{KAKADU}/{n}" for n in KAKADU_REVERSIBLE]


@pytest.mark.parametrize("name", KAKADU_REVERSIBLE)
def test_reversible_kakadu_files_decode_to_their_references(corpus_dir, catalog, malamute, name):
    entry = f"{KAKADU}/{name}"
    row = catalog[entry]
    cs = load(corpus_dir, entry)
    info = decode_info(cs)
    assert (info["width"], info["height"], info["components"], info["bit_depth"]) == (
        int(row["width"]), int(row["height"]), int(row["components"]), int(row["bit_depth"]))
    if row["subsampling"]:  # 4:2:0
        assert info["uniform"] is False and info["dtype"] is None
        with pytest.raises(OpenJphError) as exc:
            decode(cs)
        assert str(exc.value) == NOT_UNIFORM
        return
    out = decode(cs)
    assert last_warnings() == ""
    if entry == MALAMUTE_SOURCE:
        # It is its own reference: check it against the catalog's geometry and
        # a second, planar decode instead.
        assert out.shape == (1080, 1616, 3) and out.dtype == np.uint8
        np.testing.assert_array_equal(np.moveaxis(decode(cs, planar=True), 0, 2), out)
        return
    ref = reference_image(corpus_dir, entry, row["reference"], malamute)
    assert out.dtype == ref.dtype and out.shape == ref.shape
    np.testing.assert_array_equal(out, ref)


REDUCIBLE = [
    f"{KAKADU}/simple_dec_rev53_64x64_16bit.jph",
    f"{KAKADU}/simple_dec_rev53_64x64_16bit_gray.jph",
    f"{KAKADU}/openjph_encoded/simple_enc_rev53_tall_narrow.j2c",
    "openjpeg_data/htj2k/Bretagne1_ht.j2k",
    "openjpeg_data/htj2k/byte.jph",
]


@pytest.mark.parametrize("entry", REDUCIBLE)
def test_reduced_decodes_of_foreign_reversible_files_match_the_5_3_reference(corpus_dir, entry):
    cs = load(corpus_dir, entry)
    info = decode_info(cs)
    full = decode(cs, planar=True)
    source = full if full.ndim == 3 else full[None]
    for r in range(1, info["num_decompositions"] + 1):
        out = decode(cs, reduce=r, planar=True)
        ref = cst.reference_reduced(source, info["bit_depth"], info["signed"],
                                    color_transform=info["color_transform"], data=r)
        np.testing.assert_array_equal(out if out.ndim == 3 else out[None], ref,
                                      err_msg=f"{entry} reduce={r}")


# ---------------------------------------------------------------------------
# Lossy files


def _mse_pae_entries(corpus_dir):
    expected = parse_mse_pae(os.path.join(corpus_dir, KAKADU, "mse_pae.txt"))
    return {name: value for name, value in expected.items()
            if name.startswith("simple_dec_irv")
            and os.path.exists(os.path.join(corpus_dir, KAKADU, name))}


def test_mse_pae_covers_every_irreversible_kakadu_file(corpus_dir, catalog):
    listed = set(_mse_pae_entries(corpus_dir))
    present = {n.split("/")[-1] for n in catalog if n.startswith(f"{KAKADU}/simple_dec_irv")}
    assert listed == present


def test_irreversible_kakadu_files_decode_within_the_expected_error(corpus_dir, malamute):
    checked = 0
    for name, (reference, expected) in sorted(_mse_pae_entries(corpus_dir).items()):
        cs = load(corpus_dir, f"{KAKADU}/{name}")
        if not decode_info(cs)["uniform"]:
            with pytest.raises(OpenJphError, match="components differ"):
                decode(cs)
            continue
        ref = reference_image(corpus_dir, f"{KAKADU}/{name}", reference, malamute)
        out = decode(cs)
        assert out.shape == ref.shape, name
        assert_errors_within(errors_per_component(out, ref), expected, name)
        checked += 1
    assert checked >= 25


def _catalog_errors(text):
    return [(float(mse), int(pae)) for mse, pae in (part.split("/") for part in text.split())]


def test_other_files_with_references_decode_within_the_catalogued_error(corpus_dir, catalog,
                                                                       malamute):
    checked = []
    for entry, row in sorted(catalog.items()):
        if not row["vs_reference(MSE/PAE)"] or entry.startswith(f"{KAKADU}/simple_dec"):
            continue
        ref = reference_image(corpus_dir, entry, row["reference"], malamute)
        if ref is None:
            continue  # a TIFF or a missing reference
        cs = load(corpus_dir, entry)
        out = decode(cs)
        assert out.shape == ref.shape, entry
        assert_errors_within(errors_per_component(out, ref),
                                  _catalog_errors(row["vs_reference(MSE/PAE)"]), entry)
        checked.append(entry)
    assert "openjpeg_data/htj2k/Bretagne1_ht.j2k" in checked
    assert "openhtj2k_data/tests_data/sigprop_refinement_overlap.j2k" in checked
    assert len(checked) >= 10


# ---------------------------------------------------------------------------
# Files that must not decode quietly, or at all


def test_conformance_file_with_tile_qcds_is_never_returned_quietly(corpus_dir):
    cs = load(corpus_dir, "iso_htj2k_conformance/ds1_ht_04_b9.j2k")
    info = decode_info(cs)
    assert (info["width"], info["height"], info["bit_depth"], info["dtype"]) == (
        1024, 1024, 12, np.uint16)
    line = "QCD marker segment in a tile is not supported yet"
    for kw in ({}, {"resilient": True}, {"out": np.zeros((1024, 1024), np.uint16)},
               {"numthreads": 1}, {"reduce": 1}):
        with pytest.raises(OpenJphUnsupportedFeature) as exc:
            decode(cs, **kw)
        assert str(exc.value) == ("OpenJPH could not read part of this codestream, so the decoded "
                                  f"image would not match the encoder's: {line}. Pass "
                                  "ignore_unsupported=True to decode anyway.")
    assert last_warnings().split("\n") == [line] * 63
    with pytest.raises(OpenJphError, match="^decode: OpenJPH warned about a tile$"):
        decode(cs, _tile=True, numthreads=1)


def _classic(catalog):
    return sorted(n for n in catalog
                  if n.startswith(("iso_part1_conformance/p0_", "openjpeg_data/classic/")))


def test_classic_codestreams_are_refused(corpus_dir, catalog):
    names = _classic(catalog)
    assert len(names) >= 20
    for name in names:
        cs = load(corpus_dir, name)
        for call in (decode_info, decode):
            with pytest.raises(OpenJphError) as exc:
                call(cs)
            assert str(exc.value) == ("decode_info: Rsiz bit 14 is not set (this is not a JPH "
                                      "file) (rc=2)"), name


# ---------------------------------------------------------------------------
# The sweep's verdict


def _sweep_records(proc):
    try:
        proc.wait(timeout=300)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    out = (proc.log_dir / "out").read_text()
    err = (proc.log_dir / "err").read_text()
    lines = out.splitlines()
    started = [line for line in lines if line.startswith("START")]
    assert proc.returncode == 0 and lines and lines[-1] == "DONE", (
        f"the corpus sweep died (exit code {proc.returncode}) during: "
        f"{started[-1] if started else '?'}\n{err[-3000:]}")
    return [json.loads(line) for line in lines if line.startswith("{")]


def test_every_corpus_file_ends_in_a_result_or_an_openjph_error(sweep, catalog, all_codestreams):
    records = _sweep_records(sweep)
    assert {r["file"] for r in records} == set(all_codestreams)
    for r in records:
        where = f"{r['file']} [{r['variant']} {r['call']} resilient={r['resilient']}]"
        if r["result"] == "error":
            assert r["openjph"], f"{where}: {r['type']}: {r['message']}"
        assert all(category == "RuntimeWarning" and message.startswith("OpenJPH: ")
                   for category, message in r["warnings"]), where
        if r["call"] == "decode_info":
            assert r["warnings"] == [], where
    by_key = {(r["file"], r["variant"], r["call"], r["resilient"], r["reduce"]): r
              for r in records}
    for (name, variant, call, resilient, reduce), r in by_key.items():
        if variant == "file" and r["result"] == "ok":
            # OpenJPH finds the codestream inside a wrapped file; then it must
            # read the same image as from the raw codestream.
            raw = by_key[(name, "raw", call, resilient, 0)]
            assert raw["result"] == "ok" and raw["shape"] == r["shape"], (name, call)
        if call == "decode" and reduce > 0:
            # decode reports the header read's failures as they are, and
            # otherwise returns the size decode_info gives.
            info = by_key[(name, variant, "decode_info", resilient, reduce)]
            if info["result"] == "error":
                assert r["message"] == info["message"], (name, reduce)
            elif r["result"] == "ok":
                h, w, c = info["shape"]
                assert r["shape"] in ([h, w], [h, w, c], [c, h, w]), (name, reduce)

    security = [n for n in all_codestreams if "/security_" in n]
    assert len(security) == 7
    for name in security:
        for resilient in (False, True):
            assert (name, "raw", "decode", resilient, 0) in by_key, name
    for name, row in catalog.items():
        info = by_key[(name, "raw", "decode_info", False, 0)]
        strict = by_key.get((name, "raw", "decode", False, 0))
        if strict is None:
            continue  # decoded by the reference tests
        if row["libopenjph_decode"] == "no":
            assert strict["result"] == "error", name
            continue
        assert info["result"] == "ok", name
        expected = [int(row["height"]), int(row["width"]), int(row["components"])]
        assert info["shape"] == expected, name
        if row["subsampling"] and set(row["subsampling"].split()) != {"1x1"}:
            assert strict["type"] == "OpenJphError" and strict["message"] == NOT_UNIFORM, name
        elif row["libopenjph_output"].startswith("W "):
            assert strict["type"] == "OpenJphUnsupportedFeature", name
        else:
            assert strict["result"] == "ok", name
            shape = expected[:2] if expected[2] == 1 else expected
            assert strict["shape"] == shape, name


def _dfs_in(segment_marker):
    """The DFS segment carried inside a segment that OpenJPH reads by its length."""
    def edit(cs):
        dfs = cst.main_segment(cs, cst.DFS)
        return cst.insert_main(cst.remove_main(cs, cst.DFS), cst.segment(segment_marker, dfs),
                               after=cst.QCD)
    return edit


# The DFS check counts only DFS segments that OpenJPH certainly read; anything
# less plain than segments back to back refuses the reference rather than risk
# OpenJPH's null pointer.
@pytest.mark.parametrize("edit, refused", [
    (lambda cs: cs, False),
    (lambda cs: b"\0\0\0\x0cjunk before the SOC" + cs, False),
    (_dfs_in(cst.COM), True),  # skipped by its length: the reference names nothing
    (_dfs_in(0xFF6F), True),   # an unknown segment: OpenJPH scans its bytes, the walk cannot
    (lambda cs: cst.insert_main(cs, cst.segment(cst.COM, b"\xff\x90"), after=cst.CAP), True),
], ids=["as-given", "behind-a-wrapper", "dfs-inside-a-com", "dfs-inside-an-unknown-segment",
        "marker-code-inside-a-com"])
def test_dfs_references_need_a_plain_main_header(corpus_dir, edit, refused):
    cs = edit(load(corpus_dir, f"{KAKADU}/simple_dec_irv53_bhvhb_low_latency.jph"))
    if not refused:
        assert decode_info(cs)["num_decompositions"] > 0
        return
    with pytest.raises(OpenJphError, match="refers to DFS marker segment 1, which the main header"):
        decode_info(cs)

