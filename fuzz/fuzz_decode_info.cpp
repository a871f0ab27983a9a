// Header reading: every reduction the header could allow, both modes.
#include <cstddef>
#include <cstdint>

#include "openjph_shim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (int resilient = 0; resilient < 2; ++resilient) {
    ferroglyph_htj2k_info info{};
    if (ferroglyph_htj2k_decode_info(data, size, 0, 0, resilient, &info) != 0) continue;
    const int levels = info.num_decompositions < 33 ? info.num_decompositions : 33;
    for (int r = 1; r <= levels + 1; ++r) {
      ferroglyph_htj2k_info reduced{};
      ferroglyph_htj2k_decode_info(data, size, r, r, resilient, &reduced);
      ferroglyph_htj2k_decode_info(data, size, r - 1, r, resilient, &reduced);
    }
  }
  (void)ferroglyph_htj2k_last_error()[0];
  ferroglyph_htj2k_clear_warnings();
  return 0;
}
