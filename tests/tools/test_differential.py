"""tools/differential.py: what counts as the same outcome between two builds.

Only a bridge return code at the end of an exception's text may differ for a
case to count as renumbered; anything else (the kind, the rest of the text,
the warnings, the bytes, a missing case) is a difference.
"""

from __future__ import annotations

import importlib.util
import json
import os

import pytest

_PATH = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "differential.py")
_spec = importlib.util.spec_from_file_location("differential", _PATH)
assert _spec is not None and _spec.loader is not None
differential = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(differential)


def _raised(kind: str, text: str, warnings: list[str] | None = None) -> dict[str, object]:
    return {"raises": kind, "text": text, "warnings": warnings or []}


OK = {"result": {"bytes": 3, "sha256": "ab"}, "warnings": []}

CASES = [
    ("same", OK, OK, "0 differ only in a bridge return code, 0 differ otherwise"),
    ("rc only", _raised("OpenJphError", "x: refused (rc=5)"),
     _raised("OpenJphError", "x: refused (rc=1)"), "1 differ only in a bridge return code, 0 differ otherwise"),
    ("rc inside the text", _raised("OpenJphError", "x: rc=5 said (rc=5)"),
     _raised("OpenJphError", "x: rc=1 said (rc=1)"), "0 differ only in a bridge return code, 1 differ otherwise"),
    ("other kind", _raised("OpenJphError", "x (rc=5)"), _raised("ValueError", "x (rc=1)"),
     "0 differ only in a bridge return code, 1 differ otherwise"),
    ("other warnings", _raised("OpenJphError", "x (rc=5)", ["w"]),
     _raised("OpenJphError", "x (rc=1)"), "0 differ only in a bridge return code, 1 differ otherwise"),
    ("other bytes", OK, {**OK, "result": {"bytes": 3, "sha256": "cd"}},
     "0 differ only in a bridge return code, 1 differ otherwise"),
    ("missing", OK, None, "0 differ only in a bridge return code, 1 differ otherwise"),
]


@pytest.mark.parametrize("name, before, after, summary", CASES, ids=[c[0] for c in CASES])
def test_only_a_trailing_return_code_may_differ(tmp_path, capsys, name, before, after, summary):
    paths = []
    for tag, outcome in (("before", before), ("after", after)):
        path = tmp_path / f"{tag}.json"
        path.write_text(json.dumps({} if outcome is None else {"case": outcome}))
        paths.append(str(path))
    status = differential.compare(*paths)
    assert summary in capsys.readouterr().out
    assert status == (0 if "0 differ otherwise" in summary else 1)
