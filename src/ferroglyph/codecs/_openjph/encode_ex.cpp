// _encode_ex: encode() with the coded precision chosen (bits=) and with the
// geometry of a part of a larger image (origin=, header_only=), the pieces
// from which ferroglyph's parallel tiled encode assembles its codestream.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL ferroglyph_openjph_ARRAY_API
#include <numpy/arrayobject.h>

#include "encoder.h"
#include "lossy.h"
#include "module.h"

namespace ferroglyph::module {

namespace {

enum encode_ex_arg { x_bits = 13, x_origin, x_header_only, x_count, x_value_range = x_count };

// bits=B replaces the container's precision; float32 is coded as its 32-bit
// patterns and takes only 32.
bool apply_bits(PyObject* bits, encode_request* r) {
  if (bits == Py_None) return true;
  int b = 0;
  if (!to_int32(bits, &b)) return false;
  ferroglyph_htj2k_encode_params& p = r->params;
  const int most = 8 * p.bytes_per_sample;
  const int least = p.nlt_binary_complement ? most : 1;
  if (b < least || b > most) {
    PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(r->array.get()));
    PyErr_Format(PyExc_ValueError, "bits must be between %d and %d for %S samples, got %d", least,
                 most, reinterpret_cast<PyObject*>(descr), b);
    return false;
  }
  p.bit_depth = b;
  return true;
}

// origin=(x, y): where the samples' first column and row lie in the larger
// image, on its tile grid.
bool read_origin(PyObject* origin, encode_request* r) {
  py::ref items(PySequence_Tuple(origin));
  if (!items) return false;
  int xy[2] = {0, 0};
  if (PyTuple_GET_SIZE(items.get()) != 2) {
    PyErr_SetString(PyExc_ValueError, "origin must be two integers >= 0");
    return false;
  }
  for (int i = 0; i < 2; ++i)
    if (!to_int32(PyTuple_GET_ITEM(items.get(), i), &xy[i])) return false;
  if (xy[0] < 0 || xy[1] < 0) {
    PyErr_Format(PyExc_ValueError, "origin must be two integers >= 0, got (%d, %d)", xy[0], xy[1]);
    return false;
  }
  r->region.x0 = xy[0];
  r->region.y0 = xy[1];
  return true;
}

// The lossy rule applied to a request on the irreversible path: its base
// step or quality factor replaced by what OpenJPH codes correctly.
bool apply_lossy_rule(PyObject* level, PyObject* value_range, encode_request* r) {
  ferroglyph_htj2k_encode_params& p = r->params;
  if (p.reversible) return true;
  data_facts f{p.nlt_binary_complement ? 'f' : p.is_signed ? 'i' : 'u', p.bit_depth,
               p.components, p.num_decomp};
  lossy_request q{lossy_request::finest};
  if (!read_lossy_request(level, &q)) return false;
  if (f.kind == 'f' && !read_value_range(value_range, r->array.get(), &f)) return false;
  lossy_settings s;
  if (!decide_lossy(f, q, &s)) return false;
  p.irrev_delta = static_cast<float>(s.qstep);
  p.qfactor = s.qfactor;
  return true;
}

PyObject* encode_part(bound_args args, bool lossy_rule) {
  const encode_arguments a{args[0], args[1], args[2],  args[3],  args[4],  args[5], args[6],
                           args[7], args[8], args[9], args[10], args[11], args[12]};
  bool header_only = false;
  const int t = PyObject_IsTrue(args[x_header_only]);
  if (t < 0) return nullptr;
  header_only = t != 0;
  const bool placed = args[x_origin] != Py_None;
  if (header_only && placed) {
    PyErr_SetString(PyExc_ValueError, "_encode_ex: pass origin= or header_only=True, not both");
    return nullptr;
  }
  const sample_access access = header_only ? sample_access::none
                               : placed    ? sample_access::strided
                                           : sample_access::contiguous;
  encode_request request;
  if (!read_encode_request(a, &request, access) || !apply_bits(args[x_bits], &request))
    return nullptr;
  if (lossy_rule && !apply_lossy_rule(a.level, args[x_value_range], &request)) return nullptr;
  if (placed && !read_origin(args[x_origin], &request)) return nullptr;
  request.use_region = header_only || placed;
  request.region.header_only = header_only ? 1 : 0;
  return run_encode(request);
}

PyObject* encode_ex_impl(PyObject*, bound_args args) { return encode_part(args, false); }

PyObject* encode_lossy_impl(PyObject*, bound_args args) { return encode_part(args, true); }

}  // namespace

const function_def k_encode_ex_def = {
    "_encode_ex",
    "Encode like ``encode``, with the coded precision and a part's geometry.\n"
    "\n"
    "Every keyword of ``encode`` is taken with the same defaults and rules.\n"
    "\n"
    "bits : int, optional\n"
    "    Precision of the coded samples, 1 to the dtype's bits (32 only for\n"
    "    float32); None: the dtype's.  Sample values are not checked against\n"
    "    it.  With only ``bits`` given, the bytes are those ``encode`` gives\n"
    "    for that precision.\n"
    "origin : (int, int), optional\n"
    "    (x, y) of the samples' first column and row in a larger image, on its\n"
    "    tile grid: the codestream's image and tile-grid offsets put them\n"
    "    there, so its tile-parts are the larger image's but for the tile\n"
    "    index.  ``data`` may then be a view with padded rows or planes; it\n"
    "    is read in place.\n"
    "header_only : bool, optional\n"
    "    Only the main header of ``data``'s codestream, up to its first\n"
    "    tile-part (TLM excluded); the samples are not read.\n",
    "bytes",
    encode_ex_impl,
    x_count,
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
     {"num_decomp", default_value::none, true},
     {"bits", default_value::none, true},
     {"origin", default_value::none, true},
     {"header_only", default_value::false_, true}},
};

const function_def k_encode_lossy_def = {
    "_encode_lossy",
    "Encode like ``_encode_ex``, with the lossy rule applied.\n"
    "\n"
    "On the irreversible path, the quantization that ``level`` asks for is\n"
    "replaced by what ``_lossy_settings`` gives for the samples' kind,\n"
    "precision, components and decomposition levels (ValueError where it\n"
    "refuses); lossless requests code as ``_encode_ex`` codes them.\n"
    "\n"
    "value_range : (float, float), optional\n"
    "    For float32 data: the smallest and largest value that a level or a\n"
    "    step is relative to; None: those of ``data``.  A part of a larger\n"
    "    image (``origin``, ``header_only``) must pass the whole image's.\n",
    "bytes",
    encode_lossy_impl,
    x_count + 1,
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
     {"num_decomp", default_value::none, true},
     {"bits", default_value::none, true},
     {"origin", default_value::none, true},
     {"header_only", default_value::false_, true},
     {"value_range", default_value::none, true}},
};

}  // namespace ferroglyph::module
