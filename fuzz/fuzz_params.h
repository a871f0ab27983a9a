// Shared by the fuzz targets: how an input is split into call settings and
// a codestream, and how a decode is driven through the bridge.
#ifndef FERROGLYPH_FUZZ_PARAMS_H
#define FERROGLYPH_FUZZ_PARAMS_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "openjph_shim.h"

namespace ferroglyph::fuzz {

// The largest destination a target allocates; bigger images are only
// inspected, as a caller without the memory would do.
constexpr size_t k_max_dst = size_t{16} << 20;

// Settings of one decode call.  A codestream starts with 0xFF; an input
// whose first byte is anything else carries the settings in that byte and
// the codestream after it, so that plain codestreams are valid inputs too.
struct decode_settings {
  int reduce_data = 0;
  int reduce_recon = 0;
  int resilient = 0;
  int planar = 0;
  int bytes_per_sample = 0;  // 0: the narrowest that holds the bit depth
};

inline decode_settings split_input(const uint8_t*& data, size_t& size) {
  decode_settings s;
  if (size == 0 || data[0] == 0xFF) return s;
  const unsigned b = data[0];
  ++data;
  --size;
  s.reduce_data = static_cast<int>(b & 7);
  // Reconstruct at the data's reduction, or at a coarser one (skipres).
  s.reduce_recon = s.reduce_data + ((b & 8) ? 1 : 0);
  s.resilient = (b >> 4) & 1;
  s.planar = (b >> 5) & 1;
  static constexpr int widths[4] = {0, 1, 2, 4};
  s.bytes_per_sample = widths[(b >> 6) & 3];
  return s;
}

// OpenJPH sets up every tile of a codestream at once, reserving in one
// block roughly a megabyte per tile and component for the first levels
// (gigabytes for a few hundred header bytes that declare tens of thousands of
// tiny tiles; mostly never touched, and a failed reservation is reported as
// an error).  Under the sanitizer, whose shadow memory is written for the
// whole block, such inputs only measure the machine; they are inspected but
// not decoded.
constexpr uint64_t k_max_tile_components = 2048;

inline uint64_t tile_components(const uint8_t* data, size_t size) {
  if (size < 42 || data[0] != 0xFF || data[1] != 0x4F || data[2] != 0xFF || data[3] != 0x51)
    return 0;
  auto u32 = [&](size_t at) {
    return uint64_t{data[at]} << 24 | uint64_t{data[at + 1]} << 16 | uint64_t{data[at + 2]} << 8 |
           data[at + 3];
  };
  const uint64_t xsiz = u32(8), ysiz = u32(12), xt = u32(24), yt = u32(28), xto = u32(32),
                 yto = u32(36);
  const uint64_t comps = uint64_t{data[40]} << 8 | data[41];
  if (xt == 0 || yt == 0 || xsiz <= xto || ysiz <= yto) return 0;
  return ((xsiz - xto + xt - 1) / xt) * ((ysiz - yto + yt - 1) / yt) * comps;
}

inline int natural_width(int bit_depth) { return bit_depth <= 8 ? 1 : bit_depth <= 16 ? 2 : 4; }

// The per-component facts, then (when small enough) a decode of every
// component into a buffer of exactly its announced size.
inline void decode_components_once(const uint8_t* data, size_t size, const decode_settings& s) {
  constexpr int k_max_components = 16;
  ferroglyph_htj2k_component_info comps[k_max_components];
  int n = 0;
  if (ferroglyph_htj2k_components_info(data, size, s.reduce_data, s.reduce_recon, s.resilient,
                                       comps, k_max_components, &n) != 0 ||
      n < 1 || n > k_max_components || tile_components(data, size) > k_max_tile_components)
    return;
  uint8_t* dsts[k_max_components] = {};
  size_t sizes[k_max_components] = {};
  int32_t widths[k_max_components] = {};
  size_t total = 0;
  for (int c = 0; c < n; ++c) {
    widths[c] = s.bytes_per_sample ? s.bytes_per_sample : natural_width(comps[c].bit_depth);
    sizes[c] = static_cast<size_t>(comps[c].width) * static_cast<size_t>(comps[c].height) *
               static_cast<size_t>(widths[c]);
    total += sizes[c];
  }
  if (total <= k_max_dst) {
    bool allocated = true;
    for (int c = 0; c < n; ++c)
      allocated = allocated && (dsts[c] = static_cast<uint8_t*>(std::malloc(sizes[c]))) != nullptr;
    if (allocated)
      ferroglyph_htj2k_decode_components(data, size, dsts, sizes, widths, n, s.reduce_data,
                                         s.reduce_recon, s.resilient);
  }
  for (int c = 0; c < n; ++c) std::free(dsts[c]);
}

// decode_info, then (when the image is small enough) a decode into a buffer
// of exactly the announced size, so that the sanitizer sees any write past
// it.  Warnings are emptied afterwards, as a long-lived caller would.
inline void decode_once(const uint8_t* data, size_t size, const decode_settings& s) {
  ferroglyph_htj2k_info info{};
  if (ferroglyph_htj2k_decode_info(data, size, s.reduce_data, s.reduce_recon, s.resilient,
                                   &info) == 0) {
    const int width = s.bytes_per_sample ? s.bytes_per_sample : natural_width(info.bit_depth);
    const size_t samples = static_cast<size_t>(info.width) * static_cast<size_t>(info.height) *
                           static_cast<size_t>(info.components);
    if (info.width > 0 && info.height > 0 && info.components > 0 &&
        tile_components(data, size) <= k_max_tile_components &&
        samples <= k_max_dst / static_cast<size_t>(width)) {
      const size_t dst_size = samples * static_cast<size_t>(width);
      auto* dst = static_cast<uint8_t*>(std::malloc(dst_size));
      if (dst != nullptr) {
        ferroglyph_htj2k_decode(data, size, dst, dst_size, width, s.reduce_data, s.reduce_recon,
                                s.resilient, s.planar);
        std::free(dst);
      }
    }
  }
  decode_components_once(data, size, s);
  // The texts must always be readable, whatever happened.
  (void)ferroglyph_htj2k_last_error()[0];
  (void)ferroglyph_htj2k_last_warnings()[0];
  ferroglyph_htj2k_clear_warnings();
}

}  // namespace ferroglyph::fuzz

#endif
