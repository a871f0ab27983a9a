// The decoder front end: decode(), decode_info() and their helpers.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ferroglyph_openjph_ARRAY_API
#include <numpy/arrayobject.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "decoder.h"
#include "module.h"
#include "openjph_shim.h"

namespace ferroglyph::module {

// ---------------------------------------------------------------------------
// Input bytes

bool input_bytes::acquire(PyObject* data) {
  // bytes and bytearray are read in place; anything else is copied once.
  if (PyBytes_Check(data) || PyByteArray_Check(data)) {
    owner_ = py::ref::borrow(data);
  } else {
    owner_ = py::ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), data));
    if (!owner_) return false;
  }
  return view_.acquire(owner_.get(), PyBUF_SIMPLE);
}

output_layout layout_of(int components, int height, int width, bool planar) {
  if (components == 1) return {2, {height, width, 0}, 1};
  if (planar) return {3, {components, height, width}, 1};
  return {3, {height, width, components}, 0};
}

bool output_fits_memory(const output_layout& layout, size_t itemsize) {
  // In floating point: a hostile header's product overflows 64 bits.
  double need = static_cast<double>(itemsize);
  for (int i = 0; i < layout.ndim; ++i) need *= static_cast<double>(layout.dims[i]);
  // Asked once: a system call on every decode would show on small images.
  static const double have = [] {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? static_cast<double>(pages) * page : 0.0;
  }();
  if (have == 0.0 || need <= have) return true;
  char text[200];
  std::snprintf(text, sizeof text,
                "decode: the image needs %.1f GiB, more than this machine's memory (%.1f GiB); "
                "decode it reduced or into a buffer of your own (out=)",
                need / 1073741824.0, have / 1073741824.0);
  PyErr_SetString(PyExc_MemoryError, text);
  return false;
}

PyObject* call_output_dtype(int bit_depth, int is_signed, int nlt_type) {
  py::ref bd(PyLong_FromLong(bit_depth)), nlt(PyLong_FromLong(nlt_type));
  if (!bd || !nlt) return nullptr;
  PyObject* dt_args[3] = {bd.get(), is_signed ? Py_True : Py_False, nlt.get()};
  return call_module_function("_output_dtype", dt_args, 3);
}

int carrier_type(int itemsize, bool is_signed) {
  return itemsize == 1   ? (is_signed ? NPY_INT8 : NPY_UINT8)
         : itemsize == 2 ? (is_signed ? NPY_INT16 : NPY_UINT16)
                         : (is_signed ? NPY_INT32 : NPY_UINT32);
}

bool resolve_planar(PyObject* planar, PyObject* color_transform, bool* out) {
  const int t = PyObject_IsTrue(planar == Py_None ? color_transform : planar);
  if (t < 0) return false;
  *out = planar == Py_None ? t == 0 : t != 0;
  return true;
}

PyObject* shape_tuple(const output_layout& layout) {
  py::ref shape(PyTuple_New(layout.ndim));
  if (!shape) return nullptr;
  for (int i = 0; i < layout.ndim; ++i) {
    PyObject* d = PyLong_FromSsize_t(layout.dims[i]);
    if (d == nullptr) return nullptr;
    PyTuple_SET_ITEM(shape.get(), i, d);
  }
  return shape.release();
}

// ---------------------------------------------------------------------------
// _reductions(reduce, skipres) -> (data, recon)

namespace {

// `a, b = obj`, with Python's messages; `not_iterable` tells a TypeError
// from iteration (which makes the caller read obj as one number).
bool unpack_two(PyObject* obj, py::ref* a, py::ref* b, bool* not_iterable) {
  *not_iterable = false;
  py::ref it(PyObject_GetIter(obj));
  if (!it) {
    *not_iterable = PyErr_ExceptionMatches(PyExc_TypeError);
    return false;
  }
  py::ref items[3];
  int got = 0;
  for (; got < 3; ++got) {
    items[got] = py::ref(PyIter_Next(it.get()));
    if (!items[got]) break;
  }
  if (PyErr_Occurred()) {
    *not_iterable = PyErr_ExceptionMatches(PyExc_TypeError);
    return false;
  }
  if (got < 2) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
    return false;
  }
  if (got > 2) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return false;
  }
  *a = std::move(items[0]);
  *b = std::move(items[1]);
  return true;
}

PyObject* reductions_impl(PyObject*, bound_args args) {
  PyObject* reduce = args[0];
  PyObject* skipres = args[1];
  if (skipres == Py_None) {
    py::ref r(PyNumber_Long(reduce));
    if (!r) return nullptr;
    if (_PyLong_Sign(r.get()) < 0) {
      py::ref text(PyObject_Str(reduce));
      if (!text) return nullptr;
      PyErr_Format(PyExc_ValueError, "reduce must be >= 0, got %U", text.get());
      return nullptr;
    }
    return PyTuple_Pack(2, r.get(), r.get());
  }
  py::ref data_obj, recon_obj;
  bool not_iterable = false;
  if (!unpack_two(skipres, &data_obj, &recon_obj, &not_iterable)) {
    if (!not_iterable) return nullptr;
    PyErr_Clear();
    data_obj = py::ref::borrow(skipres);
    recon_obj = py::ref::borrow(skipres);
  }
  py::ref data(PyNumber_Long(data_obj.get()));
  if (!data) return nullptr;
  py::ref recon(PyNumber_Long(recon_obj.get()));
  if (!recon) return nullptr;

  const int reduce_set = PyObject_IsTrue(reduce);
  if (reduce_set < 0) return nullptr;
  if (reduce_set) {
    py::ref r(PyNumber_Long(reduce));
    if (!r) return nullptr;
    const int same_data = PyObject_RichCompareBool(data.get(), r.get(), Py_EQ);
    const int same_recon = PyObject_RichCompareBool(recon.get(), r.get(), Py_EQ);
    if (same_data < 0 || same_recon < 0) return nullptr;
    if (!same_data || !same_recon) {
      py::ref text(PyObject_Str(reduce));
      if (!text) return nullptr;
      PyErr_Format(PyExc_ValueError, "reduce=%U and skipres=%R disagree; pass one", text.get(),
                   skipres);
      return nullptr;
    }
  }
  if (_PyLong_Sign(data.get()) < 0 || _PyLong_Sign(recon.get()) < 0) {
    PyErr_Format(PyExc_ValueError, "skipres must be >= 0, got %R", skipres);
    return nullptr;
  }
  const int more = PyObject_RichCompareBool(recon.get(), data.get(), Py_GT);
  if (more < 0) return nullptr;
  if (more) {
    PyErr_Format(PyExc_ValueError,
                 "skipres: the reconstruction cannot skip more resolutions (%S) than are left "
                 "unread (%S)",
                 recon.get(), data.get());
    return nullptr;
  }
  return PyTuple_Pack(2, data.get(), recon.get());
}

// ---------------------------------------------------------------------------
// _output_dtype(bit_depth, is_signed, nlt_type) -> numpy.dtype

PyObject* output_dtype_impl(PyObject*, bound_args args) {
  int bit_depth, nlt_type;
  if (!to_int32(args[0], &bit_depth)) return nullptr;
  const int is_signed = PyObject_IsTrue(args[1]);
  if (is_signed < 0) return nullptr;
  if (!to_int32(args[2], &nlt_type)) return nullptr;
  if (bit_depth < 1 || bit_depth > 32) {
    PyErr_Format(g_openjph_error, "HTJ2K decode: unsupported bit depth %d", bit_depth);
    return nullptr;
  }
  const int size = bit_depth <= 8 ? 1 : (bit_depth <= 16 ? 2 : 4);
  int type;
  if (nlt_type == 3) {
    if (size == 1) {
      PyErr_SetString(g_unsupported_feature,
                      "HTJ2K decode: an NLT type 3 component of 8 bits or fewer has no floating "
                      "point type to return");
      return nullptr;
    }
    type = size == 2 ? NPY_FLOAT16 : NPY_FLOAT32;
  } else if (nlt_type != 0) {
    PyErr_Format(g_unsupported_feature,
                 "HTJ2K decode: nonlinearity (NLT) type %d is not supported; the samples would "
                 "come back without it applied",
                 nlt_type);
    return nullptr;
  } else if (is_signed) {
    type = size == 1 ? NPY_INT8 : (size == 2 ? NPY_INT16 : NPY_INT32);
  } else {
    type = size == 1 ? NPY_UINT8 : (size == 2 ? NPY_UINT16 : NPY_UINT32);
  }
  return reinterpret_cast<PyObject*>(PyArray_DescrFromType(type));
}

// (data, recon) from _reductions (looked up on the module, so callers may
// replace it), which takes `reduce` as a Python int.
bool reduction_pair(int reduce, PyObject* skipres, int* data, int* recon) {
  py::ref reduce_obj(PyLong_FromLong(reduce));
  if (!reduce_obj) return false;
  PyObject* pair_args[2] = {reduce_obj.get(), skipres};
  py::ref pair(call_module_function("_reductions", pair_args, 2));
  if (!pair) return false;
  PyObject *a, *b;
  if (!PyArg_ParseTuple(pair.get(), "OO", &a, &b)) return false;
  return to_int32(a, data) && to_int32(b, recon);
}


// The header facts of `data` at a reduction, read by the bridge after the
// thread's warnings are cleared; `in` keeps the input exported.  `caller`
// names the call in the empty-input message.
bool read_header(PyObject* data, const char* caller, int data_r, int recon_r, int resilient,
                 bool release_lock, input_bytes* in, ferroglyph_htj2k_info* info) {
  ferroglyph_htj2k_clear_warnings();
  if (!in->acquire(data)) return false;
  if (in->size() == 0) {
    PyErr_Format(g_openjph_error, "%s: empty input", caller);
    return false;
  }
  *info = ferroglyph_htj2k_info{};
  int rc;
  if (release_lock) {
    py::unlocked nogil;
    rc = ferroglyph_htj2k_decode_info(in->data(), in->size(), data_r, recon_r, resilient, info);
  } else {
    rc = ferroglyph_htj2k_decode_info(in->data(), in->size(), data_r, recon_r, resilient, info);
  }
  if (rc != 0) {
    raise_bridge_error(rc, "decode_info");
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// decode_info(data, *, reduce=0, skipres=None, resilient=False) -> dict

enum info_arg { i_data, i_reduce, i_skipres, i_resilient };

// None when the header rules a decode out (components that differ, a
// precision or nonlinearity decode refuses): decode_info reports, it does
// not refuse.
bool info_dtype(const ferroglyph_htj2k_info& info, py::ref* out) {
  *out = py::ref::borrow(Py_None);
  if (!info.uniform) return true;
  py::ref dt(call_output_dtype(info.bit_depth, info.is_signed, info.nlt_type));
  if (dt) {
    *out = std::move(dt);
    return true;
  }
  if (!PyErr_ExceptionMatches(g_openjph_error)) return false;
  PyErr_Clear();
  return true;
}

PyObject* decode_info_impl(PyObject*, bound_args args) {
  int reduce;
  if (!to_int32(args[i_reduce], &reduce)) return nullptr;
  const int resilient = PyObject_IsTrue(args[i_resilient]);
  if (resilient < 0) return nullptr;
  int data_r, recon_r;
  if (!reduction_pair(reduce, args[i_skipres], &data_r, &recon_r)) return nullptr;
  // Only a header parse runs: the lock stays held.
  input_bytes in;
  ferroglyph_htj2k_info info;
  if (!read_header(args[i_data], "decode_info", data_r, recon_r, resilient, false, &in, &info))
    return nullptr;
  py::ref dtype;
  if (!info_dtype(info, &dtype)) return nullptr;
  return Py_BuildValue("{s:i,s:i,s:i,s:i,s:O,s:i,s:O,s:i,s:O,s:O}",  //
                       "width", info.width, "height", info.height, "components", info.components,
                       "bit_depth", info.bit_depth, "signed", info.is_signed ? Py_True : Py_False,
                       "num_decompositions", info.num_decompositions, "color_transform",
                       info.color_transform ? Py_True : Py_False, "nlt_type", info.nlt_type,
                       "uniform", info.uniform ? Py_True : Py_False, "dtype", dtype.get());
}

// ---------------------------------------------------------------------------
// _decode_target(out, shape, dtype) -> ndarray

// The checks for an ndarray `out`: shape, dtype, then layout.
PyObject* array_target(PyObject* out, PyObject* shape, PyObject* dtype) {
  auto* arr = reinterpret_cast<PyArrayObject*>(out);
  py::ref want_shape(PySequence_Tuple(shape));
  if (!want_shape) return nullptr;
  py::ref have_shape(PyObject_GetAttrString(out, "shape"));
  if (!have_shape) return nullptr;
  const int same_shape = PyObject_RichCompareBool(have_shape.get(), want_shape.get(), Py_EQ);
  if (same_shape < 0) return nullptr;
  if (!same_shape) {
    PyErr_Format(PyExc_ValueError, "HTJ2K decode: out.shape=%S does not match the output shape %S",
                 have_shape.get(), want_shape.get());
    return nullptr;
  }
  PyObject* have_dtype = reinterpret_cast<PyObject*>(PyArray_DESCR(arr));
  const int same_dtype = PyObject_RichCompareBool(have_dtype, dtype, Py_EQ);
  if (same_dtype < 0) return nullptr;
  if (!same_dtype) {
    PyErr_Format(PyExc_ValueError, "HTJ2K decode: out.dtype=%S does not match the output dtype %S",
                 have_dtype, dtype);
    return nullptr;
  }
  if (!PyArray_IS_C_CONTIGUOUS(arr) || !PyArray_ISWRITEABLE(arr)) {
    PyErr_SetString(PyExc_ValueError, "HTJ2K decode: out must be C-contiguous and writable");
    return nullptr;
  }
  return Py_NewRef(out);
}

// A writable C-contiguous buffer of exactly `required` bytes, viewed with the
// output's shape and dtype; its own format and dimensions play no part.
PyObject* buffer_target(PyObject* np_module, PyObject* out, PyObject* shape, PyObject* dtype,
                        PyObject* required) {
  py::ref view(PyMemoryView_FromObject(out));
  if (!view) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();
    py::ref type_name(PyType_GetName(Py_TYPE(out)));
    if (!type_name) return nullptr;
    PyErr_Format(PyExc_TypeError,
                 "HTJ2K decode: out must be an ndarray or a writable buffer, got %U",
                 type_name.get());
    return nullptr;
  }
  const Py_buffer* buf = PyMemoryView_GET_BUFFER(view.get());
  if (buf->readonly || !PyBuffer_IsContiguous(buf, 'C')) {
    PyErr_SetString(PyExc_ValueError, "HTJ2K decode: out must be C-contiguous and writable");
    return nullptr;
  }
  py::ref nbytes(PyLong_FromSsize_t(buf->len));
  if (!nbytes) return nullptr;
  const int same_size = PyObject_RichCompareBool(nbytes.get(), required, Py_EQ);
  if (same_size < 0) return nullptr;
  if (!same_size) {
    PyErr_Format(PyExc_ValueError, "HTJ2K decode: out holds %S bytes; the output needs %S",
                 nbytes.get(), required);
    return nullptr;
  }
  py::ref as_bytes(PyObject_CallMethod(view.get(), "cast", "s", "B"));
  if (!as_bytes) return nullptr;
  py::ref flat(PyObject_CallMethod(np_module, "frombuffer", "OO", as_bytes.get(), dtype));
  if (!flat) return nullptr;
  return PyObject_CallMethod(flat.get(), "reshape", "(O)", shape);
}

// numpy.prod(shape) * dtype.itemsize, as a Python int: any shape and dtype a
// caller passes are read the way numpy reads them, numpy's errors first.
PyObject* required_bytes(PyObject* np_module, PyObject* shape, PyObject* dtype) {
  py::ref count(PyObject_CallMethod(np_module, "prod", "(O)", shape));
  if (!count) return nullptr;
  py::ref count_int(PyNumber_Long(count.get()));
  if (!count_int) return nullptr;
  py::ref itemsize(PyObject_GetAttrString(dtype, "itemsize"));
  if (!itemsize) return nullptr;
  return PyNumber_Multiply(count_int.get(), itemsize.get());
}

PyObject* decode_target_impl(PyObject*, bound_args args) {
  PyObject *out = args[0], *shape = args[1], *dtype = args[2];
  PyObject* np_module = module_attr("np");
  if (np_module == nullptr) return nullptr;
  py::ref required(required_bytes(np_module, shape, dtype));
  if (!required) return nullptr;
  if (PyArray_Check(out)) return array_target(out, shape, dtype);
  return buffer_target(np_module, out, shape, dtype, required.get());
}

// ---------------------------------------------------------------------------
// decode(data, *, ...) -> ndarray

enum decode_arg {
  d_data, d_ignore_unsupported, d_reduce, d_planar, d_skipres, d_resilient, d_out,
  d_numthreads, d_tile,
};

struct decode_options {
  int ignore_unsupported, resilient, as_tile;
  int data_r, recon_r;  // resolutions left unread, and left out of the reconstruction
};

bool read_decode_options(bound_args args, decode_options* o) {
  int reduce;
  o->ignore_unsupported = PyObject_IsTrue(args[d_ignore_unsupported]);
  if (o->ignore_unsupported < 0 || !to_int32(args[d_reduce], &reduce)) return false;
  o->resilient = PyObject_IsTrue(args[d_resilient]);
  if (o->resilient < 0) return false;
  o->as_tile = PyObject_IsTrue(args[d_tile]);
  if (o->as_tile < 0) return false;
  return reduction_pair(reduce, args[d_skipres], &o->data_r, &o->recon_r);
}

// Whole-resolution decodes that may use threads first try _decode_tiled
// (looked up on the module), which returns None to have the codestream
// decoded whole.  Leaves `result` empty when the decode goes on here.
bool try_tiled(bound_args args, const decode_options& o, py::ref* result) {
  if (o.ignore_unsupported || o.resilient || o.data_r != 0 || o.recon_r != 0) return true;
  py::ref one(PyLong_FromLong(1));
  if (!one) return false;
  const int single = PyObject_RichCompareBool(args[d_numthreads], one.get(), Py_EQ);
  if (single != 0) return single > 0;
  PyObject* tiled_args[4] = {args[d_data], args[d_numthreads], args[d_planar], args[d_out]};
  py::ref tiled(call_module_function("_decode_tiled", tiled_args, 4));
  if (!tiled) return false;
  if (tiled.get() != Py_None) *result = std::move(tiled);
  return true;
}

// The output dtype of a uniform codestream.  With ignore_unsupported, an
// NLT type other than 0 and 3 is ignored: the samples come back as plain
// integers, without the nonlinearity applied.
bool output_dtype(const ferroglyph_htj2k_info& info, bool ignore_unsupported, py::ref* out) {
  if (!info.uniform) {
    PyErr_SetString(g_openjph_error,
                    "HTJ2K decode: the components differ in precision, sign, nonlinearity or "
                    "subsampling; not supported");
    return false;
  }
  const bool unknown_nlt = info.nlt_type != 0 && info.nlt_type != 3;
  const int nlt = unknown_nlt && ignore_unsupported ? 0 : info.nlt_type;
  *out = py::ref(call_output_dtype(info.bit_depth, info.is_signed, nlt));
  if (!*out) return false;
  if (!PyArray_DescrCheck(out->get())) {
    PyErr_SetString(PyExc_TypeError, "_output_dtype did not return a numpy.dtype");
    return false;
  }
  return true;
}

// New arrays are allocated in the integer type of the sample size (a float
// output is its carrier's bit patterns); a caller's `out` is checked by
// _decode_target (looked up on the module) against the output dtype.
bool destination(PyObject* out, const output_layout& layout, PyArray_Descr* dtype, bool is_signed,
                 py::ref* dest) {
  if (out == Py_None) {
    const int size = static_cast<int>(PyDataType_ELSIZE(dtype));
    if (!output_fits_memory(layout, static_cast<size_t>(size))) return false;
    npy_intp dims[3] = {layout.dims[0], layout.dims[1], layout.dims[2]};
    *dest = py::ref(
        PyArray_SimpleNew(layout.ndim, dims, carrier_type(size, is_signed || dtype->kind == 'f')));
  } else {
    py::ref shape(shape_tuple(layout));
    if (!shape) return false;
    PyObject* target_args[3] = {out, shape.get(), reinterpret_cast<PyObject*>(dtype)};
    *dest = py::ref(call_module_function("_decode_target", target_args, 3));
  }
  if (!*dest) return false;
  if (!PyArray_Check(dest->get())) {
    PyErr_SetString(PyExc_TypeError, "_decode_target did not return an ndarray");
    return false;
  }
  return true;
}

// The samples, with the lock released; the caller keeps `in` and `dest`
// referenced, so neither can go away meanwhile.
bool decode_samples(const input_bytes& in, PyArrayObject* dest, int bytes_per_sample,
                    const decode_options& o, int planar_flag) {
  uint8_t* dst = static_cast<uint8_t*>(PyArray_DATA(dest));
  const size_t dst_size = static_cast<size_t>(PyArray_NBYTES(dest));
  int rc;
  {
    py::unlocked nogil;
    rc = ferroglyph_htj2k_decode(in.data(), in.size(), dst, dst_size, bytes_per_sample, o.data_r,
                                 o.recon_r, o.resilient, planar_flag);
  }
  if (rc != 0) raise_bridge_error(rc, "decode");
  return rc == 0;
}

// A tile decode may not warn: any warning makes the tiled decode step aside
// so that the whole decode reports it once.
bool check_decode_warnings(const decode_options& o) {
  if (o.as_tile) {
    const char* warned = ferroglyph_htj2k_last_warnings();
    if (warned != nullptr && warned[0] != '\0') {
      PyErr_SetString(g_openjph_error, "decode: OpenJPH warned about a tile");
      return false;
    }
  }
  return check_warnings(o.ignore_unsupported != 0);
}

PyObject* decode_impl(PyObject*, bound_args args) {
  decode_options o;
  py::ref tiled;
  if (!read_decode_options(args, &o) || !try_tiled(args, o, &tiled)) return nullptr;
  if (tiled) return tiled.release();

  input_bytes in;
  ferroglyph_htj2k_info info;
  py::ref dtype_obj;
  bool planar;
  if (!read_header(args[d_data], "decode", o.data_r, o.recon_r, o.resilient, true, &in, &info) ||
      !output_dtype(info, o.ignore_unsupported != 0, &dtype_obj) ||
      !resolve_planar(args[d_planar], info.color_transform ? Py_True : Py_False, &planar))
    return nullptr;
  auto* dtype = reinterpret_cast<PyArray_Descr*>(dtype_obj.get());
  const output_layout layout = layout_of(info.components, info.height, info.width, planar);
  py::ref dest;
  if (!destination(args[d_out], layout, dtype, info.is_signed != 0, &dest)) return nullptr;
  auto* dest_arr = reinterpret_cast<PyArrayObject*>(dest.get());
  if (!decode_samples(in, dest_arr, static_cast<int>(PyDataType_ELSIZE(dtype)), o,
                      layout.planar_flag) ||
      !check_decode_warnings(o))
    return nullptr;
  // A float output is the integer carrier reinterpreted, never converted.
  if (!PyArray_EquivTypes(PyArray_DESCR(dest_arr), dtype)) {
    Py_INCREF(dtype);
    return PyArray_View(dest_arr, dtype, nullptr);
  }
  return dest.release();
}

}  // namespace

const function_def k_reductions_def = {
    "_reductions",
    "Resolve ``reduce`` and ``skipres`` to the pair (data, recon).\n\n"
    "``data`` is the number of finest resolutions left unread, ``recon`` the\n"
    "number left out of the reconstruction (recon <= data).  ``reduce=n`` or\n"
    "``skipres=n`` gives (n, n); ``skipres=(d, r)`` gives (d, r).",
    nullptr,
    reductions_impl,
    2,
    {{"reduce", default_value::required, false}, {"skipres", default_value::required, false}},
};

const function_def k_output_dtype_def = {
    "_output_dtype",
    "The dtype that a decode of a uniform codestream returns.\n\n"
    "(u)int8/16/32 by precision and sign; float16/float32 for NLT type 3\n"
    "(floating-point bit patterns) at 9-16/17-32 bits.",
    nullptr,
    output_dtype_impl,
    3,
    {{"bit_depth", default_value::required, false},
     {"is_signed", default_value::required, false},
     {"nlt_type", default_value::required, false}},
};

const function_def k_decode_info_def = {
    "decode_info",
    "Read the HTJ2K headers without decoding any samples.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "data : bytes-like\n"
    "    The codestream.\n"
    "reduce : int, optional\n"
    "    Report the size of a decode that skips this many finest resolutions.\n"
    "skipres : int or (int, int), optional\n"
    "    Alternative to ``reduce``: (resolutions unread, resolutions left out of\n"
    "    the reconstruction).\n"
    "resilient : bool, optional\n"
    "    Ask OpenJPH to tolerate damaged codestreams.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "dict\n"
    "    width, height (at the reduction), components, bit_depth, signed,\n"
    "    num_decompositions (the largest usable reduce), color_transform,\n"
    "    nlt_type, uniform, and dtype (what decode returns, or None when the\n"
    "    header rules a decode out: components that differ, an unsupported\n"
    "    precision or nonlinearity).\n",
    "dict",
    decode_info_impl,
    4,
    {{"data", default_value::required, false},
     {"reduce", default_value::zero, true},
     {"skipres", default_value::none, true},
     {"resilient", default_value::false_, true}},
};

const function_def k_decode_target_def = {
    "_decode_target",
    "Validate a caller's ``out=`` for :func:`decode`; return the array.\n\n"
    "An ndarray must match the output shape and dtype exactly and be\n"
    "C-contiguous and writable; any other writable C-contiguous buffer must\n"
    "hold exactly the output's byte count and is viewed with the output's\n"
    "shape and dtype.",
    nullptr,
    decode_target_impl,
    3,
    {{"out", default_value::required, false},
     {"shape", default_value::required, false},
     {"dtype", default_value::required, false}},
};

const function_def k_decode_def = {
    "decode",
    "Decode an HTJ2K codestream to an ndarray.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "data : bytes-like\n"
    "    The codestream (bytes and bytearray are read in place).\n"
    "ignore_unsupported : bool, optional\n"
    "    Return the image even when OpenJPH skipped a marker segment it does\n"
    "    not implement (otherwise OpenJphUnsupportedFeature is raised).\n"
    "reduce : int, optional\n"
    "    Skip this many finest resolutions: about 2**reduce smaller per axis.\n"
    "planar : bool, optional\n"
    "    (C, H, W) instead of (H, W, C).  Default: interleaved when the\n"
    "    codestream uses the component transform, planar otherwise.\n"
    "skipres : int or (int, int), optional\n"
    "    Alternative to ``reduce``.\n"
    "resilient : bool, optional\n"
    "    Ask OpenJPH to tolerate damaged codestreams.\n"
    "out : ndarray or writable buffer, optional\n"
    "    Decode into this instead of a new array.\n"
    "numthreads : int, optional\n"
    "    Threads for multi-tile codestreams; 1 keeps the calling thread only.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "numpy.ndarray\n"
    "    (H, W) for one component, else (H, W, C) or (C, H, W); (u)int8/16/32,\n"
    "    or float16/float32 for floating-point codestreams.\n",
    "np.ndarray",
    decode_impl,
    9,
    {{"data", default_value::required, false},
     {"ignore_unsupported", default_value::false_, true},
     {"reduce", default_value::zero, true},
     {"planar", default_value::none, true},
     {"skipres", default_value::none, true},
     {"resilient", default_value::false_, true},
     {"out", default_value::none, true},
     {"numthreads", default_value::none, true},
     {"_tile", default_value::false_, true}},
};

}  // namespace ferroglyph::module
