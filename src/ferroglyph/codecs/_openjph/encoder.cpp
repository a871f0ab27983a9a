// The encoder front end: encode() and the rules that turn its keywords into
// the bridge's parameter record.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ferroglyph_openjph_ARRAY_API
#include <numpy/arrayobject.h>

#include <cmath>
#include <cstring>

#include "module.h"
#include "openjph_shim.h"

namespace ferroglyph::module {

namespace {

// Step used for float32 input on the irreversible path when the caller gave
// none: 2^-14, fine enough for the bit patterns' mantissas to survive.
constexpr double k_float_irrev_step = 6.103515625e-05;
constexpr int k_max_components = 16384;

// ---------------------------------------------------------------------------
// _quantization(level) -> (qstep, qfactor)

PyObject* quantization_impl(PyObject*, bound_args args) {
  PyObject* level = args[0];
  if (level == Py_None) return Py_BuildValue("(di)", 0.0, 0);
  py::ref as_float(PyNumber_Float(level));
  if (!as_float) return nullptr;
  const double v = PyFloat_AS_DOUBLE(as_float.get());
  if (v < 1.0) {
    double step = 0.0 > v ? 0.0 : v;
    step = step > 1.0 ? 1.0 : step;
    step = static_cast<double>(static_cast<float>(step));
    if (step < 1e-5) step = 0.0;
    return Py_BuildValue("(di)", step, 0);
  }
  // NaN falls through to here and is refused by the integer conversion.
  py::ref qfactor(PyLong_FromDouble(v > 100.0 ? 100.0 : v));
  if (!qfactor) return nullptr;
  return Py_BuildValue("(dO)", 0.0, qfactor.get());
}

// ---------------------------------------------------------------------------
// _max_decompositions(width, height, tile_w, tile_h) -> int

PyObject* max_decompositions_impl(PyObject*, bound_args args) {
  int v[4];
  for (int i = 0; i < 4; ++i)
    if (!to_int32(args[i], &v[i])) return nullptr;
  int m = v[0] < v[1] ? v[0] : v[1];
  if (v[2] != 0 && v[3] != 0) {
    if (v[2] < m) m = v[2];
    if (v[3] < m) m = v[3];
  }
  int n = 0;
  while (m > 1) {
    m >>= 1;
    ++n;
  }
  return PyLong_FromLong(n);
}

// ---------------------------------------------------------------------------
// encode

// int() of every item of `obj`, unpacked into exactly two results.
bool unpack_int_pair(PyObject* obj, py::ref* first, py::ref* second) {
  py::ref it(PyObject_GetIter(obj));
  if (!it) return false;
  py::ref items(PyList_New(0));
  if (!items) return false;
  while (py::ref item{PyIter_Next(it.get())}) {
    py::ref as_int(PyNumber_Long(item.get()));
    if (!as_int || PyList_Append(items.get(), as_int.get()) < 0) return false;
  }
  if (PyErr_Occurred()) return false;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  if (n < 2) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%s to unpack", n, n == 1 ? "" : "s");
    return false;
  }
  if (n > 2) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return false;
  }
  *first = py::ref::borrow(PyList_GET_ITEM(items.get(), 0));
  *second = py::ref::borrow(PyList_GET_ITEM(items.get(), 1));
  return true;
}

// The upper-cased text of `value` if it is one of the module's `table`.
bool choose_name(PyObject* value, const char* table, const char* what, py::ref* out) {
  py::ref text(PyUnicode_Check(value) ? Py_NewRef(value) : PyObject_Str(value));
  if (!text) return false;
  py::ref upper(PyObject_CallMethod(text.get(), "upper", nullptr));
  if (!upper) return false;
  PyObject* allowed = module_attr(table);
  if (allowed == nullptr) return false;
  const int ok = PySequence_Contains(allowed, upper.get());
  if (ok < 0) return false;
  if (!ok) {
    PyErr_Format(PyExc_ValueError, "%s must be one of %R, got %R", what, allowed, value);
    return false;
  }
  *out = py::ref(PyUnicode_AsUTF8String(upper.get()));
  return static_cast<bool>(*out);
}

bool truthy(PyObject* obj, bool* out) {
  const int t = PyObject_IsTrue(obj);
  if (t < 0) return false;
  *out = t != 0;
  return true;
}

bool to_int32_ssize(Py_ssize_t v, int* out) {
  if (v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

enum encode_arg {
  a_data, a_level, a_rgb, a_planar, a_tile, a_resolutions, a_reversible, a_tlm, a_tilepart,
  a_block_size, a_prog_order, a_profile, a_num_decomp,
};

PyObject* encode_impl(PyObject*, bound_args args) {
  // 1. The array, C-contiguous, in its own dtype.
  PyObject* np_module = module_attr("np");
  if (np_module == nullptr) return nullptr;
  py::ref arr_obj(PyObject_CallMethod(np_module, "ascontiguousarray", "(O)", args[a_data]));
  if (!arr_obj) return nullptr;
  if (!PyArray_Check(arr_obj.get())) {
    PyErr_SetString(PyExc_TypeError, "ascontiguousarray did not return an array");
    return nullptr;
  }

  // 2. Sample type.
  auto* arr = reinterpret_cast<PyArrayObject*>(arr_obj.get());
  PyArray_Descr* descr = PyArray_DESCR(arr);
  const char kind = descr->kind;
  const int itemsize = static_cast<int>(PyDataType_ELSIZE(descr));
  bool is_float = false, is_signed = false;
  if ((kind == 'u' || kind == 'i') && (itemsize == 1 || itemsize == 2 || itemsize == 4)) {
    is_signed = kind == 'i';
  } else if (kind == 'f' && itemsize == 4) {
    is_float = is_signed = true;
  } else {
    PyErr_Format(g_openjph_error,
                 "HTJ2K encode: unsupported dtype %S; "
                 "expected uint8/int8/uint16/int16/uint32/int32/float32",
                 reinterpret_cast<PyObject*>(descr));
    return nullptr;
  }
  // The bridge reads native-order samples; swapped input would be coded as
  // other values.
  if (!PyArray_ISNBO(descr->byteorder)) {
    PyArray_Descr* native = PyArray_DescrNewByteorder(descr, NPY_NATIVE);
    if (native == nullptr) return nullptr;
    arr_obj = py::ref(PyArray_FromArray(arr, native, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ENSURECOPY));
    if (!arr_obj) return nullptr;
    arr = reinterpret_cast<PyArrayObject*>(arr_obj.get());
  }

  // 3. Layout and geometry.
  const int ndim = PyArray_NDIM(arr);
  const npy_intp* shape = PyArray_DIMS(arr);
  Py_ssize_t height, width, components;
  bool planar = false;
  if (ndim == 2) {
    height = shape[0];
    width = shape[1];
    components = 1;
  } else if (ndim == 3) {
    if (args[a_planar] == Py_None)
      planar = shape[2] > 4 && shape[0] <= 4;
    else if (!truthy(args[a_planar], &planar))
      return nullptr;
    if (planar) {
      components = shape[0];
      height = shape[1];
      width = shape[2];
    } else {
      height = shape[0];
      width = shape[1];
      components = shape[2];
    }
  } else {
    PyErr_Format(g_openjph_error, "HTJ2K encode: unsupported ndim %d", ndim);
    return nullptr;
  }

  // 4, 5. Extents.
  if (height < 1 || width < 1 || components < 1) {
    py::ref shape_obj(PyObject_GetAttrString(arr_obj.get(), "shape"));
    if (!shape_obj) return nullptr;
    PyErr_Format(g_openjph_error, "HTJ2K encode: empty image %S", shape_obj.get());
    return nullptr;
  }
  if (components > k_max_components) {
    PyErr_Format(g_openjph_error,
                 "HTJ2K encode: %zd components; a codestream holds at most 16384", components);
    return nullptr;
  }

  // 6. Quantization.
  py::ref q(call_module_function("_quantization", &args[a_level], 1));
  if (!q) return nullptr;
  PyObject *qstep_obj, *qfactor_obj;
  if (!PyArg_ParseTuple(q.get(), "OO", &qstep_obj, &qfactor_obj)) return nullptr;
  double qstep = PyFloat_AsDouble(qstep_obj);
  if (qstep == -1.0 && PyErr_Occurred()) return nullptr;
  int qfactor;
  if (!to_int32(qfactor_obj, &qfactor)) return nullptr;
  const bool lossy_level = qstep > 0.0 || qfactor > 0;

  // 7. Coding path.
  bool reversible;
  if (args[a_reversible] == Py_None) {
    reversible = !lossy_level;
  } else {
    if (!truthy(args[a_reversible], &reversible)) return nullptr;
    if (reversible && lossy_level) {
      PyErr_Format(PyExc_ValueError,
                   "HTJ2K encode: level=%R asks for lossy quantization, which the reversible path "
                   "does not do; drop reversible=True or the level",
                   args[a_level]);
      return nullptr;
    }
  }

  // 8. Float input on the irreversible path always gets a step.
  if (is_float && !reversible && qstep <= 0.0) qstep = k_float_irrev_step;

  // 9. Component transform.
  bool color_transform;
  if (args[a_rgb] == Py_None) {
    color_transform = (components == 3 || components == 4) && !planar && !is_float;
  } else {
    if (!truthy(args[a_rgb], &color_transform)) return nullptr;
    if (color_transform && components < 3) {
      PyErr_Format(PyExc_ValueError, "HTJ2K encode: rgb=True needs 3 or more components, got %zd",
                   components);
      return nullptr;
    }
    if (color_transform && is_float) {
      PyErr_SetString(PyExc_ValueError,
                      "HTJ2K encode: rgb=True is not supported for float32 input; the component "
                      "transform would mix the NLT bit patterns of different components. Pass "
                      "rgb=False or rgb=None");
      return nullptr;
    }
  }

  // 10. Tiles.
  py::ref zero(PyLong_FromLong(0));
  if (!zero) return nullptr;
  py::ref tile_w = py::ref::borrow(zero.get()), tile_h = py::ref::borrow(zero.get());
  if (args[a_tile] != Py_None && !unpack_int_pair(args[a_tile], &tile_w, &tile_h)) return nullptr;

  // 11. Decomposition levels.
  py::ref decomp(PyLong_FromLong(-1));
  if (!decomp) return nullptr;
  if (args[a_num_decomp] != Py_None) {
    if (args[a_resolutions] != Py_None) {
      PyErr_SetString(PyExc_ValueError,
                      "HTJ2K encode: pass resolutions= or num_decomp=, not both");
      return nullptr;
    }
    decomp = py::ref(PyNumber_Long(args[a_num_decomp]));
    if (!decomp) return nullptr;
    const int negative = PyObject_RichCompareBool(decomp.get(), zero.get(), Py_LT);
    if (negative < 0) return nullptr;
    if (negative) {
      py::ref text(PyObject_Str(args[a_num_decomp]));
      if (!text) return nullptr;
      PyErr_Format(PyExc_ValueError, "num_decomp must be >= 0, got %U", text.get());
      return nullptr;
    }
  } else {
    bool want = false;
    if (!truthy(args[a_resolutions], &want)) return nullptr;
    if (want) {
      py::ref w(PyLong_FromSsize_t(width)), h(PyLong_FromSsize_t(height));
      if (!w || !h) return nullptr;
      PyObject* md_args[4] = {w.get(), h.get(), tile_w.get(), tile_h.get()};
      py::ref most(call_module_function("_max_decompositions", md_args, 4));
      if (!most) return nullptr;
      py::ref asked(PyNumber_Long(args[a_resolutions]));
      if (!asked) return nullptr;
      const int less = PyObject_RichCompareBool(asked.get(), most.get(), Py_LT);
      if (less < 0) return nullptr;
      decomp = less ? std::move(asked) : std::move(most);
      // An image one sample high or wide allows no level, but OpenJPH's
      // reversible path is lossless only with at least one (or with the
      // component transform); one level codes such an image fine.
      const int none_left = PyObject_RichCompareBool(decomp.get(), zero.get(), Py_EQ);
      if (none_left < 0) return nullptr;
      if (none_left && reversible && !color_transform) decomp = py::ref(PyLong_FromLong(1));
      if (!decomp) return nullptr;
    }
  }

  // 12. Tile-parts.
  py::ref tp = py::ref::borrow(zero.get());
  if (args[a_tilepart] != Py_None) {
    tp = py::ref(PyNumber_Long(args[a_tilepart]));
    if (!tp) return nullptr;
  }

  // 13. Code-blocks.
  py::ref block_w = py::ref::borrow(zero.get()), block_h = py::ref::borrow(zero.get());
  if (args[a_block_size] != Py_None && !unpack_int_pair(args[a_block_size], &block_w, &block_h))
    return nullptr;

  // 14, 15. Progression order and profile.
  py::ref prog_b, profile_b;
  if (args[a_prog_order] != Py_None &&
      !choose_name(args[a_prog_order], "_PROG_ORDERS", "prog_order", &prog_b))
    return nullptr;
  if (args[a_profile] != Py_None &&
      !choose_name(args[a_profile], "_PROFILES", "profile", &profile_b))
    return nullptr;

  // 16. The parameter record.
  ferroglyph_htj2k_encode_params p{};
  if (!to_int32_ssize(width, &p.width) || !to_int32_ssize(height, &p.height) ||
      !to_int32_ssize(components, &p.components))
    return nullptr;
  p.bit_depth = itemsize * 8;
  p.is_signed = is_signed ? 1 : 0;
  p.bytes_per_sample = itemsize;
  p.src_planar = (planar || components == 1) ? 1 : 0;
  p.reversible = reversible ? 1 : 0;
  p.irrev_delta = static_cast<float>(qstep);
  p.qfactor = qfactor;
  if (!to_int32(decomp.get(), &p.num_decomp)) return nullptr;
  p.color_transform = color_transform ? 1 : 0;
  p.nlt_binary_complement = is_float ? 1 : 0;
  if (!to_int32(tile_w.get(), &p.tile_w) || !to_int32(tile_h.get(), &p.tile_h)) return nullptr;
  bool tlm = false;
  if (!truthy(args[a_tlm], &tlm)) return nullptr;
  p.tlm = tlm ? 1 : 0;
  for (int bit = 1; bit <= 2; bit <<= 1) {
    py::ref mask(PyLong_FromLong(bit));
    if (!mask) return nullptr;
    py::ref flag(PyNumber_And(tp.get(), mask.get()));
    if (!flag) return nullptr;
    bool set = false;
    if (!truthy(flag.get(), &set)) return nullptr;
    (bit == 1 ? p.tilepart_resolutions : p.tilepart_components) = set ? 1 : 0;
  }
  if (!to_int32(block_w.get(), &p.block_w) || !to_int32(block_h.get(), &p.block_h))
    return nullptr;
  p.prog_order = prog_b ? PyBytes_AS_STRING(prog_b.get()) : nullptr;
  p.profile = profile_b ? PyBytes_AS_STRING(profile_b.get()) : nullptr;

  // 17-19. The bridge, with the lock held; one copy of the codestream.
  ferroglyph_htj2k_clear_warnings();
  uint8_t* out_buf = nullptr;
  size_t out_size = 0;
  const int rc = ferroglyph_htj2k_encode(static_cast<const uint8_t*>(PyArray_DATA(arr)), &p,
                                         &out_buf, &out_size);
  if (rc != 0) return raise_bridge_error(rc, "encode");
  PyObject* result =
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out_buf), static_cast<Py_ssize_t>(out_size));
  ferroglyph_htj2k_free(out_buf);
  return result;
}

}  // namespace

const function_def k_quantization_def = {
    "_quantization",
    "Read ``level`` as the pair (qstep, qfactor).\n\n"
    "None, and values below 1 whose single-precision value is below 1e-5, mean\n"
    "no loss: (0.0, 0).  Other values below 1 are an irreversible quantization\n"
    "step, clamped to [0, 1] and rounded to single precision: (step, 0).\n"
    "Values from 1 are a quality factor, capped at 100 and truncated: (0.0, q).",
    nullptr,
    quantization_impl,
    1,
    {{"level", default_value::required, false}},
};

const function_def k_max_decompositions_def = {
    "_max_decompositions",
    nullptr,
    nullptr,
    max_decompositions_impl,
    4,
    {{"width", default_value::required, false},
     {"height", default_value::required, false},
     {"tile_w", default_value::required, false},
     {"tile_h", default_value::required, false}},
};

const function_def k_encode_def = {
    "encode",
    "Encode an ndarray as an HTJ2K codestream.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "data : array_like\n"
    "    (H, W), (H, W, C), or (C, H, W) when planar; uint8, int8, uint16,\n"
    "    int16, uint32, int32 or float32 (coded as its bit patterns).\n"
    "level : float, optional\n"
    "    None: lossless.  Below 1: irreversible quantization step.  From 1 to\n"
    "    100: quality factor.\n"
    "rgb : bool, optional\n"
    "    Component transform on components 0-2.  Default: on for interleaved\n"
    "    integer input with 3 or 4 components.\n"
    "planar : bool, optional\n"
    "    3-D input is (C, H, W).  Default: when the last axis is longer than 4\n"
    "    and the first is 4 or shorter.\n"
    "tile : (int, int), optional\n"
    "    Tile (width, height).\n"
    "resolutions : int, optional\n"
    "    Decomposition levels, clamped to what the image (or tile) size allows.\n"
    "reversible : bool, optional\n"
    "    Force the reversible (5/3) or irreversible (9/7) path.\n"
    "tlm : bool, optional\n"
    "    Write a TLM marker segment.\n"
    "tilepart : int, optional\n"
    "    Tile-part divisions: 1 at resolutions, 2 at components, 3 both.\n"
    "block_size : (int, int), optional\n"
    "    Code-block (width, height); default 64 x 64.\n"
    "prog_order : str, optional\n"
    "    'LRCP', 'RLCP', 'RPCL', 'PCRL' or 'CPRL' (any case).\n"
    "profile : str, optional\n"
    "    'IMF' or 'BROADCAST' (any case).\n"
    "num_decomp : int, optional\n"
    "    Decomposition levels, used as given; excludes ``resolutions``.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "bytes\n"
    "    A raw HTJ2K codestream (.j2c).\n"
    "\n"
    "Raises\n"
    "------\n"
    "OpenJphError\n"
    "    For arrays that cannot be coded and for OpenJPH's refusals.\n"
    "ValueError\n"
    "    For contradictory or out-of-range keywords.\n",
    "bytes",
    encode_impl,
    13,
    {{"data", default_value::required, false},
     {"level", default_value::none, false},
     {"rgb", default_value::none, true},
     {"planar", default_value::none, true},
     {"tile", default_value::none, true},
     {"resolutions", default_value::none, true},
     {"reversible", default_value::none, true},
     {"tlm", default_value::none, true},
     {"tilepart", default_value::none, true},
     {"block_size", default_value::none, true},
     {"prog_order", default_value::none, true},
     {"profile", default_value::none, true},
     {"num_decomp", default_value::none, true}},
};

}  // namespace ferroglyph::module
