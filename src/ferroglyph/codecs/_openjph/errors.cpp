// Mapping the bridge's failures and OpenJPH's warnings onto Python.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "module.h"
#include "openjph_shim.h"

namespace ferroglyph::module {

PyObject* raise_bridge_error(int rc, const char* where) {
  py::ref text(PyUnicode_DecodeUTF8(ferroglyph_htj2k_last_error(),
                                    std::strlen(ferroglyph_htj2k_last_error()), "replace"));
  if (!text) return nullptr;
  py::ref msg = py::ref::borrow(text.get());
  // Bridge texts of OpenJPH errors already carry the place name; keep one.
  py::ref prefix(PyUnicode_FromFormat("%s:", where));
  if (!prefix) return nullptr;
  const int starts = PyUnicode_Tailmatch(text.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1);
  if (starts < 0) return nullptr;
  if (starts) {
    py::ref rest(PyUnicode_Substring(text.get(), PyUnicode_GET_LENGTH(prefix.get()),
                                     PY_SSIZE_T_MAX));
    if (!rest) return nullptr;
    msg = py::ref(PyObject_CallMethod(rest.get(), "strip", nullptr));
    if (!msg) return nullptr;
  }
  py::ref full(PyUnicode_FromFormat("%s: %U (rc=%d)", where, msg.get(), rc));
  if (!full) return nullptr;
  PyErr_SetObject(g_openjph_error, full.get());
  return nullptr;
}

namespace {

std::vector<std::string> split_lines(const char* text) {
  std::vector<std::string> lines;
  std::string_view rest(text);
  for (;;) {
    const size_t nl = rest.find('\n');
    lines.emplace_back(rest.substr(0, nl));
    if (nl == std::string_view::npos) break;
    rest.remove_prefix(nl + 1);
  }
  return lines;
}

// Python orders str by code point; for text decoded with the "replace"
// handler that is the order of the decoded objects, so sort those.
bool sort_unique_by_code_point(py::ref& list) {
  if (PyList_Sort(list.get()) < 0) return false;
  py::ref unique(PyList_New(0));
  if (!unique) return false;
  PyObject* prev = nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (prev != nullptr) {
      const int eq = PyObject_RichCompareBool(prev, item, Py_EQ);
      if (eq < 0) return false;
      if (eq) continue;
    }
    if (PyList_Append(unique.get(), item) < 0) return false;
    prev = item;
  }
  list = std::move(unique);
  return true;
}

PyObject* decode_line(const std::string& line) {
  return PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace");
}

// The warning lines as text: all of them, and those that say OpenJPH skipped
// a marker segment ("... is not supported yet").
bool collect_warnings(const char* warned, py::ref* all, py::ref* unsupported) {
  *all = py::ref(PyList_New(0));
  *unsupported = py::ref(PyList_New(0));
  py::ref needle(PyUnicode_FromString("not supported"));
  if (!*all || !*unsupported || !needle) return false;
  for (const std::string& line : split_lines(warned)) {
    py::ref text(decode_line(line));
    if (!text || PyList_Append(all->get(), text.get()) < 0) return false;
    const Py_ssize_t at = PyUnicode_Find(text.get(), needle.get(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) return false;
    if (at >= 0 && PyList_Append(unsupported->get(), text.get()) < 0) return false;
  }
  return true;
}

// A skipped segment means the image may not be the encoder's: refused.
void raise_unsupported(py::ref& unsupported) {
  if (!sort_unique_by_code_point(unsupported)) return;
  py::ref sep(PyUnicode_FromString("; "));
  if (!sep) return;
  py::ref joined(PyUnicode_Join(sep.get(), unsupported.get()));
  if (!joined) return;
  PyErr_Format(g_unsupported_feature,
               "OpenJPH could not read part of this codestream, so the decoded image would not "
               "match the encoder's: %U. Pass ignore_unsupported=True to decode anyway.",
               joined.get());
}

// Every other warning becomes a RuntimeWarning, once per distinct text.
bool issue_runtime_warnings(py::ref& all, PyObject* unsupported) {
  if (!sort_unique_by_code_point(all)) return false;
  py::ref warnings(PyImport_ImportModule("warnings"));
  if (!warnings) return false;
  py::ref warn(PyObject_GetAttrString(warnings.get(), "warn"));
  if (!warn) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.get()); ++i) {
    PyObject* line = PyList_GET_ITEM(all.get(), i);
    if (PyUnicode_GET_LENGTH(line) == 0) continue;
    const int skip = PySequence_Contains(unsupported, line);
    if (skip < 0) return false;
    if (skip) continue;
    py::ref msg(PyUnicode_FromFormat("OpenJPH: %U", line));
    if (!msg) return false;
    // Stack level 1 is the Python code that called decode (this is C).
    py::ref r(PyObject_CallFunction(warn.get(), "OOi", msg.get(), PyExc_RuntimeWarning, 1));
    if (!r) return false;
  }
  return true;
}

}  // namespace

bool check_warnings(bool ignore_unsupported) {
  const char* warned = ferroglyph_htj2k_last_warnings();
  if (warned == nullptr || warned[0] == '\0') return true;
  py::ref all, unsupported;
  if (!collect_warnings(warned, &all, &unsupported)) return false;
  if (PyList_GET_SIZE(unsupported.get()) > 0 && !ignore_unsupported) {
    raise_unsupported(unsupported);
    return false;
  }
  if (warnings_muted()) return true;
  return issue_runtime_warnings(all, unsupported.get());
}

}  // namespace ferroglyph::module
