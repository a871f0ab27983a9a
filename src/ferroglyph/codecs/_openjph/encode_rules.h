// The codec's encode rules, each in one place: which dtypes are coded, what
// a level means, the reversible path, the component transform, the
// decomposition levels and the names of progression orders and profiles.
// encode() and _encode_ex() read their keywords with these readers, and
// _encode_settings() offers the same readers to the public layer (the
// per-component encoder), so that no rule is written twice.
#ifndef FERROGLYPH_OPENJPH_ENCODE_RULES_H
#define FERROGLYPH_OPENJPH_ENCODE_RULES_H

#include "py_helpers.h"

namespace ferroglyph::module {

// PyObject_IsTrue into a bool; false with the exception set.
bool truthy(PyObject* obj, bool* out);

// A Python int as a C value, saturated to 64 bits: that keeps its sign and
// whether it fits a 32-bit field of the record, which is all the rules ask.
bool saturated(PyObject* exact_int, long long* out);

// The samples of a dtype as the bridge codes them.
struct sample_type {
  int itemsize;
  bool is_float;  // float32, coded as its bit patterns
  bool is_signed;
};

// Which dtypes are coded is decided by kind and size alone: (u)int8/16/32,
// and float32 as its bit patterns.  False for any other.
bool coded_sample_type(char kind, int itemsize, sample_type* out);

// How encode reads a 3-D array given without planar=: as separate planes
// (C, H, W) when it looks like a stack of a few planes, the last axis longer
// than 4 and the first 4 or shorter; else as (H, W, C).
inline bool planar_by_default(long long first, long long last) {
  return last > 4 && first <= 4;
}

// What the rules need to know of the image.
struct picture {
  Py_ssize_t width, height, components;
  bool planar;            // separate planes (C, H, W), or one array per component
  bool is_float;          // float32 samples
  PyObject* subsampling;  // the components' subsampling factors when any is
                          // subsampled (a list, for the refusal's text), else null
};

struct coding_path {
  double qstep;
  int qfactor;
  bool reversible;
  bool color_transform;
};

// The level (through the module's _quantization, which callers may
// replace), the reversible path and the component transform.  `where`
// starts the texts of the refusals.
bool read_coding_path(const char* where, PyObject* level, PyObject* reversible, PyObject* rgb,
                      const picture& pic, coding_path* out);

// Decomposition levels: -1 keeps OpenJPH's default.  `odd` holds a result of
// a replaced _max_decompositions that is not an int and won the comparison:
// it is converted when the record is filled, as the int would be.
struct levels {
  long long count = -1;
  py::ref odd;
};

// From num_decomp= (used as given) or resolutions= (clamped to what the
// image or tile allows, through the module's _max_decompositions).
bool read_levels(const char* where, PyObject* num_decomp, PyObject* resolutions, const picture& pic,
                 PyObject* tile_w, PyObject* tile_h, const coding_path& path, levels* out);

// The upper-cased text of `value` if it is one of the module's `table`
// (a module attribute); ValueError naming `what` otherwise.
bool choose_name(PyObject* value, const char* table, const char* what, py::ref* out);

}  // namespace ferroglyph::module

#endif  // FERROGLYPH_OPENJPH_ENCODE_RULES_H
