// Whole decodes and per-component decodes, with the reduction, resilience,
// layout and sample width taken from the input (see fuzz_params.h).
#include <cstddef>
#include <cstdint>

#include "fuzz_params.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto settings = ferroglyph::fuzz::split_input(data, size);
  ferroglyph::fuzz::decode_once(data, size, settings);
  return 0;
}
