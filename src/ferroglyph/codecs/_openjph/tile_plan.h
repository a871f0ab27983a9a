// Cutting a multi-tile codestream into single-tile codestreams: the byte
// work only, free of Python, so that it can be exercised on its own.
#ifndef FERROGLYPH_TILE_PLAN_H
#define FERROGLYPH_TILE_PLAN_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ferroglyph::tiling {

// A byte range [start, end) of the codestream.
struct span {
  size_t start;
  size_t end;
};

struct tile {
  // The tile's rectangle in image coordinates (relative to the image
  // offset), end exclusive.
  int64_t x0, y0, x1, y1;
  // The SIZ segment (marker to last byte) of the tile's own codestream.
  std::vector<uint8_t> siz;
  // The tile's tile-parts, in codestream order.
  std::vector<span> parts;
};

struct plan {
  // Main-header segments between SIZ and the first SOT, TLM and PLM left out.
  std::vector<span> main;
  std::vector<tile> tiles;
};

// Plans the codestream b[0, n) whose first four bytes must equal soc_siz
// (SOC and the SIZ marker).  Returns false, leaving *out unspecified, when
// the codestream is not one this planner splits: a single tile, subsampled
// components, a grid the format forbids or one of more than 65,536 tiles,
// PPM, any structural inconsistency, or a tile without tile-parts.  Such
// codestreams are decoded whole.  Never reads outside b[0, n).
bool make_plan(const uint8_t* b, size_t n, const uint8_t soc_siz[4], plan* out);

// True when the span lies inside a buffer of n bytes and holds at least
// min_len bytes.
inline bool span_fits(span s, size_t n, size_t min_len) {
  return s.start <= s.end && s.end <= n && s.end - s.start >= min_len;
}

// The size of the single-tile codestream that write_tile_codestream makes.
// Tile-part spans must hold at least 6 bytes each.
size_t tile_codestream_size(size_t siz_len, const std::vector<span>& main,
                            const std::vector<span>& parts);

// Writes SOC, the tile's SIZ segment, the main-header spans and the tile's
// tile-parts renumbered as tile 0, then EOC, into out (which must hold
// tile_codestream_size bytes).  Spans must fit b.
void write_tile_codestream(const uint8_t* b, const uint8_t* siz, size_t siz_len,
                           const std::vector<span>& main, const std::vector<span>& parts,
                           uint8_t* out);

}  // namespace ferroglyph::tiling

#endif
