"""provision_openjph.relax_version on real shared libraries built here.

A library names a symbol of a version that an older copy of its dependency
lacks, as Debian unstable's OpenJPH does with GLIBCXX_3.4.32 (named, never
bound): the older copy must load it once the requirement is relaxed.
"""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys

import pytest

_PATH = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "provision_openjph.py")
_spec = importlib.util.spec_from_file_location("provision_openjph", _PATH)
prov = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(prov)

CC = shutil.which("cc") or shutil.which("gcc")
pytestmark = pytest.mark.skipif(CC is None, reason="no C compiler")

USER = {
    # GCC 13's <iostream> names std::ios_base_library_init the same way.
    "named": '__asm__(".globl named_only");\nvoid used(void);\nvoid call(void) { used(); }\n',
    "bound": "void named_only(void);\nvoid call(void) { named_only(); }\n",
}


def _cc(*args: str) -> None:
    subprocess.run([CC, "-shared", "-fPIC", *args], check=True, capture_output=True)


@pytest.fixture
def libs(tmp_path):
    (tmp_path / "new").mkdir()
    (tmp_path / "old").mkdir()
    (tmp_path / "new.c").write_text("void used(void) {}\nvoid named_only(void) {}\n")
    (tmp_path / "old.c").write_text("void used(void) {}\n")
    (tmp_path / "new.map").write_text(
        "V_OLD { global: used; local: *; };\nV_NEW { global: named_only; } V_OLD;\n")
    (tmp_path / "old.map").write_text("V_OLD { global: used; local: *; };\n")
    for kind in ("new", "old"):
        _cc("-o", str(tmp_path / kind / "libdep.so"), "-Wl,-soname,libdep.so",
            f"-Wl,--version-script={tmp_path / (kind + '.map')}", str(tmp_path / f"{kind}.c"))
    return tmp_path


def _build_user(libs, kind: str) -> str:
    src = libs / f"{kind}.c"
    src.write_text(USER[kind])
    out = str(libs / f"lib{kind}.so")
    _cc("-o", out, str(src), f"-L{libs / 'new'}", "-ldep")
    return out


def _load_with_old_dependency(libs, lib: str) -> subprocess.CompletedProcess:
    env = dict(os.environ, LD_LIBRARY_PATH=str(libs / "old"))
    return subprocess.run([sys.executable, "-c", f"import ctypes; ctypes.CDLL({lib!r})"],
                          env=env, capture_output=True, text=True)


def test_a_named_only_version_is_dropped_and_the_older_dependency_loads_it(libs):
    lib = _build_user(libs, "named")
    assert "version `V_NEW' not found" in _load_with_old_dependency(libs, lib).stderr
    assert prov.relax_version(lib, b"V_NEW") == "dropped"
    assert prov.relax_version(lib, b"V_NEW") is None          # gone from .gnu.version_r
    assert prov.relax_version(lib, b"V_OLD") == "weak"        # still bound by call()
    run = _load_with_old_dependency(libs, lib)
    assert run.returncode == 0 and "V_NEW" not in run.stderr, run.stderr


def test_a_bound_version_is_only_marked_weak(libs):
    lib = _build_user(libs, "bound")
    assert prov.relax_version(lib, b"V_NEW") == "weak"
    assert prov.relax_version(lib, b"V_NEW") == "weak"        # idempotent
    assert prov.relax_version(lib, b"V_MISSING") is None


def test_not_an_elf_file(tmp_path):
    path = tmp_path / "x.so"
    path.write_bytes(b"MZ" + bytes(100))
    with pytest.raises(RuntimeError, match="not a 64-bit little-endian ELF"):
        prov.relax_version(str(path), b"V")
