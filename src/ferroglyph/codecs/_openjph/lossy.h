// The lossy rule (lossy.cpp): the irreversible quantization that OpenJPH
// codes correctly for a kind of data, for a quality level or a step.
#ifndef FERROGLYPH_OPENJPH_LOSSY_H
#define FERROGLYPH_OPENJPH_LOSSY_H

#include "py_helpers.h"

namespace ferroglyph::module {

// What the rule needs to know about the samples: kind ('u', 'i' or 'f' for
// float32 bit patterns), coded precision, component count, decomposition
// levels (-1: OpenJPH's default, 5) and, for float32, the smallest and the
// largest value (NaN or infinite when the data holds such values).
struct data_facts {
  char kind;
  int bits;
  int components;
  int decompositions;
  double lo = 0.0, hi = 0.0;
};

// A quality level 1-100, a step (a fraction of the range, below 1), or no
// level on the irreversible path (the finest setting).
struct lossy_request {
  enum kind_t { quality_level, step_size, finest } kind;
  int quality = 0;
  double step = 0.0;
};

// What the bridge is given: a base step (when > 0) or a quality factor.
struct lossy_settings {
  double qstep = 0.0;
  int qfactor = 0;
};

// Fills `out`, or returns false with a ValueError naming what works.
bool decide_lossy(const data_facts& facts, const lossy_request& request, lossy_settings* out);

// `level` as the module reads it (_quantization): None is the finest
// setting.  Returns false with an exception set.
bool read_lossy_request(PyObject* level, lossy_request* out);

// For float32 facts: the smallest and largest value from `value_range` (a
// pair) or, when it is None, from `array`.  Returns false with an exception.
bool read_value_range(PyObject* value_range, PyObject* array, data_facts* facts);

}  // namespace ferroglyph::module

#endif  // FERROGLYPH_OPENJPH_LOSSY_H
