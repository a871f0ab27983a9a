"""What `ferroglyph.codecs._openjph` shows to Python code once imported.

The tables below describe every function, constant and exception type of the
module; a function added to the module gets a row in FUNCTIONS and is then
checked by every test here.
"""

from __future__ import annotations

import copy
import inspect
import pickle
import subprocess
import sys
import textwrap
import threading
from dataclasses import dataclass

import numpy as np
import pytest

import ferroglyph.codecs._openjph as oj

MODULE = "ferroglyph.codecs._openjph"
P = inspect.Parameter
REQUIRED = P.empty


@dataclass(frozen=True)
class Fn:
    name: str
    params: tuple  # (name, kind, default) with default REQUIRED for none
    returns: str | None  # the stored return annotation text
    doc: str | None  # first docstring line, None for no docstring

    def __str__(self) -> str:  # readable parametrize ids
        return self.name


def _pos(*names, **defaults):
    return tuple((n, P.POSITIONAL_OR_KEYWORD, REQUIRED) for n in names) + tuple(
        (n, P.POSITIONAL_OR_KEYWORD, d) for n, d in defaults.items())


def _kw(**defaults):
    return tuple((n, P.KEYWORD_ONLY, d) for n, d in defaults.items())


# In the order the module defines them.
FUNCTIONS = [
    Fn("last_warnings", (), "str", "Warnings OpenJPH raised during the most recent call."),
    Fn("_quantization", _pos("level"), None, "Read ``level`` as the pair (qstep, qfactor)."),
    Fn("_max_decompositions", _pos("width", "height", "tile_w", "tile_h"), None, None),
    Fn("encode",
       _pos("data", level=None) + _kw(
           rgb=None, planar=None, tile=None, resolutions=None, reversible=None, tlm=None,
           tilepart=None, block_size=None, prog_order=None, profile=None, num_decomp=None),
       "bytes", "Encode an ndarray as an HTJ2K codestream."),
    Fn("_encode_ex",
       _pos("data", level=None) + _kw(
           rgb=None, planar=None, tile=None, resolutions=None, reversible=None, tlm=None,
           tilepart=None, block_size=None, prog_order=None, profile=None, num_decomp=None,
           bits=None, origin=None, header_only=False),
       "bytes", "Encode like ``encode``, with the coded precision and a part's geometry."),
]

CONSTANTS = {
    "_PROG_ORDERS": ("LRCP", "RLCP", "RPCL", "PCRL", "CPRL"),
    "_PROFILES": ("IMF", "BROADCAST"),
}

fn_params = pytest.mark.parametrize("fn", FUNCTIONS, ids=str)


# ---------------------------------------------------------------------------
# Names and order


def test_public_and_private_names_are_module_attributes():
    expected = {f.name for f in FUNCTIONS} | set(CONSTANTS) | {
        "OpenJphError", "OpenJphUnsupportedFeature", "np"}
    assert expected <= set(vars(oj))


def test_internal_mapping_routines_are_not_exposed():
    assert not {"_raise", "_check_warnings"} & set(vars(oj))


def test_functions_are_defined_in_declaration_order():
    order = [n for n in vars(oj) if n in {f.name for f in FUNCTIONS}]
    assert order == [f.name for f in FUNCTIONS]


def test_np_is_numpy():
    assert oj.np is np


@pytest.mark.parametrize("name", sorted(CONSTANTS))
def test_constant_tuples(name):
    value = getattr(oj, name)
    assert type(value) is tuple and value == CONSTANTS[name]
    assert all(type(item) is str for item in value)


def test_module_docstring_describes_the_codec():
    doc = oj.__doc__
    assert doc.startswith("HTJ2K")
    for phrase in ("15444-15", "Supported pixels", "16384", "NLT", ".j2c", "JP2"):
        assert phrase in doc, phrase


# ---------------------------------------------------------------------------
# Introspection of the function objects


@fn_params
def test_signature_kinds_defaults_and_return_annotation(fn):
    sig = inspect.signature(getattr(oj, fn.name))
    got = tuple((p.name, p.kind, p.default) for p in sig.parameters.values())
    assert got == fn.params
    assert all(p.annotation is P.empty for p in sig.parameters.values())
    assert sig.return_annotation == (fn.returns if fn.returns else inspect.Signature.empty)


@fn_params
def test_defaults_kwdefaults_and_annotations_agree_with_the_signature(fn):
    f = getattr(oj, fn.name)
    positional = tuple(d for _, k, d in fn.params if k is P.POSITIONAL_OR_KEYWORD and d is not REQUIRED)
    keyword = {n: d for n, k, d in fn.params if k is P.KEYWORD_ONLY}
    assert f.__defaults__ == (positional or None)
    assert f.__kwdefaults__ == (keyword or None)
    assert f.__annotations__ == ({"return": fn.returns} if fn.returns else {})


@fn_params
def test_names_and_module(fn):
    f = getattr(oj, fn.name)
    assert f.__name__ == fn.name
    assert f.__qualname__ == fn.name
    assert f.__module__ == MODULE


@fn_params
def test_docstring_first_line(fn):
    doc = getattr(oj, fn.name).__doc__
    if fn.doc is None:
        assert doc is None
    else:
        assert doc.splitlines()[0] == fn.doc


@pytest.mark.parametrize("how", ["pickle", "deepcopy"])
def test_functions_pickle_and_copy_by_reference(how):
    f = oj.encode
    if how == "pickle":
        assert pickle.loads(pickle.dumps(f)) is f
    else:
        assert copy.deepcopy(f) is f


# ---------------------------------------------------------------------------
# Argument binding

ARR = np.zeros((4, 4), np.uint8)

BINDING_ERRORS = [
    (lambda: oj.encode(ARR, None, None), "encode() takes at most 2 positional arguments (3 given)"),
    (lambda: oj.encode(), "encode() takes at least 1 positional argument (0 given)"),
    (lambda: oj.encode(level=50), "encode() takes at least 1 positional argument (0 given)"),
    (lambda: oj.encode(ARR, 50, level=50), "encode() got multiple values for keyword argument 'level'"),
    (lambda: oj.encode(ARR, data=ARR), "encode() got multiple values for keyword argument 'data'"),
    (lambda: oj.encode(ARR, quality=50), "encode() got an unexpected keyword argument 'quality'"),
    (lambda: oj._quantization(x=1), "_quantization() got an unexpected keyword argument 'x'"),
    (lambda: oj._quantization(), "_quantization() takes exactly 1 positional argument (0 given)"),
    (lambda: oj._quantization(1, 2), "_quantization() takes exactly 1 positional argument (2 given)"),
    (lambda: oj._max_decompositions(1, 2, 3),
     "_max_decompositions() takes exactly 4 positional arguments (3 given)"),
    (lambda: oj._max_decompositions(1, 2, 3, 4, 5),
     "_max_decompositions() takes exactly 4 positional arguments (5 given)"),
    (lambda: oj._max_decompositions(1, 2, 3, 4, tile=5),
     "_max_decompositions() got an unexpected keyword argument 'tile'"),
    (lambda: oj.last_warnings(1), "last_warnings() takes exactly 0 positional arguments (1 given)"),
    (lambda: oj.last_warnings(x=1), "last_warnings() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("call,message", BINDING_ERRORS, ids=[m for _, m in BINDING_ERRORS])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message


def test_keyword_names_bind_by_value_not_identity():
    # A keyword name built at run time is not the interned parameter name.
    level = "".join(["le", "vel"])
    assert oj._quantization(**{level: 50}) == (0.0, 50)
    assert oj.encode(ARR, **{level: 50}) == oj.encode(ARR, 50)


def test_every_parameter_binds_by_keyword():
    assert oj._max_decompositions(tile_h=0, tile_w=0, height=512, width=512) == 9
    assert oj._quantization(level=0.5) == (0.5, 0)
    assert oj.encode(data=ARR, level=None, planar=None) == oj.encode(ARR)


# ---------------------------------------------------------------------------
# Exceptions


def test_exception_hierarchy():
    assert oj.OpenJphError.__bases__ == (RuntimeError,)
    assert oj.OpenJphUnsupportedFeature.__bases__ == (oj.OpenJphError,)
    with pytest.raises(oj.OpenJphError):
        raise oj.OpenJphUnsupportedFeature("x")


@pytest.mark.parametrize("name", ["OpenJphError", "OpenJphUnsupportedFeature"])
def test_exception_identity_and_round_trip(name):
    cls = getattr(oj, name)
    assert cls.__module__ == MODULE
    assert cls.__name__ == cls.__qualname__ == name
    exc = cls("message")
    assert exc.args == ("message",) and str(exc) == "message"
    again = pickle.loads(pickle.dumps(exc))
    assert type(again) is cls and again.args == ("message",)


def test_error_docstring():
    assert oj.OpenJphError.__doc__ == "Raised on OpenJPH (HTJ2K) encode/decode failures."


def test_unsupported_feature_docstring_explains_the_refusal():
    doc = oj.OpenJphUnsupportedFeature.__doc__
    assert doc.splitlines()[0] == "The codestream uses a marker segment OpenJPH does not implement."
    for phrase in ("954", "ignore_unsupported"):
        assert phrase in doc, phrase


# ---------------------------------------------------------------------------
# last_warnings and import


def test_last_warnings_is_empty_on_a_fresh_thread():
    oj.encode(np.zeros((32, 32, 3), np.uint8), tilepart=2)  # draws a warning here
    assert oj.last_warnings()
    seen = []
    t = threading.Thread(target=lambda: seen.append(oj.last_warnings()))
    t.start()
    t.join()
    assert seen == [""]


def test_last_warnings_does_not_clear():
    oj.encode(np.zeros((32, 32, 3), np.uint8), tilepart=2)
    first = oj.last_warnings()
    assert type(first) is str and first
    assert oj.last_warnings() == first


def _run(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60)


def test_second_import_in_a_fresh_interpreter_is_the_same_module():
    out = _run("""
        import ferroglyph.codecs._openjph as a
        import ferroglyph.codecs._openjph as b
        import numpy as np
        assert a is b
        assert isinstance(b.encode(np.zeros((2, 2), np.uint8)), bytes)
        print("ok")
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"


def test_a_second_initialisation_in_one_process_is_refused():
    out = _run("""
        import importlib.util
        import ferroglyph.codecs._openjph as first
        loader_info = importlib.util.spec_from_file_location("_openjph", first.__file__)
        try:
            importlib.util.module_from_spec(loader_info)
        except RuntimeError as e:
            print(e)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == (
        "Module '_openjph' has already been imported. Re-initialisation is not supported.")
