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

// How a request holds its samples: a C-contiguous array (encode()), an
// array whose rows may be padded, read through the bridge's region strides,
// or no samples at all (a main header).
enum class sample_access { contiguous, strided, none };

// Everything one bridge encode needs: the samples (native byte order, laid
// out as `access` says) and the record, whose two text pointers point into
// `prog_order` and `profile`; the record is valid while this object lives.
// With `use_region`, the bridge's region call codes it.
struct encode_request {
  py::ref array;
  py::ref prog_order;
  py::ref profile;
  ferroglyph_htj2k_encode_params params{};
  sample_access access = sample_access::contiguous;
  bool planar_layout = false;  // 3-D samples are (C, H, W)
  bool use_region = false;
  ferroglyph_htj2k_region region{};
};

// Checks encode()'s arguments in encode()'s order and fills `out`.  Returns
// false with the exception encode() raises set.  With strided access, the
// region's strides are those of the array (which is copied only when the
// bridge cannot read it in place).
bool read_encode_request(const encode_arguments& args, encode_request* out,
                         sample_access access = sample_access::contiguous);

// A codestream the bridge allocated, as bytes; the block is freed either way.
PyObject* codestream_bytes(uint8_t* buf, size_t size);

// Runs the bridge encode of `request`, with the interpreter lock released
// and the samples' buffer exported (so that the array can be neither freed
// nor resized meanwhile), and returns the codestream as bytes, or null with
// OpenJphError set.
PyObject* run_encode(const encode_request& request);

}  // namespace ferroglyph::module

#endif  // FERROGLYPH_OPENJPH_ENCODER_H
