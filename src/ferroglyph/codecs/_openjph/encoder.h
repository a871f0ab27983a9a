// The encoder front end as parts that other entry points can reuse: the
// keywords of encode() read into the bridge's parameter record, and the
// bridge call that turns a record into bytes.
#ifndef FERROGLYPH_OPENJPH_ENCODER_H
#define FERROGLYPH_OPENJPH_ENCODER_H

#include "openjph_shim.h"
#include "py_helpers.h"

namespace ferroglyph::module {

// encode()'s arguments, borrowed from the caller's bound arguments.
struct encode_arguments {
  PyObject* data;
  PyObject* level;
  PyObject* rgb;
  PyObject* planar;
  PyObject* tile;
  PyObject* resolutions;
  PyObject* reversible;
  PyObject* tlm;
  PyObject* tilepart;
  PyObject* block_size;
  PyObject* prog_order;
  PyObject* profile;
  PyObject* num_decomp;
};

// Everything one bridge encode needs: the samples (C-contiguous, native byte
// order) and the record, whose two text pointers point into `prog_order` and
// `profile`; the record is valid while this object lives.
struct encode_request {
  py::ref array;
  py::ref prog_order;
  py::ref profile;
  ferroglyph_htj2k_encode_params params{};
};

// Checks encode()'s arguments in encode()'s order and fills `out`.  Returns
// false with the exception encode() raises set.
bool read_encode_request(const encode_arguments& args, encode_request* out);

// Runs the bridge encode of `request` and returns the codestream as bytes,
// or null with OpenJphError set.
PyObject* run_encode(const encode_request& request);

}  // namespace ferroglyph::module

#endif  // FERROGLYPH_OPENJPH_ENCODER_H
