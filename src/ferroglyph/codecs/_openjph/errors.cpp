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

// The warning lines as text: all of them, those that say OpenJPH skipped a
// marker segment ("... is not supported yet"), and those the bridge's one
// list reads as lost samples.
bool collect_warnings(const char* warned, py::ref* all, py::ref* unsupported, py::ref* lost) {
  *all = py::ref(PyList_New(0));
  *unsupported = py::ref(PyList_New(0));
  *lost = py::ref(PyList_New(0));
  py::ref needle(PyUnicode_FromString("not supported"));
  if (!*all || !*unsupported || !*lost || !needle) return false;
  for (const std::string& line : split_lines(warned)) {
    if (line.empty()) continue;
    py::ref text(decode_line(line));
    if (!text || PyList_Append(all->get(), text.get()) < 0) return false;
    const Py_ssize_t at = PyUnicode_Find(text.get(), needle.get(), 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) return false;
    if (at >= 0) {
      if (PyList_Append(unsupported->get(), text.get()) < 0) return false;
    } else if (ferroglyph_htj2k_means_data_loss(line.c_str()) &&
               PyList_Append(lost->get(), text.get()) < 0) {
      return false;
    }
  }
  return true;
}

py::ref joined_lines(py::ref& lines) {
  if (!sort_unique_by_code_point(lines)) return py::ref();
  py::ref sep(PyUnicode_FromString("; "));
  if (!sep) return py::ref();
  return py::ref(PyUnicode_Join(sep.get(), lines.get()));
}

// A skipped segment means the image may not be the encoder's: refused.
void raise_unsupported(py::ref& unsupported, const judge_policy& policy) {
  py::ref joined(joined_lines(unsupported));
  if (!joined) return;
  PyErr_Format(g_unsupported_feature,
               "OpenJPH could not read part of this codestream, so the decoded %s would not "
               "match the encoder's: %U. Pass %s to decode anyway.",
               policy.what, joined.get(), policy.unsupported_remedy);
}

// Lost samples under a strict policy: refused, naming OpenJPH's texts.
void raise_lost(py::ref& lost, const judge_policy& policy) {
  py::ref joined(joined_lines(lost));
  if (!joined) return;
  PyErr_Format(g_openjph_error,
               "%s: OpenJPH lost data, so the %s would be incomplete or wrong: %U. Pass "
               "strict=False to get %s anyway (and resilient=True for damaged data).",
               policy.call, policy.what, joined.get(),
               std::strcmp(policy.what, "image") == 0 ? "it" : "them");
}

// Every other warning becomes a RuntimeWarning, once per distinct text.
bool issue_runtime_warnings(py::ref& all, PyObject* skip_lines, int stacklevel) {
  if (!sort_unique_by_code_point(all)) return false;
  py::ref warnings(PyImport_ImportModule("warnings"));
  if (!warnings) return false;
  py::ref warn(PyObject_GetAttrString(warnings.get(), "warn"));
  if (!warn) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.get()); ++i) {
    PyObject* line = PyList_GET_ITEM(all.get(), i);
    if (PyUnicode_GET_LENGTH(line) == 0) continue;
    if (skip_lines != nullptr) {
      const int skip = PySequence_Contains(skip_lines, line);
      if (skip < 0) return false;
      if (skip) continue;
    }
    py::ref msg(PyUnicode_FromFormat("OpenJPH: %U", line));
    if (!msg) return false;
    // Stack level 1 is the Python code that called into the module (this is C).
    py::ref r(PyObject_CallFunction(warn.get(), "OOi", msg.get(), PyExc_RuntimeWarning,
                                    stacklevel));
    if (!r) return false;
  }
  return true;
}

thread_local const judge_policy* t_policy = nullptr;

}  // namespace

bool judge_warnings(const judge_policy& policy) {
  const char* warned = ferroglyph_htj2k_last_warnings();
  if (warned == nullptr || warned[0] == '\0') return true;
  py::ref all, unsupported, lost;
  if (!collect_warnings(warned, &all, &unsupported, &lost)) return false;
  const bool any_unsupported = PyList_GET_SIZE(unsupported.get()) > 0;
  if (any_unsupported && policy.unsupported == unsupported_policy::raise) {
    raise_unsupported(unsupported, policy);
    return false;
  }
  if (policy.strict && PyList_GET_SIZE(lost.get()) > 0) {
    raise_lost(lost, policy);
    return false;
  }
  return issue_runtime_warnings(
      all, policy.unsupported == unsupported_policy::warn ? nullptr : unsupported.get(),
      policy.stacklevel);
}

judge_scope::judge_scope(const judge_policy* policy) : was_(t_policy) { t_policy = policy; }
judge_scope::~judge_scope() { t_policy = was_; }

bool check_warnings(bool ignore_unsupported) {
  if (t_policy != nullptr) {
    judge_policy policy = *t_policy;
    if (ignore_unsupported) policy.unsupported = unsupported_policy::drop;
    return judge_warnings(policy);
  }
  judge_policy policy;
  policy.unsupported = ignore_unsupported ? unsupported_policy::drop : unsupported_policy::raise;
  return judge_warnings(policy);
}

}  // namespace ferroglyph::module
