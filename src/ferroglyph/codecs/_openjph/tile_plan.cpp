#include "tile_plan.h"

#include <cstring>

#include "markers.h"

namespace ferroglyph::tiling {

namespace {

namespace mk = ferroglyph::markers;
using mk::u16_at;
using mk::u32_at;
// A larger grid is refused by the bridge whatever the plan.
using mk::k_max_tiles;

void put_u32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// For positive operands only.
int64_t ceil_div(int64_t num, int64_t den) { return (num + den - 1) / den; }

// The image area and the tile grid a SIZ segment describes.
struct grid {
  const uint8_t* siz;  // marker to last byte
  size_t siz_len;
  int64_t xsiz, ysiz, xo, yo, xt, yt, xto, yto;
  int64_t ntx, nty;
};

// False for anything the plan does not cut plainly: a malformed SIZ,
// subsampled components, a grid the format forbids, one tile, too many.
bool read_grid(const uint8_t* b, size_t n, const uint8_t soc_siz[4], grid* g) {
  if (n < 42 || std::memcmp(b, soc_siz, 4) != 0) return false;
  const size_t lsiz = u16_at(b + 4);
  if (lsiz < 41 || 4 + lsiz > n) return false;
  const uint8_t* siz = b + 2;
  *g = {siz, lsiz + 2, u32_at(siz + 6), u32_at(siz + 10), u32_at(siz + 14), u32_at(siz + 18),
        u32_at(siz + 22), u32_at(siz + 26), u32_at(siz + 30), u32_at(siz + 34), 0, 0};
  const size_t csiz = u16_at(siz + 38);
  if (g->xt == 0 || g->yt == 0 || g->xsiz <= g->xo || g->ysiz <= g->yo ||
      g->siz_len < 40 + 3 * csiz)
    return false;
  for (size_t c = 0; c < csiz; ++c)
    if (siz[41 + 3 * c] != 1 || siz[42 + 3 * c] != 1) return false;
  // The format requires the tile grid to start at or before the image area
  // and its first tile to reach into it; other grids are decoded whole, so
  // that the decode reports them.
  if (g->xto > g->xo || g->yto > g->yo || g->xto + g->xt <= g->xo || g->yto + g->yt <= g->yo)
    return false;
  g->ntx = ceil_div(g->xsiz - g->xto, g->xt);
  g->nty = ceil_div(g->ysiz - g->yto, g->yt);
  if (g->ntx < 1 || g->nty < 1 || g->ntx > k_max_tiles || g->nty > k_max_tiles) return false;
  const int64_t ntiles = g->ntx * g->nty;
  return ntiles >= 2 && ntiles <= k_max_tiles;
}

// Every main-header segment between SIZ and the first SOT, TLM and PLM left
// out (the single-tile codestreams would contradict them).  `*pos` ends at
// the first SOT.
bool read_main_segments(const uint8_t* b, size_t n, size_t* pos, std::vector<span>* out) {
  out->clear();
  for (;;) {
    if (*pos + 4 > n) return false;
    const mk::segment s = mk::segment_at(b, *pos);
    if (s.marker == mk::k_sot) return true;
    if (s.marker < mk::k_lowest_segment || s.marker == mk::k_ppm || !mk::segment_fits(s, n))
      return false;
    if (s.marker != mk::k_tlm && s.marker != mk::k_plm) out->push_back({*pos, s.end});
    *pos = s.end;
  }
}

// Tile-parts, in codestream order, sorted into their tiles.
bool read_tile_parts(const uint8_t* b, size_t n, size_t pos, int64_t ntiles,
                     std::vector<tile>* tiles) {
  tiles->assign(static_cast<size_t>(ntiles), tile{});
  const size_t end_of_data = u16_at(b + n - 2) == mk::k_eoc ? n - 2 : n;
  mk::sot_segment sot;
  while (pos < end_of_data) {
    if (!mk::sot_at(b, n, pos, &sot)) return false;
    const size_t end = sot.psot == 0 ? end_of_data : pos + sot.psot;
    if (sot.lsot != mk::k_lsot || static_cast<int64_t>(sot.isot) >= ntiles || end > end_of_data ||
        end < pos + 14)
      return false;
    (*tiles)[sot.isot].parts.push_back({pos, end});
    pos = end;
  }
  return true;
}

// Each tile's rectangle in the output and its own SIZ segment: the tile as a
// whole image at its place on the reference grid.
bool place_tiles(const grid& g, std::vector<tile>* tiles) {
  const int64_t ntiles = g.ntx * g.nty;
  for (int64_t t = 0; t < ntiles; ++t) {
    tile& entry = (*tiles)[static_cast<size_t>(t)];
    if (entry.parts.empty()) return false;
    const int64_t gx0 = g.xto + (t % g.ntx) * g.xt, gy0 = g.yto + (t / g.ntx) * g.yt;
    const int64_t x0 = gx0 > g.xo ? gx0 : g.xo, y0 = gy0 > g.yo ? gy0 : g.yo;
    const int64_t x1 = gx0 + g.xt < g.xsiz ? gx0 + g.xt : g.xsiz;
    const int64_t y1 = gy0 + g.yt < g.ysiz ? gy0 + g.yt : g.ysiz;
    entry.x0 = x0 - g.xo;
    entry.y0 = y0 - g.yo;
    entry.x1 = x1 - g.xo;
    entry.y1 = y1 - g.yo;
    entry.siz.assign(g.siz, g.siz + g.siz_len);
    const int64_t fields[8] = {x1, y1, x0, y0, g.xt, g.yt, gx0, gy0};
    for (int i = 0; i < 8; ++i) put_u32(entry.siz.data() + 6 + 4 * i, static_cast<uint32_t>(fields[i]));
  }
  return true;
}

}  // namespace

bool make_plan(const uint8_t* b, size_t n, const uint8_t soc_siz[4], plan* out) {
  grid g;
  if (!read_grid(b, n, soc_siz, &g)) return false;
  size_t pos = 2 + g.siz_len;
  return read_main_segments(b, n, &pos, &out->main) &&
         read_tile_parts(b, n, pos, g.ntx * g.nty, &out->tiles) && place_tiles(g, &out->tiles);
}

size_t tile_codestream_size(size_t siz_len, const std::vector<span>& main,
                            const std::vector<span>& parts) {
  size_t total = 2 + siz_len + 2;
  for (const span& s : main) total += s.end - s.start;
  for (const span& s : parts) total += s.end - s.start;
  return total;
}

void write_tile_codestream(const uint8_t* b, const uint8_t* siz, size_t siz_len,
                           const std::vector<span>& main, const std::vector<span>& parts,
                           uint8_t* out) {
  *out++ = 0xFF;
  *out++ = 0x4F;
  std::memcpy(out, siz, siz_len);
  out += siz_len;
  for (const span& s : main) {
    std::memcpy(out, b + s.start, s.end - s.start);
    out += s.end - s.start;
  }
  // Every tile-part becomes a tile-part of tile 0 (Isot = 0); the rest of
  // it, Psot and TPsot/TNsot included, is copied unchanged.
  for (const span& s : parts) {
    std::memcpy(out, b + s.start, 4);
    out[4] = out[5] = 0;
    std::memcpy(out + 6, b + s.start + 6, s.end - s.start - 6);
    out += s.end - s.start;
  }
  *out++ = 0xFF;
  *out = 0xD9;
}

}  // namespace ferroglyph::tiling
