// A window of a one-tile decode: the rows and columns it asks for, exactly as
// the whole decode gives them, with and without the component transform, at
// reductions, planar and interleaved; and its refusals.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "bridge_test_support.h"

namespace {

using fgtest::Bytes;
using fgtest::Samples;

struct Window {
  int row0, row1, col0, col1;
};

// The whole decode's samples inside the window, in the same layout.
Samples crop(const fgtest::DecodeResult& whole, const Window& w, bool planar) {
  const int C = whole.info.components, W = whole.info.width, H = whole.info.height;
  const int h = w.row1 - w.row0, ww = w.col1 - w.col0;
  Samples out(static_cast<size_t>(h) * ww * C, whole.samples.bytes_per_sample(),
              whole.samples.is_signed());
  for (int c = 0; c < C; ++c)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < ww; ++x) {
        const size_t from = planar ? (static_cast<size_t>(c) * H + w.row0 + y) * W + w.col0 + x
                                   : ((static_cast<size_t>(w.row0) + y) * W + w.col0 + x) * C + c;
        const size_t to = planar ? (static_cast<size_t>(c) * h + y) * ww + x
                                 : (static_cast<size_t>(y) * ww + x) * C + c;
        out.set(to, whole.samples.get(from));
      }
  return out;
}

int decode_rows(const Bytes& cs, Samples& dst, int reduce, bool planar, const Window& w) {
  return ferroglyph_htj2k_decode_rows(cs.data(), cs.size(), dst.data(), dst.size_bytes(),
                                      dst.bytes_per_sample(), reduce, reduce, 0, planar ? 1 : 0,
                                      w.row0, w.row1, w.col0, w.col1);
}

class DecodeRows : public ::testing::TestWithParam<std::tuple<int, bool, int, bool>> {};

TEST_P(DecodeRows, EqualsTheWholeDecodeCropped) {
  const auto [components, transform, reduce, planar] = GetParam();
  ferroglyph_htj2k_encode_params p = fgtest::lossless_params(61, 47, components, 12, false);
  p.color_transform = transform ? 1 : 0;
  Samples src = fgtest::source_for(p);
  fgtest::fill_random(src, 12, 24);
  const Bytes cs = fgtest::must_encode(src, p);
  const fgtest::DecodeResult whole = fgtest::decode(cs, 2, planar, reduce, reduce);
  ASSERT_EQ(whole.rc, 0) << whole.error;
  const int H = whole.info.height, W = whole.info.width;
  for (const Window& w : {Window{0, H, 0, W}, Window{0, 1, 0, 1}, Window{H - 1, H, W - 1, W},
                          Window{H / 3, H / 2 + 1, W / 4, W - 1}}) {
    Samples got(static_cast<size_t>(w.row1 - w.row0) * (w.col1 - w.col0) * components, 2, false);
    ASSERT_EQ(decode_rows(cs, got, reduce, planar, w), 0) << ferroglyph_htj2k_last_error();
    EXPECT_EQ(got.bytes(), crop(whole, w, planar).bytes())
        << w.row0 << " " << w.row1 << " " << w.col0 << " " << w.col1;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, DecodeRows,
                         ::testing::Values(std::make_tuple(1, false, 0, true),
                                           std::make_tuple(3, false, 0, false),
                                           std::make_tuple(3, true, 0, true),
                                           std::make_tuple(3, true, 2, false),
                                           std::make_tuple(2, false, 3, true)));

TEST(DecodeRows, Refusals) {
  const Bytes cs = fgtest::small_codestream(37, 23, 3);
  Samples dst(37 * 23 * 3, 1, false);
  struct Case {
    Window w;
    int reduce;
    size_t size;
    int code;
  };
  for (const Case& k : {Case{{0, 0, 0, 5}, 0, dst.size_bytes(), FERROGLYPH_HTJ2K_ARGUMENT},
                        Case{{5, 2, 0, 5}, 0, dst.size_bytes(), FERROGLYPH_HTJ2K_ARGUMENT},
                        Case{{0, 24, 0, 5}, 0, dst.size_bytes(), FERROGLYPH_HTJ2K_ARGUMENT},
                        Case{{0, 13, 0, 19}, 1, dst.size_bytes(), FERROGLYPH_HTJ2K_ARGUMENT},
                        Case{{0, 5, 0, 5}, 9, dst.size_bytes(), FERROGLYPH_HTJ2K_REDUCTION},
                        Case{{0, 5, 0, 5}, 0, 74, FERROGLYPH_HTJ2K_BUFFER}}) {
    const int rc = ferroglyph_htj2k_decode_rows(cs.data(), cs.size(), dst.data(), k.size, 1,
                                                k.reduce, k.reduce, 0, 1, k.w.row0, k.w.row1,
                                                k.w.col0, k.w.col1);
    EXPECT_EQ(rc, k.code) << ferroglyph_htj2k_last_error();
  }
  Bytes cut(cs.begin(), cs.begin() + 20);
  EXPECT_EQ(ferroglyph_htj2k_decode_rows(cut.data(), cut.size(), dst.data(), dst.size_bytes(), 1,
                                         0, 0, 0, 1, 0, 1, 0, 1),
            FERROGLYPH_HTJ2K_MALFORMED);
}

}  // namespace
