// Shared fixtures of the bridge tests: caller sample buffers, encode and
// decode wrappers that capture the bridge's texts, and byte-level access to
// codestream marker segments for crafting inputs that OpenJPH reacts to.
#ifndef FERROGLYPH_TESTS_BRIDGE_TEST_SUPPORT_H
#define FERROGLYPH_TESTS_BRIDGE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "markers.h"
#include "openjph_shim.h"

namespace fgtest {

using Bytes = std::vector<uint8_t>;

// Marker codes of the codestream syntax, as the bridge names them.
using ferroglyph::markers::k_cod;
using ferroglyph::markers::k_eoc;
using ferroglyph::markers::k_siz;
using ferroglyph::markers::k_soc;
using ferroglyph::markers::k_sot;
using ferroglyph::markers::k_tlm;

// Byte offsets inside the SIZ segment, counted from its marker.
constexpr size_t k_siz_rsiz = 4;
constexpr size_t k_siz_xsiz = 6;
constexpr size_t k_siz_ysiz = 10;
constexpr size_t k_siz_xosiz = 14;
constexpr size_t k_siz_xtsiz = 22;
constexpr size_t k_siz_ytsiz = 26;
constexpr size_t k_siz_csiz = 38;
constexpr size_t k_siz_first_ssiz = 40;  // then XRsiz, YRsiz; 3 bytes per component
// Byte offsets inside the COD segment, counted from its marker.
constexpr size_t k_cod_progression = 5;
constexpr size_t k_cod_levels = 9;
constexpr size_t k_cod_xcb = 10;  // log2(width) - 2
constexpr size_t k_cod_ycb = 11;
constexpr size_t k_cod_wavelet = 13;  // 1: reversible 5/3

inline int narrowest_bytes(int bit_depth) {
  return bit_depth <= 8 ? 1 : (bit_depth <= 16 ? 2 : 4);
}

// Lowest and highest sample value of a `bit_depth`-bit component.
inline int64_t sample_min(int bit_depth, bool is_signed) {
  return is_signed ? -(int64_t{1} << (bit_depth - 1)) : 0;
}
inline int64_t sample_max(int bit_depth, bool is_signed) {
  return is_signed ? (int64_t{1} << (bit_depth - 1)) - 1 : (int64_t{1} << bit_depth) - 1;
}

// A caller's sample buffer: `count` elements of 1, 2 or 4 bytes, signed or
// not, in native byte order.
class Samples {
 public:
  Samples() = default;
  Samples(size_t count, int bytes_per_sample, bool is_signed)
      : bytes_(count * bytes_per_sample), bps_(bytes_per_sample), signed_(is_signed) {}

  size_t count() const { return bps_ ? bytes_.size() / bps_ : 0; }
  int bytes_per_sample() const { return bps_; }
  bool is_signed() const { return signed_; }
  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  size_t size_bytes() const { return bytes_.size(); }
  Bytes& bytes() { return bytes_; }
  const Bytes& bytes() const { return bytes_; }

  int64_t get(size_t i) const {
    const uint8_t* p = bytes_.data() + i * bps_;
    switch (bps_ * 2 + (signed_ ? 1 : 0)) {
      case 2: return load<uint8_t>(p);
      case 3: return load<int8_t>(p);
      case 4: return load<uint16_t>(p);
      case 5: return load<int16_t>(p);
      case 8: return load<uint32_t>(p);
      default: return load<int32_t>(p);
    }
  }
  void set(size_t i, int64_t v) {
    uint8_t* p = bytes_.data() + i * bps_;
    switch (bps_) {
      case 1: store(p, static_cast<uint8_t>(v)); break;
      case 2: store(p, static_cast<uint16_t>(v)); break;
      default: store(p, static_cast<uint32_t>(v)); break;
    }
  }

 private:
  template <typename T>
  static int64_t load(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<int64_t>(v);
  }
  template <typename T>
  static void store(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
  }

  Bytes bytes_;
  int bps_ = 0;
  bool signed_ = false;
};

// Uniformly random samples of the given precision; the first two samples of
// every block of `block` are the lowest and highest value, so that both
// extremes always take part.
inline void fill_random(Samples& s, int bit_depth, uint32_t seed, size_t block = 0) {
  std::mt19937_64 rng(seed);
  const int64_t lo = sample_min(bit_depth, s.is_signed());
  const int64_t hi = sample_max(bit_depth, s.is_signed());
  std::uniform_int_distribution<int64_t> dist(lo, hi);
  for (size_t i = 0; i < s.count(); ++i) s.set(i, dist(rng));
  if (block == 0) block = s.count();
  for (size_t b = 0; b + 1 < s.count(); b += block) {
    s.set(b, lo);
    s.set(b + 1, hi);
  }
}

// Converts between planar (C, H, W) and interleaved (H, W, C) buffers.
inline Samples to_interleaved(const Samples& planar, size_t components) {
  Samples out(planar.count(), planar.bytes_per_sample(), planar.is_signed());
  const size_t plane = planar.count() / components;
  for (size_t c = 0; c < components; ++c)
    for (size_t i = 0; i < plane; ++i) out.set(i * components + c, planar.get(c * plane + i));
  return out;
}

// Settings of a lossless encode of a (components, height, width) planar
// image in the narrowest sample width; OpenJPH's defaults for the rest.
inline ferroglyph_htj2k_encode_params lossless_params(int width, int height, int components,
                                                      int bit_depth, bool is_signed) {
  ferroglyph_htj2k_encode_params p{};
  p.width = width;
  p.height = height;
  p.components = components;
  p.bit_depth = bit_depth;
  p.is_signed = is_signed ? 1 : 0;
  p.bytes_per_sample = narrowest_bytes(bit_depth);
  p.src_planar = 1;
  p.reversible = 1;
  p.num_decomp = -1;
  return p;
}

inline Samples source_for(const ferroglyph_htj2k_encode_params& p) {
  return Samples(static_cast<size_t>(p.width) * p.height * p.components, p.bytes_per_sample,
                 p.is_signed != 0);
}

struct EncodeResult {
  int rc = -1;
  std::string error;
  Bytes codestream;
};

inline EncodeResult encode(const uint8_t* src, const ferroglyph_htj2k_encode_params& p) {
  EncodeResult r;
  uint8_t* buf = nullptr;
  size_t size = 0;
  r.rc = ferroglyph_htj2k_encode(src, &p, &buf, &size);
  if (r.rc == 0) {
    r.codestream.assign(buf, buf + size);
    ferroglyph_htj2k_free(buf);
  } else {
    r.error = ferroglyph_htj2k_last_error();
  }
  return r;
}

inline EncodeResult encode(const Samples& src, const ferroglyph_htj2k_encode_params& p) {
  return encode(src.data(), p);
}

// Encodes and records a test failure when the bridge refuses.
inline Bytes must_encode(const Samples& src, const ferroglyph_htj2k_encode_params& p) {
  EncodeResult r = encode(src, p);
  EXPECT_EQ(r.rc, 0) << r.error;
  return r.codestream;
}

// A small reversible codestream of random 8-bit samples.
inline Bytes small_codestream(int width = 37, int height = 23, int components = 3,
                              int bit_depth = 8, bool is_signed = false) {
  const ferroglyph_htj2k_encode_params p =
      lossless_params(width, height, components, bit_depth, is_signed);
  Samples src = source_for(p);
  fill_random(src, bit_depth, 7);
  return must_encode(src, p);
}

struct InfoResult {
  int rc = -1;
  std::string error;
  ferroglyph_htj2k_info info{};
};

inline InfoResult decode_info(const Bytes& cs, int reduce_data = 0, int reduce_recon = 0,
                              int resilient = 0) {
  InfoResult r;
  r.rc = ferroglyph_htj2k_decode_info(cs.data(), cs.size(), reduce_data, reduce_recon, resilient,
                                      &r.info);
  if (r.rc != 0) r.error = ferroglyph_htj2k_last_error();
  return r;
}

struct DecodeResult {
  int rc = -1;
  std::string error;
  ferroglyph_htj2k_info info{};
  Samples samples;
};

// Sizes the destination from decode_info, then decodes into it.
inline DecodeResult decode(const Bytes& cs, int bytes_per_sample = 0, bool planar = true,
                           int reduce_data = 0, int reduce_recon = 0, int resilient = 0) {
  DecodeResult r;
  InfoResult info = decode_info(cs, reduce_data, reduce_recon, resilient);
  if (info.rc != 0) {
    r.rc = -1;
    r.error = "decode_info failed first: " + info.error;
    return r;
  }
  r.info = info.info;
  if (bytes_per_sample == 0) bytes_per_sample = narrowest_bytes(info.info.bit_depth);
  r.samples =
      Samples(static_cast<size_t>(info.info.width) * info.info.height * info.info.components,
              bytes_per_sample, info.info.is_signed != 0);
  r.rc = ferroglyph_htj2k_decode(cs.data(), cs.size(), r.samples.data(), r.samples.size_bytes(),
                                 bytes_per_sample, reduce_data, reduce_recon, resilient,
                                 planar ? 1 : 0);
  if (r.rc != 0) r.error = ferroglyph_htj2k_last_error();
  return r;
}

// Header read, full decode and (`at_reductions`) smallest-resolution decode,
// with and without resilience, for inputs whose outcome does not matter,
// only that every call returns.  Destinations are sized from the header, up
// to `max_bytes`; an image larger than that is only refused, not decoded at
// a reduction.
inline void exercise(const Bytes& cs, size_t max_bytes, bool at_reductions = true) {
  auto need_of = [](const InfoResult& r) {
    return static_cast<size_t>(r.info.width) * r.info.height * r.info.components *
           narrowest_bytes(r.info.bit_depth);
  };
  for (int resilient : {0, 1}) {
    const InfoResult info = decode_info(cs, 0, 0, resilient);
    int levels = 0;
    if (info.rc == 0 && need_of(info) <= max_bytes) levels = info.info.num_decompositions;
    if (!at_reductions) levels = 0;
    for (int reduce : levels > 0 ? std::vector<int>{0, levels} : std::vector<int>{0}) {
      const InfoResult at = decode_info(cs, reduce, reduce, resilient);
      size_t need = 64;
      int bps = 1;
      if (at.rc == 0) {
        bps = narrowest_bytes(at.info.bit_depth);
        need = need_of(at);
      }
      // Left uninitialised: a refused decode then costs no page faults.
      const size_t size = std::min(need, max_bytes);
      std::unique_ptr<uint8_t[]> dst(new uint8_t[size]);
      ferroglyph_htj2k_decode(cs.data(), cs.size(), dst.get(), size, bps, reduce, reduce, resilient,
                              1);
    }
  }
}

// --- Byte-level codestream access --------------------------------------------

inline uint16_t get_u16(const Bytes& b, size_t at) {
  return static_cast<uint16_t>(b.at(at) << 8 | b.at(at + 1));
}
inline uint32_t get_u32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(get_u16(b, at)) << 16 | get_u16(b, at + 2);
}
inline void put_u16(Bytes& b, size_t at, uint16_t v) {
  b.at(at) = static_cast<uint8_t>(v >> 8);
  b.at(at + 1) = static_cast<uint8_t>(v);
}
inline void put_u32(Bytes& b, size_t at, uint32_t v) {
  put_u16(b, at, static_cast<uint16_t>(v >> 16));
  put_u16(b, at + 2, static_cast<uint16_t>(v));
}

struct Segment {
  uint16_t marker = 0;
  size_t offset = 0;  // of the marker
  size_t length = 0;  // the segment's length field (marker excluded)
};

// The marker segments of the main header, SIZ to the last one before the
// first SOT; empty when the header cannot be walked.
inline std::vector<Segment> main_header(const Bytes& cs) {
  std::vector<Segment> out;
  if (cs.size() < 4 || get_u16(cs, 0) != k_soc) return out;
  size_t at = 2;
  while (at + 4 <= cs.size()) {
    const ferroglyph::markers::segment s = ferroglyph::markers::segment_at(cs.data(), at);
    if (s.marker == k_sot || (s.marker >> 8) != 0xFF) break;
    out.push_back({static_cast<uint16_t>(s.marker), at, s.length});
    at = s.end;
  }
  return out;
}

// The first main-header segment with this marker; offset 0 when absent.
inline Segment find_segment(const Bytes& cs, uint16_t marker) {
  for (const Segment& s : main_header(cs))
    if (s.marker == marker) return s;
  return {};
}

inline size_t first_sot(const Bytes& cs) {
  const std::vector<Segment> segs = main_header(cs);
  if (segs.empty()) return 0;
  return segs.back().offset + 2 + segs.back().length;
}

// The number of tile-parts, found by following the SOT segments' Psot.
inline size_t count_tile_parts(const Bytes& cs) {
  size_t n = 0;
  size_t at = first_sot(cs);
  ferroglyph::markers::sot_segment sot;
  while (at != 0 && ferroglyph::markers::sot_at(cs.data(), cs.size(), at, &sot)) {
    ++n;
    if (sot.psot == 0) break;  // the last tile-part runs to EOC
    at += sot.psot;
  }
  return n;
}

inline Bytes insert_at(Bytes cs, size_t at, const Bytes& bytes) {
  cs.insert(cs.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
  return cs;
}

inline Bytes insert_before_first_sot(const Bytes& cs, const Bytes& segment) {
  return insert_at(cs, first_sot(cs), segment);
}

// An NLT segment for every component (Cnlt 0xFFFF) with the given type.
inline Bytes nlt_segment(int bit_depth, bool is_signed, uint8_t type) {
  const uint8_t bd = static_cast<uint8_t>((bit_depth - 1) | (is_signed ? 0x80 : 0));
  return {0xFF, 0x76, 0x00, 0x06, 0xFF, 0xFF, bd, type};
}

// No-op RGN and POC segments, which OpenJPH skips with a warning each.
inline Bytes rgn_segment() {
  return {0xFF, 0x5E, 0x00, 0x05, 0x00, 0x00, 0x00};
}
inline Bytes poc_segment() {
  return {0xFF, 0x5F, 0x00, 0x09, 0x00, 0x00, 0x00, 0x01, 0x06, 0x03, 0x02};
}

// The main COD's progression order byte overwritten.
inline Bytes with_progression_byte(Bytes cs, uint8_t order) {
  const Segment cod = find_segment(cs, k_cod);
  if (cod.offset != 0) cs.at(cod.offset + k_cod_progression) = order;
  return cs;
}

// --- Files ---------------------------------------------------------------------

inline Bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// A raw codestream starts at SOC followed by SIZ; a wrapped one (JP2/JPH
// boxes) holds it inside its codestream box.
inline Bytes raw_codestream(const Bytes& file) {
  for (size_t i = 0; i + 4 <= file.size(); ++i)
    if (get_u16(file, i) == k_soc && get_u16(file, i + 2) == k_siz)
      return Bytes(file.begin() + static_cast<std::ptrdiff_t>(i), file.end());
  return file;
}

// A binary PGM (P5) or PPM (P6) image, samples interleaved.
struct Pnm {
  int width = 0, height = 0, components = 0, maxval = 0;
  std::vector<int64_t> samples;
};

inline bool read_pnm(const std::string& path, Pnm& img) {
  const Bytes b = read_file(path);
  size_t at = 0;
  auto token = [&]() -> std::string {
    std::string t;
    while (at < b.size()) {
      if (b[at] == '#') {
        while (at < b.size() && b[at] != '\n') ++at;
      } else if (std::isspace(b[at])) {
        ++at;
      } else {
        break;
      }
    }
    while (at < b.size() && !std::isspace(b[at])) t += static_cast<char>(b[at++]);
    return t;
  };
  const std::string magic = token();
  if (magic != "P5" && magic != "P6") return false;
  img.components = magic == "P5" ? 1 : 3;
  img.width = std::stoi(token());
  img.height = std::stoi(token());
  img.maxval = std::stoi(token());
  ++at;  // the single whitespace before the raster
  const size_t bps = img.maxval > 255 ? 2 : 1;
  const size_t n = static_cast<size_t>(img.width) * img.height * img.components;
  if (b.size() < at + n * bps) return false;
  img.samples.resize(n);
  for (size_t i = 0; i < n; ++i)
    img.samples[i] = bps == 2 ? (b[at + 2 * i] << 8 | b[at + 2 * i + 1]) : b[at + i];
  return true;
}

}  // namespace fgtest

#endif  // FERROGLYPH_TESTS_BRIDGE_TEST_SUPPORT_H
