// The encoder front end: encode() and the rules that turn its keywords into
// the bridge's parameter record.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ferroglyph_openjph_ARRAY_API
#include <numpy/arrayobject.h>

#include <climits>
#include <cstdint>

#include "encode_rules.h"
#include "encoder.h"
#include "markers.h"
#include "module.h"

namespace ferroglyph::module {

namespace {

// What encode's refusals start with.
constexpr const char* k_where = "HTJ2K encode";

// ---------------------------------------------------------------------------
// Conversions

// The range check of a record field, with the text to_int32 gives; it runs
// when the record is filled, after every keyword has been checked.
bool narrow(long long v, int32_t* out) {
  if (v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
  }
  *out = static_cast<int32_t>(v);
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

// A (width, height) keyword: 0, 0 when None.  The items stay Python ints:
// the tile size goes to _max_decompositions, which callers may replace.
bool read_size_pair(PyObject* arg, py::ref* width, py::ref* height) {
  if (arg != Py_None) return unpack_int_pair(arg, width, height);
  *width = py::ref(PyLong_FromLong(0));
  *height = py::ref(PyLong_FromLong(0));
  return *width && *height;
}

// ---------------------------------------------------------------------------
// The samples

// numpy.ascontiguousarray(data) in data's own dtype, through the module's
// `np` (looked up at each call).
bool contiguous_array(PyObject* data, py::ref* out) {
  PyObject* np_module = module_attr("np");
  if (np_module == nullptr) return false;
  *out = py::ref(PyObject_CallMethod(np_module, "ascontiguousarray", "(O)", data));
  if (!*out) return false;
  if (!PyArray_Check(out->get())) {
    PyErr_SetString(PyExc_TypeError, "ascontiguousarray did not return an array");
    return false;
  }
  return true;
}

// data as an array without a copy (numpy.asarray); a 0-d result goes the
// contiguous way, which makes it 1-d, so that the refusal names what
// encode() names.
bool any_array(PyObject* data, py::ref* out) {
  PyObject* np_module = module_attr("np");
  if (np_module == nullptr) return false;
  *out = py::ref(PyObject_CallMethod(np_module, "asarray", "(O)", data));
  if (!*out) return false;
  if (!PyArray_Check(out->get())) {
    PyErr_SetString(PyExc_TypeError, "asarray did not return an array");
    return false;
  }
  if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(out->get())) == 0)
    return contiguous_array(out->get(), out);
  return true;
}

// The bridge reads native-order samples; swapped input would be coded as
// other values, so it is copied into native order first.
bool to_native_order(py::ref* array) {
  auto* arr = reinterpret_cast<PyArrayObject*>(array->get());
  PyArray_Descr* descr = PyArray_DESCR(arr);
  if (PyArray_ISNBO(descr->byteorder)) return true;
  PyArray_Descr* native = PyArray_DescrNewByteorder(descr, NPY_NATIVE);
  if (native == nullptr) return false;
  *array = py::ref(PyArray_FromArray(arr, native, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ENSURECOPY));
  return static_cast<bool>(*array);
}

bool read_sample_type(py::ref* array, sample_type* out, bool samples_read = true) {
  PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array->get()));
  if (!coded_sample_type(descr->kind, static_cast<int>(PyDataType_ELSIZE(descr)), out)) {
    PyErr_Format(g_openjph_error,
                 "HTJ2K encode: unsupported dtype %S; "
                 "expected uint8/int8/uint16/int16/uint32/int32/float32",
                 reinterpret_cast<PyObject*>(descr));
    return false;
  }
  return !samples_read || to_native_order(array);
}

// ---------------------------------------------------------------------------
// Geometry

struct geometry {
  Py_ssize_t height, width, components;
  bool planar;  // (C, H, W)
};

// 3-D input is planar when asked, or by default (planar_by_default).
bool read_layout(PyArrayObject* arr, PyObject* planar_arg, geometry* out) {
  const int ndim = PyArray_NDIM(arr);
  const npy_intp* shape = PyArray_DIMS(arr);
  out->planar = false;
  if (ndim == 2) {
    *out = {shape[0], shape[1], 1, false};
    return true;
  }
  if (ndim != 3) {
    PyErr_Format(g_openjph_error, "HTJ2K encode: unsupported ndim %d", ndim);
    return false;
  }
  if (planar_arg == Py_None)
    out->planar = planar_by_default(shape[0], shape[2]);
  else if (!truthy(planar_arg, &out->planar))
    return false;
  if (out->planar)
    *out = {shape[1], shape[2], shape[0], true};
  else
    *out = {shape[0], shape[1], shape[2], false};
  return true;
}

// The SIZ segment counts components in 16 bits and allows 1 to 16384.
bool read_geometry(PyObject* array, PyObject* planar_arg, geometry* out) {
  if (!read_layout(reinterpret_cast<PyArrayObject*>(array), planar_arg, out)) return false;
  if (out->height < 1 || out->width < 1 || out->components < 1) {
    py::ref shape_obj(PyObject_GetAttrString(array, "shape"));
    if (!shape_obj) return false;
    PyErr_Format(g_openjph_error, "HTJ2K encode: empty image %S", shape_obj.get());
    return false;
  }
  if (out->components > markers::k_max_components) {
    PyErr_Format(g_openjph_error, "HTJ2K encode: %zd components; a codestream holds at most %d",
                 out->components, markers::k_max_components);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Coding path: quantization, reversibility, component transform

// ---------------------------------------------------------------------------
// Coding path and levels (encode_rules.h)

picture picture_of(const geometry& g, const sample_type& s) {
  return {g.width, g.height, g.components, g.planar, s.is_float, nullptr};
}

bool read_path(const encode_arguments& a, const sample_type& s, const geometry& g,
               coding_path* out) {
  return read_coding_path(k_where, a.level, a.reversible, a.rgb, picture_of(g, s), out);
}

// ---------------------------------------------------------------------------
// Tiles, tile-parts and code-blocks

struct structure {
  py::ref tile_w, tile_h;  // 0, 0: untiled
  levels decomposition;
  unsigned tilepart_bits = 0;  // 1: at resolutions, 2: at components
  py::ref block_w, block_h;    // 0, 0: OpenJPH's default
};

// The two low bits of int(tilepart).  A Python int's & is two's complement,
// and so is the low word of its 64-bit mask: -1 sets both flags.
bool read_tilepart(PyObject* tilepart, unsigned* out) {
  if (tilepart == Py_None) return true;
  py::ref as_int(PyNumber_Long(tilepart));
  if (!as_int) return false;
  const unsigned long long mask = PyLong_AsUnsignedLongLongMask(as_int.get());
  if (mask == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = static_cast<unsigned>(mask & 3u);
  return true;
}

bool read_structure(const encode_arguments& a, const sample_type& s, const geometry& g,
                    const coding_path& path, structure* out) {
  return read_size_pair(a.tile, &out->tile_w, &out->tile_h) &&
         read_levels(k_where, a.num_decomp, a.resolutions, picture_of(g, s), out->tile_w.get(),
                     out->tile_h.get(), path, &out->decomposition) &&
         read_tilepart(a.tilepart, &out->tilepart_bits) &&
         read_size_pair(a.block_size, &out->block_w, &out->block_h);
}

bool read_names(const encode_arguments& a, encode_request* out) {
  if (a.prog_order != Py_None &&
      !choose_name(a.prog_order, "_PROG_ORDERS", "prog_order", &out->prog_order))
    return false;
  return a.profile == Py_None || choose_name(a.profile, "_PROFILES", "profile", &out->profile);
}

// ---------------------------------------------------------------------------
// The parameter record

// Field by field in the record's order, so that of two fields out of the
// 32-bit range the first is the one reported.
bool fill_record(PyObject* tlm_arg, const sample_type& s, const geometry& g,
                 const coding_path& path, const structure& k, encode_request* out) {
  ferroglyph_htj2k_encode_params& p = out->params;
  if (!to_int32_ssize(g.width, &p.width) || !to_int32_ssize(g.height, &p.height) ||
      !to_int32_ssize(g.components, &p.components))
    return false;
  p.bit_depth = s.itemsize * 8;
  p.is_signed = s.is_signed ? 1 : 0;
  p.bytes_per_sample = s.itemsize;
  p.src_planar = (g.planar || g.components == 1) ? 1 : 0;
  out->planar_layout = g.planar;
  p.reversible = path.reversible ? 1 : 0;
  p.irrev_delta = static_cast<float>(path.qstep);
  p.qfactor = path.qfactor;
  const levels& d = k.decomposition;
  if (!(d.odd ? to_int32(d.odd.get(), &p.num_decomp) : narrow(d.count, &p.num_decomp)))
    return false;
  p.color_transform = path.color_transform ? 1 : 0;
  p.nlt_binary_complement = s.is_float ? 1 : 0;
  if (!to_int32(k.tile_w.get(), &p.tile_w) || !to_int32(k.tile_h.get(), &p.tile_h)) return false;
  bool tlm = false;
  if (!truthy(tlm_arg, &tlm)) return false;
  p.tlm = tlm ? 1 : 0;
  p.tilepart_resolutions = (k.tilepart_bits & 1u) ? 1 : 0;
  p.tilepart_components = (k.tilepart_bits & 2u) ? 1 : 0;
  if (!to_int32(k.block_w.get(), &p.block_w) || !to_int32(k.block_h.get(), &p.block_h))
    return false;
  p.prog_order = out->prog_order ? PyBytes_AS_STRING(out->prog_order.get()) : nullptr;
  p.profile = out->profile ? PyBytes_AS_STRING(out->profile.get()) : nullptr;
  return true;
}

// ---------------------------------------------------------------------------
// encode

PyObject* encode_impl(PyObject*, bound_args args) {
  const encode_arguments a{args[0], args[1], args[2],  args[3],  args[4],  args[5], args[6],
                           args[7], args[8], args[9], args[10], args[11], args[12]};
  encode_request request;
  if (!read_encode_request(a, &request)) return nullptr;
  return run_encode(request);
}

}  // namespace

// The element strides of rows and planes, when the bridge can read the
// array in place: samples of a row adjacent (a pixel's components adjacent
// too when interleaved), rows and planes that do not overlap, aligned.
bool strides_in_elements(PyArrayObject* arr, const encode_request& r, int64_t* row,
                         int64_t* plane) {
  const int ndim = PyArray_NDIM(arr);
  const npy_intp* st = PyArray_STRIDES(arr);
  const ferroglyph_htj2k_encode_params& p = r.params;
  const npy_intp size = p.bytes_per_sample;
  if (!PyArray_ISALIGNED(arr)) return false;
  for (int i = 0; i < ndim; ++i)
    if (st[i] < 0 || st[i] % size != 0) return false;
  *plane = 0;
  if (ndim == 2) {
    if (st[1] != size) return false;
    *row = st[0] / size;
  } else if (r.planar_layout) {  // (C, H, W)
    if (st[2] != size) return false;
    *row = st[1] / size;
    if (p.components > 1) *plane = st[0] / size;
  } else {  // (H, W, C)
    if (st[2] != size || st[1] != size * p.components) return false;
    *row = st[0] / size;
  }
  const int64_t packed_row = int64_t{p.width} * (p.src_planar ? 1 : p.components);
  return *row >= packed_row && (*plane == 0 || *plane / p.height >= *row);
}

// The region's strides for the array, or a contiguous copy of the array
// (packed strides) when the bridge cannot read it in place.
bool place_samples(encode_request* out) {
  auto* arr = reinterpret_cast<PyArrayObject*>(out->array.get());
  if (strides_in_elements(arr, *out, &out->region.row_stride, &out->region.plane_stride))
    return true;
  out->region.row_stride = out->region.plane_stride = 0;
  return contiguous_array(out->array.get(), &out->array);
}

bool read_encode_request(const encode_arguments& a, encode_request* out, sample_access access) {
  sample_type s;
  geometry g;
  coding_path path;
  structure k;
  out->access = access;
  const bool in_place = access != sample_access::contiguous;
  return (in_place ? any_array(a.data, &out->array) : contiguous_array(a.data, &out->array)) &&
         read_sample_type(&out->array, &s, access != sample_access::none) &&
         read_geometry(out->array.get(), a.planar, &g) && read_path(a, s, g, &path) &&
         read_structure(a, s, g, path, &k) && read_names(a, out) &&
         fill_record(a.tlm, s, g, path, k, out) &&
         (access != sample_access::strided || place_samples(out));
}

PyObject* run_encode(const encode_request& request) {
  const bool samples = request.access != sample_access::none;
  py::buffer exported;
  if (samples && !exported.acquire(request.array.get(), PyBUF_RECORDS_RO)) return nullptr;
  const auto* src = samples ? static_cast<const uint8_t*>(exported.data()) : nullptr;
  ferroglyph_htj2k_clear_warnings();
  uint8_t* out_buf = nullptr;
  size_t out_size = 0;
  int rc;
  {
    py::unlocked nogil;
    rc = request.use_region ? ferroglyph_htj2k_encode_region(src, &request.params, &request.region,
                                                             &out_buf, &out_size)
                            : ferroglyph_htj2k_encode(src, &request.params, &out_buf, &out_size);
  }
  if (rc != 0) return raise_bridge_error(rc, "encode");
  return codestream_bytes(out_buf, out_size);
}

PyObject* codestream_bytes(uint8_t* buf, size_t size) {
  // One copy of the codestream, into the result; the bridge's block is freed
  // on every path.
  PyObject* result =
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf), static_cast<Py_ssize_t>(size));
  ferroglyph_htj2k_free(buf);
  return result;
}

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
    "    For contradictory or out-of-range keywords.\n"
    "\n"
    "Notes\n"
    "-----\n"
    "The interpreter lock is released while OpenJPH codes (the array stays\n"
    "referenced and its buffer exported, so it cannot be resized), so encodes\n"
    "in several threads run in parallel.  Do not write to the array meanwhile.\n",
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
