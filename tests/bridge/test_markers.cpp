// The one marker walker (markers.h) that the bridge's header scans and the
// tile planner share, and the one row order (row_order.h) that the four
// sample movers share: bounds, the traps a byte scan falls into, and the
// order OpenJPH needs.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "bridge_test_support.h"
#include "markers.h"
#include "row_order.h"

namespace {

namespace mk = ferroglyph::markers;
using fgtest::Bytes;

TEST(Markers, SotIsReadOnlyWhenTwelveBytesAreLeft) {
  const Bytes sot = {0xFF, 0x90, 0x00, 0x0A, 0x00, 0x07, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01};
  mk::sot_segment s{};
  ASSERT_TRUE(mk::sot_at(sot.data(), sot.size(), 0, &s));
  EXPECT_EQ(s.lsot, mk::k_lsot);
  EXPECT_EQ(s.isot, 7u);
  EXPECT_EQ(s.psot, 256u);
  for (size_t n = 0; n < sot.size(); ++n) EXPECT_FALSE(mk::sot_at(sot.data(), n, 0, &s)) << n;
  // A position past the end is refused, not wrapped around.
  EXPECT_FALSE(mk::sot_at(sot.data(), sot.size(), sot.size() + 1, &s));
  Bytes other = sot;
  other[1] = 0x93;
  EXPECT_FALSE(mk::sot_at(other.data(), other.size(), 0, &s));
}

TEST(Markers, SegmentsFitOnlyWithinTheirLimitAndCountingThemselves) {
  const Bytes b = {0xFF, 0x52, 0x00, 0x06, 1, 2, 3, 4, 0xFF, 0x5C, 0x00, 0x01};
  const mk::segment cod = mk::segment_at(b.data(), 0);
  EXPECT_EQ(cod.marker, mk::k_cod);
  EXPECT_EQ(cod.end, 8u);
  EXPECT_TRUE(mk::segment_fits(cod, 8));
  EXPECT_FALSE(mk::segment_fits(cod, 7));
  EXPECT_FALSE(mk::segment_fits(mk::segment_at(b.data(), 8), b.size()));  // Lqcd of 1
}

// XRsiz 0xFF and YRsiz 0x90 spell an SOT marker code inside SIZ: the main
// header does not end there.
TEST(Markers, TheHeaderEndIsNotFoundInsideSiz) {
  Bytes cs = fgtest::small_codestream(20, 10, 1);
  const size_t sot = fgtest::first_sot(cs);
  ASSERT_NE(sot, 0u);
  // Marker, Lsiz, Rsiz, eight 32-bit sizes, Csiz, then Ssiz of component 0.
  const size_t xrsiz = fgtest::find_segment(cs, mk::k_siz).offset + 41;
  cs[xrsiz] = 0xFF;
  cs[xrsiz + 1] = 0x90;
  ASSERT_EQ(mk::find_marker(cs.data(), 2, cs.size(), mk::k_sot), xrsiz);  // a plain byte scan
  const mk::first_sot f = mk::find_first_sot(cs.data(), cs.size());
  EXPECT_EQ(f.main_end, sot);
  EXPECT_EQ(f.first_part, sot);
}

TEST(Markers, TheHeaderStartsWhereOpenJphFindsSocAndSiz) {
  const Bytes cs = fgtest::small_codestream(20, 10, 1);
  Bytes junk = {0x12, 0xFF, 0x00, 0x34};
  junk.insert(junk.end(), cs.begin(), cs.end());
  EXPECT_EQ(mk::header_start(cs.data(), cs.size()), 0u);
  EXPECT_EQ(mk::header_start(junk.data(), junk.size()), 4u);
  const Bytes none = {0x00, 0x01, 0xFF};
  EXPECT_EQ(mk::header_start(none.data(), none.size()), 0u);
}

TEST(Markers, DfsLevelsPastIdsRepeatTheLastTypeAndStopAtLdfs) {
  // Ids 3: types 1, 2, 3 (two bits each, finest first).
  // Followed by more of the header, which Ldfs does not give the segment.
  const Bytes dfs = {0xFF, 0x72, 0x00, 0x06, 0x00, 0x01, 0x03, 0b01101100, 0xFF, 0xFF, 0xFF, 0xFF};
  const mk::dfs_segment s(dfs.data());
  EXPECT_TRUE(s.well_formed());
  unsigned type = 0;
  const unsigned want[] = {1, 2, 3, 3, 3};
  for (unsigned k = 0; k < 5; ++k) {
    ASSERT_TRUE(s.level_type(k, &type)) << k;
    EXPECT_EQ(type, want[k]) << k;
  }
  Bytes long_ids = dfs;
  long_ids[6] = 9;  // nine levels need three type bytes; Ldfs holds one
  const mk::dfs_segment l(long_ids.data());
  EXPECT_FALSE(l.well_formed());
  EXPECT_TRUE(l.level_type(3, &type));
  EXPECT_FALSE(l.level_type(4, &type));
}

std::vector<std::pair<uint32_t, uint32_t>> visited(bool transform, std::vector<uint32_t> rows,
                                                   int stop_after = -1) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  const int rc = ferroglyph::shim::visit_rows(
      transform, static_cast<uint32_t>(rows.size()), [&](uint32_t c) { return rows[c]; },
      [&](uint32_t c, uint32_t r) {
        out.emplace_back(c, r);
        return static_cast<int>(out.size()) == stop_after ? 9 : 0;
      });
  EXPECT_EQ(rc, stop_after > 0 ? 9 : 0);
  return out;
}

TEST(RowOrder, ComponentByComponentOrRowByRowExactlyOnceEach) {
  using V = std::vector<std::pair<uint32_t, uint32_t>>;
  // Each component at its own height without the transform.
  EXPECT_EQ(visited(false, {2, 1, 3}), (V{{0, 0}, {0, 1}, {1, 0}, {2, 0}, {2, 1}, {2, 2}}));
  // Rows counted against component 0 with it.
  EXPECT_EQ(visited(true, {2, 2, 2}), (V{{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}}));
  // The first failure ends the walk: no exchange after it.
  EXPECT_EQ(visited(true, {2, 2, 2}, 4), (V{{0, 0}, {1, 0}, {2, 0}, {0, 1}}));
  EXPECT_EQ(visited(false, {0, 1}), (V{{1, 0}}));
}

}  // namespace
