#include "function_object.h"

#include <structmember.h>

#include <climits>
#include <cstring>
#include <string>

namespace ferroglyph::module {

namespace {

struct function_object {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const function_def* def;
  PyObject* module_name;
  PyObject* defaults;     // tuple or None
  PyObject* kwdefaults;   // dict or None
  PyObject* annotations;  // dict
  PyObject* names;        // tuple of interned parameter names
  PyObject* signature;    // built on first use
  PyObject* dict;
};

PyTypeObject* function_type = nullptr;

PyObject* default_object(default_value d) {
  switch (d) {
    case default_value::none: Py_RETURN_NONE;
    case default_value::false_: Py_RETURN_FALSE;
    case default_value::zero: return PyLong_FromLong(0);
    case default_value::required: break;
  }
  return nullptr;
}

int positional_count(const function_def* def) {
  int n = 0;
  for (int i = 0; i < def->nparams; ++i)
    if (!def->params[i].keyword_only) ++n;
  return n;
}

int required_count(const function_def* def) {
  int n = 0;
  for (int i = 0; i < def->nparams; ++i)
    if (!def->params[i].keyword_only && def->params[i].dflt == default_value::required) ++n;
  return n;
}

void raise_arg_count(const function_def* def, Py_ssize_t given) {
  const int lo = required_count(def), hi = positional_count(def);
  const bool too_few = given < lo;
  const char* quantity = lo == hi ? "exactly" : (too_few ? "at least" : "at most");
  const int expected = too_few ? lo : hi;
  PyErr_Format(PyExc_TypeError, "%s() takes %s %d positional argument%s (%zd given)", def->name,
               quantity, expected, expected == 1 ? "" : "s", given);
}

int find_param(function_object* f, PyObject* name) {
  const int n = f->def->nparams;
  // Keyword names are usually interned, so identity is the common match.
  for (int i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(f->names, i) == name) return i;
  for (int i = 0; i < n; ++i) {
    const int cmp = PyUnicode_Compare(PyTuple_GET_ITEM(f->names, i), name);
    if (cmp == 0) return i;
    if (cmp == -1 && PyErr_Occurred()) return -2;
  }
  return -1;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
  auto* f = reinterpret_cast<function_object*>(self);
  const function_def* def = f->def;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  PyObject* values[k_max_params] = {};

  if (nargs > positional_count(def)) {
    raise_arg_count(def, nargs);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, k);
      const int idx = find_param(f, name);
      if (idx == -2) return nullptr;
      if (idx < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def->name,
                     name);
        return nullptr;
      }
      if (values[idx] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     def->name, name);
        return nullptr;
      }
      values[idx] = args[nargs + k];
    }
  }
  py::ref owned_defaults[k_max_params];
  for (int i = 0; i < def->nparams; ++i) {
    if (values[i] != nullptr) continue;
    const param_def& p = def->params[i];
    if (p.dflt == default_value::required) {
      if (p.keyword_only)
        PyErr_Format(PyExc_TypeError, "%s() needs keyword-only argument %s", def->name, p.name);
      else
        raise_arg_count(def, i);
      return nullptr;
    }
    owned_defaults[i] = py::ref(default_object(p.dflt));
    if (!owned_defaults[i]) return nullptr;
    values[i] = owned_defaults[i].get();
  }
  return def->impl(self, values);
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return PyVectorcall_Call(self, args, kwargs);
}

void function_dealloc(PyObject* self) {
  auto* f = reinterpret_cast<function_object*>(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_CLEAR(f->module_name);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->names);
  Py_CLEAR(f->signature);
  Py_CLEAR(f->dict);
  PyObject_GC_Del(self);
  Py_DECREF(type);  // instances of heap types own a reference to it
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<function_object*>(self);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->signature);
  Py_VISIT(f->dict);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyObject* function_repr(PyObject* self) {
  auto* f = reinterpret_cast<function_object*>(self);
  return PyUnicode_FromFormat("<function %s at %p>", f->def->name, self);
}

PyObject* get_name(PyObject* self, void*) {
  return PyUnicode_FromString(reinterpret_cast<function_object*>(self)->def->name);
}

PyObject* get_doc(PyObject* self, void*) {
  const char* doc = reinterpret_cast<function_object*>(self)->def->doc;
  if (doc == nullptr) Py_RETURN_NONE;
  return PyUnicode_FromString(doc);
}

PyObject* get_module(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<function_object*>(self)->module_name);
}

PyObject* get_defaults(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<function_object*>(self)->defaults);
}

PyObject* get_kwdefaults(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<function_object*>(self)->kwdefaults);
}

PyObject* get_annotations(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<function_object*>(self)->annotations);
}

// "name(a, b=None, *, c=False)", the form CPython shows for builtins.
std::string text_signature(const function_def* def) {
  std::string s = "(";
  bool star = false;
  for (int i = 0; i < def->nparams; ++i) {
    const param_def& p = def->params[i];
    if (i) s += ", ";
    if (p.keyword_only && !star) {
      s += "*, ";
      star = true;
    }
    s += p.name;
    switch (p.dflt) {
      case default_value::none: s += "=None"; break;
      case default_value::false_: s += "=False"; break;
      case default_value::zero: s += "=0"; break;
      case default_value::required: break;
    }
  }
  s += ")";
  return s;
}

PyObject* get_text_signature(PyObject* self, void*) {
  return PyUnicode_FromString(text_signature(reinterpret_cast<function_object*>(self)->def).c_str());
}

// inspect.Signature built from the declaration, on first use (inspect is
// not imported at module load).
PyObject* get_signature(PyObject* self, void*) {
  auto* f = reinterpret_cast<function_object*>(self);
  if (f->signature) return Py_NewRef(f->signature);
  py::ref inspect(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  py::ref parameter_cls(PyObject_GetAttrString(inspect.get(), "Parameter"));
  py::ref signature_cls(PyObject_GetAttrString(inspect.get(), "Signature"));
  if (!parameter_cls || !signature_cls) return nullptr;
  py::ref pos_kind(PyObject_GetAttrString(parameter_cls.get(), "POSITIONAL_OR_KEYWORD"));
  py::ref kw_kind(PyObject_GetAttrString(parameter_cls.get(), "KEYWORD_ONLY"));
  if (!pos_kind || !kw_kind) return nullptr;
  const function_def* def = f->def;
  py::ref params(PyList_New(0));
  if (!params) return nullptr;
  for (int i = 0; i < def->nparams; ++i) {
    const param_def& p = def->params[i];
    py::ref kwargs(PyDict_New());
    if (!kwargs) return nullptr;
    if (p.dflt != default_value::required) {
      py::ref d(default_object(p.dflt));
      if (!d || PyDict_SetItemString(kwargs.get(), "default", d.get()) < 0) return nullptr;
    }
    py::ref args(Py_BuildValue("(sO)", p.name, p.keyword_only ? kw_kind.get() : pos_kind.get()));
    if (!args) return nullptr;
    py::ref param(PyObject_Call(parameter_cls.get(), args.get(), kwargs.get()));
    if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
  }
  py::ref kwargs(PyDict_New());
  if (!kwargs) return nullptr;
  if (def->return_annotation) {
    py::ref ann(PyUnicode_FromString(def->return_annotation));
    if (!ann || PyDict_SetItemString(kwargs.get(), "return_annotation", ann.get()) < 0)
      return nullptr;
  }
  py::ref args(PyTuple_Pack(1, params.get()));
  if (!args) return nullptr;
  f->signature = PyObject_Call(signature_cls.get(), args.get(), kwargs.get());
  return Py_XNewRef(f->signature);
}

// Functions pickle (and copy) by reference, like Python's own: by module and
// qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) { return get_name(self, nullptr); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(function_object, vectorcall), READONLY,
     nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(function_object, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec_def = {
    "ferroglyph.codecs._openjph.function",
    sizeof(function_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

}  // namespace

bool init_function_type() {
  if (function_type != nullptr) return true;
  function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec_def));
  return function_type != nullptr;
}

PyObject* make_function(const function_def* def, PyObject* module_name) {
  auto* f = PyObject_GC_New(function_object, function_type);
  if (f == nullptr) return nullptr;
  f->vectorcall = function_vectorcall;
  f->def = def;
  f->module_name = Py_NewRef(module_name);
  f->defaults = f->kwdefaults = f->annotations = f->names = f->signature = f->dict = nullptr;
  py::ref self(reinterpret_cast<PyObject*>(f));  // owns f from here on

  py::ref names(PyTuple_New(def->nparams));
  py::ref pos_defaults(PyList_New(0));
  py::ref kw_defaults(PyDict_New());
  py::ref annotations(PyDict_New());
  if (!names || !pos_defaults || !kw_defaults || !annotations) return nullptr;
  for (int i = 0; i < def->nparams; ++i) {
    const param_def& p = def->params[i];
    PyObject* name = PyUnicode_InternFromString(p.name);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), i, name);
    if (p.dflt == default_value::required) continue;
    py::ref d(default_object(p.dflt));
    if (!d) return nullptr;
    if (p.keyword_only ? PyDict_SetItem(kw_defaults.get(), name, d.get())
                       : PyList_Append(pos_defaults.get(), d.get()))
      return nullptr;
  }
  if (def->return_annotation) {
    py::ref ann(PyUnicode_FromString(def->return_annotation));
    if (!ann || PyDict_SetItemString(annotations.get(), "return", ann.get()) < 0) return nullptr;
  }
  f->names = names.release();
  f->defaults = PyList_GET_SIZE(pos_defaults.get()) ? PyList_AsTuple(pos_defaults.get())
                                                    : Py_NewRef(Py_None);
  f->kwdefaults = PyDict_GET_SIZE(kw_defaults.get()) ? kw_defaults.release() : Py_NewRef(Py_None);
  f->annotations = annotations.release();
  if (f->defaults == nullptr) return nullptr;
  PyObject_GC_Track(self.get());
  return self.release();
}

bool to_int32(PyObject* obj, int* out) {
  long v;
  if (PyLong_Check(obj)) {
    v = PyLong_AsLong(obj);
  } else {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr || (nb->nb_index == nullptr && nb->nb_int == nullptr)) {
      PyErr_SetString(PyExc_TypeError, "an integer is required");
      return false;
    }
    py::ref as_int(nb->nb_index ? PyNumber_Index(obj) : PyNumber_Long(obj));
    if (!as_int) return false;
    v = PyLong_AsLong(as_int.get());
  }
  if (v == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    }
    return false;
  }
  if (v < INT_MIN || v > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
  }
  *out = static_cast<int>(v);
  return true;
}

}  // namespace ferroglyph::module
