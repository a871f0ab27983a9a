// Deterministic header fuzzing: encoder-made codestreams with bytes of their
// main and first tile-part headers changed, lengths broken and the stream cut
// short.  OpenJPH asserts (killing the process) on some malformed headers;
// whatever the bridge lets through must come back as a return code.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "bridge_test_support.h"

namespace {

using fgtest::Bytes;

// Fuzzed headers may declare large images; destinations stay below this.
constexpr size_t k_max_destination = size_t{1} << 18;

struct Base {
  const char* name;
  std::function<Bytes()> make;
};

Bytes plain_base() {
  return fgtest::small_codestream(32, 24, 3);
}

// Tiles, tile-parts, TLM, the component transform and irreversible coding.
Bytes tiled_base() {
  ferroglyph_htj2k_encode_params p = fgtest::lossless_params(48, 40, 3, 12, false);
  p.reversible = 0;
  p.qfactor = 80;
  p.color_transform = 1;
  p.tile_w = p.tile_h = 16;
  p.tlm = 1;
  p.tilepart_resolutions = 1;
  p.tilepart_components = 1;
  p.prog_order = "LRCP";
  p.num_decomp = 2;
  fgtest::Samples src = fgtest::source_for(p);
  fgtest::fill_random(src, 12, 4);
  return fgtest::must_encode(src, p);
}

// Signed 32-bit samples under an NLT marker, code-blocks of 16 x 16.
Bytes nlt_base() {
  ferroglyph_htj2k_encode_params p = fgtest::lossless_params(24, 16, 1, 32, true);
  p.nlt_binary_complement = 1;
  p.block_w = p.block_h = 16;
  fgtest::Samples src = fgtest::source_for(p);
  fgtest::fill_random(src, 32, 5);
  return fgtest::must_encode(src, p);
}

const Base k_bases[] = {{"plain", plain_base}, {"tiled", tiled_base}, {"nlt", nlt_base}};

void PrintTo(const Base& b, std::ostream* os) {
  *os << b.name;
}

// The header bytes: the main header, the first SOT segment and SOD.
size_t header_end(const Bytes& cs) {
  return std::min(cs.size(), fgtest::first_sot(cs) + 14);
}

using Variants = std::vector<std::pair<std::string, Bytes>>;

// Bytes whose change teaches nothing new: the comment's text, and a TLM
// segment past its first entries.
bool uninteresting(const Bytes& cs, size_t at) {
  const fgtest::Segment com = fgtest::find_segment(cs, 0xFF64);
  if (com.offset != 0 && at > com.offset + 6 && at < com.offset + 2 + com.length) return true;
  const fgtest::Segment tlm = fgtest::find_segment(cs, fgtest::k_tlm);
  return tlm.offset != 0 && at > tlm.offset + 16 && at < tlm.offset + 2 + tlm.length;
}

Variants byte_values(const Bytes& cs) {
  Variants out;
  for (size_t at = 0; at < header_end(cs); ++at) {
    if (uninteresting(cs, at)) continue;
    const uint8_t was = cs[at];
    for (uint8_t v : {uint8_t{0x00}, uint8_t{0xFF}, static_cast<uint8_t>(was + 1),
                      static_cast<uint8_t>(was ^ 0x80)}) {
      if (v == was) continue;
      Bytes m = cs;
      m[at] = v;
      out.emplace_back("byte " + std::to_string(at) + " = " + std::to_string(v), std::move(m));
    }
  }
  return out;
}

Variants truncations(const Bytes& cs) {
  Variants out;
  for (size_t n = 1; n < header_end(cs) + 48 && n < cs.size(); ++n)
    out.emplace_back("first " + std::to_string(n) + " bytes", Bytes(cs.begin(), cs.begin() + n));
  return out;
}

Variants segment_lengths(const Bytes& cs) {
  Variants out;
  std::vector<fgtest::Segment> segs = fgtest::main_header(cs);
  segs.push_back({fgtest::k_sot, fgtest::first_sot(cs), 10});
  for (const fgtest::Segment& s : segs) {
    const size_t l = s.length;
    for (size_t v : {size_t{0}, size_t{1}, size_t{2}, l - 1, l + 1, l + 7, size_t{0xFFFF}}) {
      Bytes m = cs;
      fgtest::put_u16(m, s.offset + 2, static_cast<uint16_t>(v));
      out.emplace_back("segment at " + std::to_string(s.offset) + " length " + std::to_string(v),
                       std::move(m));
    }
  }
  return out;
}

// A few random bytes of the header and one of the body changed, from a
// fixed seed.
Variants random_bursts(const Bytes& cs) {
  Variants out;
  std::mt19937 rng(20240611);
  const size_t end = header_end(cs);
  for (int i = 0; i < 150; ++i) {
    Bytes m = cs;
    const int changes = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < changes; ++k) m[rng() % end] = static_cast<uint8_t>(rng());
    m[end + rng() % (m.size() - end)] ^= static_cast<uint8_t>(1 + rng() % 255);
    out.emplace_back("burst " + std::to_string(i), std::move(m));
  }
  return out;
}

struct Mutation {
  const char* name;
  Variants (*make)(const Bytes&);
};

const Mutation k_mutations[] = {{"byte_values", byte_values},
                                {"truncations", truncations},
                                {"segment_lengths", segment_lengths},
                                {"random_bursts", random_bursts}};

void PrintTo(const Mutation& m, std::ostream* os) {
  *os << m.name;
}

class HeaderFuzz : public testing::TestWithParam<std::tuple<Base, Mutation>> {};

// Every variant runs through decode_info and a full decode, with and
// without resilience, in a child process; the variant being run is announced on
// standard error, so a crash or a hang (an alarm) names it.
TEST_P(HeaderFuzz, EveryVariantReturns) {
  const auto [base, mutation] = GetParam();
  const Bytes cs = base.make();
  ASSERT_GT(cs.size(), header_end(cs));
  const Variants variants = mutation.make(cs);
  ASSERT_GE(variants.size(), 40u);
  EXPECT_EXIT(
      {
        alarm(120);
        for (const auto& [label, bytes] : variants) {
          std::fprintf(stderr, "%s\n", label.c_str());
          fgtest::exercise(bytes, k_max_destination, false);
        }
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Variants, HeaderFuzz,
                         testing::Combine(testing::ValuesIn(k_bases),
                                          testing::ValuesIn(k_mutations)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::get<1>(info.param).name;
                         });

}  // namespace
