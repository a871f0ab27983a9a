// Failures OpenJPH never produces on its own: a line of the wrong component,
// a short line, a floating-point line, no line at all, and an exception that
// is not a standard one.  The bridge must turn each into its code and text.
//
// The test program interposes OpenJPH's codestream::pull, exchange and
// read_headers (the bridge library binds them through the dynamic linker, so
// definitions in this executable come first) and forwards to the real ones
// unless a fault is armed on the calling thread.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>

#include <new>

#include "bridge_test_support.h"

namespace {

enum class fault {
  none,
  other_component,
  short_line,
  float_line,
  no_line,
  foreign_exception,
  out_of_memory
};

thread_local fault g_pull_fault = fault::none;
thread_local fault g_exchange_fault = fault::none;
thread_local fault g_read_headers_fault = fault::none;

template <typename Fn>
Fn real(const char* symbol) {
  void* p = dlsym(RTLD_NEXT, symbol);
  if (p == nullptr) std::abort();
  return reinterpret_cast<Fn>(p);
}

// A line that the real pull/exchange returned, altered as the fault says.
// The copy lives per thread, so the real line buffer is never modified.
ojph::line_buf* apply(fault f, ojph::line_buf* line, ojph::ui32& comp) {
  thread_local ojph::line_buf altered;
  switch (f) {
    case fault::none: return line;
    case fault::no_line: return nullptr;
    case fault::foreign_exception: throw 42;
    case fault::out_of_memory: throw std::bad_alloc();
    case fault::other_component: comp += 1; return line;
    case fault::short_line:
      altered = *line;
      altered.size = line->size - 1;
      return &altered;
    case fault::float_line:
      altered = *line;
      altered.flags = ojph::line_buf::LFT_32BIT;
      return &altered;
  }
  return line;
}

struct armed {
  fault& slot;
  armed(fault& s, fault f) : slot(s) { slot = f; }
  ~armed() { slot = fault::none; }
};

}  // namespace

namespace ojph {

line_buf* codestream::pull(ui32& comp_num) {
  using fn = line_buf* (*)(codestream*, ui32&);
  static const fn forward = real<fn>("_ZN4ojph10codestream4pullERj");
  line_buf* line = forward(this, comp_num);
  return line == nullptr ? line : apply(g_pull_fault, line, comp_num);
}

line_buf* codestream::exchange(line_buf* line, ui32& next_component) {
  using fn = line_buf* (*)(codestream*, line_buf*, ui32&);
  static const fn forward = real<fn>("_ZN4ojph10codestream8exchangeEPNS_8line_bufERj");
  line_buf* next = forward(this, line, next_component);
  return next == nullptr ? next : apply(g_exchange_fault, next, next_component);
}

void codestream::read_headers(infile_base* file) {
  using fn = void (*)(codestream*, infile_base*);
  static const fn forward = real<fn>("_ZN4ojph10codestream12read_headersEPNS_11infile_baseE");
  if (g_read_headers_fault == fault::foreign_exception) throw 42;
  if (g_read_headers_fault == fault::out_of_memory) throw std::bad_alloc();
  forward(this, file);
}

}  // namespace ojph

namespace {

using fgtest::Bytes;

struct line_case {
  const char* name;
  fault f;
  int rc;
  const char* text;
};

class DecodeLineFaults : public testing::TestWithParam<line_case> {};

TEST_P(DecodeLineFaults, EndInTheirCodeAndText) {
  const line_case& c = GetParam();
  const Bytes cs = fgtest::small_codestream();
  fgtest::DecodeResult clean = fgtest::decode(cs);
  ASSERT_EQ(clean.rc, 0) << clean.error;
  armed on(g_pull_fault, c.f);
  fgtest::DecodeResult r = fgtest::decode(cs);
  EXPECT_EQ(r.rc, c.rc);
  EXPECT_EQ(r.error, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DecodeLineFaults,
    testing::Values(
        line_case{"other_component", fault::other_component, 4, "decode: component order mismatch"},
        line_case{"no_line", fault::no_line, 4, "decode: component order mismatch"},
        line_case{"short_line", fault::short_line, 4, "decode: short line"},
        line_case{"float_line", fault::float_line, 4, "decode: unexpected line buffer type"},
        line_case{"foreign_exception", fault::foreign_exception, 5,
                  "decode: unknown C++ exception"}),
    [](const testing::TestParamInfo<line_case>& i) { return std::string(i.param.name); });

class EncodeLineFaults : public testing::TestWithParam<line_case> {};

TEST_P(EncodeLineFaults, EndInTheirCodeAndTextAndHandOutNothing) {
  const line_case& c = GetParam();
  const ferroglyph_htj2k_encode_params p = fgtest::lossless_params(16, 8, 3, 8, false);
  fgtest::Samples src = fgtest::source_for(p);
  fgtest::fill_random(src, 8, 3);
  armed on(g_exchange_fault, c.f);
  uint8_t* buf = reinterpret_cast<uint8_t*>(&src);  // must be reset to null
  size_t size = 12345;
  EXPECT_EQ(ferroglyph_htj2k_encode(src.data(), &p, &buf, &size), c.rc);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(), c.text);
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(size, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EncodeLineFaults,
    testing::Values(
        line_case{"other_component", fault::other_component, 3, "component order mismatch"},
        line_case{"no_line", fault::no_line, 3, "component order mismatch"},
        line_case{"float_line", fault::float_line, 3, "unexpected line buffer type"},
        line_case{"foreign_exception", fault::foreign_exception, 5,
                  "encode: unknown C++ exception"}),
    [](const testing::TestParamInfo<line_case>& i) { return std::string(i.param.name); });

TEST(HeaderFaults, AForeignExceptionInTheHeaderReadIsReportedAsUnknown) {
  const Bytes cs = fgtest::small_codestream();
  armed on(g_read_headers_fault, fault::foreign_exception);
  ferroglyph_htj2k_info info{};
  EXPECT_EQ(ferroglyph_htj2k_decode_info(cs.data(), cs.size(), 0, 0, 0, &info), 2);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(), "decode_info: unknown C++ exception");
}

TEST(HeaderFaults, AForeignExceptionDoesNotReuseAnEarlierOpenJphMessage) {
  // An OpenJPH error first leaves its text behind; the later foreign
  // exception must not be reported with it.
  const Bytes garbage = {0xFF, 0x4F, 0xFF, 0x51, 0x00, 0x02, 0x00};
  ferroglyph_htj2k_info info{};
  ASSERT_EQ(ferroglyph_htj2k_decode_info(garbage.data(), garbage.size(), 0, 0, 0, &info), 2);
  const Bytes cs = fgtest::small_codestream();
  armed on(g_read_headers_fault, fault::foreign_exception);
  EXPECT_EQ(ferroglyph_htj2k_decode_info(cs.data(), cs.size(), 0, 0, 0, &info), 2);
  EXPECT_STREQ(ferroglyph_htj2k_last_error(), "decode_info: unknown C++ exception");
}

// The newer exports: OpenJPH's rows out of order are INTERNAL, its failed
// allocations MEMORY; the first three keep their numbers.
TEST(ComponentFaults, KindsOfTheNewerExports) {
  const Bytes cs = fgtest::small_codestream(20, 12, 3, 8, false);
  std::vector<uint8_t> planes(3 * 20 * 12);
  uint8_t* dsts[3] = {planes.data(), planes.data() + 240, planes.data() + 480};
  size_t sizes[3] = {240, 240, 240};
  int32_t bytes[3] = {1, 1, 1};
  auto decode_components = [&] {
    return ferroglyph_htj2k_decode_components(cs.data(), cs.size(), dsts, sizes, bytes, 3, 0, 0,
                                              0);
  };
  ASSERT_EQ(decode_components(), 0);
  for (fault f : {fault::other_component, fault::short_line, fault::float_line, fault::no_line}) {
    armed on(g_pull_fault, f);
    EXPECT_EQ(decode_components(), FERROGLYPH_HTJ2K_INTERNAL) << static_cast<int>(f);
  }
  {
    const ferroglyph_htj2k_encode_params p = fgtest::lossless_params(20, 12, 3, 8, false);
    const fgtest::Samples src = fgtest::source_for(p);
    ferroglyph_htj2k_region r{};
    uint8_t* buf = nullptr;
    size_t size = 0;
    armed on(g_exchange_fault, fault::other_component);
    EXPECT_EQ(ferroglyph_htj2k_encode_region(src.data(), &p, &r, &buf, &size),
              FERROGLYPH_HTJ2K_INTERNAL);
    EXPECT_EQ(buf, nullptr);
  }
  armed on(g_read_headers_fault, fault::out_of_memory);
  EXPECT_EQ(decode_components(), FERROGLYPH_HTJ2K_MEMORY);
  ferroglyph_htj2k_component_info comps[3];
  int n = 0;
  EXPECT_EQ(ferroglyph_htj2k_components_info(cs.data(), cs.size(), 0, 0, 0, comps, 3, &n),
            FERROGLYPH_HTJ2K_MEMORY);
  EXPECT_EQ(std::string(ferroglyph_htj2k_last_error()).rfind("components_info: ", 0), 0u);
  ferroglyph_htj2k_info info{};
  EXPECT_EQ(ferroglyph_htj2k_decode_info(cs.data(), cs.size(), 0, 0, 0, &info), 2);
}

}  // namespace
