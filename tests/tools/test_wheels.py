"""tools/wheels.py: what a wheel may hold, what ldd and auditwheel say."""

from __future__ import annotations

import importlib.util
import os
import zipfile

import pytest

_PATH = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "wheels.py")
_spec = importlib.util.spec_from_file_location("wheels", _PATH)
wheels = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(wheels)

GOOD = [
    "ferroglyph/__init__.py",
    "ferroglyph/py.typed",
    "ferroglyph/core/parallel.py",
    "ferroglyph/codecs/_openjph.pyi",
    "ferroglyph/codecs/_openjph.cpython-310-x86_64-linux-gnu.so",
    "ferroglyph/codecs/libopenjph_shim.so",
    "ferroglyph/codecs/libopenjph.so.0.32",
    "ferroglyph/codecs/openjph_shim/openjph_shim.h",
    "ferroglyph-0.1.0.dist-info/METADATA",
    "ferroglyph-0.1.0.dist-info/RECORD",
    "ferroglyph-0.1.0.dist-info/entry_points.txt",
]


def _wheel(tmp_path, names):
    path = tmp_path / "ferroglyph-0.1.0-cp310-cp310-linux_x86_64.whl"
    with zipfile.ZipFile(path, "w") as z:
        for n in names:
            z.writestr(n, b"")
    return str(path)


@pytest.mark.parametrize("change, problem", [
    (None, None),
    (("add", "ferroglyph/codecs/_openjph/decoder.cpp"), "unexpected file"),
    (("add", "ferroglyph/codecs/_openjph/CMakeLists.txt"), "unexpected file"),
    (("add", "ferroglyph/codecs/openjph_shim/messages.h"), "unexpected file"),
    (("add", "ferroglyph/codecs/openjph_shim/openjph_shim.map"), "unexpected file"),
    (("add", "ferroglyph/codecs/__pycache__/x.cpython-312.pyc"), "unexpected file"),
    (("drop", "ferroglyph/py.typed"), "missing from the wheel: ferroglyph/py.typed"),
    (("drop", "ferroglyph/codecs/_openjph.pyi"), "missing"),
    (("drop", "ferroglyph/codecs/openjph_shim/openjph_shim.h"), "missing"),
    (("drop", "ferroglyph/codecs/_openjph.cpython-310-x86_64-linux-gnu.so"), "extension module"),
])
def test_wheel_contents(tmp_path, change, problem):
    names = list(GOOD)
    if change:
        action, name = change
        names = names + [name] if action == "add" else [n for n in names if n != name]
    problems = wheels.wheel_contents_problems(_wheel(tmp_path, names))
    if problem is None:
        assert problems == []
    else:
        assert len(problems) == 1 and problem in problems[0]


LDD_OK = """\
./libopenjph_shim.so: /lib/x86_64-linux-gnu/libstdc++.so.6: weak version `GLIBCXX_3.4.32' not found (required by ./libopenjph.so.0.32)
\tlinux-vdso.so.1 (0x00007ffd)
\tlibopenjph.so.0.32 => /venv/ferroglyph/codecs/./libopenjph.so.0.32 (0x00007f)
\tlibstdc++.so.6 => /lib/x86_64-linux-gnu/libstdc++.so.6 (0x00007f)
"""


@pytest.mark.parametrize("output, unresolved", [
    (LDD_OK, []),
    (LDD_OK + "\tlibopenjph.so.0.32 => not found\n", ["libopenjph.so.0.32 => not found"]),
    ("\tnot a dynamic executable\n", ["not a dynamic executable"]),
])
def test_unresolved_libraries(output, unresolved):
    assert wheels.unresolved_libraries(output) == unresolved


SHOW = """\
ferroglyph-0.1.0-cp312-cp312-linux_x86_64.whl is consistent with the
following platform tag: "manylinux_2_39_x86_64".

This constrains the platform tag to "manylinux_2_39_x86_64". In order
"""


@pytest.mark.parametrize("report, tag", [
    (SHOW, "manylinux_2_39_x86_64"),
    ('x.whl is consistent with the following platform tag: "linux_x86_64".', "linux_x86_64"),
    ("INFO: this wheel is not a platform wheel", None),
])
def test_measured_tag(report, tag):
    assert wheels.measured_tag(report) == tag


@pytest.mark.parametrize("tag, glibc, ok", [
    ("manylinux_2_39_x86_64", (2, 36), False),
    ("manylinux_2_34_x86_64", (2, 36), True),
    ("manylinux_2_36_x86_64", (2, 36), True),
    ("manylinux_2_17_x86_64", None, False),
    ("linux_x86_64", (2, 36), False),
    (None, (2, 36), False),
])
def test_installable_here(tag, glibc, ok):
    assert wheels.installable_here(tag, glibc) is ok
