// _decode_quiet: decode() with the thread's OpenJPH warnings left to the
// caller instead of issued as RuntimeWarnings.
//
// The public package (ferroglyph.decode) reads the warnings of a decode
// through last_warnings() and decides itself what they mean: an error when
// data was lost, or a warning attributed to its own caller.  It cannot mute
// the module's warnings with warnings.catch_warnings(), which changes
// process-wide state and is not safe while other threads decode.
#include "module.h"
#include "openjph_shim.h"

namespace ferroglyph::module {

namespace {

thread_local bool t_warnings_muted = false;

// Mutes the calling thread's warnings for a scope; nests.
class muted_scope {
 public:
  muted_scope() : was_(t_warnings_muted) { t_warnings_muted = true; }
  ~muted_scope() { t_warnings_muted = was_; }
  muted_scope(const muted_scope&) = delete;
  muted_scope& operator=(const muted_scope&) = delete;

 private:
  bool was_;
};

PyObject* decode_quiet_impl(PyObject*, bound_args args) {
  PyObject* keywords = args[1];
  if (keywords != Py_None && !PyDict_Check(keywords)) {
    PyErr_SetString(PyExc_TypeError, "_decode_quiet: keywords must be a dict or None");
    return nullptr;
  }
  PyObject* decode = module_attr("decode");
  if (decode == nullptr) return nullptr;
  py::ref positional(PyTuple_Pack(1, args[0]));
  if (!positional) return nullptr;
  // A multi-tile decode that succeeds on worker threads does not touch this
  // thread's collected warnings; start from none so that stale ones from an
  // earlier call are not read as this decode's.
  ferroglyph_htj2k_clear_warnings();
  muted_scope muted;
  return PyObject_Call(decode, positional.get(), keywords == Py_None ? nullptr : keywords);
}

}  // namespace

bool warnings_muted() { return t_warnings_muted; }

const function_def k_decode_quiet_def = {
    "_decode_quiet",
    "``decode(data, **keywords)`` without RuntimeWarnings.\n\n"
    "OpenJPH's warnings stay in last_warnings() of the calling thread for the\n"
    "caller to report; OpenJphUnsupportedFeature is raised as by decode.",
    "np.ndarray",
    decode_quiet_impl,
    2,
    {{"data", default_value::required, false}, {"keywords", default_value::none, false}},
};

}  // namespace ferroglyph::module
