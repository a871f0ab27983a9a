// Inputs that once stopped the process (found by fuzzing) and headers that
// declare the impossible: each must come back as a return code and text.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bridge_test_support.h"

namespace {

using fgtest::Bytes;

Bytes regression(const std::string& name) {
  return fgtest::read_file(std::string(FERROGLYPH_FUZZ_REGRESSIONS) + "/" + name);
}

// Drops the fuzz input's settings byte (fuzz/fuzz_params.h), if any.
Bytes codestream_of(Bytes input) {
  if (!input.empty() && input[0] != 0xFF) input.erase(input.begin());
  return input;
}

const std::string k_assertion_text =
    "OpenJPH stopped at a failed internal check (assertion) while reading the codestream; it is "
    "malformed";

struct Trapped {
  const char* file;
  int reduce;
  int resilient;
};

class AssertionInputs : public ::testing::TestWithParam<Trapped> {};

TEST_P(AssertionInputs, DecodeReturnsCodeFiveWithTheText) {
  const Trapped t = GetParam();
  const Bytes cs = codestream_of(regression(t.file));
  ASSERT_FALSE(cs.empty()) << t.file;
  const fgtest::DecodeResult r = fgtest::decode(cs, 0, true, t.reduce, t.reduce, t.resilient);
  EXPECT_EQ(r.rc, 5);
  EXPECT_EQ(r.error, "decode: " + k_assertion_text);
  // SIGABRT is deliverable again after the trapped call.
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  EXPECT_FALSE(sigismember(&mask, SIGABRT));
}

INSTANTIATE_TEST_SUITE_P(
    Fuzzed, AssertionInputs,
    ::testing::Values(Trapped{"fuzz_decode/packet-header-length-bits-over-32", 0, 0},
                      Trapped{"fuzz_tile_plan/bit-unstuffing-at-packet-end", 0, 0},
                      Trapped{"python/resilient-reduce3-precinct-parse-abort.j2c", 3, 1}));

TEST(AbortTrap, ConcurrentTrappedCallsEachReturnTheirCode) {
  const Bytes bad = codestream_of(regression("fuzz_decode/packet-header-length-bits-over-32"));
  const Bytes good = fgtest::small_codestream(32, 24, 3);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        const bool use_bad = (i + t) % 2 == 0;
        const fgtest::DecodeResult r = fgtest::decode(use_bad ? bad : good);
        if (r.rc != (use_bad ? 5 : 0)) ++failures[static_cast<size_t>(t)];
      }
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(failures[static_cast<size_t>(t)], 0) << "thread " << t;
}

TEST(AbortTrapDeathTest, AbortOutsideACodecCallStillEndsTheProcess) {
  // Install the trap (first codec call), then abort from elsewhere.
  const Bytes good = fgtest::small_codestream(8, 8, 1);
  ASSERT_EQ(fgtest::decode_info(good).rc, 0);
  EXPECT_DEATH(std::abort(), "");
}

// A COC naming a DFS segment that OpenJPH never registered (absent, present
// only in a tile-part header, swallowed by a malformed DFS segment before it,
// or after an SOT and an SOD spelled by the SIZ's own bytes): OpenJPH
// dereferenced a null pointer for the reduced size.
TEST(Hostile, UndefinedDfsSegmentIsRefused) {
  for (const char* file :
       {"fuzz_decode_info/coc-names-undefined-dfs", "fuzz_decode_info/coc-names-undefined-dfs-after-garbage",
        "fuzz_decode_info/dfs-defined-only-in-a-tile-header",
        "fuzz_decode_info/dfs-swallowed-by-a-malformed-dfs", "fuzz_decode_info/dfs-behind-a-stray-sot",
        "fuzz_decode_info/dfs-reference-behind-marker-codes-in-the-siz"}) {
    const Bytes cs = regression(file);
    for (int reduce : {0, 1}) {
      const fgtest::InfoResult r = fgtest::decode_info(cs, reduce, reduce);
      EXPECT_EQ(r.rc, 2) << file;
      EXPECT_NE(r.error.find("refers to DFS marker segment"), std::string::npos) << r.error;
    }
  }
}

// Subsampling 192 with 29 levels: the factor shifted by the reduction wrapped
// to zero in OpenJPH's 32-bit arithmetic and the division by it ended the
// process.
TEST(Hostile, ReductionPastTheSubsamplingRangeIsRefused) {
  const Bytes cs = regression("fuzz_decode_info/subsampling-shifted-past-32-bits");
  EXPECT_EQ(fgtest::decode_info(cs, 24, 24).rc, 0);
  for (int reduce : {25, 26, 29}) {
    const fgtest::InfoResult r = fgtest::decode_info(cs, reduce, reduce);
    EXPECT_EQ(r.rc, 4) << reduce;
    EXPECT_EQ(r.error, "reduce is too large for the components' subsampling");
  }
}

TEST(Hostile, ImageSidesBeyondInt32AreRefusedNotClamped) {
  Bytes cs = fgtest::small_codestream(16, 16, 1);
  // SOC, SIZ marker and length, Rsiz: Xsiz at 8, Ysiz at 12, XTsiz at 24, YTsiz at 28.
  fgtest::put_u32(cs, 8, 0xFFFFFFFFu);
  fgtest::put_u32(cs, 24, 0xFFFFFFFFu);
  const fgtest::InfoResult r = fgtest::decode_info(cs);
  EXPECT_EQ(r.rc, 4);
  EXPECT_EQ(r.error, "the image is wider or higher than 2147483647 samples; not supported");
}

TEST(Hostile, MoreThan65535TilesAreRefusedByTheHeaderRead) {
  Bytes cs = fgtest::small_codestream(16, 16, 1);
  fgtest::put_u32(cs, 8, 65536 * 4);
  fgtest::put_u32(cs, 24, 4);
  fgtest::put_u32(cs, 28, 16);
  const fgtest::InfoResult r = fgtest::decode_info(cs);
  EXPECT_EQ(r.rc, 2);
  EXPECT_EQ(r.error, "decode_info: the number of tiles cannot exceed 65535");
  fgtest::put_u32(cs, 8, 65535 * 4);
  EXPECT_EQ(fgtest::decode_info(cs).rc, 0);
}

}  // namespace
