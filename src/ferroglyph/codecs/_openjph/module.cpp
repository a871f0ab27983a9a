// Module initialisation and public surface of ferroglyph.codecs._openjph.
#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL ferroglyph_openjph_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstring>

#include "module.h"
#include "openjph_shim.h"

namespace ferroglyph::module {

PyObject* g_openjph_error = nullptr;
PyObject* g_unsupported_feature = nullptr;
PyObject* g_module_dict = nullptr;

PyObject* module_attr(const char* name) {
  PyObject* v = PyDict_GetItemString(g_module_dict, name);
  if (v == nullptr) PyErr_Format(PyExc_AttributeError, "module '_openjph' has no attribute '%s'", name);
  return v;
}

PyObject* call_module_function(const char* name, PyObject* const* args, size_t nargs) {
  PyObject* fn = module_attr(name);
  if (fn == nullptr) return nullptr;
  return PyObject_Vectorcall(fn, args, nargs, nullptr);
}

namespace {

PyObject* last_warnings_impl(PyObject*, bound_args) {
  const char* text = ferroglyph_htj2k_last_warnings();
  return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
}

constexpr const char k_module_doc[] =
    "HTJ2K (High-Throughput JPEG 2000, ISO/IEC 15444-15) codec over OpenJPH.\n"
    "\n"
    "HTJ2K keeps JPEG 2000's wavelet front end and replaces the Part 1 entropy\n"
    "coder with a much faster block coder.  This module drives OpenJPH's\n"
    "ojph::codestream API through a thin C bridge and does all input and output\n"
    "in memory (OpenJPH's mem_infile and mem_outfile): nothing touches the file\n"
    "system.\n"
    "\n"
    "Supported pixels\n"
    "----------------\n"
    "- 1 to 16384 components (the SIZ limit), all with the same precision;\n"
    "- 1-32 bit precision in (u)int8, (u)int16 or (u)int32 samples;\n"
    "- float32 (and float16 on decode), carried as the samples' bit patterns\n"
    "  under an NLT type 3 marker (ISO/IEC 15444-2);\n"
    "- 2-D (H, W), 3-D (H, W, C) or planar (C, H, W) arrays.\n"
    "\n"
    "The output is always a raw HTJ2K codestream (the .j2c form), never wrapped\n"
    "in JP2 boxes.\n";

constexpr const char k_error_doc[] = "Raised on OpenJPH (HTJ2K) encode/decode failures.";

constexpr const char k_unsupported_doc[] =
    "The codestream uses a marker segment OpenJPH does not implement.\n"
    "\n"
    "OpenJPH warns about such segments (POC, PPM, PPT, or COD/COC/QCD/QCC/RGN\n"
    "in a tile-part header, for example) and keeps decoding, so the pixels come\n"
    "from a codestream it did not fully read.  Against the JPEG committee's\n"
    "reference images such a decode can be far off: one conformance file with\n"
    "an unread QCD marker in its tile-part headers differed from the reference\n"
    "by 954 levels.  Returning that image quietly would be worse than failing,\n"
    "so this exception is raised instead; pass ignore_unsupported=True to get\n"
    "the image anyway.\n";

bool g_initialised = false;

PyModuleDef g_module_def = [] {
  PyModuleDef def{};
  def.m_base = PyModuleDef_HEAD_INIT;
  def.m_name = "_openjph";
  def.m_doc = k_module_doc;
  def.m_size = -1;
  return def;
}();

bool add_function(PyObject* module, PyObject* module_name, const function_def& def) {
  py::ref fn(make_function(&def, module_name));
  return fn && PyModule_AddObjectRef(module, def.name, fn.get()) == 0;
}

bool add_str_tuple(PyObject* module, const char* name, const char* const* items, int n) {
  py::ref t(PyTuple_New(n));
  if (!t) return false;
  for (int i = 0; i < n; ++i) {
    PyObject* s = PyUnicode_InternFromString(items[i]);
    if (s == nullptr) return false;
    PyTuple_SET_ITEM(t.get(), i, s);
  }
  return PyModule_AddObjectRef(module, name, t.get()) == 0;
}

}  // namespace

const function_def k_last_warnings_def = {
    "last_warnings",
    "Warnings OpenJPH raised during the most recent call.\n\n"
    "The text covers the most recent encode, decode or decode_info on the\n"
    "calling thread, one message per line; it is empty when OpenJPH raised no\n"
    "warning.  Tile decodes on worker threads keep their own warnings.",
    "str",
    last_warnings_impl,
    0,
    {},
};

namespace {

// OpenJphError and its subclass OpenJphUnsupportedFeature.
bool add_exception_types(PyObject* module) {
  g_openjph_error = PyErr_NewExceptionWithDoc("ferroglyph.codecs._openjph.OpenJphError",
                                              k_error_doc, PyExc_RuntimeError, nullptr);
  if (g_openjph_error == nullptr ||
      PyModule_AddObjectRef(module, "OpenJphError", g_openjph_error) < 0)
    return false;
  g_unsupported_feature =
      PyErr_NewExceptionWithDoc("ferroglyph.codecs._openjph.OpenJphUnsupportedFeature",
                                k_unsupported_doc, g_openjph_error, nullptr);
  if (g_unsupported_feature == nullptr ||
      PyModule_AddObjectRef(module, "OpenJphUnsupportedFeature", g_unsupported_feature) < 0)
    return false;
  return true;
}

bool add_prog_orders(PyObject* module) {
  static const char* const names[] = {"LRCP", "RLCP", "RPCL", "PCRL", "CPRL"};
  return add_str_tuple(module, "_PROG_ORDERS", names, 5);
}

bool add_profiles(PyObject* module) {
  static const char* const names[] = {"IMF", "BROADCAST"};
  return add_str_tuple(module, "_PROFILES", names, 2);
}

// The start of a raw codestream, which the tile planner checks for.
bool add_soc_siz(PyObject* module) {
  py::ref soc_siz(PyBytes_FromStringAndSize("\xff\x4f\xff\x51", 4));
  return soc_siz && PyModule_AddObjectRef(module, "_SOC_SIZ", soc_siz.get()) == 0;
}

// One name of the module's namespace: a function, or a constant.
struct namespace_entry {
  const function_def* function;
  bool (*add_constant)(PyObject* module);
};

// In the order of the module's namespace.
const namespace_entry k_namespace[] = {
    {&k_last_warnings_def, nullptr},
    {nullptr, add_prog_orders},
    {nullptr, add_profiles},
    {&k_quantization_def, nullptr},
    {&k_max_decompositions_def, nullptr},
    {&k_encode_def, nullptr},
    {&k_encode_ex_def, nullptr},
    {&k_reductions_def, nullptr},
    {&k_output_dtype_def, nullptr},
    {&k_decode_info_def, nullptr},
    {&k_decode_target_def, nullptr},
    {nullptr, add_soc_siz},
    {&k_tile_plan_def, nullptr},
    {&k_tile_codestream_def, nullptr},
    {&k_decode_tiled_def, nullptr},
    {&k_decode_def, nullptr},
    {&k_decode_checked_def, nullptr},
    {&k_components_info_def, nullptr},
    {&k_decode_components_def, nullptr},
    {&k_decode_components_checked_def, nullptr},
    {&k_encode_components_def, nullptr},
    {&k_encode_settings_def, nullptr},
    {&k_dtype_coded_def, nullptr},
    {&k_planar_default_def, nullptr},
    {&k_lossy_settings_def, nullptr},
    {&k_encode_lossy_def, nullptr},
    {&k_decode_rows_def, nullptr},
    {&k_judge_warnings_def, nullptr},
};

bool add_functions(PyObject* module) {
  if (!init_function_type()) return false;
  py::ref module_name(PyUnicode_FromString("ferroglyph.codecs._openjph"));
  if (!module_name) return false;
  for (const namespace_entry& e : k_namespace) {
    const bool ok = e.function != nullptr ? add_function(module, module_name.get(), *e.function)
                                          : e.add_constant(module);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

PyObject* init_module() {
  // The module keeps one set of process-wide state (exception types, the
  // namespace that encode and decode look helpers up in).
  if (g_initialised) {
    PyErr_SetString(PyExc_RuntimeError,
                    "Module '_openjph' has already been imported. Re-initialisation is not "
                    "supported.");
    return nullptr;
  }
  py::ref module(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());

  py::ref np(PyImport_ImportModule("numpy"));
  if (!np || PyModule_AddObjectRef(module.get(), "np", np.get()) < 0) return nullptr;
  if (_import_array() < 0) {
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    return nullptr;
  }

  if (!add_exception_types(module.get()) || !add_functions(module.get())) return nullptr;

  g_module_dict = Py_NewRef(dict);
  g_initialised = true;
  return module.release();
}

}  // namespace ferroglyph::module

PyMODINIT_FUNC PyInit__openjph(void) { return ferroglyph::module::init_module(); }
