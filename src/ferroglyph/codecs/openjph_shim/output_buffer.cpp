#include "output_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "messages.h"
#include "openjph_shim.h"

namespace ferroglyph::shim {

malloc_outfile::malloc_outfile(size_t initial)
    : buf_(static_cast<uint8_t*>(std::malloc(initial))), cap_(buf_ ? initial : 0) {}

malloc_outfile::~malloc_outfile() {
  std::free(buf_);
}

size_t malloc_outfile::write(const void* ptr, size_t size) {
  if (size > cap_ - pos_) grow(pos_ + size);
  std::memcpy(buf_ + pos_, ptr, size);
  pos_ += size;
  if (pos_ > used_) used_ = pos_;
  return size;
}

int malloc_outfile::seek(ojph::si64 offset, enum outfile_base::seek origin) {
  const ojph::si64 base = origin == OJPH_SEEK_SET   ? 0
                          : origin == OJPH_SEEK_CUR ? static_cast<ojph::si64>(pos_)
                                                    : static_cast<ojph::si64>(used_);
  const ojph::si64 at = base + offset;
  if (at < 0 || at > static_cast<ojph::si64>(used_)) return -1;
  pos_ = static_cast<size_t>(at);
  return 0;
}

uint8_t* malloc_outfile::release(size_t* size) {
  uint8_t* shrunk = static_cast<uint8_t*>(std::realloc(buf_, used_ > 0 ? used_ : 1));
  uint8_t* out = shrunk != nullptr ? shrunk : buf_;
  *size = used_;
  buf_ = nullptr;
  cap_ = pos_ = used_ = 0;
  return out;
}

void malloc_outfile::grow(size_t need) {
  size_t cap = cap_ > 0 ? cap_ : k_first_block;
  while (cap < need) cap = cap > SIZE_MAX / 2 ? need : cap * 2;
  auto* bigger = static_cast<uint8_t*>(std::realloc(buf_, cap));
  if (bigger == nullptr) {
    grow_failed_ = true;
    throw std::bad_alloc();
  }
  buf_ = bigger;
  cap_ = cap;
}

int write_to_malloc_block(int (*write)(void*, ojph::outfile_base&), void* context, int no_memory,
                          uint8_t** out_buf, size_t* out_size) {
  malloc_outfile out;
  return write_to_malloc_block(out, write, context, no_memory, out_buf, out_size);
}

int write_to_malloc_block(malloc_outfile& out, int (*write)(void*, ojph::outfile_base&),
                          void* context, int no_memory, uint8_t** out_buf, size_t* out_size) {
  try {
    if (out.allocation_failed()) throw std::bad_alloc();
    if (int rc = write(context, out)) return rc;
  } catch (const std::bad_alloc&) {
    if (!out.allocation_failed()) throw;
    set_error("malloc failed");
    return no_memory;
  }
  *out_buf = out.release(out_size);
  return 0;
}

}  // namespace ferroglyph::shim

extern "C" void ferroglyph_htj2k_free(void* buf) {
  std::free(buf);
}
