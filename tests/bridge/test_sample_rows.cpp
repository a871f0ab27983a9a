// Row conversion between caller sample buffers and OpenJPH line buffers:
// sample types, zero and sign extension on load, clamping to the
// codestream's precision on store, element addressing, refusals.
#include <gtest/gtest.h>
#include <openjph/ojph_mem.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "bridge_test_support.h"
#include "sample_rows.h"

namespace {

using ferroglyph::shim::load_component_row;
using ferroglyph::shim::store_component_row;
using fgtest::Bytes;
using fgtest::Samples;

constexpr uint32_t k_si32_line = 0x14;  // LFT_INTEGER | LFT_32BIT
constexpr uint32_t k_si64_line = 0x18;  // LFT_INTEGER | LFT_64BIT
constexpr uint32_t k_float_line = 0x04;

constexpr uint8_t k_guard = 0xA5;
constexpr int64_t k_line_guard = 0x5A5A5A5A;

// A line of `n` samples over storage of our own, 32- or 64-bit wide.
class TestLine {
 public:
  TestLine(size_t n, bool wide)
      : i32_(n, static_cast<int32_t>(k_line_guard)), i64_(n, k_line_guard) {
    line_.size = n;
    line_.pre_size = 0;
    line_.flags = wide ? k_si64_line : k_si32_line;
    if (wide)
      line_.i64 = i64_.data();
    else
      line_.i32 = i32_.data();
  }
  bool wide() const { return line_.flags & ojph::line_buf::LFT_64BIT; }
  int64_t get(size_t i) const { return wide() ? i64_[i] : i32_[i]; }
  void set(size_t i, int64_t v) {
    if (wide())
      i64_[i] = v;
    else
      i32_[i] = static_cast<int32_t>(v);
  }
  bool untouched() const {
    for (size_t i = 0; i < line_.size; ++i)
      if (get(i) != (wide() ? k_line_guard : static_cast<int32_t>(k_line_guard))) return false;
    return true;
  }
  ojph::line_buf* operator->() { return &line_; }
  ojph::line_buf* get() { return &line_; }

 private:
  std::vector<int32_t> i32_;
  std::vector<int64_t> i64_;
  ojph::line_buf line_;
};

bool all_guard(const Samples& s) {
  for (uint8_t b : s.bytes())
    if (b != k_guard) return false;
  return true;
}

Samples guarded(size_t count, int bps, bool is_signed) {
  Samples s(count, bps, is_signed);
  std::fill(s.bytes().begin(), s.bytes().end(), k_guard);
  return s;
}

struct SampleType {
  const char* name;
  int bytes_per_sample;
  bool is_signed;
};

const SampleType k_sample_types[] = {
    {"u8", 1, false}, {"s8", 1, true},   {"u16", 2, false},
    {"s16", 2, true}, {"u32", 4, false}, {"s32", 4, true},
};

void PrintTo(const SampleType& t, std::ostream* os) {
  *os << t.name;
}

std::string type_name(const testing::TestParamInfo<SampleType>& info) {
  return info.param.name;
}

// --- Store: clamping to the codestream's precision ------------------------------

struct StoreCase {
  const char* name;
  int bytes_per_sample;
  bool is_signed;
  int bit_depth;
  bool wide_line;
  int64_t line_value;
  int64_t stored;
};

void PrintTo(const StoreCase& c, std::ostream* os) {
  *os << c.name;
}

class StoreClamps : public testing::TestWithParam<StoreCase> {};

TEST_P(StoreClamps, LineValueLandsAsExpected) {
  const StoreCase& c = GetParam();
  TestLine line(1, c.wide_line);
  line.set(0, c.line_value);
  Samples dst(1, c.bytes_per_sample, c.is_signed);
  ASSERT_TRUE(store_component_row(line.get(), dst.data(), c.bytes_per_sample, c.is_signed, 0, 1, 1,
                                  c.bit_depth));
  EXPECT_EQ(dst.get(0), c.stored);
}

const int64_t k_2p32 = int64_t{1} << 32;

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreClamps,
    testing::Values(
        StoreCase{"u12_in_u16_below", 2, false, 12, false, -3, 0},
        StoreCase{"u12_in_u16_above", 2, false, 12, false, 5000, 4095},
        StoreCase{"u12_in_u16_inside", 2, false, 12, false, 4000, 4000},
        StoreCase{"s8_below", 1, true, 8, false, -200, -128},
        StoreCase{"s8_above", 1, true, 8, false, 200, 127},
        StoreCase{"u8_above_from_64bit_line", 1, false, 8, true, 300, 255},
        StoreCase{"u1_above", 1, false, 1, false, 2, 1},
        StoreCase{"s16_at_10_bits", 2, true, 10, false, -600, -512},
        StoreCase{"u16_above", 2, false, 16, false, 70000, 65535},
        StoreCase{"u32_pattern_from_32bit_line", 4, false, 32, false, -1, 4294967295},
        StoreCase{"u32_high_bit_from_32bit_line", 4, false, 32, false,
                  std::numeric_limits<int32_t>::min(), 2147483648},
        StoreCase{"s32_min_from_32bit_line", 4, true, 32, false,
                  std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::min()},
        StoreCase{"u32_above_from_64bit_line", 4, false, 32, true, k_2p32 + 5, 4294967295},
        StoreCase{"u32_below_from_64bit_line", 4, false, 32, true, -5, 0},
        StoreCase{"s32_above_from_64bit_line", 4, true, 32, true, k_2p32, 2147483647},
        StoreCase{"u32_at_31_bits_below", 4, false, 31, false, -1, 0},
        StoreCase{"u32_at_20_bits_above", 4, false, 20, false, 1 << 20, (1 << 20) - 1}),
    [](const testing::TestParamInfo<StoreCase>& info) { return std::string(info.param.name); });

// Every precision a sample type can carry: the extremes are kept and one past
// them is clamped, through 32-bit and 64-bit lines.
class StoreClampsAtEveryPrecision : public testing::TestWithParam<std::tuple<SampleType, bool>> {};

TEST_P(StoreClampsAtEveryPrecision, ExtremesKeptAndOnePastThemClamped) {
  const auto [type, wide] = GetParam();
  for (int depth = 1; depth <= 8 * type.bytes_per_sample; ++depth) {
    SCOPED_TRACE("bit depth " + std::to_string(depth));
    const int64_t lo = fgtest::sample_min(depth, type.is_signed);
    const int64_t hi = fgtest::sample_max(depth, type.is_signed);
    std::vector<int64_t> in = {lo, hi, lo - 1, hi + 1, lo - 1000, hi + 1000};
    std::vector<int64_t> want = {lo, hi, lo, hi, lo, hi};
    if (!wide && depth == 32) {
      // A 32-bit line at 32 bits carries no value outside the range.
      in.resize(2);
      want.resize(2);
    } else if (!wide) {
      for (size_t i = in.size(); i-- > 2;) {
        if (in[i] < INT32_MIN || in[i] > INT32_MAX) {
          in.erase(in.begin() + static_cast<std::ptrdiff_t>(i));
          want.erase(want.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
    }
    TestLine line(in.size(), wide);
    for (size_t i = 0; i < in.size(); ++i) line.set(i, in[i]);
    Samples dst(in.size(), type.bytes_per_sample, type.is_signed);
    ASSERT_TRUE(store_component_row(line.get(), dst.data(), type.bytes_per_sample, type.is_signed,
                                    0, 1, static_cast<uint32_t>(in.size()), depth));
    for (size_t i = 0; i < in.size(); ++i) EXPECT_EQ(dst.get(i), want[i]) << "line value " << in[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Types, StoreClampsAtEveryPrecision,
                         testing::Combine(testing::ValuesIn(k_sample_types), testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_64bit_line" : "_32bit_line");
                         });

// --- Load: zero and sign extension ---------------------------------------------

struct LoadCase {
  const char* name;
  int bytes_per_sample;
  bool is_signed;
  int64_t sample;  // as the caller's element holds it
  bool wide_line;
  int64_t line_value;
};

void PrintTo(const LoadCase& c, std::ostream* os) {
  *os << c.name;
}

class LoadExtends : public testing::TestWithParam<LoadCase> {};

TEST_P(LoadExtends, SampleReachesLineAsExpected) {
  const LoadCase& c = GetParam();
  Samples src(1, c.bytes_per_sample, c.is_signed);
  src.set(0, c.sample);
  TestLine line(1, c.wide_line);
  ASSERT_TRUE(load_component_row(src.data(), c.bytes_per_sample, c.is_signed, 0, 1, line.get(), 1));
  EXPECT_EQ(line.get(0), c.line_value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadExtends,
    testing::Values(LoadCase{"u8_max", 1, false, 255, false, 255},
                    LoadCase{"s8_minus_one", 1, true, -1, false, -1},
                    LoadCase{"s8_min_to_64bit_line", 1, true, -128, true, -128},
                    LoadCase{"u16_max", 2, false, 65535, false, 65535},
                    LoadCase{"s16_min", 2, true, -32768, false, -32768},
                    LoadCase{"u32_max_to_32bit_line", 4, false, 4294967295, false, -1},
                    LoadCase{"u32_max_to_64bit_line", 4, false, 4294967295, true, 4294967295},
                    LoadCase{"u32_high_bit_to_32bit_line", 4, false, 2147483648, false,
                             std::numeric_limits<int32_t>::min()},
                    LoadCase{"s32_minus_one_to_64bit_line", 4, true, -1, true, -1}),
    [](const testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

// --- Refusals -------------------------------------------------------------------

class RowsRefuse : public testing::TestWithParam<SampleType> {};

TEST_P(RowsRefuse, FloatLineInBothDirectionsTouchingNothing) {
  const SampleType& t = GetParam();
  TestLine line(4, false);
  line->flags = k_float_line;
  Samples buf = guarded(4, t.bytes_per_sample, t.is_signed);
  EXPECT_FALSE(
      load_component_row(buf.data(), t.bytes_per_sample, t.is_signed, 0, 1, line.get(), 4));
  EXPECT_TRUE(line.untouched());
  EXPECT_FALSE(
      store_component_row(line.get(), buf.data(), t.bytes_per_sample, t.is_signed, 0, 1, 4, 8));
  EXPECT_TRUE(all_guard(buf));
}

TEST_P(RowsRefuse, WidthZeroSucceedsTouchingNothing) {
  const SampleType& t = GetParam();
  for (bool wide : {false, true}) {
    TestLine line(4, wide);
    Samples buf = guarded(4, t.bytes_per_sample, t.is_signed);
    EXPECT_TRUE(
        load_component_row(buf.data(), t.bytes_per_sample, t.is_signed, 0, 1, line.get(), 0));
    EXPECT_TRUE(line.untouched());
    EXPECT_TRUE(
        store_component_row(line.get(), buf.data(), t.bytes_per_sample, t.is_signed, 0, 1, 0, 8));
    EXPECT_TRUE(all_guard(buf));
  }
}

INSTANTIATE_TEST_SUITE_P(Types, RowsRefuse, testing::ValuesIn(k_sample_types), type_name);

class RowsRefuseSampleWidth : public testing::TestWithParam<int> {};

TEST_P(RowsRefuseSampleWidth, InBothDirectionsTouchingNothing) {
  const int bps = GetParam();
  for (bool is_signed : {false, true}) {
    for (bool wide : {false, true}) {
      TestLine line(4, wide);
      Bytes buf(64, k_guard);
      EXPECT_FALSE(load_component_row(buf.data(), bps, is_signed, 0, 1, line.get(), 4));
      EXPECT_TRUE(line.untouched());
      EXPECT_FALSE(store_component_row(line.get(), buf.data(), bps, is_signed, 0, 1, 4, 8));
      EXPECT_EQ(buf, Bytes(64, k_guard));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, RowsRefuseSampleWidth, testing::Values(0, 3, 8, -1));

// --- Addressing -----------------------------------------------------------------

struct Addressing {
  size_t offset;
  size_t step;
};

void PrintTo(const Addressing& a, std::ostream* os) {
  *os << "offset " << a.offset << " step " << a.step;
}

class RowsAddress : public testing::TestWithParam<std::tuple<SampleType, Addressing, bool>> {};

// The row's sample i is element offset + i * step; every other element,
// including those just before the first and just after the last, keeps its
// bytes.
TEST_P(RowsAddress, StoreWritesOnlyTheRowsElements) {
  const auto [t, a, wide] = GetParam();
  constexpr uint32_t width = 9;
  const size_t count = a.offset + (width - 1) * a.step + 1 + 4;
  Samples dst = guarded(count, t.bytes_per_sample, t.is_signed);
  TestLine line(width, wide);
  for (uint32_t i = 0; i < width; ++i) line.set(i, static_cast<int64_t>(i) * 11 + 3);
  ASSERT_TRUE(store_component_row(line.get(), dst.data(), t.bytes_per_sample, t.is_signed, a.offset,
                                  a.step, width, 8 * t.bytes_per_sample));
  const Samples pristine = guarded(count, t.bytes_per_sample, t.is_signed);
  for (size_t e = 0; e < count; ++e) {
    const bool in_row =
        e >= a.offset && (e - a.offset) % a.step == 0 && (e - a.offset) / a.step < width;
    if (in_row)
      EXPECT_EQ(dst.get(e), static_cast<int64_t>((e - a.offset) / a.step) * 11 + 3) << e;
    else
      EXPECT_EQ(dst.get(e), pristine.get(e)) << "element " << e << " outside the row";
  }
}

TEST_P(RowsAddress, LoadReadsOnlyTheRowsElements) {
  const auto [t, a, wide] = GetParam();
  constexpr uint32_t width = 9;
  const size_t count = a.offset + (width - 1) * a.step + 1;
  Samples src(count, t.bytes_per_sample, t.is_signed);
  for (size_t e = 0; e < count; ++e)
    src.set(e, static_cast<int64_t>(e % 101) - (t.is_signed ? 50 : -1));
  // One more line sample than the row holds: it must stay as it was.
  TestLine line(width + 1, wide);
  ASSERT_TRUE(load_component_row(src.data(), t.bytes_per_sample, t.is_signed, a.offset, a.step,
                                 line.get(), width));
  for (uint32_t i = 0; i < width; ++i) EXPECT_EQ(line.get(i), src.get(a.offset + i * a.step)) << i;
  EXPECT_EQ(line.get(width), wide ? k_line_guard : static_cast<int32_t>(k_line_guard));
}

INSTANTIATE_TEST_SUITE_P(Layouts, RowsAddress,
                         testing::Combine(testing::ValuesIn(k_sample_types),
                                          testing::Values(Addressing{0, 1}, Addressing{1, 3},
                                                          Addressing{5, 17}),
                                          testing::Bool()),
                         [](const auto& info) {
                           const Addressing a = std::get<1>(info.param);
                           return std::string(std::get<0>(info.param).name) + "_offset" +
                                  std::to_string(a.offset) + "_step" + std::to_string(a.step) +
                                  (std::get<2>(info.param) ? "_64bit" : "_32bit");
                         });

// --- Load then store ------------------------------------------------------------

class RowsRoundTrip : public testing::TestWithParam<SampleType> {};

// Full-range samples survive a load into a line and a store back at the
// type's full precision, through both line widths.
TEST_P(RowsRoundTrip, FullRangeSamplesComeBackUnchanged) {
  const SampleType& t = GetParam();
  const int depth = 8 * t.bytes_per_sample;
  Samples src(257, t.bytes_per_sample, t.is_signed);
  fgtest::fill_random(src, depth, 11);
  for (bool wide : {false, true}) {
    TestLine line(src.count(), wide);
    Samples back(src.count(), t.bytes_per_sample, t.is_signed);
    const uint32_t n = static_cast<uint32_t>(src.count());
    ASSERT_TRUE(
        load_component_row(src.data(), t.bytes_per_sample, t.is_signed, 0, 1, line.get(), n));
    ASSERT_TRUE(store_component_row(line.get(), back.data(), t.bytes_per_sample, t.is_signed, 0, 1,
                                    n, depth));
    EXPECT_EQ(back.bytes(), src.bytes()) << (wide ? "64-bit line" : "32-bit line");
  }
}

INSTANTIATE_TEST_SUITE_P(Types, RowsRoundTrip, testing::ValuesIn(k_sample_types), type_name);

}  // namespace
