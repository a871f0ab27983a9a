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

// What a decode does with the warnings OpenJPH collected on this thread:
// the module's one judge of them.
enum class unsupported_policy { raise, drop, warn };
struct judge_policy {
  bool strict = false;  // lines that mean lost samples raise OpenJphError
  unsupported_policy unsupported = unsupported_policy::raise;  // skipped marker segments
  const char* call = "decode";       // names the call in errors
  const char* what = "image";        // "the decoded <what>"
  const char* unsupported_remedy = "ignore_unsupported=True";
  int stacklevel = 1;                // of the RuntimeWarnings, from the caller of the module
};

// Raises (OpenJphUnsupportedFeature, or OpenJphError for lost samples under
// a strict policy) or issues RuntimeWarnings.  Returns false with an
// exception set.
bool judge_warnings(const judge_policy& policy);

// The same for warning lines collected elsewhere (joined by '\n'), such as
// those of decodes that ran on worker threads.
bool judge_text(const char* warned, const judge_policy& policy);

// The policy of decode(): the one a _decode_checked call in progress on this
// thread set, else lost samples warn; skipped segments raise unless
// ignore_unsupported.
bool check_warnings(bool ignore_unsupported);

// Sets the calling thread's decode policy for a scope; nests.
class judge_scope {
 public:
  explicit judge_scope(const judge_policy* policy);
  ~judge_scope();
  judge_scope(const judge_scope&) = delete;
  judge_scope& operator=(const judge_scope&) = delete;

 private:
  const judge_policy* was_;
};

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
extern const function_def k_decode_checked_def;
// Components at their own sizes (components.cpp).
extern const function_def k_components_info_def;
extern const function_def k_decode_components_def;
extern const function_def k_decode_components_checked_def;
extern const function_def k_encode_components_def;
// The encode rules for the public layer (encode_rules.cpp).
extern const function_def k_encode_settings_def;
extern const function_def k_dtype_coded_def;
extern const function_def k_planar_default_def;
// The lossy rule (lossy.cpp) and the encode that applies it (encode_ex.cpp).
extern const function_def k_lossy_settings_def;
extern const function_def k_encode_lossy_def;
// Windows of one-tile codestreams, and their warnings judged (window.cpp).
extern const function_def k_decode_rows_def;
extern const function_def k_judge_warnings_def;

}  // namespace ferroglyph::module

#endif  // FERROGLYPH_OPENJPH_MODULE_H
