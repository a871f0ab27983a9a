// Per-thread error and warning texts: what OpenJPH reports reaches the
// calling thread's texts only, is joined and cut as documented, and nothing
// is ever printed.
#include <gtest/gtest.h>
#include <openjph/ojph_message.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bridge_test_support.h"

namespace {

using fgtest::Bytes;

const char k_rgn_warning[] = "RGN is not supported yet";
const char k_poc_warning[] = "POC is not supported yet";

const Bytes& clean_codestream() {
  static const Bytes cs = fgtest::small_codestream(64, 64, 3);
  return cs;
}

Bytes with_rgn() {
  return fgtest::insert_before_first_sot(clean_codestream(), fgtest::rgn_segment());
}

Bytes with_rgn_and_poc() {
  Bytes seg = fgtest::rgn_segment();
  const Bytes poc = fgtest::poc_segment();
  seg.insert(seg.end(), poc.begin(), poc.end());
  return fgtest::insert_before_first_sot(clean_codestream(), seg);
}

// A CRG segment (component registration, all offsets 0), which OpenJPH
// ignores with an informational message only.
Bytes with_crg() {
  Bytes crg = {0xFF, 0x63, 0x00, 14};
  crg.resize(crg.size() + 12, 0);
  return fgtest::insert_before_first_sot(clean_codestream(), crg);
}

// The last packets cut off: OpenJPH decodes what is there and tells only
// through an informational message.
Bytes truncated() {
  const Bytes& cs = clean_codestream();
  return Bytes(cs.begin(), cs.end() - 300);
}

std::string warnings() {
  return ferroglyph_htj2k_last_warnings();
}

int info_rc(const Bytes& cs) {
  return fgtest::decode_info(cs).rc;
}

// --- Errors ----------------------------------------------------------------------

TEST(LastError, PersistsAfterALaterSuccess) {
  ferroglyph_htj2k_info info{};
  ASSERT_EQ(ferroglyph_htj2k_decode_info(nullptr, 0, 0, 0, 0, &info), 1);
  ASSERT_EQ(info_rc(clean_codestream()), 0);
  const fgtest::DecodeResult d = fgtest::decode(clean_codestream());
  ASSERT_EQ(d.rc, 0);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(), "null arg");
}

TEST(LastError, IsReplacedByTheNextFailure) {
  Bytes cs = clean_codestream();
  fgtest::put_u16(cs, 2 + fgtest::k_siz_rsiz, 0);
  ASSERT_EQ(info_rc(cs), 2);
  ASSERT_EQ(fgtest::decode_info(clean_codestream(), 9, 9).rc, 4);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(),
               "reduce exceeds the codestream's decomposition count");
}

// The detail of an OpenJPH error belongs to the call that raised it: a
// later failure of another kind reports its own text.
TEST(LastError, OpenJphDetailDoesNotLeakIntoALaterCall) {
  Bytes not_htj2k = clean_codestream();
  fgtest::put_u16(not_htj2k, 2 + fgtest::k_siz_rsiz, 0);
  ASSERT_EQ(fgtest::decode(not_htj2k).rc, -1);  // decode_info refused it
  ASSERT_STRNE(ferroglyph_htj2k_last_error(), "");
  const Bytes bad_order = fgtest::with_progression_byte(clean_codestream(), 7);
  Bytes dst(64 * 64 * 3);
  ASSERT_EQ(ferroglyph_htj2k_decode(bad_order.data(), bad_order.size(), dst.data(), dst.size(), 1,
                                    0, 0, 0, 1),
            5);
  EXPECT_EQ(
      std::string(ferroglyph_htj2k_last_error()).rfind("decode: invalid progression order 7", 0),
      0u)
      << ferroglyph_htj2k_last_error();
  ferroglyph_htj2k_info info{};
  ASSERT_EQ(ferroglyph_htj2k_decode_info(not_htj2k.data(), not_htj2k.size(), 0, 0, 0, &info), 2);
  ASSERT_EQ(ferroglyph_htj2k_decode_info(bad_order.data(), bad_order.size(), 0, 0, 0, &info), 2);
  EXPECT_EQ(std::string(ferroglyph_htj2k_last_error())
                .rfind("decode_info: invalid progression order 7", 0),
            0u)
      << ferroglyph_htj2k_last_error();
}

// --- Warnings ----------------------------------------------------------------------

TEST(Warnings, TwoMessagesJoinedByOneNewline) {
  ferroglyph_htj2k_clear_warnings();
  ASSERT_EQ(info_rc(with_rgn_and_poc()), 0);
  EXPECT_EQ(warnings(), std::string(k_rgn_warning) + "\n" + k_poc_warning);
}

TEST(Warnings, AccumulateOverCallsUntilCleared) {
  ferroglyph_htj2k_clear_warnings();
  const fgtest::DecodeResult d = fgtest::decode(with_rgn());  // decode_info, then decode
  ASSERT_EQ(d.rc, 0) << d.error;
  EXPECT_EQ(warnings(), std::string(k_rgn_warning) + "\n" + k_rgn_warning);
  ferroglyph_htj2k_clear_warnings();
  EXPECT_EQ(warnings(), "");
  ASSERT_EQ(info_rc(clean_codestream()), 0);
  EXPECT_EQ(warnings(), "");
}

// Skipping a no-op RGN costs nothing: the pixels are those of the plain
// codestream.
TEST(Warnings, SkippedMarkerStillDecodes) {
  const fgtest::DecodeResult plain = fgtest::decode(clean_codestream());
  const fgtest::DecodeResult skipped = fgtest::decode(with_rgn_and_poc());
  ASSERT_EQ(skipped.rc, 0) << skipped.error;
  EXPECT_EQ(skipped.samples.bytes(), plain.samples.bytes());
}

TEST(Warnings, EncodeWarningsAreCollectedToo) {
  ferroglyph_htj2k_encode_params p = fgtest::lossless_params(40, 30, 3, 8, false);
  p.prog_order = "PCRL";
  p.tilepart_resolutions = 1;
  fgtest::Samples src = fgtest::source_for(p);
  ferroglyph_htj2k_clear_warnings();
  ASSERT_FALSE(fgtest::must_encode(src, p).empty());
  EXPECT_EQ(warnings().rfind("For PCRL progression", 0), 0u) << warnings();
}

TEST(Warnings, DataLossInformationIsKept) {
  ferroglyph_htj2k_clear_warnings();
  const fgtest::DecodeResult d = fgtest::decode(truncated());
  ASSERT_EQ(d.rc, 0) << d.error;
  EXPECT_EQ(warnings(), "File terminated early");
}

TEST(Warnings, OtherInformationIsDropped) {
  ferroglyph_htj2k_clear_warnings();
  const fgtest::DecodeResult d = fgtest::decode(with_crg());
  ASSERT_EQ(d.rc, 0) << d.error;
  EXPECT_EQ(warnings(), "");
}

// OpenJPH's own messages are short, so the collectors are driven through
// OpenJPH's hooks directly, as OpenJPH would call them.
class MessageHooks : public testing::Test {
 protected:
  void SetUp() override { ferroglyph_htj2k_clear_warnings(); }  // installs the collectors
  void TearDown() override { ferroglyph_htj2k_clear_warnings(); }
};

TEST_F(MessageHooks, WarningIsCutAt1023Bytes) {
  const std::string long_text(3000, 'w');
  (*ojph::get_warning())(0x1234, "file.cpp", 1, "%s", long_text.c_str());
  EXPECT_EQ(warnings(), std::string(1023, 'w'));
  (*ojph::get_warning())(0x1234, "file.cpp", 2, "%s and %d", "second", 2);
  EXPECT_EQ(warnings(), std::string(1023, 'w') + "\nsecond and 2");
}

TEST_F(MessageHooks, WarningOf1023BytesIsKeptWhole) {
  const std::string text = std::string(1022, 'a') + "z";
  (*ojph::get_warning())(1, "f", 1, "%s", text.c_str());
  EXPECT_EQ(warnings(), text);
}

TEST_F(MessageHooks, EmptyWarningAddsNothing) {
  (*ojph::get_warning())(1, "f", 1, "%s", "");
  (*ojph::get_warning())(1, "f", 1, "first");
  (*ojph::get_warning())(1, "f", 1, "%s", "");
  EXPECT_EQ(warnings(), "first");
}

TEST_F(MessageHooks, InformationKeptOnlyWhenItMeansLostData) {
  (*ojph::get_info())(1, "f", 1,
                      "CRG has been ignored; CRG is related to where the Cb and Cr "
                      "colour components are co-sited or located with respect to the "
                      "Y' luma component. Perhaps, it is better to get the individual "
                      "components and assemble the samples according to your needs");
  (*ojph::get_info())(1, "f", 1, "%s\n", "File terminated early");
  (*ojph::get_info())(1, "f", 1, "Error decoding a codeblock.");
  EXPECT_EQ(warnings(), "File terminated early\nError decoding a codeblock.");
}

TEST_F(MessageHooks, ErrorHandlerThrowsTheFormattedMessage) {
  try {
    (*ojph::get_error())(1, "f", 1, "bad value %d in %s", 42, "SIZ");
    ADD_FAILURE() << "the error handler returned";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "bad value 42 in SIZ");
  }
}

// --- Threads ----------------------------------------------------------------------

TEST(ThreadTexts, AThreadThatNeverCalledSeesEmptyTexts) {
  // This thread has texts of its own.
  ferroglyph_htj2k_clear_warnings();
  ASSERT_EQ(info_rc(with_rgn()), 0);
  ASSERT_EQ(fgtest::decode_info(clean_codestream(), -1, 0).rc, 1);
  std::string error = "unset", warning = "unset";
  std::thread([&] {
    error = ferroglyph_htj2k_last_error();
    warning = ferroglyph_htj2k_last_warnings();
  }).join();
  EXPECT_EQ(error, "");
  EXPECT_EQ(warning, "");
  EXPECT_EQ(warnings(), k_rgn_warning);
}

TEST(ThreadTexts, WarningsOfOneThreadAreInvisibleOnAnother) {
  ferroglyph_htj2k_clear_warnings();
  std::string theirs;
  std::thread([&] {
    ferroglyph_htj2k_clear_warnings();
    if (info_rc(with_rgn()) == 0) theirs = ferroglyph_htj2k_last_warnings();
  }).join();
  EXPECT_EQ(theirs, k_rgn_warning);
  EXPECT_EQ(warnings(), "");

  ASSERT_EQ(info_rc(with_rgn_and_poc()), 0);
  std::string seen_there = "unset";
  std::thread([&] {
    ferroglyph_htj2k_clear_warnings();
    seen_there = ferroglyph_htj2k_last_warnings();
  }).join();
  EXPECT_EQ(seen_there, "");
  EXPECT_EQ(warnings(), std::string(k_rgn_warning) + "\n" + k_poc_warning);
}

// Threads decoding at the same time, each with its own kind of input, each
// find exactly their own messages.
TEST(ThreadTexts, ConcurrentCallsKeepTheirOwnTexts) {
  const Bytes inputs[] = {clean_codestream(), with_rgn(), with_rgn_and_poc(), truncated()};
  const std::string expected[] = {"", std::string(k_rgn_warning) + "\n" + k_rgn_warning,
                                  std::string(k_rgn_warning) + "\n" + k_poc_warning + "\n" +
                                      k_rgn_warning + "\n" + k_poc_warning,
                                  "File terminated early"};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      const int kind = t % 4;
      for (int round = 0; round < 10; ++round) {
        ferroglyph_htj2k_clear_warnings();
        const fgtest::DecodeResult d = fgtest::decode(inputs[kind]);
        if (d.rc != 0 || ferroglyph_htj2k_last_warnings() != expected[kind]) ++mismatches;
        if (fgtest::decode_info(inputs[kind], 0, 0 - 1 - kind).rc != 1 ||
            ferroglyph_htj2k_last_error() != std::string("reduce must be >= 0"))
          ++mismatches;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

// --- Silence ----------------------------------------------------------------------

// OpenJPH's default handlers print warnings and information to standard
// output and errors to standard error; the bridge replaces them all.
TEST(Silence, NothingIsPrinted) {
  Bytes not_htj2k = clean_codestream();
  fgtest::put_u16(not_htj2k, 2 + fgtest::k_siz_rsiz, 0);
  Bytes damaged = clean_codestream();
  for (size_t i = damaged.size() / 2; i < damaged.size() / 2 + 64; ++i) damaged[i] ^= 0x5A;
  ferroglyph_htj2k_encode_params p = fgtest::lossless_params(40, 30, 3, 8, false);
  p.prog_order = "LRCP";
  p.tilepart_components = 1;  // promoted by OpenJPH with an information message
  const fgtest::Samples src = fgtest::source_for(p);

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (const Bytes& cs : {truncated(), with_rgn_and_poc(), with_crg(), not_htj2k, damaged}) {
    for (int resilient : {0, 1}) {
      fgtest::decode_info(cs, 0, 0, resilient);
      fgtest::decode(cs, 1, true, 0, 0, resilient);
    }
  }
  fgtest::encode(src, p);
  p.prog_order = "PCRL";
  p.tilepart_resolutions = 1;
  fgtest::encode(src, p);
  p.prog_order = "bad";
  fgtest::encode(src, p);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
}

}  // namespace
