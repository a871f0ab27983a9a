// The encoder's output: OpenJPH writes the codestream straight into a block
// from malloc, grown with realloc (which moves no bytes for large blocks)
// and shrunk to the codestream's size at the end.  The caller gets that
// block, so the codestream is never copied inside the bridge.
#ifndef FERROGLYPH_SHIM_OUTPUT_BUFFER_H
#define FERROGLYPH_SHIM_OUTPUT_BUFFER_H

#include <openjph/ojph_file.h>

#include <cstddef>
#include <cstdint>

namespace ferroglyph::shim {

class malloc_outfile final : public ojph::outfile_base {
 public:
  static constexpr size_t k_first_block = 65536;

  explicit malloc_outfile(size_t initial = k_first_block);
  ~malloc_outfile() override;
  malloc_outfile(const malloc_outfile&) = delete;
  malloc_outfile& operator=(const malloc_outfile&) = delete;

  // Whether the first block or a later growth could not be had; a failed
  // growth throws std::bad_alloc out of write().
  bool allocation_failed() const { return buf_ == nullptr || grow_failed_; }

  size_t write(const void* ptr, size_t size) override;
  ojph::si64 tell() override { return static_cast<ojph::si64>(pos_); }
  int seek(ojph::si64 offset, enum outfile_base::seek origin) override;

  // Hands the codestream to the caller: a malloc block of exactly `*size`
  // bytes (or a larger one, should shrinking fail), which `free` releases.
  uint8_t* release(size_t* size);

 private:
  void grow(size_t need);

  uint8_t* buf_ = nullptr;
  size_t cap_ = 0, pos_ = 0, used_ = 0;
  bool grow_failed_ = false;
};

// Runs write(context, out) against a malloc_outfile; on success (write
// returned 0) the block is handed to the caller through *out_buf and
// *out_size.  A failed allocation of the block gives `no_memory` and
// "malloc failed"; other exceptions propagate.
int write_to_malloc_block(int (*write)(void*, ojph::outfile_base&), void* context, int no_memory,
                          uint8_t** out_buf, size_t* out_size);

// As above, into a block the caller owns: an encode whose work may be
// abandoned at a trapped assertion (guards.h) keeps the block in its own
// frame, so that it is freed however the work ends.
int write_to_malloc_block(malloc_outfile& out, int (*write)(void*, ojph::outfile_base&),
                          void* context, int no_memory, uint8_t** out_buf, size_t* out_size);

template <class Write>
int write_to_malloc_block(malloc_outfile& out, Write& write, int no_memory, uint8_t** out_buf,
                          size_t* out_size) {
  return write_to_malloc_block(
      out, [](void* w, ojph::outfile_base& o) { return (*static_cast<Write*>(w))(o); }, &write,
      no_memory, out_buf, out_size);
}

template <class Write>
int write_to_malloc_block(Write& write, int no_memory, uint8_t** out_buf, size_t* out_size) {
  return write_to_malloc_block(
      [](void* w, ojph::outfile_base& out) { return (*static_cast<Write*>(w))(out); }, &write,
      no_memory, out_buf, out_size);
}

}  // namespace ferroglyph::shim

#endif  // FERROGLYPH_SHIM_OUTPUT_BUFFER_H
