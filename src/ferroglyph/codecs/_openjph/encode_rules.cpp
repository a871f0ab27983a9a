// The codec's encode rules (encode_rules.h), and the module functions that
// expose them: _quantization, _max_decompositions, _encode_settings and
// _dtype_coded.
#include "encode_rules.h"

#include <climits>

#include "module.h"

namespace ferroglyph::module {

namespace {

// Step used for float32 input on the irreversible path when the caller gave
// none: 2^-14, fine enough for the bit patterns' mantissas to survive.
constexpr double k_float_irrev_step = 6.103515625e-05;

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

}  // namespace

// ---------------------------------------------------------------------------
// Conversions shared by the rules

bool truthy(PyObject* obj, bool* out) {
  const int t = PyObject_IsTrue(obj);
  if (t < 0) return false;
  *out = t != 0;
  return true;
}

// A Python int as a C value, saturated to 64 bits: that keeps its sign and
// whether it fits a 32-bit field of the record, which is all the rules ask.
bool saturated(PyObject* exact_int, long long* out) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(exact_int, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  *out = overflow > 0 ? LLONG_MAX : overflow < 0 ? LLONG_MIN : v;
  return true;
}

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

bool coded_sample_type(char kind, int itemsize, sample_type* out) {
  out->itemsize = itemsize;
  const bool sized = itemsize == 1 || itemsize == 2 || itemsize == 4;
  out->is_float = kind == 'f' && itemsize == 4;
  out->is_signed = kind == 'i' || out->is_float;
  return ((kind == 'u' || kind == 'i') && sized) || out->is_float;
}

// ---------------------------------------------------------------------------
// Coding path: quantization, reversibility, component transform

namespace {

// _quantization (looked up on the module, so callers may replace it) reads
// `level` as a step or a quality factor.
bool read_quantization(PyObject* level, coding_path* out) {
  PyObject* level_args[1] = {level};
  py::ref q(call_module_function("_quantization", level_args, 1));
  if (!q) return false;
  PyObject *qstep_obj, *qfactor_obj;
  if (!PyArg_ParseTuple(q.get(), "OO", &qstep_obj, &qfactor_obj)) return false;
  out->qstep = PyFloat_AsDouble(qstep_obj);
  if (out->qstep == -1.0 && PyErr_Occurred()) return false;
  return to_int32(qfactor_obj, &out->qfactor);
}

// Reversible unless the level asks for loss; forcing the reversible path
// with a lossy level is a contradiction, not a choice between them.
bool read_reversible(const char* where, PyObject* reversible, PyObject* level, coding_path* out) {
  const bool lossy_level = out->qstep > 0.0 || out->qfactor > 0;
  if (reversible == Py_None) {
    out->reversible = !lossy_level;
    return true;
  }
  if (!truthy(reversible, &out->reversible)) return false;
  if (out->reversible && lossy_level) {
    PyErr_Format(PyExc_ValueError,
                 "%s: level=%R asks for lossy quantization, which the reversible path does not "
                 "do; drop reversible=True or the level",
                 where, level);
    return false;
  }
  return true;
}

// On by default for interleaved integer RGB(A); float bit patterns must not
// be mixed across components.  OpenJPH feeds the transform row by row,
// counting rows against component 0: subsampled components would be fed
// the wrong rows.
bool read_color_transform(const char* where, PyObject* rgb, const picture& pic, coding_path* out) {
  if (rgb == Py_None) {
    out->color_transform =
        (pic.components == 3 || pic.components == 4) && !pic.planar && !pic.is_float;
    return true;
  }
  if (!truthy(rgb, &out->color_transform)) return false;
  if (out->color_transform && pic.components < 3) {
    PyErr_Format(PyExc_ValueError, "%s: rgb=True needs 3 or more components, got %zd", where,
                 pic.components);
    return false;
  }
  if (out->color_transform && pic.is_float) {
    PyErr_Format(PyExc_ValueError,
                 "%s: rgb=True is not supported for float32 input; the component transform "
                 "would mix the NLT bit patterns of different components. Pass rgb=False or "
                 "rgb=None",
                 where);
    return false;
  }
  if (out->color_transform && pic.subsampling != nullptr) {
    PyErr_Format(PyExc_ValueError,
                 "%s: rgb=True (the component transform) cannot be used when a component is "
                 "subsampled (subsampling %R); code YCbCr components without it",
                 where, pic.subsampling);
    return false;
  }
  return true;
}

}  // namespace

bool read_coding_path(const char* where, PyObject* level, PyObject* reversible, PyObject* rgb,
                      const picture& pic, coding_path* out) {
  if (!read_quantization(level, out) || !read_reversible(where, reversible, level, out))
    return false;
  // Float input on the irreversible path always gets a step: OpenJPH's
  // default quantization would lose the bit patterns' mantissas.
  if (pic.is_float && !out->reversible && out->qstep <= 0.0) out->qstep = k_float_irrev_step;
  return read_color_transform(where, rgb, pic, out);
}

// ---------------------------------------------------------------------------
// Decomposition levels

namespace {

// int(obj), saturated.
bool int_of(PyObject* obj, long long* out) {
  py::ref as_int(PyNumber_Long(obj));
  return as_int && saturated(as_int.get(), out);
}

bool read_num_decomp(PyObject* num_decomp, long long* out) {
  if (!int_of(num_decomp, out)) return false;
  if (*out >= 0) return true;
  py::ref text(PyObject_Str(num_decomp));
  if (!text) return false;
  PyErr_Format(PyExc_ValueError, "num_decomp must be >= 0, got %U", text.get());
  return false;
}

// The clamp of clamp_resolutions when _max_decompositions returned something
// other than an int: compared and kept as Python objects.
bool clamp_by_objects(PyObject* asked, PyObject* most, bool keep_one, levels* out) {
  const int less = PyObject_RichCompareBool(asked, most, Py_LT);
  if (less < 0) return false;
  py::ref zero(PyLong_FromLong(0));
  if (!zero) return false;
  const int none_left = PyObject_RichCompareBool(less ? asked : most, zero.get(), Py_EQ);
  if (none_left < 0) return false;
  if (none_left && keep_one) {
    out->count = 1;
    return true;
  }
  if (less) return saturated(asked, &out->count);
  out->odd = py::ref::borrow(most);
  return true;
}

// resolutions= asks for at most that many levels; _max_decompositions
// (looked up on the module, so callers may replace it) says how many the
// image or tile size allows.
bool clamp_resolutions(PyObject* resolutions, const picture& pic, PyObject* tile_w,
                       PyObject* tile_h, bool keep_one, levels* out) {
  py::ref w(PyLong_FromSsize_t(pic.width)), h(PyLong_FromSsize_t(pic.height));
  if (!w || !h) return false;
  PyObject* md_args[4] = {w.get(), h.get(), tile_w, tile_h};
  py::ref most(call_module_function("_max_decompositions", md_args, 4));
  if (!most) return false;
  py::ref asked(PyNumber_Long(resolutions));
  if (!asked) return false;
  if (!PyLong_CheckExact(most.get()))
    return clamp_by_objects(asked.get(), most.get(), keep_one, out);
  long long asked_n, most_n;
  if (!saturated(asked.get(), &asked_n) || !saturated(most.get(), &most_n)) return false;
  out->count = asked_n < most_n ? asked_n : most_n;
  if (out->count == 0 && keep_one) out->count = 1;
  return true;
}

}  // namespace

bool read_levels(const char* where, PyObject* num_decomp, PyObject* resolutions, const picture& pic,
                 PyObject* tile_w, PyObject* tile_h, const coding_path& path, levels* out) {
  if (num_decomp != Py_None) {
    if (resolutions != Py_None) {
      PyErr_Format(PyExc_ValueError, "%s: pass resolutions= or num_decomp=, not both", where);
      return false;
    }
    return read_num_decomp(num_decomp, &out->count);
  }
  bool want = false;
  if (!truthy(resolutions, &want)) return false;
  // An image one sample high or wide allows no level, but OpenJPH's
  // reversible path is lossless only with at least one (or with the
  // component transform); one level codes such an image fine.
  const bool keep_one = path.reversible && !path.color_transform;
  return !want || clamp_resolutions(resolutions, pic, tile_w, tile_h, keep_one, out);
}

// ---------------------------------------------------------------------------
// _encode_settings(where, width, height, components, level, keywords, *,
//                  planar, is_float, subsampling, tile_w, tile_h) -> dict

namespace {

// keywords[name], or None when absent.
PyObject* keyword(PyObject* keywords, const char* name) {
  PyObject* v = PyDict_GetItemString(keywords, name);  // borrowed
  return v != nullptr ? v : Py_None;
}

bool read_picture(bound_args args, picture* out) {
  int width, height, components;
  if (!to_int32(args[1], &width) || !to_int32(args[2], &height) ||
      !to_int32(args[3], &components) || !truthy(args[6], &out->planar) ||
      !truthy(args[7], &out->is_float))
    return false;
  out->width = width;
  out->height = height;
  out->components = components;
  out->subsampling = args[8] != Py_None ? args[8] : nullptr;
  return true;
}

PyObject* name_or_none(const py::ref& name) {
  if (!name) return Py_NewRef(Py_None);
  return PyUnicode_FromString(PyBytes_AS_STRING(name.get()));
}

PyObject* settings_dict(const coding_path& path, const levels& d, const py::ref& prog_order,
                        const py::ref& profile) {
  py::ref num_decomp(d.odd ? Py_NewRef(d.odd.get()) : PyLong_FromLongLong(d.count));
  py::ref prog(name_or_none(prog_order)), prof(name_or_none(profile));
  if (!num_decomp || !prog || !prof) return nullptr;
  return Py_BuildValue("{s:i,s:d,s:i,s:O,s:i,s:O,s:O}", "reversible", path.reversible ? 1 : 0,
                       "qstep", path.qstep, "qfactor", path.qfactor, "num_decomp", num_decomp.get(),
                       "color_transform", path.color_transform ? 1 : 0, "prog_order", prog.get(),
                       "profile", prof.get());
}

PyObject* encode_settings_impl(PyObject*, bound_args args) {
  const char* where = PyUnicode_AsUTF8(args[0]);
  if (where == nullptr) return nullptr;
  PyObject* keywords = args[5];
  if (!PyDict_Check(keywords)) {
    PyErr_SetString(PyExc_TypeError, "_encode_settings: keywords must be a dict");
    return nullptr;
  }
  picture pic{};
  coding_path path{};
  levels d;
  py::ref prog_order, profile;
  PyObject* prog_arg = keyword(keywords, "prog_order");
  PyObject* profile_arg = keyword(keywords, "profile");
  if (!read_picture(args, &pic) ||
      !read_coding_path(where, args[4], keyword(keywords, "reversible"), keyword(keywords, "rgb"),
                        pic, &path) ||
      !read_levels(where, keyword(keywords, "num_decomp"), keyword(keywords, "resolutions"), pic,
                   args[9], args[10], path, &d) ||
      (prog_arg != Py_None && !choose_name(prog_arg, "_PROG_ORDERS", "prog_order", &prog_order)) ||
      (profile_arg != Py_None && !choose_name(profile_arg, "_PROFILES", "profile", &profile)))
    return nullptr;
  return settings_dict(path, d, prog_order, profile);
}

// ---------------------------------------------------------------------------
// _dtype_coded(dtype) -> bool

PyObject* dtype_coded_impl(PyObject*, bound_args args) {
  PyObject* np_module = module_attr("np");
  if (np_module == nullptr) return nullptr;
  py::ref dtype(PyObject_CallMethod(np_module, "dtype", "(O)", args[0]));
  if (!dtype) return nullptr;
  py::ref kind(PyObject_GetAttrString(dtype.get(), "kind"));
  py::ref itemsize(PyObject_GetAttrString(dtype.get(), "itemsize"));
  if (!kind || !itemsize) return nullptr;
  const char* k = PyUnicode_AsUTF8(kind.get());
  const long size = PyLong_AsLong(itemsize.get());
  if (k == nullptr || (size == -1 && PyErr_Occurred())) return nullptr;
  sample_type s;
  return PyBool_FromLong(coded_sample_type(k[0], static_cast<int>(size), &s) ? 1 : 0);
}

// _planar_default(first, last) -> bool

PyObject* planar_default_impl(PyObject*, bound_args args) {
  long long first = 0, last = 0;
  if (!int_of(args[0], &first) || !int_of(args[1], &last)) return nullptr;
  return PyBool_FromLong(planar_by_default(first, last) ? 1 : 0);
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

const function_def k_encode_settings_def = {
    "_encode_settings",
    "The encode settings that ``encode`` would resolve, as a dict.\n\n"
    "``keywords`` may hold rgb, reversible, resolutions, num_decomp, prog_order\n"
    "and profile, read with encode's own rules; refusals start with ``where``.\n"
    "The image is ``width`` x ``height`` with ``components`` components,\n"
    "separate planes when ``planar``; ``subsampling`` (the factors, when a\n"
    "component is subsampled) refuses the component transform.  Returns\n"
    "reversible, qstep, qfactor, num_decomp (-1: OpenJPH's default),\n"
    "color_transform, prog_order and profile.",
    "dict",
    encode_settings_impl,
    11,
    {{"where", default_value::required, false},
     {"width", default_value::required, false},
     {"height", default_value::required, false},
     {"components", default_value::required, false},
     {"level", default_value::required, false},
     {"keywords", default_value::required, false},
     {"planar", default_value::false_, true},
     {"is_float", default_value::false_, true},
     {"subsampling", default_value::none, true},
     {"tile_w", default_value::zero, true},
     {"tile_h", default_value::zero, true}},
};

const function_def k_planar_default_def = {
    "_planar_default",
    "Whether ``encode`` reads a 3-D array of shape (first, ..., last) given\n"
    "without ``planar=`` as separate planes (C, H, W): when the last axis is\n"
    "longer than 4 and the first is 4 or shorter.",
    "bool",
    planar_default_impl,
    2,
    {{"first", default_value::required, false}, {"last", default_value::required, false}},
};

const function_def k_dtype_coded_def = {
    "_dtype_coded",
    "Whether ``encode`` codes samples of this dtype (in any byte order):\n"
    "(u)int8, (u)int16, (u)int32, and float32 as its bit patterns.",
    "bool",
    dtype_coded_impl,
    1,
    {{"dtype", default_value::required, false}},
};

}  // namespace ferroglyph::module
