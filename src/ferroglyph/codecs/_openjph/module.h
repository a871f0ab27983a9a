// What the parts of the extension module share: the exception types, the
// module namespace, error and warning mapping, and the function tables.
#ifndef FERROGLYPH_OPENJPH_MODULE_H
#define FERROGLYPH_OPENJPH_MODULE_H

#include "function_object.h"
#include "py_helpers.h"

namespace ferroglyph::module {

// Set once during module initialisation; alive for the process.
extern PyObject* g_openjph_error;          // OpenJphError
extern PyObject* g_unsupported_feature;    // OpenJphUnsupportedFeature
extern PyObject* g_module_dict;            // the module's namespace

// Looks up a module attribute by name at call time (so that replacing it on
// the module takes effect).  Returns a borrowed reference or null with
// AttributeError set.
PyObject* module_attr(const char* name);

// Calls the module-level function `name` with positional arguments.
PyObject* call_module_function(const char* name, PyObject* const* args, size_t nargs);

// Raises OpenJphError "<where>: <bridge text> (rc=<rc>)"; always returns null.
PyObject* raise_bridge_error(int rc, const char* where);

// Turns the thread's collected OpenJPH warnings into
// OpenJphUnsupportedFeature or RuntimeWarnings.  Returns false with an
// exception set.
bool check_warnings(bool ignore_unsupported);

// Whether _decode_quiet has muted the calling thread's RuntimeWarnings.
bool warnings_muted();

// Function tables of each part of the module, in definition order.
extern const function_def k_last_warnings_def;
extern const function_def k_quantization_def;
extern const function_def k_max_decompositions_def;
extern const function_def k_encode_def;
extern const function_def k_encode_ex_def;
extern const function_def k_reductions_def;
extern const function_def k_output_dtype_def;
extern const function_def k_decode_info_def;
extern const function_def k_decode_target_def;
extern const function_def k_tile_plan_def;
extern const function_def k_tile_codestream_def;
extern const function_def k_decode_tiled_def;
extern const function_def k_decode_def;
extern const function_def k_decode_quiet_def;
// Components at their own sizes (components.cpp).
extern const function_def k_components_info_def;
extern const function_def k_decode_components_def;
extern const function_def k_encode_components_def;
// The lossy rule (lossy.cpp) and the encode that applies it (encode_ex.cpp).
extern const function_def k_lossy_settings_def;
extern const function_def k_encode_lossy_def;

}  // namespace ferroglyph::module

#endif  // FERROGLYPH_OPENJPH_MODULE_H
