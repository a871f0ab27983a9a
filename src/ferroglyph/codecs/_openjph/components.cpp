// Components at their own sizes: the private functions behind
// ferroglyph.decode_components and ferroglyph.encode_components.  Argument
// rules live in the Python layer (ferroglyph/_components.py); these take
// resolved values, check what the bridge needs, and release the interpreter
// lock while OpenJPH works.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ferroglyph_openjph_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstring>
#include <vector>

#include "decoder.h"
#include "encoder.h"
#include "markers.h"
#include "module.h"
#include "openjph_shim.h"

namespace ferroglyph::module {

namespace {

// Every component's facts at the reduction; false with OpenJphError set.
bool read_component_facts(const input_bytes& in, int data_r, int recon_r, int resilient,
                          std::vector<ferroglyph_htj2k_component_info>* facts) {
  int count = 0;
  int rc;
  facts->resize(4);
  {
    py::unlocked nogil;
    rc = ferroglyph_htj2k_components_info(in.data(), in.size(), data_r, recon_r, resilient,
                                          facts->data(), static_cast<int>(facts->size()), &count);
    if (rc == 0 && count > static_cast<int>(facts->size())) {
      facts->resize(static_cast<size_t>(count));
      rc = ferroglyph_htj2k_components_info(in.data(), in.size(), data_r, recon_r, resilient,
                                            facts->data(), count, &count);
    }
  }
  if (rc != 0) {
    raise_bridge_error(rc, "decode_components");
    return false;
  }
  facts->resize(static_cast<size_t>(count));
  return true;
}

bool read_resolved_args(bound_args args, input_bytes* in, int* data_r, int* recon_r,
                        int* resilient) {
  if (!to_int32(args[1], data_r) || !to_int32(args[2], recon_r)) return false;
  *resilient = PyObject_IsTrue(args[3]);
  if (*resilient < 0) return false;
  if (*data_r < 0 || *recon_r < 0 || *recon_r > *data_r) {
    PyErr_SetString(PyExc_ValueError, "reductions must satisfy 0 <= recon <= data");
    return false;
  }
  if (!in->acquire(args[0])) return false;
  if (in->size() == 0) {
    PyErr_SetString(g_openjph_error, "decode_components: empty input");
    return false;
  }
  return true;
}

PyObject* fact_dict(const ferroglyph_htj2k_component_info& f) {
  return Py_BuildValue("{s:i,s:i,s:(ii),s:i,s:O,s:i}", "width", f.width, "height", f.height,
                       "subsampling", f.dx, f.dy, "bit_depth", f.bit_depth, "signed",
                       f.is_signed ? Py_True : Py_False, "nlt_type", f.nlt_type);
}

// ---------------------------------------------------------------------------
// _components_info(data, reduce_data, reduce_recon, resilient) -> list[dict]

PyObject* components_info_impl(PyObject*, bound_args args) {
  input_bytes in;
  int data_r, recon_r, resilient;
  if (!read_resolved_args(args, &in, &data_r, &recon_r, &resilient)) return nullptr;
  ferroglyph_htj2k_clear_warnings();
  std::vector<ferroglyph_htj2k_component_info> facts;
  if (!read_component_facts(in, data_r, recon_r, resilient, &facts)) return nullptr;
  py::ref list(PyList_New(static_cast<Py_ssize_t>(facts.size())));
  if (!list) return nullptr;
  for (size_t c = 0; c < facts.size(); ++c) {
    PyObject* d = fact_dict(facts[c]);
    if (d == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), d);
  }
  return list.release();
}

// ---------------------------------------------------------------------------
// _decode_components(data, reduce_data, reduce_recon, resilient)
//     -> (list[ndarray], warnings)

// The dtypes (decode's rule, per component), with the whole output's size
// checked against the machine's memory before anything is allocated.
bool component_dtypes(const std::vector<ferroglyph_htj2k_component_info>& facts,
                      std::vector<py::ref>* dtypes) {
  dtypes->resize(facts.size());
  double total = 0.0;
  for (size_t c = 0; c < facts.size(); ++c) {
    (*dtypes)[c] = py::ref(call_output_dtype(facts[c].bit_depth, facts[c].is_signed,
                                             facts[c].nlt_type));
    if (!(*dtypes)[c]) return false;
    if (!PyArray_DescrCheck((*dtypes)[c].get())) {
      PyErr_SetString(PyExc_TypeError, "_output_dtype did not return a numpy.dtype");
      return false;
    }
    const auto* d = reinterpret_cast<PyArray_Descr*>((*dtypes)[c].get());
    total += static_cast<double>(facts[c].width) * facts[c].height *
             static_cast<double>(PyDataType_ELSIZE(d));
  }
  const output_layout everything = {1, {static_cast<Py_ssize_t>(total > 9e18 ? 9e18 : total), 0, 0}, 1};
  return output_fits_memory(everything, 1);
}

// One new array per component in its integer carrier, and what the bridge
// needs to fill them.
struct component_buffers {
  py::ref arrays;  // list
  std::vector<uint8_t*> dsts;
  std::vector<size_t> sizes;
  std::vector<int32_t> bytes;
};

bool component_arrays(const std::vector<ferroglyph_htj2k_component_info>& facts,
                      const std::vector<py::ref>& dtypes, component_buffers* out) {
  const size_t n = facts.size();
  out->arrays = py::ref(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!out->arrays) return false;
  out->dsts.resize(n);
  out->sizes.resize(n);
  out->bytes.resize(n);
  for (size_t c = 0; c < n; ++c) {
    auto* d = reinterpret_cast<PyArray_Descr*>(dtypes[c].get());
    const int itemsize = static_cast<int>(PyDataType_ELSIZE(d));
    npy_intp dims[2] = {facts[c].height, facts[c].width};
    PyObject* a =
        PyArray_SimpleNew(2, dims, carrier_type(itemsize, facts[c].is_signed || d->kind == 'f'));
    if (a == nullptr) return false;
    PyList_SET_ITEM(out->arrays.get(), static_cast<Py_ssize_t>(c), a);
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    out->dsts[c] = static_cast<uint8_t*>(PyArray_DATA(arr));
    out->sizes[c] = static_cast<size_t>(PyArray_NBYTES(arr));
    out->bytes[c] = itemsize;
  }
  return true;
}

// A floating-point component was decoded into its integer carrier and is
// viewed as floats, never converted.
bool view_float_components(PyObject* arrays, const std::vector<py::ref>& dtypes) {
  for (size_t c = 0; c < dtypes.size(); ++c) {
    auto* d = reinterpret_cast<PyArray_Descr*>(dtypes[c].get());
    if (d->kind != 'f') continue;
    auto* arr = reinterpret_cast<PyArrayObject*>(PyList_GET_ITEM(arrays, c));
    Py_INCREF(d);
    PyObject* view = PyArray_View(arr, d, nullptr);
    if (view == nullptr) return false;
    PyList_SetItem(arrays, static_cast<Py_ssize_t>(c), view);
  }
  return true;
}

// The arrays of a decode; OpenJPH's warnings stay in the thread's collection.
PyObject* decode_component_arrays(bound_args args) {
  input_bytes in;
  int data_r, recon_r, resilient;
  if (!read_resolved_args(args, &in, &data_r, &recon_r, &resilient)) return nullptr;
  ferroglyph_htj2k_clear_warnings();
  std::vector<ferroglyph_htj2k_component_info> facts;
  std::vector<py::ref> dtypes;
  component_buffers out;
  if (!read_component_facts(in, data_r, recon_r, resilient, &facts) ||
      !component_dtypes(facts, &dtypes) || !component_arrays(facts, dtypes, &out))
    return nullptr;
  int rc;
  {
    py::unlocked nogil;
    rc = ferroglyph_htj2k_decode_components(in.data(), in.size(), out.dsts.data(),
                                            out.sizes.data(), out.bytes.data(),
                                            static_cast<int>(facts.size()), data_r, recon_r,
                                            resilient);
  }
  if (rc != 0) return raise_bridge_error(rc, "decode_components");
  if (!view_float_components(out.arrays.get(), dtypes)) return nullptr;
  return out.arrays.release();
}

PyObject* decode_components_impl(PyObject*, bound_args args) {
  py::ref arrays(decode_component_arrays(args));
  if (!arrays) return nullptr;
  const char* warned = ferroglyph_htj2k_last_warnings();
  py::ref text(PyUnicode_DecodeUTF8(warned, static_cast<Py_ssize_t>(std::strlen(warned)), "replace"));
  if (!text) return nullptr;
  return PyTuple_Pack(2, arrays.get(), text.get());
}

// Strict: skipped marker segments raise OpenJphUnsupportedFeature and lost
// samples OpenJphError; otherwise both are RuntimeWarnings.
PyObject* decode_components_checked_impl(PyObject*, bound_args args) {
  const int strict = PyObject_IsTrue(args[4]);
  if (strict < 0) return nullptr;
  int stacklevel;
  if (!to_int32(args[5], &stacklevel)) return nullptr;
  py::ref arrays(decode_component_arrays(args));
  if (!arrays) return nullptr;
  judge_policy policy;
  policy.strict = strict != 0;
  policy.unsupported = strict ? unsupported_policy::raise : unsupported_policy::warn;
  policy.call = "decode_components";
  policy.what = "components";
  policy.unsupported_remedy = "strict=False";
  policy.stacklevel = stacklevel < 1 ? 1 : stacklevel;
  if (!judge_warnings(policy)) return nullptr;
  return arrays.release();
}

// ---------------------------------------------------------------------------
// _encode_components(arrays, geometry, settings) -> bytes

bool int_item(PyObject* dict, const char* key, int* out) {
  PyObject* v = PyDict_GetItemString(dict, key);  // borrowed
  if (v == nullptr) {
    PyErr_Format(PyExc_KeyError, "_encode_components: settings lack %s", key);
    return false;
  }
  return to_int32(v, out);
}

bool float_item(PyObject* dict, const char* key, float* out) {
  PyObject* v = PyDict_GetItemString(dict, key);
  if (v == nullptr) {
    PyErr_Format(PyExc_KeyError, "_encode_components: settings lack %s", key);
    return false;
  }
  const double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) return false;
  *out = static_cast<float>(d);
  return true;
}

// A name setting: None or str, kept alive in `holder`.
bool name_item(PyObject* dict, const char* key, py::ref* holder, const char** out) {
  PyObject* v = PyDict_GetItemString(dict, key);
  *out = nullptr;
  if (v == nullptr || v == Py_None) return true;
  *holder = py::ref(PyUnicode_AsUTF8String(v));
  if (!*holder) return false;
  *out = PyBytes_AS_STRING(holder->get());
  return true;
}

// The component arrays as the bridge reads them: each 2-D, C-contiguous,
// native-order (u)int8/16/32, with its (dx, dy, bit_depth) from `layout`.
bool read_component_arrays(PyObject* arrays, PyObject* layout,
                           std::vector<ferroglyph_htj2k_component_params>* comps,
                           std::vector<const uint8_t*>* srcs) {
  const Py_ssize_t n = PyList_GET_SIZE(arrays);
  comps->assign(static_cast<size_t>(n), ferroglyph_htj2k_component_params{});
  srcs->assign(static_cast<size_t>(n), nullptr);
  for (Py_ssize_t c = 0; c < n; ++c) {
    PyObject* a = PyList_GET_ITEM(arrays, c);
    if (!PyArray_Check(a)) {
      PyErr_SetString(PyExc_TypeError, "_encode_components: arrays must be ndarrays");
      return false;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(a);
    const PyArray_Descr* d = PyArray_DESCR(arr);
    const int itemsize = static_cast<int>(PyDataType_ELSIZE(d));
    if (PyArray_NDIM(arr) != 2 || !PyArray_IS_C_CONTIGUOUS(arr) || !PyArray_ISNBO(d->byteorder) ||
        (d->kind != 'u' && d->kind != 'i') || (itemsize != 1 && itemsize != 2 && itemsize != 4)) {
      PyErr_SetString(PyExc_ValueError,
                      "_encode_components: arrays must be 2-D, C-contiguous, native-order "
                      "(u)int8/16/32");
      return false;
    }
    ferroglyph_htj2k_component_params& k = (*comps)[static_cast<size_t>(c)];
    if (!PyArg_ParseTuple(PyList_GET_ITEM(layout, c), "iii", &k.dx, &k.dy, &k.bit_depth))
      return false;
    const npy_intp* dims = PyArray_DIMS(arr);
    if (dims[0] > INT32_MAX || dims[1] > INT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
      return false;
    }
    k.height = static_cast<int32_t>(dims[0]);
    k.width = static_cast<int32_t>(dims[1]);
    k.is_signed = d->kind == 'i' ? 1 : 0;
    k.bytes_per_sample = itemsize;
    (*srcs)[static_cast<size_t>(c)] = static_cast<const uint8_t*>(PyArray_DATA(arr));
  }
  return true;
}

// The resolved settings into the parameter record; the two names stay
// alive in the holders.
bool read_component_settings(PyObject* settings, ferroglyph_htj2k_encode_params* p,
                             py::ref* prog_holder, py::ref* profile_holder) {
  int tilepart = 0;
  if (!int_item(settings, "reversible", &p->reversible) ||
      !float_item(settings, "qstep", &p->irrev_delta) ||
      !int_item(settings, "qfactor", &p->qfactor) ||
      !int_item(settings, "num_decomp", &p->num_decomp) ||
      !int_item(settings, "color_transform", &p->color_transform) ||
      !int_item(settings, "tile_w", &p->tile_w) || !int_item(settings, "tile_h", &p->tile_h) ||
      !int_item(settings, "tlm", &p->tlm) || !int_item(settings, "tilepart", &tilepart) ||
      !int_item(settings, "block_w", &p->block_w) || !int_item(settings, "block_h", &p->block_h) ||
      !name_item(settings, "prog_order", prog_holder, &p->prog_order) ||
      !name_item(settings, "profile", profile_holder, &p->profile))
    return false;
  p->tilepart_resolutions = (tilepart & 1) != 0;
  p->tilepart_components = (tilepart & 2) != 0;
  return true;
}

PyObject* encode_components_impl(PyObject*, bound_args args) {
  PyObject *arrays = args[0], *geometry = args[1], *settings = args[2];
  if (!PyList_Check(arrays) || !PyDict_Check(settings)) {
    PyErr_SetString(PyExc_TypeError, "_encode_components(list, tuple, dict)");
    return nullptr;
  }
  int width, height;
  PyObject* layout;
  if (!PyArg_ParseTuple(geometry, "iiO!", &width, &height, &PyList_Type, &layout)) return nullptr;
  const Py_ssize_t n = PyList_GET_SIZE(arrays);
  if (n < 1 || n > markers::k_max_components || PyList_GET_SIZE(layout) != n) {
    PyErr_Format(PyExc_ValueError, "_encode_components: 1..%d arrays, one layout entry each",
                 markers::k_max_components);
    return nullptr;
  }
  std::vector<ferroglyph_htj2k_component_params> comps;
  std::vector<const uint8_t*> srcs;
  ferroglyph_htj2k_encode_params p{};
  p.width = width;
  p.height = height;
  p.components = static_cast<int32_t>(n);
  py::ref prog_holder, profile_holder;
  if (!read_component_arrays(arrays, layout, &comps, &srcs) ||
      !read_component_settings(settings, &p, &prog_holder, &profile_holder))
    return nullptr;
  ferroglyph_htj2k_clear_warnings();
  uint8_t* out_buf = nullptr;
  size_t out_size = 0;
  int rc;
  {
    // `arrays` is the caller's list and keeps every buffer alive.
    py::unlocked nogil;
    rc = ferroglyph_htj2k_encode_components(srcs.data(), comps.data(), &p, &out_buf, &out_size);
  }
  if (rc != 0) return raise_bridge_error(rc, "encode_components");
  return codestream_bytes(out_buf, out_size);
}

}  // namespace

const function_def k_components_info_def = {
    "_components_info",
    "Every component's facts at a reduction, from the main header.\n\n"
    "A list of dicts with width, height (after the reduction), subsampling\n"
    "(dx, dy), bit_depth, signed and nlt_type.  ``reduce_data`` and\n"
    "``reduce_recon`` are what :func:`_reductions` resolves.",
    "list",
    components_info_impl,
    4,
    {{"data", default_value::required, false},
     {"reduce_data", default_value::required, false},
     {"reduce_recon", default_value::required, false},
     {"resilient", default_value::required, false}},
};

const function_def k_decode_components_def = {
    "_decode_components",
    "Decode every component at its own size into its own array.\n\n"
    "Returns (arrays, warnings): one 2-D array per component in the dtype\n"
    ":func:`_output_dtype` gives for it, and the text of the warnings OpenJPH\n"
    "raised (one per line), which the caller judges.",
    "tuple",
    decode_components_impl,
    4,
    {{"data", default_value::required, false},
     {"reduce_data", default_value::required, false},
     {"reduce_recon", default_value::required, false},
     {"resilient", default_value::required, false}},
};

const function_def k_decode_components_checked_def = {
    "_decode_components_checked",
    "Decode every component at its own size, OpenJPH's warnings judged.\n\n"
    "Returns the list of arrays of :func:`_decode_components`.  ``strict``:\n"
    "skipped marker segments raise OpenJphUnsupportedFeature and lost samples\n"
    "OpenJphError; otherwise both are RuntimeWarnings, attributed\n"
    "``stacklevel`` frames up from the caller (1: the caller).",
    "list",
    decode_components_checked_impl,
    6,
    {{"data", default_value::required, false},
     {"reduce_data", default_value::required, false},
     {"reduce_recon", default_value::required, false},
     {"resilient", default_value::required, false},
     {"strict", default_value::required, false},
     {"stacklevel", default_value::zero, false}},
};

const function_def k_encode_components_def = {
    "_encode_components",
    "Encode one 2-D array per component.\n\n"
    "``geometry`` is (width, height, [(dx, dy, bit_depth), ...]); each array\n"
    "must be 2-D, C-contiguous, native-order (u)int8/16/32 of its component's\n"
    "size.  ``settings`` holds reversible, qstep, qfactor, num_decomp,\n"
    "color_transform, tile_w, tile_h, tlm, tilepart, block_w, block_h,\n"
    "prog_order and profile, resolved.",
    "bytes",
    encode_components_impl,
    3,
    {{"arrays", default_value::required, false},
     {"geometry", default_value::required, false},
     {"settings", default_value::required, false}},
};

}  // namespace ferroglyph::module
