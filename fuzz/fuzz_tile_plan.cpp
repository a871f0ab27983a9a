// The tile planner and single-tile synthesis: the plan must describe tiles
// that lie inside the image and cover it exactly once, and every synthesized
// codestream goes through the bridge as a tiled decode would send it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_params.h"
#include "tile_plan.h"

namespace {

constexpr uint8_t k_soc_siz[4] = {0xFF, 0x4F, 0xFF, 0x51};
// Tiles sent on to the bridge per input; the rest are only synthesized.
constexpr size_t k_decoded_tiles = 4;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "tile plan invariant broken: %s\n", what);
  std::abort();
}

uint32_t u32_at(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto settings = ferroglyph::fuzz::split_input(data, size);
  ferroglyph::tiling::plan plan;
  if (!ferroglyph::tiling::make_plan(data, size, k_soc_siz, &plan)) return 0;

  const int64_t width = int64_t{u32_at(data + 8)} - u32_at(data + 16);
  const int64_t height = int64_t{u32_at(data + 12)} - u32_at(data + 20);
  if (plan.tiles.size() < 2) fail("fewer than two tiles");
  int64_t area = 0;
  for (const auto& s : plan.main)
    if (!ferroglyph::tiling::span_fits(s, size, 4)) fail("main-header span outside the input");
  for (size_t t = 0; t < plan.tiles.size(); ++t) {
    const auto& tile = plan.tiles[t];
    if (tile.x0 < 0 || tile.y0 < 0 || tile.x1 > width || tile.y1 > height || tile.x0 >= tile.x1 ||
        tile.y0 >= tile.y1)
      fail("tile rectangle outside the image");
    area += (tile.x1 - tile.x0) * (tile.y1 - tile.y0);
    if (tile.parts.empty()) fail("tile without tile-parts");
    for (const auto& s : tile.parts)
      if (!ferroglyph::tiling::span_fits(s, size, 14)) fail("tile-part span outside the input");

    const size_t n = ferroglyph::tiling::tile_codestream_size(tile.siz.size(), plan.main, tile.parts);
    auto* out = static_cast<uint8_t*>(std::malloc(n));
    if (out == nullptr) return 0;
    ferroglyph::tiling::write_tile_codestream(data, tile.siz.data(), tile.siz.size(), plan.main,
                                              tile.parts, out);
    if (out[0] != 0xFF || out[1] != 0x4F || out[n - 2] != 0xFF || out[n - 1] != 0xD9)
      fail("synthesized codestream not framed by SOC and EOC");
    if (t < k_decoded_tiles) ferroglyph::fuzz::decode_once(out, n, settings);
    std::free(out);
  }
  if (area != width * height) fail("tiles do not cover the image exactly");
  return 0;
}
