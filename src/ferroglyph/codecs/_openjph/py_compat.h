// The few CPython C API functions this module uses that are newer than the
// oldest CPython it supports (3.10), defined here for older interpreters with
// the behaviour the CPython documentation gives them, so that call sites use
// the current names everywhere.  Included right after <Python.h>.
#ifndef FERROGLYPH_OPENJPH_PY_COMPAT_H
#define FERROGLYPH_OPENJPH_PY_COMPAT_H

#include <Python.h>

#if PY_VERSION_HEX < 0x030A0000
#error "ferroglyph needs CPython 3.10 or newer"
#endif

#if PY_VERSION_HEX < 0x030B0000
// New in 3.11: the type's __name__ as a new reference.
static inline PyObject* PyType_GetName(PyTypeObject* type) {
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
}
#endif

#if PY_VERSION_HEX < 0x030C0000
// New in 3.12: the raised exception as one normalised object carrying its
// traceback (a new reference, or null with nothing raised); the indicator is
// cleared.
static inline PyObject* PyErr_GetRaisedException(void) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
}

// New in 3.12: raises ``exc`` again (steals the reference; null clears).
static inline void PyErr_SetRaisedException(PyObject* exc) {
  if (!exc) {
    PyErr_Clear();
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
}
#endif

#endif  // FERROGLYPH_OPENJPH_PY_COMPAT_H
