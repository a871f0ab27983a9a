// Shared by the decode paths: the codestream bytes a call reads.
#ifndef FERROGLYPH_OPENJPH_DECODER_H
#define FERROGLYPH_OPENJPH_DECODER_H

#include <cstdint>

#include "py_helpers.h"

namespace ferroglyph::module {

// The input codestream: bytes and bytearray in place, anything else through
// one bytes() copy; the buffer stays exported while this object lives.
class input_bytes {
 public:
  bool acquire(PyObject* data);
  const uint8_t* data() const { return static_cast<const uint8_t*>(view_.data()); }
  size_t size() const { return static_cast<size_t>(view_.size()); }
  PyObject* owner() const { return owner_.get(); }

 private:
  py::ref owner_;
  py::buffer view_;
};

// The shape of a decoded image: (H, W) for one component, else (C, H, W)
// when planar or (H, W, C); `planar_flag` is what the bridge is told.
struct output_layout {
  int ndim;
  Py_ssize_t dims[3];
  int planar_flag;
};

output_layout layout_of(int components, int height, int width, bool planar);

// False, with MemoryError set, when an image of this layout and sample size
// needs more bytes than the machine has memory: such a header is refused
// before anything is allocated for it.
bool output_fits_memory(const output_layout& layout, size_t itemsize);

// What _output_dtype (looked up on the module, so callers may replace it)
// says a decode of such samples returns.
PyObject* call_output_dtype(int bit_depth, int is_signed, int nlt_type);

// The NumPy integer type that carries samples of `itemsize` bytes while the
// bridge writes them (float outputs are their bit patterns, signed).
int carrier_type(int itemsize, bool is_signed);

// decode's planar=None: interleaved (H, W, C) when the codestream used the
// component transform (typically RGB), planar (C, H, W) otherwise; any other
// value by its truth.  `color_transform` is the header's flag as an object.
bool resolve_planar(PyObject* planar, PyObject* color_transform, bool* out);

// The layout's shape as a tuple of ints.
PyObject* shape_tuple(const output_layout& layout);

}  // namespace ferroglyph::module

#endif  // FERROGLYPH_OPENJPH_DECODER_H
