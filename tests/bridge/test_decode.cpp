// Header facts and decoding: every refusal with its code and text, the
// sizes at each reduction, destination layouts and sample widths.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "bridge_test_support.h"

namespace {

using fgtest::Bytes;
using fgtest::Samples;

constexpr uint8_t k_guard = 0xA5;

// --- Inputs ---------------------------------------------------------------------

// 37 x 23, three unsigned 8-bit components, five decomposition levels.
const Bytes& base_codestream() {
  static const Bytes cs = fgtest::small_codestream();
  return cs;
}

const Bytes& twelve_bit_codestream() {
  static const Bytes cs = fgtest::small_codestream(37, 23, 3, 12, false);
  return cs;
}

// Component 1 declared 12-bit in SIZ while the others stay 8-bit.
Bytes non_uniform_codestream() {
  Bytes cs = base_codestream();
  const fgtest::Segment siz = fgtest::find_segment(cs, fgtest::k_siz);
  cs.at(siz.offset + fgtest::k_siz_first_ssiz + 3) = 11;
  return cs;
}

// A 2 x 2 image with one decomposition level whose horizontal image offset
// is moved to 1: one column wide at full resolution, none at reduction 1
// (ceil(2/2) - ceil(1/2) = 0).
Bytes offset_codestream() {
  ferroglyph_htj2k_encode_params p = fgtest::lossless_params(2, 2, 1, 8, false);
  p.num_decomp = 1;
  Samples src = fgtest::source_for(p);
  Bytes cs = fgtest::must_encode(src, p);
  const fgtest::Segment siz = fgtest::find_segment(cs, fgtest::k_siz);
  fgtest::put_u32(cs, siz.offset + fgtest::k_siz_xosiz, 1);
  return cs;
}

// Rsiz without the HTJ2K bit: OpenJPH refuses it while reading the header.
Bytes not_htj2k_codestream() {
  Bytes cs = base_codestream();
  fgtest::put_u16(cs, 2 + fgtest::k_siz_rsiz, 0);
  return cs;
}

Bytes garbage() {
  Bytes b(200);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 37 + 11);
  return b;
}

Bytes with_nlt(const Bytes& cs, int bit_depth, bool is_signed, uint8_t type) {
  return fgtest::insert_before_first_sot(cs, fgtest::nlt_segment(bit_depth, is_signed, type));
}

const Bytes& signed_codestream() {
  static const Bytes cs = fgtest::small_codestream(37, 23, 3, 8, true);
  return cs;
}

// --- Refusals: codes and texts ----------------------------------------------------

enum class Api { info, decode };
enum class Null { none, src, size, out };

struct Refusal {
  const char* name;
  Api api;
  std::function<Bytes()> input;
  int reduce_data = 0;
  int reduce_recon = 0;
  int bytes_per_sample = 1;
  Null null = Null::none;
  long dst_short_by = -1;  // < 0: a generous destination
  int rc = 0;
  std::string text;
  bool text_is_prefix = false;
};

void PrintTo(const Refusal& r, std::ostream* os) {
  *os << r.name;
}

class Refusals : public testing::TestWithParam<Refusal> {};

// Each refusal returns its code with its text, and a decode refused before
// any sample is delivered leaves the destination as it was.
TEST_P(Refusals, ReturnCodeAndText) {
  const Refusal& r = GetParam();
  const Bytes cs = r.input();
  const uint8_t* src = r.null == Null::src ? nullptr : cs.data();
  const size_t size = r.null == Null::size ? 0 : cs.size();
  int rc;
  if (r.api == Api::info) {
    ferroglyph_htj2k_info info{};
    rc = ferroglyph_htj2k_decode_info(src, size, r.reduce_data, r.reduce_recon, 0,
                                      r.null == Null::out ? nullptr : &info);
  } else {
    size_t dst_size = 1 << 16;
    if (r.dst_short_by >= 0) {
      const fgtest::InfoResult info = fgtest::decode_info(cs, r.reduce_data, r.reduce_recon);
      ASSERT_EQ(info.rc, 0) << info.error;
      dst_size = static_cast<size_t>(info.info.width) * info.info.height * info.info.components *
                     r.bytes_per_sample -
                 static_cast<size_t>(r.dst_short_by);
    }
    Bytes dst(dst_size, k_guard);
    rc = ferroglyph_htj2k_decode(src, size, r.null == Null::out ? nullptr : dst.data(), dst.size(),
                                 r.bytes_per_sample, r.reduce_data, r.reduce_recon, 0, 1);
    EXPECT_EQ(dst, Bytes(dst_size, k_guard)) << "the destination was written";
  }
  EXPECT_EQ(rc, r.rc);
  const std::string text = ferroglyph_htj2k_last_error();
  if (r.text_is_prefix)
    EXPECT_EQ(text.substr(0, r.text.size()), r.text) << text;
  else
    EXPECT_EQ(text, r.text);
}

const char k_null_arg[] = "null arg";
const char k_negative[] = "reduce must be >= 0";
const char k_too_deep[] = "reduce exceeds the codestream's decomposition count";
const char k_zero_sized[] = "reduce leaves a zero-sized image";
const char k_not_htj2k[] = "Rsiz bit 14 is not set (this is not a JPH file)";

Refusal info_case(const char* name, std::function<Bytes()> in, int rc, std::string text) {
  Refusal r;
  r.name = name;
  r.api = Api::info;
  r.input = std::move(in);
  r.rc = rc;
  r.text = std::move(text);
  return r;
}

Refusal decode_case(const char* name, std::function<Bytes()> in, int rc, std::string text) {
  Refusal r = info_case(name, std::move(in), rc, std::move(text));
  r.api = Api::decode;
  return r;
}

template <typename F>
Refusal with(Refusal r, F&& change) {
  change(r);
  return r;
}

const auto base = [] { return base_codestream(); };

INSTANTIATE_TEST_SUITE_P(
    DecodeInfo, Refusals,
    testing::Values(
        with(info_case("null_src", base, 1, k_null_arg), [](Refusal& r) { r.null = Null::src; }),
        with(info_case("empty_src", base, 1, k_null_arg), [](Refusal& r) { r.null = Null::size; }),
        with(info_case("null_info", base, 1, k_null_arg), [](Refusal& r) { r.null = Null::out; }),
        with(info_case("negative_reduce_data", garbage, 1, k_negative),
             [](Refusal& r) { r.reduce_data = -1; }),
        with(info_case("negative_reduce_recon", garbage, 1, k_negative),
             [](Refusal& r) { r.reduce_recon = -1; }),
        with(info_case("reduce_beyond_levels", base, 4, k_too_deep),
             [](Refusal& r) { r.reduce_data = r.reduce_recon = 6; }),
        with(info_case("reduce_recon_beyond_levels", base, 4, k_too_deep),
             [](Refusal& r) { r.reduce_data = 6; }),
        with(info_case("reduce_to_zero_width", offset_codestream, 4, k_zero_sized),
             [](Refusal& r) { r.reduce_data = r.reduce_recon = 1; }),
        info_case("openjph_error", not_htj2k_codestream, 2,
                  std::string("decode_info: ") + k_not_htj2k),
        with(info_case("garbage", garbage, 2, "decode_info: "),
             [](Refusal& r) { r.text_is_prefix = true; }),
        with(info_case(
                 "progression_order_5",
                 [] { return fgtest::with_progression_byte(base_codestream(), 5); }, 2,
                 "decode_info: invalid progression order 5"),
             [](Refusal& r) { r.text_is_prefix = true; }),
        with(info_case(
                 "progression_order_255",
                 [] { return fgtest::with_progression_byte(base_codestream(), 255); }, 2,
                 "decode_info: invalid progression order 255"),
             [](Refusal& r) { r.text_is_prefix = true; }),
        with(info_case("reduce_recon_above_reduce_data", base, 2,
                       "decode_info: skipped_resolution for data 0 must be equal or smaller"),
             [](Refusal& r) {
               r.reduce_recon = 1;
               r.text_is_prefix = true;
             })),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Decode, Refusals,
    testing::Values(
        with(decode_case("null_src", base, 1, k_null_arg), [](Refusal& r) { r.null = Null::src; }),
        with(decode_case("empty_src", base, 1, k_null_arg),
             [](Refusal& r) { r.null = Null::size; }),
        with(decode_case("null_dst", base, 1, k_null_arg), [](Refusal& r) { r.null = Null::out; }),
        // Checked before the codestream is parsed: garbage would fail there.
        with(decode_case("bytes_per_sample_3", garbage, 2, "invalid bytes_per_sample"),
             [](Refusal& r) { r.bytes_per_sample = 3; }),
        with(decode_case("bytes_per_sample_0", garbage, 2, "invalid bytes_per_sample"),
             [](Refusal& r) { r.bytes_per_sample = 0; }),
        with(decode_case("bytes_per_sample_8", garbage, 2, "invalid bytes_per_sample"),
             [](Refusal& r) { r.bytes_per_sample = 8; }),
        with(decode_case("negative_reduce_data", garbage, 2, k_negative),
             [](Refusal& r) { r.reduce_data = -1; }),
        with(decode_case("negative_reduce_recon", garbage, 2, k_negative),
             [](Refusal& r) { r.reduce_recon = -2; }),
        with(decode_case("reduce_beyond_levels", base, 6, k_too_deep),
             [](Refusal& r) { r.reduce_data = r.reduce_recon = 6; }),
        with(decode_case("reduce_to_zero_width", offset_codestream, 6, k_zero_sized),
             [](Refusal& r) { r.reduce_data = r.reduce_recon = 1; }),
        decode_case("non_uniform", non_uniform_codestream, 7,
                    "components differ in bit depth, signedness, nonlinearity or subsampling; "
                    "not supported"),
        with(decode_case(
                 "nlt_type_0", [] { return with_nlt(base_codestream(), 8, false, 0); }, 8,
                 "an NLT marker of type 0"),
             [](Refusal& r) { r.text_is_prefix = true; }),
        with(decode_case(
                 "nlt_type_0_signed", [] { return with_nlt(signed_codestream(), 8, true, 0); }, 8,
                 "an NLT marker of type 0"),
             [](Refusal& r) { r.text_is_prefix = true; }),
        with(decode_case(
                 "nlt_type_3_unsigned", [] { return with_nlt(base_codestream(), 8, false, 3); }, 8,
                 "an NLT marker of type 0"),
             [](Refusal& r) { r.text_is_prefix = true; }),
        decode_case(
            "twelve_bits_in_one_byte", [] { return twelve_bit_codestream(); }, 2,
            "bytes_per_sample too small for the bit depth"),
        with(decode_case("destination_one_byte_short", base, 3, "destination buffer too small"),
             [](Refusal& r) { r.dst_short_by = 1; }),
        with(decode_case("destination_one_byte_short_16bit", base, 3,
                         "destination buffer too small"),
             [](Refusal& r) {
               r.dst_short_by = 1;
               r.bytes_per_sample = 2;
             }),
        with(decode_case("destination_short_at_reduction", base, 3, "destination buffer too small"),
             [](Refusal& r) {
               r.dst_short_by = 1;
               r.reduce_data = r.reduce_recon = 2;
             }),
        decode_case("openjph_error", not_htj2k_codestream, 5,
                    std::string("decode: ") + k_not_htj2k),
        with(decode_case(
                 "progression_order_5",
                 [] { return fgtest::with_progression_byte(base_codestream(), 5); }, 5,
                 "decode: invalid progression order 5"),
             [](Refusal& r) { r.text_is_prefix = true; }),
        with(decode_case("reduce_recon_above_reduce_data", base, 5,
                         "decode: skipped_resolution for data 1 must be equal or smaller"),
             [](Refusal& r) {
               r.reduce_data = 1;
               r.reduce_recon = 2;
               r.text_is_prefix = true;
             })),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// --- Header facts --------------------------------------------------------------------

TEST(DecodeInfo, TooDeepReductionStillReportsTheDecompositionCount) {
  ferroglyph_htj2k_info info{};
  info.num_decompositions = -7;
  const Bytes& cs = base_codestream();
  ASSERT_EQ(ferroglyph_htj2k_decode_info(cs.data(), cs.size(), 6, 6, 0, &info), 4);
  EXPECT_EQ(info.num_decompositions, 5);
}

TEST(DecodeInfo, NonUniformCodestreamIsReportedNotRefused) {
  const fgtest::InfoResult r = fgtest::decode_info(non_uniform_codestream());
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_EQ(r.info.uniform, 0);
  EXPECT_EQ(r.info.bit_depth, 8);  // component 0
  EXPECT_EQ(r.info.components, 3);
  EXPECT_EQ(r.info.width, 37);
}

TEST(DecodeInfo, DescribesAUniformCodestream) {
  const fgtest::InfoResult r = fgtest::decode_info(base_codestream());
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_EQ(r.info.width, 37);
  EXPECT_EQ(r.info.height, 23);
  EXPECT_EQ(r.info.components, 3);
  EXPECT_EQ(r.info.bit_depth, 8);
  EXPECT_EQ(r.info.is_signed, 0);
  EXPECT_EQ(r.info.num_decompositions, 5);
  EXPECT_EQ(r.info.color_transform, 0);
  EXPECT_EQ(r.info.nlt_type, 0);
  EXPECT_EQ(r.info.uniform, 1);
}

TEST(DecodeInfo, ZeroSizedReductionStillReportsTheDecompositionCount) {
  const fgtest::InfoResult full = fgtest::decode_info(offset_codestream());
  ASSERT_EQ(full.rc, 0) << full.error;
  EXPECT_EQ(full.info.width, 1);
  EXPECT_EQ(full.info.height, 2);
  const fgtest::InfoResult reduced = fgtest::decode_info(offset_codestream(), 1, 1);
  EXPECT_EQ(reduced.rc, 4);
  EXPECT_EQ(reduced.info.num_decompositions, 1);
}

struct NltCase {
  const char* name;
  bool is_signed;
  uint8_t type;
  int reported_type;
  int decode_rc;
};

void PrintTo(const NltCase& c, std::ostream* os) {
  *os << c.name;
}

class NltMarker : public testing::TestWithParam<NltCase> {};

// The NLT type of an inserted marker is reported; only type 3 on signed
// samples, which OpenJPH 0.32 decodes correctly, is decoded.
TEST_P(NltMarker, IsReportedAndDecodedOnlyWhenSafe) {
  const NltCase& c = GetParam();
  const Bytes& plain = c.is_signed ? signed_codestream() : base_codestream();
  const Bytes cs = with_nlt(plain, 8, c.is_signed, c.type);
  const fgtest::InfoResult info = fgtest::decode_info(cs);
  ASSERT_EQ(info.rc, 0) << info.error;
  EXPECT_EQ(info.info.nlt_type, c.reported_type);
  EXPECT_EQ(info.info.uniform, 1);
  const fgtest::DecodeResult d = fgtest::decode(cs);
  EXPECT_EQ(d.rc, c.decode_rc) << d.error;
  if (c.decode_rc == 0) {
    // The marker was added after coding, so the decoder's inverse mapping
    // shows: negative values v come back as -v - 2^(B-1) - 1, the others
    // unchanged.
    const fgtest::DecodeResult ref = fgtest::decode(plain);
    ASSERT_EQ(ref.rc, 0) << ref.error;
    for (size_t i = 0; i < ref.samples.count(); ++i) {
      const int64_t v = ref.samples.get(i);
      ASSERT_EQ(d.samples.get(i), v < 0 ? -v - 129 : v) << "sample " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Types, NltMarker,
                         testing::Values(NltCase{"type3_signed", true, 3, 3, 0},
                                         NltCase{"type3_unsigned", false, 3, 3, 8},
                                         NltCase{"type0_signed", true, 0, 0, 8},
                                         NltCase{"type0_unsigned", false, 0, 0, 8}),
                         [](const testing::TestParamInfo<NltCase>& info) {
                           return std::string(info.param.name);
                         });

// --- Reductions ------------------------------------------------------------------------

// One constant per component: the low-pass band of a constant image is that
// constant at every resolution, so the reduced decode is known exactly.
Samples constant_planes(int width, int height, const std::vector<int>& values) {
  Samples s(static_cast<size_t>(width) * height * values.size(), 1, false);
  const size_t plane = static_cast<size_t>(width) * height;
  for (size_t c = 0; c < values.size(); ++c)
    for (size_t i = 0; i < plane; ++i) s.set(c * plane + i, values[c]);
  return s;
}

class Reductions : public testing::TestWithParam<std::tuple<int, bool>> {};

TEST_P(Reductions, EveryReductionHasTheExpectedSizeAndPixels) {
  const auto [levels, color_transform] = GetParam();
  constexpr int width = 77, height = 41;
  const std::vector<int> values = {3, 200, 91};
  ferroglyph_htj2k_encode_params p = fgtest::lossless_params(width, height, 3, 8, false);
  p.num_decomp = levels;
  p.color_transform = color_transform;
  const Bytes cs = fgtest::must_encode(constant_planes(width, height, values), p);
  for (int r = 0; r <= levels; ++r) {
    SCOPED_TRACE("reduction " + std::to_string(r));
    const int w = (width + (1 << r) - 1) >> r, h = (height + (1 << r) - 1) >> r;
    const fgtest::DecodeResult d = fgtest::decode(cs, 1, true, r, r);
    ASSERT_EQ(d.rc, 0) << d.error;
    EXPECT_EQ(d.info.width, w);
    EXPECT_EQ(d.info.height, h);
    EXPECT_EQ(d.info.num_decompositions, levels);
    EXPECT_EQ(d.samples.bytes(), constant_planes(w, h, values).bytes());
  }
  EXPECT_EQ(fgtest::decode_info(cs, levels + 1, levels + 1).rc, 4);
  Bytes dst(width * height * 3);
  EXPECT_EQ(ferroglyph_htj2k_decode(cs.data(), cs.size(), dst.data(), dst.size(), 1, levels + 1,
                                    levels + 1, 0, 1),
            6);
}

// Leaving resolutions unread but reconstructing at full size keeps the
// full size.
TEST_P(Reductions, UnreadResolutionsAloneKeepTheFullSize) {
  const auto [levels, color_transform] = GetParam();
  ferroglyph_htj2k_encode_params p = fgtest::lossless_params(77, 41, 3, 8, false);
  p.num_decomp = levels;
  p.color_transform = color_transform;
  const Bytes cs = fgtest::must_encode(constant_planes(77, 41, {3, 200, 91}), p);
  const fgtest::DecodeResult d = fgtest::decode(cs, 1, true, levels, 0);
  ASSERT_EQ(d.rc, 0) << d.error;
  EXPECT_EQ(d.info.width, 77);
  EXPECT_EQ(d.info.height, 41);
}

INSTANTIATE_TEST_SUITE_P(Levels, Reductions,
                         testing::Combine(testing::Values(1, 3, 5), testing::Bool()),
                         [](const auto& info) {
                           return std::to_string(std::get<0>(info.param)) + "_levels" +
                                  (std::get<1>(info.param) ? "_with_transform" : "");
                         });

// --- Layouts and sample widths ------------------------------------------------------

class DestinationLayout : public testing::TestWithParam<std::tuple<bool, bool>> {};

// Whatever order OpenJPH delivers rows in (by component without the
// component transform, by row with it), each lands at its place.
TEST_P(DestinationLayout, PixelsLandAtTheirPlace) {
  const auto [color_transform, planar] = GetParam();
  ferroglyph_htj2k_encode_params p = fgtest::lossless_params(29, 17, 4, 8, false);
  p.color_transform = color_transform;
  Samples src = fgtest::source_for(p);
  fgtest::fill_random(src, 8, 5);
  const Bytes cs = fgtest::must_encode(src, p);
  const fgtest::DecodeResult d = fgtest::decode(cs, 1, planar);
  ASSERT_EQ(d.rc, 0) << d.error;
  EXPECT_EQ(d.info.color_transform, color_transform ? 1 : 0);
  const Samples want = planar ? src : fgtest::to_interleaved(src, 4);
  EXPECT_EQ(d.samples.bytes(), want.bytes());
}

INSTANTIATE_TEST_SUITE_P(Layouts, DestinationLayout,
                         testing::Combine(testing::Bool(), testing::Bool()), [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "transform" : "plain") +
                                  (std::get<1>(info.param) ? "_planar" : "_interleaved");
                         });

struct WidthCase {
  int bit_depth;
  bool is_signed;
  int bytes_per_sample;
};

void PrintTo(const WidthCase& c, std::ostream* os) {
  *os << (c.is_signed ? "s" : "u") << c.bit_depth << " in " << c.bytes_per_sample << " bytes";
}

class SampleWidths : public testing::TestWithParam<WidthCase> {};

// A codestream decodes to the same values into any sample width that holds
// its precision, and writes exactly the destination's `need` bytes.
TEST_P(SampleWidths, SameValuesInEveryWideEnoughWidth) {
  const WidthCase& c = GetParam();
  const ferroglyph_htj2k_encode_params p =
      fgtest::lossless_params(23, 19, 3, c.bit_depth, c.is_signed);
  Samples src = fgtest::source_for(p);
  fgtest::fill_random(src, c.bit_depth, 9, 23);
  const Bytes cs = fgtest::must_encode(src, p);

  const size_t count = src.count();
  const size_t need = count * c.bytes_per_sample;
  Bytes dst(need + 16, k_guard);
  ASSERT_EQ(ferroglyph_htj2k_decode(cs.data(), cs.size(), dst.data(), need, c.bytes_per_sample, 0,
                                    0, 0, 1),
            0)
      << ferroglyph_htj2k_last_error();
  EXPECT_EQ(Bytes(dst.begin() + need, dst.end()), Bytes(16, k_guard)) << "written past need";
  Samples got(count, c.bytes_per_sample, c.is_signed);
  std::copy(dst.begin(), dst.begin() + need, got.bytes().begin());
  for (size_t i = 0; i < count; ++i) ASSERT_EQ(got.get(i), src.get(i)) << "sample " << i;
}

INSTANTIATE_TEST_SUITE_P(Widths, SampleWidths,
                         testing::Values(WidthCase{8, false, 1}, WidthCase{8, false, 2},
                                         WidthCase{8, false, 4}, WidthCase{8, true, 1},
                                         WidthCase{8, true, 2}, WidthCase{8, true, 4},
                                         WidthCase{1, false, 1}, WidthCase{12, false, 2},
                                         WidthCase{12, true, 4}, WidthCase{16, false, 2},
                                         WidthCase{16, true, 4}, WidthCase{24, false, 4},
                                         WidthCase{32, true, 4}, WidthCase{32, false, 4}));

TEST(Decode, ResilienceChangesNothingOnAnIntactCodestream) {
  const fgtest::DecodeResult plain = fgtest::decode(base_codestream());
  const fgtest::DecodeResult resilient = fgtest::decode(base_codestream(), 1, true, 0, 0, 1);
  ASSERT_EQ(plain.rc, 0) << plain.error;
  ASSERT_EQ(resilient.rc, 0) << resilient.error;
  EXPECT_EQ(plain.samples.bytes(), resilient.samples.bytes());
}

// A header whose sizes multiply past 64 bits (2^31 x 2^31 samples, four
// components of four bytes: 2^66 bytes) must be refused as too large for any
// destination, not let through by a wrapped size.
TEST(Decode, DestinationSizeDoesNotWrapAround) {
  ferroglyph_htj2k_encode_params p = fgtest::lossless_params(64, 64, 4, 8, false);
  p.bytes_per_sample = 4;
  Samples src = fgtest::source_for(p);
  Bytes cs = fgtest::must_encode(src, p);
  const size_t siz = fgtest::find_segment(cs, fgtest::k_siz).offset;
  for (size_t field :
       {fgtest::k_siz_xsiz, fgtest::k_siz_ysiz, fgtest::k_siz_xtsiz, fgtest::k_siz_ytsiz})
    fgtest::put_u32(cs, siz + field, 0x80000000u);
  Bytes dst(4096, k_guard);
  EXPECT_EQ(ferroglyph_htj2k_decode(cs.data(), cs.size(), dst.data(), dst.size(), 4, 0, 0, 0, 1),
            3);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(), "destination buffer too small");
  EXPECT_EQ(dst, Bytes(4096, k_guard));
}

}  // namespace
