// Encoding a part of a larger image: the part's tile-parts are the larger
// image's, byte for byte but the tile index; the main header alone costs no
// samples; offsets and strides the bridge cannot use are refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge_test_support.h"

namespace {

using fgtest::Bytes;
using fgtest::Samples;
using Params = ferroglyph_htj2k_encode_params;
using Region = ferroglyph_htj2k_region;

fgtest::EncodeResult encode_region(const uint8_t* src, const Params& p, const Region& r) {
  fgtest::EncodeResult out;
  uint8_t* buf = nullptr;
  size_t size = 0;
  out.rc = ferroglyph_htj2k_encode_region(src, &p, &r, &buf, &size);
  if (out.rc == 0) {
    out.codestream.assign(buf, buf + size);
    ferroglyph_htj2k_free(buf);
  } else {
    out.error = ferroglyph_htj2k_last_error();
  }
  return out;
}

struct TilePart {
  uint16_t tile;
  Bytes rest;  // everything after Isot
};

std::vector<TilePart> tile_parts(const Bytes& cs) {
  std::vector<TilePart> out;
  size_t at = fgtest::first_sot(cs);
  ferroglyph::markers::sot_segment sot;
  while (at != 0 && ferroglyph::markers::sot_at(cs.data(), cs.size(), at, &sot)) {
    out.push_back({static_cast<uint16_t>(sot.isot),
                   Bytes(cs.begin() + at + 6, cs.begin() + at + sot.psot)});
    at += sot.psot;
  }
  return out;
}

struct RegionCase {
  const char* name;
  int width, height, components, tile_w, tile_h;
  bool planar;
  int tilepart_resolutions, tilepart_components, tlm;
  const char* prog_order;
  const char* profile;
  int reversible;
  int block;
};

void PrintTo(const RegionCase& c, std::ostream* os) { *os << c.name; }

class RegionTileParts : public testing::TestWithParam<RegionCase> {};

// A run of tiles in the middle of the image, read through the whole image's
// strides, gives the whole image's tile-parts for those tiles.
TEST_P(RegionTileParts, EqualTheWholeImagesTileParts) {
  const RegionCase& c = GetParam();
  Params p = fgtest::lossless_params(c.width, c.height, c.components, 8, false);
  p.src_planar = c.planar ? 1 : 0;
  p.tile_w = c.tile_w;
  p.tile_h = c.tile_h;
  p.tilepart_resolutions = c.tilepart_resolutions;
  p.tilepart_components = c.tilepart_components;
  p.tlm = c.tlm;
  p.prog_order = c.prog_order;
  p.profile = c.profile;
  p.reversible = c.reversible;
  if (!c.reversible) p.qfactor = 80;
  p.block_w = p.block_h = c.block;
  p.color_transform = c.planar ? 0 : 1;
  Samples src = fgtest::source_for(p);
  fgtest::fill_random(src, 8, 7);
  const Bytes whole = fgtest::must_encode(src, p);

  // Tile columns 1..2 of tile row 1 (the second is cut by the image's edge
  // in the cases that do not divide it).
  const int across = (c.width + c.tile_w - 1) / c.tile_w;
  const int x0 = c.tile_w, y0 = c.tile_h;
  Params part = p;
  part.width = std::min(2 * c.tile_w, c.width - x0);
  part.height = std::min(c.tile_h, c.height - y0);
  Region r{};
  r.x0 = x0;
  r.y0 = y0;
  const size_t first = c.planar ? static_cast<size_t>(y0) * c.width + x0
                                : (static_cast<size_t>(y0) * c.width + x0) * c.components;
  r.row_stride = c.planar ? c.width : static_cast<int64_t>(c.width) * c.components;
  r.plane_stride = c.planar ? static_cast<int64_t>(c.width) * c.height : 0;
  const fgtest::EncodeResult got = encode_region(src.data() + first, part, r);
  ASSERT_EQ(got.rc, 0) << got.error;

  const std::vector<TilePart> mine = tile_parts(got.codestream);
  std::vector<TilePart> theirs;
  const int tiles_in_part = (part.width + c.tile_w - 1) / c.tile_w;
  for (const TilePart& t : tile_parts(whole))
    if (t.tile >= across + 1 && t.tile < across + 1 + tiles_in_part) theirs.push_back(t);
  ASSERT_EQ(mine.size(), theirs.size());
  ASSERT_FALSE(mine.empty());
  for (size_t i = 0; i < mine.size(); ++i) {
    EXPECT_EQ(mine[i].tile + across + 1, theirs[i].tile) << "tile-part " << i;
    EXPECT_EQ(mine[i].rest, theirs[i].rest) << "tile-part " << i;
  }
  // A profile's TLM comes with the part as with the whole.
  EXPECT_EQ(fgtest::find_segment(got.codestream, fgtest::k_tlm).offset != 0,
            fgtest::find_segment(whole, fgtest::k_tlm).offset != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RegionTileParts,
    testing::Values(
        RegionCase{"planar_dividing", 96, 64, 2, 32, 32, true, 0, 0, 0, nullptr, nullptr, 1, 0},
        RegionCase{"interleaved_odd_tiles", 101, 77, 3, 33, 25, false, 0, 0, 0, nullptr, nullptr,
                   1, 0},
        RegionCase{"lossy_tile_parts_tlm", 90, 70, 3, 32, 24, false, 1, 1, 1, "LRCP", nullptr, 0,
                   16},
        RegionCase{"cprl_components", 90, 70, 3, 32, 24, false, 0, 1, 1, "CPRL", nullptr, 1, 0},
        RegionCase{"broadcast_profile", 2048, 2048, 3, 1024, 1024, false, 0, 0, 0, "CPRL",
                   "BROADCAST", 1, 0}),
    [](const testing::TestParamInfo<RegionCase>& info) { return std::string(info.param.name); });

// header_only reads no samples and gives the whole encode's main header, up
// to where the tile-parts (and TLM) begin.
TEST(RegionHeaderOnly, IsTheWholeEncodesMainHeader) {
  Params p = fgtest::lossless_params(90, 70, 3, 8, false);
  p.tile_w = 32;
  p.tile_h = 24;
  p.tlm = 1;
  Samples src = fgtest::source_for(p);
  fgtest::fill_random(src, 8, 3);
  const Bytes whole = fgtest::must_encode(src, p);
  Region r{};
  r.header_only = 1;
  const fgtest::EncodeResult got = encode_region(nullptr, p, r);
  ASSERT_EQ(got.rc, 0) << got.error;
  const size_t tlm = fgtest::find_segment(whole, fgtest::k_tlm).offset;
  ASSERT_NE(tlm, 0u);
  EXPECT_EQ(got.codestream, Bytes(whole.begin(), whole.begin() + tlm));
}

// The whole encode's checks are made on header_only calls as well: a
// profile's geometry rules, OpenJPH's code-block rule.
TEST(RegionHeaderOnly, RefusesWhatTheWholeEncodeRefuses) {
  Params p = fgtest::lossless_params(90, 70, 3, 8, false);
  p.tile_w = 32;
  p.tile_h = 24;
  p.block_w = p.block_h = 48;
  Region r{};
  r.header_only = 1;
  const Samples src = fgtest::source_for(p);
  const fgtest::EncodeResult whole = fgtest::encode(src, p);
  const fgtest::EncodeResult header = encode_region(nullptr, p, r);
  EXPECT_EQ(whole.rc, 5);  // ferroglyph_htj2k_encode's own number for OpenJPH's refusal
  EXPECT_EQ(header.rc, FERROGLYPH_HTJ2K_ARGUMENT);
  EXPECT_EQ(header.error, whole.error);
}

struct BadRegion {
  const char* name;
  Region region;
  bool planar;
};

void PrintTo(const BadRegion& c, std::ostream* os) { *os << c.name; }

class RegionChecks : public testing::TestWithParam<BadRegion> {};

TEST_P(RegionChecks, RefusedWithCode6) {
  Params p = fgtest::lossless_params(16, 8, 3, 8, false);
  p.src_planar = GetParam().planar ? 1 : 0;
  const Samples src = fgtest::source_for(p);
  const fgtest::EncodeResult got = encode_region(src.data(), p, GetParam().region);
  EXPECT_EQ(got.rc, FERROGLYPH_HTJ2K_ARGUMENT);
  EXPECT_EQ(got.error, "invalid region");
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RegionChecks,
    testing::Values(BadRegion{"negative_x0", {-1, 0, 0, 0, 0}, true},
                    BadRegion{"negative_y0", {0, -16, 0, 0, 0}, true},
                    BadRegion{"negative_stride", {0, 0, -16, 0, 0}, true},
                    BadRegion{"row_shorter_than_width", {0, 0, 15, 0, 0}, true},
                    BadRegion{"interleaved_row_shorter", {0, 0, 16, 0, 0}, false},
                    BadRegion{"plane_shorter_than_rows", {0, 0, 20, 100, 0}, true},
                    BadRegion{"plane_stride_interleaved", {0, 0, 0, 400, 0}, false}),
    [](const testing::TestParamInfo<BadRegion>& info) { return std::string(info.param.name); });

TEST(RegionChecks, SamplesNeededUnlessHeaderOnly) {
  Params p = fgtest::lossless_params(16, 8, 1, 8, false);
  Region r{};
  const fgtest::EncodeResult got = encode_region(nullptr, p, r);
  EXPECT_EQ(got.rc, FERROGLYPH_HTJ2K_ARGUMENT);
  EXPECT_EQ(got.error, "null arg");
  uint8_t* buf = nullptr;
  size_t size = 0;
  EXPECT_EQ(ferroglyph_htj2k_encode_region(nullptr, &p, nullptr, &buf, &size), FERROGLYPH_HTJ2K_ARGUMENT);
}

}  // namespace
