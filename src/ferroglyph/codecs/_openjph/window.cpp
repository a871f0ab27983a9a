// _decode_rows: a window of a one-tile codestream, decoded down to the
// window's last row only (the bridge's ferroglyph_htj2k_decode_rows).
// _judge_warnings: what a window's decodes (some of them on worker threads)
// said, judged by the module's one judge as decode judges its own.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ferroglyph_openjph_ARRAY_API
#include <numpy/arrayobject.h>

#include "decoder.h"
#include "module.h"
#include "openjph_shim.h"

namespace ferroglyph::module {

namespace {

PyObject* decode_rows_impl(PyObject*, bound_args args) {
  int data_r, recon_r, row0, row1, col0, col1;
  if (!to_int32(args[1], &data_r) || !to_int32(args[2], &recon_r)) return nullptr;
  const int resilient = PyObject_IsTrue(args[3]);
  const int planar = PyObject_IsTrue(args[4]);
  if (resilient < 0 || planar < 0) return nullptr;
  if (!PyArg_ParseTuple(args[5], "iiii", &row0, &row1, &col0, &col1)) return nullptr;
  PyObject* dest = args[6];
  if (!PyArray_Check(dest) || !PyArray_IS_C_CONTIGUOUS(reinterpret_cast<PyArrayObject*>(dest)) ||
      !PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(dest))) {
    PyErr_SetString(PyExc_TypeError, "_decode_rows: dest must be a writable C-contiguous ndarray");
    return nullptr;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(dest);
  input_bytes in;
  if (!in.acquire(args[0])) return nullptr;
  uint8_t* dst = static_cast<uint8_t*>(PyArray_DATA(arr));
  const size_t dst_size = static_cast<size_t>(PyArray_NBYTES(arr));
  const int bytes_per_sample = static_cast<int>(PyArray_ITEMSIZE(arr));
  int rc;
  {
    py::unlocked nogil;
    ferroglyph_htj2k_clear_warnings();  // this call's warnings only, for last_warnings()
    rc = ferroglyph_htj2k_decode_rows(in.data(), in.size(), dst, dst_size, bytes_per_sample,
                                      data_r, recon_r, resilient, planar, row0, row1, col0, col1);
  }
  if (rc != 0) return raise_bridge_error(rc, "decode");
  return Py_NewRef(dest);
}

PyObject* judge_warnings_impl(PyObject*, bound_args args) {
  if (!PyUnicode_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "_judge_warnings: text must be a str");
    return nullptr;
  }
  const char* text = PyUnicode_AsUTF8(args[0]);
  if (text == nullptr) return nullptr;
  const int strict = PyObject_IsTrue(args[1]);
  const int ignore_unsupported = PyObject_IsTrue(args[2]);
  if (strict < 0 || ignore_unsupported < 0) return nullptr;
  int stacklevel;
  if (!to_int32(args[3], &stacklevel)) return nullptr;
  judge_policy policy;
  policy.strict = strict != 0;
  policy.unsupported = ignore_unsupported ? unsupported_policy::drop : unsupported_policy::raise;
  policy.stacklevel = stacklevel < 1 ? 1 : stacklevel;
  if (!judge_text(text, policy)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace

const function_def k_judge_warnings_def = {
    "_judge_warnings",
    "Judge OpenJPH's warning lines (``text``, joined by newlines) as decode\n"
    "judges its own.\n\n"
    "Skipped marker segments raise OpenJphUnsupportedFeature unless\n"
    "``ignore_unsupported`` (then they are dropped); with ``strict``, lines\n"
    "that mean lost samples raise OpenJphError; every other line is a\n"
    "RuntimeWarning attributed ``stacklevel`` frames up from the caller of\n"
    "this function (1: that caller).",
    "None",
    judge_warnings_impl,
    4,
    {{"text", default_value::required, false},
     {"strict", default_value::false_, false},
     {"ignore_unsupported", default_value::false_, false},
     {"stacklevel", default_value::zero, false}},
};

const function_def k_decode_rows_def = {
    "_decode_rows",
    "Decode rows row0..row1-1, columns col0..col1-1 of a codestream into dest.\n\n"
    "``window`` is (row0, row1, col0, col1) at the reduction (data, recon);\n"
    "``dest`` a writable C-contiguous array of the samples' carrier type and\n"
    "the window's shape, planar or interleaved.  Rows below the window are\n"
    "not decoded.  OpenJPH's warnings stay in last_warnings() for the caller.",
    "np.ndarray",
    decode_rows_impl,
    7,
    {{"data", default_value::required, false},
     {"data_r", default_value::required, false},
     {"recon_r", default_value::required, false},
     {"resilient", default_value::required, false},
     {"planar", default_value::required, false},
     {"window", default_value::required, false},
     {"dest", default_value::required, false}},
};

}  // namespace ferroglyph::module
