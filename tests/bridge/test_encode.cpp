// Encoding: record checks and refusals, ownership of the output, every
// setting reaching the codestream, source layouts, lossless round trips at
// every precision and the irreversible quantization choices.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bridge_test_support.h"

namespace {

using fgtest::Bytes;
using fgtest::Samples;
using Params = ferroglyph_htj2k_encode_params;

uint8_t* const k_stale_buf = reinterpret_cast<uint8_t*>(uintptr_t{0x1234});
constexpr size_t k_stale_size = 4321;

Params small_params() {
  return fgtest::lossless_params(37, 23, 3, 8, false);
}

Samples random_source(const Params& p, uint32_t seed = 1) {
  Samples s = fgtest::source_for(p);
  fgtest::fill_random(s, p.bit_depth, seed, static_cast<size_t>(p.width) * p.height);
  return s;
}

// A smooth image (a few low-frequency waves), on which lossy coding errs
// little.
Samples smooth_source(const Params& p) {
  Samples s = fgtest::source_for(p);
  const double hi = static_cast<double>(fgtest::sample_max(p.bit_depth, p.is_signed));
  const double lo = static_cast<double>(fgtest::sample_min(p.bit_depth, p.is_signed));
  size_t i = 0;
  for (int c = 0; c < p.components; ++c)
    for (int y = 0; y < p.height; ++y)
      for (int x = 0; x < p.width; ++x) {
        const double t = 0.5 + 0.4 * std::sin(0.09 * x + c) * std::cos(0.05 * y - c);
        s.set(i++, static_cast<int64_t>(std::lround(lo + t * (hi - lo))));
      }
  return s;
}

// --- Refusals before coding ---------------------------------------------------------

struct CheckCase {
  const char* name;
  std::function<void(Params&)> change;
  std::string text;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
  *os << c.name;
}

class RecordChecks : public testing::TestWithParam<CheckCase> {};

// A record the bridge refuses returns 2 with its text and leaves the
// caller's output variables alone.
TEST_P(RecordChecks, RefusedWithCode2OutputsUntouched) {
  const CheckCase& c = GetParam();
  Params p = small_params();
  c.change(p);
  const Bytes src(1 << 16, 0);  // larger than any record here describes
  uint8_t* buf = k_stale_buf;
  size_t size = k_stale_size;
  EXPECT_EQ(ferroglyph_htj2k_encode(src.data(), &p, &buf, &size), 2);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(), c.text.c_str());
  EXPECT_EQ(buf, k_stale_buf);
  EXPECT_EQ(size, k_stale_size);
}

const char k_invalid[] = "invalid frame info";

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordChecks,
    testing::Values(
        CheckCase{"width_0", [](Params& p) { p.width = 0; }, k_invalid},
        CheckCase{"width_negative", [](Params& p) { p.width = -5; }, k_invalid},
        CheckCase{"height_0", [](Params& p) { p.height = 0; }, k_invalid},
        CheckCase{"height_negative", [](Params& p) { p.height = -1; }, k_invalid},
        CheckCase{"components_0", [](Params& p) { p.components = 0; }, k_invalid},
        CheckCase{"components_negative", [](Params& p) { p.components = -3; }, k_invalid},
        CheckCase{"bit_depth_0", [](Params& p) { p.bit_depth = 0; }, k_invalid},
        CheckCase{"bit_depth_33",
                  [](Params& p) {
                    p.bit_depth = 33;
                    p.bytes_per_sample = 4;
                  },
                  k_invalid},
        CheckCase{"one_byte_for_9_bits", [](Params& p) { p.bit_depth = 9; }, k_invalid},
        CheckCase{"two_bytes_for_17_bits",
                  [](Params& p) {
                    p.bit_depth = 17;
                    p.bytes_per_sample = 2;
                  },
                  k_invalid},
        CheckCase{"bytes_per_sample_3", [](Params& p) { p.bytes_per_sample = 3; }, k_invalid},
        CheckCase{"bytes_per_sample_0", [](Params& p) { p.bytes_per_sample = 0; }, k_invalid},
        CheckCase{"bytes_per_sample_8", [](Params& p) { p.bytes_per_sample = 8; }, k_invalid},
        CheckCase{"transform_with_2_components",
                  [](Params& p) {
                    p.components = 2;
                    p.color_transform = 1;
                  },
                  "the component transform needs at least 3 components"},
        CheckCase{"reversible_without_decomposition", [](Params& p) { p.num_decomp = 0; },
                  "reversible coding with 0 decompositions is not lossless in OpenJPH; use at "
                  "least 1"},
        CheckCase{"nlt_on_unsigned_reversible", [](Params& p) { p.nlt_binary_complement = 1; },
                  "the NLT marker for floating-point samples needs signed samples"}),
    [](const testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

TEST(EncodeArguments, NullPointersRefusedWithCode1) {
  const Params p = small_params();
  const Samples src = random_source(p);
  uint8_t* buf = k_stale_buf;
  size_t size = k_stale_size;
  EXPECT_EQ(ferroglyph_htj2k_encode(nullptr, &p, &buf, &size), 1);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(), "null arg");
  EXPECT_EQ(ferroglyph_htj2k_encode(src.data(), nullptr, &buf, &size), 1);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(), "null arg");
  EXPECT_EQ(buf, k_stale_buf);
  EXPECT_EQ(size, k_stale_size);
  EXPECT_EQ(ferroglyph_htj2k_encode(src.data(), &p, nullptr, &size), 1);
  EXPECT_EQ(size, k_stale_size);
  EXPECT_EQ(ferroglyph_htj2k_encode(src.data(), &p, &buf, nullptr), 1);
  EXPECT_EQ(buf, k_stale_buf);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(), "null arg");
}

// --- Refusals by OpenJPH ---------------------------------------------------------------

class OpenJphRefusals : public testing::TestWithParam<CheckCase> {};

// A setting OpenJPH refuses ends the encode with code 5 and OpenJPH's text,
// and the output variables are cleared, never left stale.
TEST_P(OpenJphRefusals, RefusedWithCode5OutputsCleared) {
  const CheckCase& c = GetParam();
  Params p = small_params();
  c.change(p);
  const Samples src = random_source(p);
  uint8_t* buf = k_stale_buf;
  size_t size = k_stale_size;
  EXPECT_EQ(ferroglyph_htj2k_encode(src.data(), &p, &buf, &size), 5);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(), c.text.c_str());
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(size, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenJphRefusals,
    testing::Values(CheckCase{"unknown_progression_order", [](Params& p) { p.prog_order = "XXXX"; },
                              "encode: unknown progression order"},
                    CheckCase{"lower_case_progression_order",
                              [](Params& p) { p.prog_order = "lrcp"; },
                              "encode: unknown progression order"},
                    CheckCase{"short_progression_order", [](Params& p) { p.prog_order = "LRC"; },
                              "encode: improper progression order"},
                    CheckCase{"unknown_profile", [](Params& p) { p.profile = "XYZ"; },
                              "encode: unkownn or unsupported profile"},
                    // OpenJPH checks the profile's rules; the first one this image breaks
                    // names the profile, which shows that it arrived.
                    CheckCase{"imf_profile_rules", [](Params& p) { p.profile = "IMF"; },
                              "encode: For IMF profile, codeblock dimensions are restricted. Use "
                              "\"-block_size {32,32}\" at the commandline"},
                    CheckCase{"block_not_power_of_two",
                              [](Params& p) {
                                p.block_w = 48;
                                p.block_h = 64;
                              },
                              "encode: incorrect code block dimensions"},
                    CheckCase{"too_many_decompositions", [](Params& p) { p.num_decomp = 33; },
                              "encode: maximum number of decompositions cannot exceed 32"}),
    [](const testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

// --- Accepted records ---------------------------------------------------------------------

struct AcceptCase {
  const char* name;
  std::function<void(Params&)> change;
  bool decodable = true;  // by this bridge
};

void PrintTo(const AcceptCase& c, std::ostream* os) {
  *os << c.name;
}

class AcceptedRecords : public testing::TestWithParam<AcceptCase> {};

// Records at the edge of the checks are coded, losslessly where reversible.
TEST_P(AcceptedRecords, EncodeAndDecodeBack) {
  Params p = small_params();
  GetParam().change(p);
  const Samples src = random_source(p);
  const fgtest::EncodeResult e = fgtest::encode(src, p);
  ASSERT_EQ(e.rc, 0) << e.error;
  const fgtest::InfoResult info = fgtest::decode_info(e.codestream);
  ASSERT_EQ(info.rc, 0) << info.error;
  EXPECT_EQ(info.info.bit_depth, p.bit_depth);
  EXPECT_EQ(info.info.nlt_type, p.nlt_binary_complement ? 3 : 0);
  if (!GetParam().decodable) return;
  const fgtest::DecodeResult d = fgtest::decode(e.codestream, p.bytes_per_sample);
  ASSERT_EQ(d.rc, 0) << d.error;
  if (p.reversible) {
    EXPECT_EQ(d.samples.bytes(), src.bytes());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AcceptedRecords,
    testing::Values(AcceptCase{"four_bytes_for_12_bits",
                               [](Params& p) {
                                 p.bit_depth = 12;
                                 p.bytes_per_sample = 4;
                               }},
                    AcceptCase{"two_bytes_for_9_bits",
                               [](Params& p) {
                                 p.bit_depth = 9;
                                 p.bytes_per_sample = 2;
                               }},
                    AcceptCase{"two_bytes_for_1_bit",
                               [](Params& p) {
                                 p.bit_depth = 1;
                                 p.bytes_per_sample = 2;
                               }},
                    AcceptCase{"one_pixel", [](Params& p) { p.width = p.height = 1; }},
                    // The component transform makes reversible coding without any
                    // decomposition lossless, for the components beyond 2 as well.
                    AcceptCase{"reversible_without_decomposition_with_transform",
                               [](Params& p) {
                                 p.num_decomp = 0;
                                 p.components = 4;
                                 p.color_transform = 1;
                               }},
                    AcceptCase{"irreversible_without_decomposition",
                               [](Params& p) {
                                 p.num_decomp = 0;
                                 p.reversible = 0;
                               }},
                    // Coded, but the decode refuses type 3 on unsigned components.
                    AcceptCase{"nlt_on_unsigned_irreversible",
                               [](Params& p) {
                                 p.nlt_binary_complement = 1;
                                 p.reversible = 0;
                               },
                               false}),
    [](const testing::TestParamInfo<AcceptCase>& info) { return std::string(info.param.name); });

// --- Settings reaching the codestream ------------------------------------------------------

struct SettingCase {
  const char* name;
  std::function<void(Params&)> change;
  std::function<void(const Bytes&, const ferroglyph_htj2k_info&)> check;
};

void PrintTo(const SettingCase& c, std::ostream* os) {
  *os << c.name;
}

class Settings : public testing::TestWithParam<SettingCase> {};

TEST_P(Settings, ReachTheCodestream) {
  const SettingCase& c = GetParam();
  Params p = fgtest::lossless_params(70, 45, 3, 8, false);
  c.change(p);
  const Samples src = random_source(p);
  const fgtest::EncodeResult e = fgtest::encode(src, p);
  ASSERT_EQ(e.rc, 0) << e.error;
  const Bytes& cs = e.codestream;
  // Complete: starts with SOC and SIZ and ends with EOC.
  ASSERT_GE(cs.size(), 6u);
  EXPECT_EQ(fgtest::get_u16(cs, 0), fgtest::k_soc);
  EXPECT_EQ(fgtest::get_u16(cs, 2), fgtest::k_siz);
  EXPECT_EQ(fgtest::get_u16(cs, cs.size() - 2), fgtest::k_eoc);
  const fgtest::InfoResult info = fgtest::decode_info(cs);
  ASSERT_EQ(info.rc, 0) << info.error;
  c.check(cs, info.info);
  // And it decodes to what was coded.
  const fgtest::DecodeResult d = fgtest::decode(cs, p.bytes_per_sample);
  ASSERT_EQ(d.rc, 0) << d.error;
  if (p.reversible) {
    EXPECT_EQ(d.samples.bytes(), src.bytes());
  }
}

size_t cod_byte(const Bytes& cs, size_t field) {
  const fgtest::Segment cod = fgtest::find_segment(cs, fgtest::k_cod);
  EXPECT_NE(cod.offset, 0u) << "no COD segment";
  return cs.at(cod.offset + field);
}

uint32_t siz_u32(const Bytes& cs, size_t field) {
  return fgtest::get_u32(cs, fgtest::find_segment(cs, fgtest::k_siz).offset + field);
}

bool has_tlm(const Bytes& cs) {
  return fgtest::find_segment(cs, fgtest::k_tlm).offset != 0;
}

SettingCase levels_case(const char* name, int requested, int written) {
  return {name, [requested](Params& p) { p.num_decomp = requested; },
          [written](const Bytes& cs, const ferroglyph_htj2k_info& info) {
            EXPECT_EQ(info.num_decompositions, written);
            EXPECT_EQ(cod_byte(cs, fgtest::k_cod_levels), static_cast<size_t>(written));
          }};
}

SettingCase order_case(const char* order, size_t byte) {
  return {order, [order](Params& p) { p.prog_order = order; },
          [byte](const Bytes& cs, const ferroglyph_htj2k_info&) {
            EXPECT_EQ(cod_byte(cs, fgtest::k_cod_progression), byte);
          }};
}

// Tile-part counts for one tile of three components at five levels:
// resolutions give 6, components 3, both 18 (OpenJPH drops divisions that
// the progression order cannot honour, hence the orders chosen).
SettingCase tileparts_case(const char* name, bool resolutions, bool components, const char* order,
                           size_t parts) {
  return {name,
          [=](Params& p) {
            p.tilepart_resolutions = resolutions;
            p.tilepart_components = components;
            p.prog_order = order;
          },
          [parts](const Bytes& cs, const ferroglyph_htj2k_info&) {
            EXPECT_EQ(fgtest::count_tile_parts(cs), parts);
          }};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Settings,
    testing::Values(
        levels_case("default_levels", -1, 5), levels_case("one_level", 1, 1),
        levels_case("three_levels", 3, 3), levels_case("six_levels", 6, 6),
        SettingCase{"no_decomposition_irreversible",
                    [](Params& p) {
                      p.num_decomp = 0;
                      p.reversible = 0;
                    },
                    [](const Bytes& cs, const ferroglyph_htj2k_info& info) {
                      EXPECT_EQ(info.num_decompositions, 0);
                      EXPECT_EQ(cod_byte(cs, fgtest::k_cod_levels), 0u);
                    }},
        SettingCase{"reversible", [](Params&) {},
                    [](const Bytes& cs, const ferroglyph_htj2k_info&) {
                      EXPECT_EQ(cod_byte(cs, fgtest::k_cod_wavelet), 1u);
                    }},
        SettingCase{"irreversible", [](Params& p) { p.reversible = 0; },
                    [](const Bytes& cs, const ferroglyph_htj2k_info&) {
                      EXPECT_EQ(cod_byte(cs, fgtest::k_cod_wavelet), 0u);
                    }},
        SettingCase{"component_transform", [](Params& p) { p.color_transform = 1; },
                    [](const Bytes&, const ferroglyph_htj2k_info& info) {
                      EXPECT_EQ(info.color_transform, 1);
                    }},
        SettingCase{"no_component_transform", [](Params&) {},
                    [](const Bytes&, const ferroglyph_htj2k_info& info) {
                      EXPECT_EQ(info.color_transform, 0);
                      EXPECT_EQ(info.nlt_type, 0);
                    }},
        SettingCase{"nlt_binary_complement",
                    [](Params& p) {
                      p.is_signed = 1;
                      p.nlt_binary_complement = 1;
                    },
                    [](const Bytes&, const ferroglyph_htj2k_info& info) {
                      EXPECT_EQ(info.nlt_type, 3);
                      EXPECT_EQ(info.uniform, 1);
                    }},
        SettingCase{"precision_and_sign",
                    [](Params& p) {
                      p.bit_depth = 13;
                      p.is_signed = 1;
                      p.bytes_per_sample = 2;
                    },
                    [](const Bytes&, const ferroglyph_htj2k_info& info) {
                      EXPECT_EQ(info.bit_depth, 13);
                      EXPECT_EQ(info.is_signed, 1);
                      EXPECT_EQ(info.width, 70);
                      EXPECT_EQ(info.height, 45);
                      EXPECT_EQ(info.components, 3);
                    }},
        SettingCase{"tiles",
                    [](Params& p) {
                      p.tile_w = 32;
                      p.tile_h = 16;
                    },
                    [](const Bytes& cs, const ferroglyph_htj2k_info&) {
                      EXPECT_EQ(siz_u32(cs, fgtest::k_siz_xtsiz), 32u);
                      EXPECT_EQ(siz_u32(cs, fgtest::k_siz_ytsiz), 16u);
                      EXPECT_EQ(fgtest::count_tile_parts(cs), 3u * 3u);  // ceil(70/32)*ceil(45/16)
                    }},
        SettingCase{"tile_width_without_height_is_one_tile", [](Params& p) { p.tile_w = 256; },
                    [](const Bytes& cs, const ferroglyph_htj2k_info&) {
                      EXPECT_EQ(siz_u32(cs, fgtest::k_siz_xtsiz), 70u);
                      EXPECT_EQ(siz_u32(cs, fgtest::k_siz_ytsiz), 45u);
                      EXPECT_EQ(fgtest::count_tile_parts(cs), 1u);
                    }},
        SettingCase{"tile_height_without_width_is_one_tile", [](Params& p) { p.tile_h = 16; },
                    [](const Bytes& cs, const ferroglyph_htj2k_info&) {
                      EXPECT_EQ(siz_u32(cs, fgtest::k_siz_ytsiz), 45u);
                      EXPECT_EQ(fgtest::count_tile_parts(cs), 1u);
                    }},
        SettingCase{"code_block_size",
                    [](Params& p) {
                      p.block_w = 32;
                      p.block_h = 128;
                    },
                    [](const Bytes& cs, const ferroglyph_htj2k_info&) {
                      EXPECT_EQ(cod_byte(cs, fgtest::k_cod_xcb), 3u);  // 2^(3+2) = 32
                      EXPECT_EQ(cod_byte(cs, fgtest::k_cod_ycb), 5u);  // 2^(5+2) = 128
                    }},
        SettingCase{"code_block_width_without_height_keeps_default",
                    [](Params& p) { p.block_w = 16; },
                    [](const Bytes& cs, const ferroglyph_htj2k_info&) {
                      EXPECT_EQ(cod_byte(cs, fgtest::k_cod_xcb), 4u);  // 64
                      EXPECT_EQ(cod_byte(cs, fgtest::k_cod_ycb), 4u);
                    }},
        order_case("LRCP", 0), order_case("RLCP", 1), order_case("RPCL", 2), order_case("PCRL", 3),
        order_case("CPRL", 4),
        SettingCase{"default_order_is_rpcl", [](Params&) {},
                    [](const Bytes& cs, const ferroglyph_htj2k_info&) {
                      EXPECT_EQ(cod_byte(cs, fgtest::k_cod_progression), 2u);
                    }},
        SettingCase{
            "tlm", [](Params& p) { p.tlm = 1; },
            [](const Bytes& cs, const ferroglyph_htj2k_info&) { EXPECT_TRUE(has_tlm(cs)); }},
        SettingCase{"no_tlm", [](Params&) {},
                    [](const Bytes& cs, const ferroglyph_htj2k_info&) {
                      EXPECT_FALSE(has_tlm(cs));
                      EXPECT_EQ(fgtest::count_tile_parts(cs), 1u);
                    }},
        tileparts_case("tileparts_at_resolutions", true, false, "RPCL", 6),
        tileparts_case("tileparts_at_components", false, true, "CPRL", 3),
        tileparts_case("tileparts_at_both", true, true, "LRCP", 18),
        SettingCase{"tileparts_with_tiles_and_tlm",
                    [](Params& p) {
                      p.tile_w = 64;
                      p.tile_h = 64;
                      p.tlm = 1;
                      p.tilepart_components = 1;
                      p.prog_order = "CPRL";
                    },
                    [](const Bytes& cs, const ferroglyph_htj2k_info&) {
                      EXPECT_TRUE(has_tlm(cs));
                      EXPECT_EQ(fgtest::count_tile_parts(cs), 2u * 3u);
                    }}),
    [](const testing::TestParamInfo<SettingCase>& info) { return std::string(info.param.name); });

// --- Source layouts -----------------------------------------------------------------------

class SourceLayouts : public testing::TestWithParam<std::tuple<bool, int>> {};

TEST_P(SourceLayouts, PlanarAndInterleavedGiveIdenticalCodestreams) {
  const auto [color_transform, bytes_per_sample] = GetParam();
  Params p = fgtest::lossless_params(41, 27, 5, 8 * bytes_per_sample - 3, true);
  p.color_transform = color_transform;
  const Samples planar = random_source(p, 3);
  const Bytes from_planar = fgtest::must_encode(planar, p);
  p.src_planar = 0;
  const Bytes from_interleaved = fgtest::must_encode(fgtest::to_interleaved(planar, 5), p);
  ASSERT_FALSE(from_planar.empty());
  EXPECT_EQ(from_planar, from_interleaved);
}

INSTANTIATE_TEST_SUITE_P(Layouts, SourceLayouts,
                         testing::Combine(testing::Bool(), testing::Values(1, 2, 4)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "transform" : "plain") +
                                  "_" + std::to_string(std::get<1>(info.param)) + "_bytes";
                         });

// --- Lossless round trips ----------------------------------------------------------------------

struct Shape {
  int components;
  bool color_transform;
};

void PrintTo(const Shape& s, std::ostream* os) {
  *os << s.components << " components" << (s.color_transform ? " with the transform" : "");
}

class LosslessRoundTrip : public testing::TestWithParam<std::tuple<bool, Shape>> {};

// Random samples, the extremes of the precision included in every
// component, come back bit-exactly at every precision from 1 to 32 bits in
// the narrowest sample width.
TEST_P(LosslessRoundTrip, BitExactAtEveryPrecision) {
  const auto [is_signed, shape] = GetParam();
  for (int bit_depth = 1; bit_depth <= 32; ++bit_depth) {
    SCOPED_TRACE((is_signed ? "signed " : "unsigned ") + std::to_string(bit_depth) + " bits");
    Params p = fgtest::lossless_params(19, 11, shape.components, bit_depth, is_signed);
    p.color_transform = shape.color_transform;
    const Samples src = random_source(p, static_cast<uint32_t>(bit_depth * 131 + shape.components));
    const fgtest::EncodeResult e = fgtest::encode(src, p);
    ASSERT_EQ(e.rc, 0) << e.error;
    const fgtest::DecodeResult d = fgtest::decode(e.codestream, p.bytes_per_sample);
    ASSERT_EQ(d.rc, 0) << d.error;
    EXPECT_EQ(d.info.bit_depth, bit_depth);
    EXPECT_EQ(d.info.is_signed, is_signed ? 1 : 0);
    EXPECT_EQ(d.info.components, shape.components);
    EXPECT_EQ(d.info.color_transform, shape.color_transform ? 1 : 0);
    EXPECT_EQ(d.samples.bytes(), src.bytes());
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LosslessRoundTrip,
                         testing::Combine(testing::Bool(),
                                          testing::Values(Shape{1, false}, Shape{3, false},
                                                          Shape{3, true}, Shape{17, false},
                                                          Shape{17, true})),
                         [](const auto& info) {
                           const Shape s = std::get<1>(info.param);
                           return std::string(std::get<0>(info.param) ? "signed_" : "unsigned_") +
                                  std::to_string(s.components) + "_components" +
                                  (s.color_transform ? "_transform" : "");
                         });

// Floating-point samples cross as the bit patterns of signed integers under
// the NLT type 3 marker; every pattern, the special values included, comes
// back unchanged.
TEST(LosslessFloatPatterns, Float32BitPatternsRoundTrip) {
  Params p = fgtest::lossless_params(16, 16, 2, 32, true);
  p.nlt_binary_complement = 1;
  Samples src = random_source(p, 21);
  const float specials[] = {0.0f,
                            -0.0f,
                            1.0f,
                            -1.0f,
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::max(),
                            -std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::denorm_min(),
                            -std::numeric_limits<float>::denorm_min()};
  size_t i = 0;
  for (float f : specials) {
    int32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    src.set(i++, bits);
  }
  const Bytes cs = fgtest::must_encode(src, p);
  const fgtest::DecodeResult d = fgtest::decode(cs, 4);
  ASSERT_EQ(d.rc, 0) << d.error;
  EXPECT_EQ(d.info.nlt_type, 3);
  EXPECT_EQ(d.samples.bytes(), src.bytes());
}

TEST(LosslessFloatPatterns, HalfFloatBitPatternsRoundTrip) {
  Params p = fgtest::lossless_params(33, 9, 1, 16, true);
  p.nlt_binary_complement = 1;
  const Samples src = random_source(p, 22);
  const Bytes cs = fgtest::must_encode(src, p);
  const fgtest::DecodeResult d = fgtest::decode(cs, 2);
  ASSERT_EQ(d.rc, 0) << d.error;
  EXPECT_EQ(d.info.nlt_type, 3);
  EXPECT_EQ(d.samples.bytes(), src.bytes());
}

// --- Irreversible quantization ------------------------------------------------------------------

Bytes encode_irreversible(const Samples& src, Params p, int qfactor, float delta) {
  p.reversible = 0;
  p.qfactor = qfactor;
  p.irrev_delta = delta;
  return fgtest::must_encode(src, p);
}

TEST(Irreversible, QualityFactor90DecodesCloseToTheSource) {
  const Params p = fgtest::lossless_params(96, 64, 3, 8, false);
  const Samples src = smooth_source(p);
  const Bytes cs = encode_irreversible(src, p, 90, 0.0f);
  const fgtest::DecodeResult d = fgtest::decode(cs, 1);
  ASSERT_EQ(d.rc, 0) << d.error;
  double squared = 0;
  int64_t worst = 0;
  for (size_t i = 0; i < src.count(); ++i) {
    const int64_t e = std::abs(d.samples.get(i) - src.get(i));
    worst = std::max(worst, e);
    squared += static_cast<double>(e * e);
  }
  EXPECT_LT(squared / static_cast<double>(src.count()), 10.0);  // PSNR above 38 dB
  EXPECT_LE(worst, 24);
  // Lossy: far smaller than the lossless codestream.
  EXPECT_LT(cs.size() * 3, fgtest::must_encode(src, p).size());
}

TEST(Irreversible, SixteenBitSignedDecodesCloseToTheSource) {
  const Params p = fgtest::lossless_params(64, 48, 1, 16, true);
  const Samples src = smooth_source(p);
  const fgtest::DecodeResult d = fgtest::decode(encode_irreversible(src, p, 0, 0.0f), 2);
  ASSERT_EQ(d.rc, 0) << d.error;
  int64_t worst = 0;
  for (size_t i = 0; i < src.count(); ++i)
    worst = std::max(worst, std::abs(d.samples.get(i) - src.get(i)));
  EXPECT_LE(worst, 64);  // of a 65536-level range
}

// Without a quality factor or a positive step, OpenJPH's own default step
// (1/2^bit_depth up to 16 bits) applies.
TEST(Irreversible, NoQuantizationSettingMeansOpenJphDefault) {
  for (int depth : {8, 12}) {
    SCOPED_TRACE("bit depth " + std::to_string(depth));
    const Params p = fgtest::lossless_params(40, 30, 3, depth, false);
    const Samples src = smooth_source(p);
    const Bytes unset = encode_irreversible(src, p, 0, 0.0f);
    EXPECT_EQ(unset, encode_irreversible(src, p, 0, 1.0f / static_cast<float>(1 << depth)));
    EXPECT_EQ(unset, encode_irreversible(src, p, -5, -0.25f));
    EXPECT_EQ(unset, encode_irreversible(src, p, 0, std::numeric_limits<float>::quiet_NaN()));
    EXPECT_NE(unset, encode_irreversible(src, p, 0, 0.05f));
  }
}

TEST(Irreversible, QualityFactorTakesPrecedenceOverStep) {
  const Params p = fgtest::lossless_params(40, 30, 3, 8, false);
  const Samples src = smooth_source(p);
  const Bytes quality = encode_irreversible(src, p, 90, 0.0f);
  EXPECT_EQ(quality, encode_irreversible(src, p, 90, 0.01f));
  EXPECT_NE(quality, encode_irreversible(src, p, 0, 0.01f));
  EXPECT_NE(quality, encode_irreversible(src, p, 40, 0.0f));
}

// Quantization settings belong to the irreversible path: a reversible
// encode is the same with or without them.
TEST(Irreversible, ReversibleCodingIgnoresQuantizationSettings) {
  Params p = fgtest::lossless_params(40, 30, 3, 8, false);
  const Samples src = random_source(p);
  const Bytes plain = fgtest::must_encode(src, p);
  p.qfactor = 90;
  p.irrev_delta = 0.5f;
  EXPECT_EQ(plain, fgtest::must_encode(src, p));
}

// --- Settings OpenJPH cannot code ---------------------------------------------------

// OpenJPH's encoder asserts on these instead of refusing them: 25-bit samples
// at quality 100 get code-blocks wider than their 32-bit lines; busy 8-bit
// noise at quality 7 gets a band whose step leaves it no magnitude bit.
struct Uncodable {
  const char* name;
  int width, bit_depth, qfactor;
};

void PrintTo(const Uncodable& c, std::ostream* os) {
  *os << c.name;
}

class UncodableSettings : public ::testing::TestWithParam<Uncodable> {
 protected:
  Params params() const {
    const Uncodable& c = GetParam();
    Params p = fgtest::lossless_params(c.width, c.width, 1, c.bit_depth, false);
    p.reversible = 0;
    p.qfactor = c.qfactor;
    return p;
  }
};

const std::string k_trapped =
    "encode: OpenJPH stopped at a failed internal check (assertion) while encoding; it cannot "
    "code these samples with these settings";

TEST_P(UncodableSettings, FailWithOpenJphsRefusalCodeAndLeaveTheThreadUsable) {
  const Params p = params();
  const Samples src = random_source(p, 3);
  for (int round = 0; round < 3; ++round) {
    const fgtest::EncodeResult r = fgtest::encode(src, p);
    EXPECT_EQ(r.rc, 5);
    EXPECT_EQ(r.error, k_trapped);
  }
  Params lossless = p;
  lossless.reversible = 1;
  lossless.qfactor = 0;
  EXPECT_FALSE(fgtest::must_encode(src, lossless).empty());
}

TEST_P(UncodableSettings, AreArgumentFailuresOfTheRegionExport) {
  const Params p = params();
  const Samples src = random_source(p, 3);
  ferroglyph_htj2k_region r{};
  uint8_t* buf = k_stale_buf;
  size_t size = k_stale_size;
  EXPECT_EQ(ferroglyph_htj2k_encode_region(src.data(), &p, &r, &buf, &size),
            FERROGLYPH_HTJ2K_ARGUMENT);
  EXPECT_EQ(ferroglyph_htj2k_last_error(), k_trapped);
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(size, 0u);
}

TEST_P(UncodableSettings, AreTrappedOnEveryThreadAtOnce) {
  const Params p = params();
  const Samples src = random_source(p, 3);
  std::vector<int> codes(4, -1);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < codes.size(); ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) codes[t] = fgtest::encode(src, p).rc;
    });
  for (std::thread& t : threads) t.join();
  for (int rc : codes) EXPECT_EQ(rc, 5);
}

INSTANTIATE_TEST_SUITE_P(Encode, UncodableSettings,
                         ::testing::Values(Uncodable{"25-bit at 100", 64, 25, 100},
                                           Uncodable{"8-bit noise at 7", 256, 8, 7}));

}  // namespace
