// _decode_checked: decode() under the public layer's policy for what OpenJPH
// said.
//
// The module is the one judge of OpenJPH's warnings (errors.cpp): decode()
// itself warns about lost samples, as its contract says; the public package
// asks for strict decodes, where they raise, through this function instead
// of a keyword (decode's signature is fixed).  The policy lives on the
// calling thread for the call's duration; tile decodes on worker threads
// never judge (any warning there makes the codestream be decoded whole on
// this thread).
#include "module.h"
#include "openjph_shim.h"

namespace ferroglyph::module {

namespace {

PyObject* decode_checked_impl(PyObject*, bound_args args) {
  PyObject* keywords = args[1];
  if (keywords != Py_None && !PyDict_Check(keywords)) {
    PyErr_SetString(PyExc_TypeError, "_decode_checked: keywords must be a dict or None");
    return nullptr;
  }
  const int strict = PyObject_IsTrue(args[2]);
  if (strict < 0) return nullptr;
  int stacklevel;
  if (!to_int32(args[3], &stacklevel)) return nullptr;
  PyObject* decode = module_attr("decode");
  if (decode == nullptr) return nullptr;
  py::ref positional(PyTuple_Pack(1, args[0]));
  if (!positional) return nullptr;
  judge_policy policy;
  policy.strict = strict != 0;
  policy.stacklevel = stacklevel < 1 ? 1 : stacklevel;
  // A multi-tile decode that succeeds on worker threads does not touch this
  // thread's collected warnings; start from none so that stale ones from an
  // earlier call are not read as this decode's by last_warnings().
  ferroglyph_htj2k_clear_warnings();
  judge_scope scope(&policy);
  return PyObject_Call(decode, positional.get(), keywords == Py_None ? nullptr : keywords);
}

}  // namespace

const function_def k_decode_checked_def = {
    "_decode_checked",
    "``decode(data, **keywords)``, with OpenJPH's warnings judged for a caller.\n\n"
    "``strict``: warnings that mean lost samples raise OpenJphError instead\n"
    "of RuntimeWarnings.  RuntimeWarnings are attributed ``stacklevel`` frames\n"
    "up from the caller of this function (1: that caller).  Skipped marker\n"
    "segments raise OpenJphUnsupportedFeature unless\n"
    "``keywords['ignore_unsupported']``, as for decode.",
    "np.ndarray",
    decode_checked_impl,
    4,
    {{"data", default_value::required, false},
     {"keywords", default_value::none, false},
     {"strict", default_value::false_, false},
     {"stacklevel", default_value::zero, false}},
};

}  // namespace ferroglyph::module
