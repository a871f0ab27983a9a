// Python-visible function objects for the module's functions.
//
// Each function is declared once, as a `function_def`: its name, docstring,
// parameters (with kinds and defaults) and return annotation.  That single
// declaration drives argument binding (with CPython-style error texts),
// __defaults__, __kwdefaults__, __annotations__, __signature__ and
// __text_signature__, so they cannot drift apart.
#ifndef FERROGLYPH_OPENJPH_FUNCTION_OBJECT_H
#define FERROGLYPH_OPENJPH_FUNCTION_OBJECT_H

#include "py_helpers.h"

namespace ferroglyph::module {

enum class default_value { required, none, false_, zero };

struct param_def {
  const char* name;
  default_value dflt;
  bool keyword_only;
};

constexpr int k_max_params = 17;

// Bound arguments, in declaration order; every slot holds a borrowed
// reference (defaults included) for the duration of the call.
using bound_args = PyObject* const*;
using function_impl = PyObject* (*)(PyObject* self, bound_args args);

struct function_def {
  const char* name;
  const char* doc;
  const char* return_annotation;  // nullptr for none
  function_impl impl;
  int nparams;
  param_def params[k_max_params];
};

// Creates the function object for `def`, which must outlive it (static
// storage).  `module_name` becomes __module__.
PyObject* make_function(const function_def* def, PyObject* module_name);

// Registers the function type; call once during module initialisation.
bool init_function_type();

// Converts to a C int the way the module's numeric parameters are read:
// through __index__ or __int__ (a float truncates), with "an integer is
// required" for objects that have neither and "value too large to convert to
// int" outside the 32-bit range.  Returns false with an exception set.
bool to_int32(PyObject* obj, int* out);

}  // namespace ferroglyph::module

#endif  // FERROGLYPH_OPENJPH_FUNCTION_OBJECT_H
