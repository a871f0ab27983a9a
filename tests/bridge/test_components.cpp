// Components at their own sizes: per-component facts, decode into one buffer
// per component, encode from one; their refusals and the guards they share
// with the whole-image decode.
#include <gtest/gtest.h>
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_params.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bridge_test_support.h"

namespace {

using fgtest::Bytes;
using fgtest::Samples;

struct Plane {
  ferroglyph_htj2k_component_params params;
  Samples samples;
};

// A component of the image `width` x `height` subsampled by (dx, dy).
Plane plane(int width, int height, int dx, int dy, int bit_depth, bool is_signed, uint32_t seed) {
  Plane p{};
  p.params.width = (width + dx - 1) / dx;
  p.params.height = (height + dy - 1) / dy;
  p.params.dx = dx;
  p.params.dy = dy;
  p.params.bit_depth = bit_depth;
  p.params.is_signed = is_signed ? 1 : 0;
  p.params.bytes_per_sample = fgtest::narrowest_bytes(bit_depth);
  p.samples = Samples(static_cast<size_t>(p.params.width) * p.params.height,
                      p.params.bytes_per_sample, is_signed);
  fgtest::fill_random(p.samples, bit_depth, seed);
  return p;
}

ferroglyph_htj2k_encode_params image_params(int width, int height, int components) {
  ferroglyph_htj2k_encode_params p{};
  p.width = width;
  p.height = height;
  p.components = components;
  p.reversible = 1;
  p.num_decomp = -1;
  return p;
}

struct Encoded {
  int rc = -1;
  std::string error;
  Bytes codestream;
};

Encoded encode(const std::vector<Plane>& planes, ferroglyph_htj2k_encode_params p) {
  std::vector<const uint8_t*> srcs;
  std::vector<ferroglyph_htj2k_component_params> comps;
  for (const Plane& pl : planes) {
    srcs.push_back(pl.samples.data());
    comps.push_back(pl.params);
  }
  Encoded e;
  uint8_t* buf = nullptr;
  size_t size = 0;
  e.rc = ferroglyph_htj2k_encode_components(srcs.data(), comps.data(), &p, &buf, &size);
  if (e.rc == 0) {
    e.codestream.assign(buf, buf + size);
    ferroglyph_htj2k_free(buf);
  } else {
    e.error = ferroglyph_htj2k_last_error();
  }
  return e;
}

struct Facts {
  int rc = -1;
  std::string error;
  std::vector<ferroglyph_htj2k_component_info> comps;
};

Facts facts(const Bytes& cs, int reduce = 0) {
  Facts f;
  int n = 0;
  f.comps.resize(8);
  f.rc = ferroglyph_htj2k_components_info(cs.data(), cs.size(), reduce, reduce, 0, f.comps.data(),
                                          8, &n);
  if (f.rc != 0) f.error = ferroglyph_htj2k_last_error();
  f.comps.resize(static_cast<size_t>(f.rc == 0 ? n : 0));
  return f;
}

struct Decoded {
  int rc = -1;
  std::string error;
  std::vector<Samples> comps;
};

// Sizes every buffer from the component facts (`spare` bytes fewer for the
// last one when asked), then decodes.
Decoded decode(const Bytes& cs, int reduce = 0, size_t short_by = 0) {
  Decoded d;
  const Facts f = facts(cs, reduce);
  if (f.rc != 0) {
    d.error = "components_info failed first: " + f.error;
    return d;
  }
  std::vector<uint8_t*> dsts;
  std::vector<size_t> sizes;
  std::vector<int32_t> bytes;
  for (const auto& c : f.comps) {
    const int b = fgtest::narrowest_bytes(c.bit_depth);
    d.comps.emplace_back(static_cast<size_t>(c.width) * c.height, b, c.is_signed != 0);
  }
  for (Samples& s : d.comps) {
    dsts.push_back(s.data());
    sizes.push_back(s.size_bytes());
    bytes.push_back(s.bytes_per_sample());
  }
  sizes.back() -= short_by;
  d.rc = ferroglyph_htj2k_decode_components(cs.data(), cs.size(), dsts.data(), sizes.data(),
                                            bytes.data(), static_cast<int>(dsts.size()), reduce,
                                            reduce, 0);
  if (d.rc != 0) d.error = ferroglyph_htj2k_last_error();
  return d;
}

std::vector<Plane> ycbcr(int width, int height, int dx, int dy, bool tiled_signed = false) {
  return {plane(width, height, 1, 1, 12, tiled_signed, 1),
          plane(width, height, dx, dy, 10, tiled_signed, 2),
          plane(width, height, dx, dy, 10, tiled_signed, 3)};
}

struct Layout {
  int dx, dy;
  bool is_signed;
  int tile;
};

class ComponentRoundTrip : public ::testing::TestWithParam<Layout> {};

TEST_P(ComponentRoundTrip, DecodesToTheSamplesItEncoded) {
  const Layout l = GetParam();
  const std::vector<Plane> planes = ycbcr(45, 31, l.dx, l.dy, l.is_signed);
  ferroglyph_htj2k_encode_params p = image_params(45, 31, 3);
  p.tile_w = p.tile_h = l.tile;
  const Encoded e = encode(planes, p);
  ASSERT_EQ(e.rc, 0) << e.error;
  const Facts f = facts(e.codestream);
  ASSERT_EQ(f.rc, 0) << f.error;
  ASSERT_EQ(f.comps.size(), 3u);
  EXPECT_EQ(f.comps[1].dx, l.dx);
  EXPECT_EQ(f.comps[1].dy, l.dy);
  EXPECT_EQ(f.comps[0].bit_depth, 12);
  EXPECT_EQ(f.comps[2].bit_depth, 10);
  const Decoded d = decode(e.codestream);
  ASSERT_EQ(d.rc, 0) << d.error;
  for (size_t c = 0; c < 3; ++c) {
    EXPECT_EQ(f.comps[c].width, planes[c].params.width);
    EXPECT_EQ(f.comps[c].height, planes[c].params.height);
    EXPECT_EQ(d.comps[c].bytes(), planes[c].samples.bytes()) << "component " << c;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ComponentRoundTrip,
                         ::testing::Values(Layout{1, 1, false, 0}, Layout{2, 1, false, 0},
                                           Layout{2, 2, true, 0}, Layout{4, 1, false, 16},
                                           Layout{2, 2, false, 16}));

TEST(ComponentsInfo, ReportsTheCountWhenTheCapacityIsShort) {
  const Encoded e = encode(ycbcr(16, 16, 2, 2), image_params(16, 16, 3));
  ASSERT_EQ(e.rc, 0) << e.error;
  ferroglyph_htj2k_component_info one{};
  int n = 0;
  ASSERT_EQ(ferroglyph_htj2k_components_info(e.codestream.data(), e.codestream.size(), 1, 1, 0,
                                             &one, 1, &n),
            0);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(one.width, 8);
  // Component 0 only; a capacity of zero still counts.
  ASSERT_EQ(ferroglyph_htj2k_components_info(e.codestream.data(), e.codestream.size(), 0, 0, 0,
                                             nullptr, 0, &n),
            0);
  EXPECT_EQ(n, 3);
}

TEST(DecodeComponents, RefusesBeforeWritingAnything) {
  const Encoded e = encode(ycbcr(24, 20, 2, 1), image_params(24, 20, 3));
  ASSERT_EQ(e.rc, 0) << e.error;
  const Decoded short_last = decode(e.codestream, 0, 1);
  EXPECT_EQ(short_last.rc, FERROGLYPH_HTJ2K_BUFFER);
  EXPECT_EQ(short_last.error, "destination buffer too small for component 2");
  for (const Samples& s : short_last.comps)
    EXPECT_TRUE(std::all_of(s.bytes().begin(), s.bytes().end(), [](uint8_t b) { return b == 0; }));

  std::vector<uint8_t> a(24 * 20 * 2), b(12 * 20 * 2);
  uint8_t* dsts[2] = {a.data(), b.data()};
  size_t sizes[2] = {a.size(), b.size()};
  int32_t bytes[2] = {2, 2};
  EXPECT_EQ(ferroglyph_htj2k_decode_components(e.codestream.data(), e.codestream.size(), dsts,
                                               sizes, bytes, 2, 0, 0, 0),
            FERROGLYPH_HTJ2K_ARGUMENT);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(), "the codestream has 3 components, not 2");
  uint8_t* three[3] = {a.data(), b.data(), b.data()};
  size_t three_sizes[3] = {a.size(), b.size(), b.size()};
  int32_t one_byte[3] = {1, 1, 1};
  EXPECT_EQ(ferroglyph_htj2k_decode_components(e.codestream.data(), e.codestream.size(), three,
                                               three_sizes, one_byte, 3, 0, 0, 0),
            FERROGLYPH_HTJ2K_ARGUMENT);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(),
               "bytes_per_sample too small for the bit depth of component 0");
  int32_t three_bytes[3] = {2, 3, 2};
  EXPECT_EQ(ferroglyph_htj2k_decode_components(e.codestream.data(), e.codestream.size(), three,
                                               three_sizes, three_bytes, 3, 0, 0, 0),
            FERROGLYPH_HTJ2K_ARGUMENT);
  int32_t two_bytes[3] = {2, 2, 2};
  EXPECT_EQ(ferroglyph_htj2k_decode_components(e.codestream.data(), e.codestream.size(), three,
                                               three_sizes, two_bytes, 3, -1, 0, 0),
            FERROGLYPH_HTJ2K_ARGUMENT);
  EXPECT_EQ(ferroglyph_htj2k_decode_components(e.codestream.data(), e.codestream.size(), nullptr,
                                               three_sizes, two_bytes, 3, 0, 0, 0),
            FERROGLYPH_HTJ2K_ARGUMENT);
  EXPECT_EQ(decode(e.codestream, 6).error,
            "components_info failed first: reduce exceeds the codestream's decomposition count");
}

// A codestream, written with OpenJPH directly, whose main COD has 5 levels
// and whose component 1 has `coc_levels` through a COC.
Bytes with_coc_levels(uint32_t coc_levels, ojph::point chroma_subsampling) {
  ojph::codestream cs;
  ojph::mem_outfile out;
  out.open();
  ojph::param_siz siz = cs.access_siz();
  siz.set_image_extent(ojph::point(64, 64));
  siz.set_num_components(2);
  siz.set_component(0, ojph::point(1, 1), 8, false);
  siz.set_component(1, chroma_subsampling, 8, false);
  ojph::param_cod cod = cs.access_cod();
  cod.set_num_decomposition(5);
  cod.set_reversible(true);
  cod.set_color_transform(false);
  cod.set_num_decomposition(1, coc_levels);
  cs.set_planar(true);
  cs.write_headers(&out);
  ojph::ui32 c = 0;
  ojph::line_buf* line = cs.exchange(nullptr, c);
  for (uint32_t comp = 0; comp < 2; ++comp)
    for (uint32_t r = 0; r < 64 / (comp ? chroma_subsampling.y : 1); ++r) {
      for (uint32_t x = 0; x < line->size; ++x) line->i32[x] = static_cast<int32_t>((x + 3 * r) & 255);
      line = cs.exchange(line, c);
    }
  cs.flush();
  Bytes b(out.get_data(), out.get_data() + out.get_used_size());
  cs.close();
  return b;
}

TEST(Reduction, BeyondAComponentsOwnLevelsIsRefusedByEveryDecode) {
  // OpenJPH checks a reduction against the main COD only, and past a COC's
  // levels returns rows of the wrong content.
  const std::string text = "reduce exceeds the decomposition count of a component (COC)";
  const Bytes sub = with_coc_levels(1, ojph::point(2, 2));
  EXPECT_EQ(decode(sub, 1).rc, 0);
  EXPECT_EQ(decode(sub, 2).error, "components_info failed first: " + text);
  const Bytes uniform = with_coc_levels(1, ojph::point(1, 1));
  EXPECT_EQ(fgtest::decode(uniform, 0, true, 1, 1).rc, 0);
  const fgtest::InfoResult info = fgtest::decode_info(uniform, 2, 2);
  EXPECT_EQ(info.rc, 4);
  EXPECT_EQ(info.error, text);
  std::vector<uint8_t> dst(2 * 16 * 16);
  EXPECT_EQ(ferroglyph_htj2k_decode(uniform.data(), uniform.size(), dst.data(), dst.size(), 1, 2,
                                    2, 0, 1),
            6);
  EXPECT_EQ(ferroglyph_htj2k_last_error(), text);
}

TEST(DecodeComponents, RefusesTheTransformOverComponentsOfOtherSizes) {
  // OpenJPH counts the transform's interleaved rows against component 0;
  // the encoder refuses such a codestream, so the transform flag is set by
  // hand in one coded without it.
  std::vector<Plane> planes = ycbcr(32, 32, 1, 1);
  planes.push_back(plane(32, 32, 2, 2, 12, false, 4));
  const Encoded e = encode(planes, image_params(32, 32, 4));
  ASSERT_EQ(e.rc, 0) << e.error;
  Bytes cs = e.codestream;
  const fgtest::Segment cod = fgtest::find_segment(cs, fgtest::k_cod);
  ASSERT_NE(cod.offset, 0u);
  cs[cod.offset + 8] = 1;  // SGcod's multiple component transform byte
  const Decoded d = decode(cs);
  EXPECT_EQ(d.rc, FERROGLYPH_HTJ2K_UNSUPPORTED);
  EXPECT_EQ(d.error,
            "the codestream uses the component transform and has components of different sizes, "
            "which OpenJPH cannot deliver; not supported");
}

struct EncodeRefusal {
  const char* what;
  int width, height;  // of component 1 when > 0
  int dx, dy, bit_depth, bytes, color_transform, nlt;
  const char* error;
};

class EncodeComponentsRefusal : public ::testing::TestWithParam<EncodeRefusal> {};

TEST_P(EncodeComponentsRefusal, ReturnsCodeTwoAndItsText) {
  const EncodeRefusal r = GetParam();
  std::vector<Plane> planes = ycbcr(20, 20, 2, 2);
  ferroglyph_htj2k_component_params& k = planes[1].params;
  if (r.width != 0) k.width = r.width;
  if (r.height != 0) k.height = r.height;
  if (r.dx != 0) k.dx = r.dx;
  if (r.dy != 0) k.dy = r.dy;
  if (r.bit_depth != 0) k.bit_depth = r.bit_depth;
  if (r.bytes != 0) k.bytes_per_sample = r.bytes;
  ferroglyph_htj2k_encode_params p = image_params(20, 20, 3);
  p.color_transform = r.color_transform;
  p.nlt_binary_complement = r.nlt;
  const Encoded e = encode(planes, p);
  EXPECT_EQ(e.rc, FERROGLYPH_HTJ2K_ARGUMENT) << r.what;
  EXPECT_EQ(e.error, r.error) << r.what;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, EncodeComponentsRefusal,
    ::testing::Values(
        EncodeRefusal{"size off the subsampling", 9, 0, 0, 0, 0, 0, 0, 0,
                      "a component's size does not follow from the image size and its subsampling"},
        EncodeRefusal{"subsampling 0", 0, 0, 0, -1, 0, 0, 0, 0, "subsampling factors must be 1..255"},
        EncodeRefusal{"subsampling 256", 0, 0, 256, 0, 0, 0, 0, 0,
                      "subsampling factors must be 1..255"},
        EncodeRefusal{"depth past the container", 0, 0, 0, 0, 17, 0, 0, 0, "invalid bit depth"},
        EncodeRefusal{"three-byte samples", 0, 0, 0, 0, 0, 3, 0, 0, "invalid bytes_per_sample"},
        EncodeRefusal{"transform on subsampled", 0, 0, 0, 0, 0, 0, 1, 0,
                      "the component transform cannot be used with subsampled components"},
        EncodeRefusal{"NLT", 0, 0, 0, 0, 0, 0, 0, 1,
                      "the NLT marker is not supported with per-component encoding"}));

TEST(EncodeComponents, OpenJphsOwnRefusalsArriveAsArgumentFailures) {
  // Position-major progressions need power-of-two subsampling (OpenJPH).
  ferroglyph_htj2k_encode_params p = image_params(30, 30, 3);
  p.prog_order = "RPCL";
  const Encoded e = encode(ycbcr(30, 30, 3, 1), p);
  EXPECT_EQ(e.rc, FERROGLYPH_HTJ2K_ARGUMENT);
  EXPECT_EQ(e.error.rfind("encode_components: ", 0), 0u) << e.error;
  p.prog_order = "LRCP";
  EXPECT_EQ(encode(ycbcr(30, 30, 3, 1), p).rc, 0);
}

TEST(EncodeComponents, SettingsOpenJphAssertsOnAreArgumentFailures) {
  // 25-bit samples at quality 100: code-blocks wider than their lines.
  ferroglyph_htj2k_encode_params p = image_params(64, 64, 1);
  p.reversible = 0;
  p.qfactor = 100;
  const std::vector<Plane> planes{plane(64, 64, 1, 1, 25, false, 4)};
  for (int round = 0; round < 2; ++round) {
    const Encoded e = encode(planes, p);
    EXPECT_EQ(e.rc, FERROGLYPH_HTJ2K_ARGUMENT);
    EXPECT_EQ(e.error,
              "encode_components: OpenJPH stopped at a failed internal check (assertion) while "
              "encoding; it cannot code these samples with these settings");
  }
  p.reversible = 1;
  p.qfactor = 0;
  EXPECT_EQ(encode(planes, p).rc, 0);
}

TEST(DecodeComponents, TrapsOpenJphsAssertions) {
  const Bytes bad = fgtest::read_file(std::string(FERROGLYPH_FUZZ_REGRESSIONS) +
                                      "/fuzz_decode/packet-header-length-bits-over-32");
  Bytes cs = bad;
  if (!cs.empty() && cs[0] != 0xFF) cs.erase(cs.begin());
  const Decoded d = decode(cs);
  EXPECT_EQ(d.rc, FERROGLYPH_HTJ2K_MALFORMED);
  EXPECT_EQ(d.error,
            "decode_components: OpenJPH stopped at a failed internal check (assertion) while "
            "reading the codestream; it is malformed");
}

TEST(DecodeComponents, MessagesStayOnTheirThread) {
  const Encoded e = encode(ycbcr(16, 16, 2, 2), image_params(16, 16, 3));
  ASSERT_EQ(e.rc, 0) << e.error;
  std::vector<std::string> seen(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        const Decoded d = decode(e.codestream, t % 2 == 0 ? 0 : 9);
        seen[static_cast<size_t>(t)] = d.rc == 0 ? "ok" : d.error;
      }
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t)
    EXPECT_EQ(seen[static_cast<size_t>(t)],
              t % 2 == 0 ? "ok"
                         : "components_info failed first: reduce exceeds the codestream's "
                           "decomposition count");
}

// Tiles times components that a codestream's SIZ declares (0 when it cannot
// be read).  OpenJPH reserves about a megabyte per tile-component up front,
// which the sanitizer's shadow memory makes real: such inputs are the fuzz
// targets' business (fuzz_params.h), not a decode's.
uint64_t tile_components(const Bytes& cs) {
  if (cs.size() < 42 || fgtest::get_u16(cs, 0) != fgtest::k_soc ||
      fgtest::get_u16(cs, 2) != fgtest::k_siz)
    return 0;
  const uint64_t xsiz = fgtest::get_u32(cs, 2 + fgtest::k_siz_xsiz),
                 ysiz = fgtest::get_u32(cs, 2 + fgtest::k_siz_ysiz),
                 xt = fgtest::get_u32(cs, 2 + fgtest::k_siz_xtsiz),
                 yt = fgtest::get_u32(cs, 2 + fgtest::k_siz_ytsiz),
                 xto = fgtest::get_u32(cs, 2 + fgtest::k_siz_xtsiz + 8),
                 yto = fgtest::get_u32(cs, 2 + fgtest::k_siz_ytsiz + 8);
  const uint64_t comps = fgtest::get_u16(cs, 2 + fgtest::k_siz_csiz);
  if (xt == 0 || yt == 0 || xsiz <= xto || ysiz <= yto) return 0;
  return ((xsiz - xto + xt - 1) / xt) * ((ysiz - yto + yt - 1) / yt) * comps;
}

TEST(DecodeComponents, EveryFuzzRegressionAndCorpusFileReturns) {
  // Inputs that once stopped the process through the whole-image decode, and
  // the third-party corpus, only have to come back with a code.
  std::vector<std::filesystem::path> files;
  for (const char* root : {FERROGLYPH_FUZZ_REGRESSIONS, FERROGLYPH_CORPUS_DIR "/openjph_test_codestreams"}) {
    if (!std::filesystem::is_directory(root)) continue;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
      if (entry.is_regular_file() && entry.file_size() < (1u << 22)) files.push_back(entry.path());
  }
  ASSERT_FALSE(files.empty());
  for (const auto& path : files) {
    Bytes cs = fgtest::raw_codestream(fgtest::read_file(path.string()));
    if (!cs.empty() && cs[0] != 0xFF) cs.erase(cs.begin());
    if (cs.empty() || tile_components(cs) > 2048) continue;
    for (int reduce : {0}) {
      const Facts f = facts(cs, reduce);
      size_t total = 0;
      for (const auto& c : f.comps) total += static_cast<size_t>(c.width) * c.height * 4;
      if (f.rc != 0 || total > (size_t{1} << 28)) continue;
      const Decoded d = decode(cs, reduce);
      EXPECT_GE(d.rc, 0) << path;
    }
  }
}

}  // namespace

namespace {

// The newer exports name the same failure with the same kind, whichever of
// them meets it (a refused reduction was 4 from one and 6 from the other).
TEST(FailureKinds, OneKindPerFailureAcrossTheNewerExports) {
  const Encoded e = encode(ycbcr(24, 20, 2, 1), image_params(24, 20, 3));
  ASSERT_EQ(e.rc, 0) << e.error;
  const Bytes& cs = e.codestream;
  std::vector<uint8_t> a(24 * 20 * 2), b(12 * 20 * 2);
  uint8_t* dsts[3] = {a.data(), b.data(), b.data()};
  size_t sizes[3] = {a.size(), b.size(), b.size()};
  int32_t bytes[3] = {2, 2, 2};
  ferroglyph_htj2k_component_info info[3];
  int n = 0;
  // Too many levels for the codestream.
  EXPECT_EQ(ferroglyph_htj2k_components_info(cs.data(), cs.size(), 9, 9, 0, info, 3, &n),
            FERROGLYPH_HTJ2K_REDUCTION);
  EXPECT_EQ(ferroglyph_htj2k_decode_components(cs.data(), cs.size(), dsts, sizes, bytes, 3, 9, 9, 0),
            FERROGLYPH_HTJ2K_REDUCTION);
  // A header OpenJPH refuses.
  Bytes junk(cs.begin(), cs.begin() + 6);
  junk.resize(60, 0);
  EXPECT_EQ(ferroglyph_htj2k_components_info(junk.data(), junk.size(), 0, 0, 0, info, 3, &n),
            FERROGLYPH_HTJ2K_MALFORMED);
  EXPECT_EQ(
      ferroglyph_htj2k_decode_components(junk.data(), junk.size(), dsts, sizes, bytes, 3, 0, 0, 0),
      FERROGLYPH_HTJ2K_MALFORMED);
  // A short destination, and a null argument.
  size_t short_sizes[3] = {a.size() - 1, b.size(), b.size()};
  EXPECT_EQ(
      ferroglyph_htj2k_decode_components(cs.data(), cs.size(), dsts, short_sizes, bytes, 3, 0, 0, 0),
      FERROGLYPH_HTJ2K_BUFFER);
  EXPECT_EQ(ferroglyph_htj2k_components_info(nullptr, 0, 0, 0, 0, info, 3, &n),
            FERROGLYPH_HTJ2K_ARGUMENT);
}

}  // namespace
