// Small RAII helpers over the CPython C API: owned references, a scope that
// releases the interpreter lock, and buffer views.
#ifndef FERROGLYPH_OPENJPH_PY_HELPERS_H
#define FERROGLYPH_OPENJPH_PY_HELPERS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "py_compat.h"

#include <utility>

namespace ferroglyph::py {

// An owned (strong) reference, released on scope exit.
class ref {
 public:
  ref() = default;
  // Takes ownership of a new reference (may be null after a failed call).
  explicit ref(PyObject* owned) : p_(owned) {}
  static ref borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return ref(borrowed);
  }
  ref(const ref&) = delete;
  ref& operator=(const ref&) = delete;
  ref(ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ref& operator=(ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Releases the interpreter lock for the lifetime of the scope.
class unlocked {
 public:
  unlocked() : state_(PyEval_SaveThread()) {}
  ~unlocked() { PyEval_RestoreThread(state_); }
  unlocked(const unlocked&) = delete;
  unlocked& operator=(const unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// A buffer exported by an object, released exactly once on scope exit.
class buffer {
 public:
  buffer() = default;
  buffer(const buffer&) = delete;
  buffer& operator=(const buffer&) = delete;
  ~buffer() { reset(); }

  // Returns false with a Python exception set when `obj` exports no buffer.
  bool acquire(PyObject* obj, int flags) {
    reset();
    if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
    held_ = true;
    return true;
  }
  void reset() {
    if (held_) {
      PyBuffer_Release(&view_);
      held_ = false;
    }
  }
  const Py_buffer& view() const { return view_; }
  void* data() const { return view_.buf; }
  Py_ssize_t size() const { return view_.len; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace ferroglyph::py

#endif  // FERROGLYPH_OPENJPH_PY_HELPERS_H
