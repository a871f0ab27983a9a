// Moving one row of one component between a caller's sample buffer and an
// OpenJPH line buffer.  These are the only routines that touch sample values.
//
// A row is addressed by the element index of its first sample (`offset`) and
// the distance between consecutive samples (`step`), both in elements of the
// caller's sample type, so planar (step 1) and interleaved (step C) buffers
// share one code path.  The sample type and the line width are chosen once
// per row; the per-sample loops are plain and vectorise for step 1.
#ifndef FERROGLYPH_SHIM_SAMPLE_ROWS_H
#define FERROGLYPH_SHIM_SAMPLE_ROWS_H

#include <openjph/ojph_mem.h>

#include <cstddef>
#include <cstdint>

namespace ferroglyph::shim {

// Caller sample types, keyed by bytes_per_sample * 2 + signed.
enum class sample_type { u8, s8, u16, s16, u32, s32, refused };

inline sample_type select_sample_type(int bytes_per_sample, bool is_signed) {
  switch (bytes_per_sample * 2 + (is_signed ? 1 : 0)) {
    case 2: return sample_type::u8;
    case 3: return sample_type::s8;
    case 4: return sample_type::u16;
    case 5: return sample_type::s16;
    case 8: return sample_type::u32;
    case 9: return sample_type::s32;
    default: return sample_type::refused;
  }
}

// Range of a codestream sample of `bit_depth` bits.
struct sample_range {
  int64_t lo;
  int64_t hi;
};

inline sample_range range_of(int bit_depth, bool is_signed) {
  // Computed in 64-bit arithmetic; depths above 62 cannot reach here (the
  // codestream format caps precision at 38 bits).
  if (bit_depth < 1) return {0, 0};
  if (bit_depth > 62) bit_depth = 62;
  if (is_signed) {
    const int64_t half = int64_t{1} << (bit_depth - 1);
    return {-half, half - 1};
  }
  return {0, (int64_t{1} << bit_depth) - 1};
}

namespace detail {

template <typename Sample, typename Line>
inline void load_row(const Sample* src, size_t step, Line* dst, uint32_t width) {
  if (step == 1) {
    for (uint32_t i = 0; i < width; ++i) dst[i] = static_cast<Line>(src[i]);
  } else {
    for (uint32_t i = 0; i < width; ++i) dst[i] = static_cast<Line>(src[i * step]);
  }
}

template <typename Sample, typename Line>
inline void store_row(const Line* src, Sample* dst, size_t step, uint32_t width) {
  if (step == 1) {
    for (uint32_t i = 0; i < width; ++i) dst[i] = static_cast<Sample>(src[i]);
  } else {
    for (uint32_t i = 0; i < width; ++i) dst[i * step] = static_cast<Sample>(src[i]);
  }
}

// Clamps in the line's own width: the range of a precision below 32 bits
// fits a 32-bit line, and 32-bit comparisons vectorise where 64-bit ones
// do not.
template <typename Sample, typename Line>
inline void store_row_clamped(const Line* src, Sample* dst, size_t step, uint32_t width,
                              int64_t lo64, int64_t hi64) {
  const Line lo = static_cast<Line>(lo64), hi = static_cast<Line>(hi64);
  auto clamp = [lo, hi](Line v) { return v < lo ? lo : (v > hi ? hi : v); };
  if (step == 1) {
    for (uint32_t i = 0; i < width; ++i) dst[i] = static_cast<Sample>(clamp(src[i]));
  } else {
    for (uint32_t i = 0; i < width; ++i) dst[i * step] = static_cast<Sample>(clamp(src[i]));
  }
}

template <typename Sample>
inline void load_typed(const void* src, size_t offset, size_t step, ojph::line_buf* line,
                       uint32_t width) {
  const Sample* s = static_cast<const Sample*>(src) + offset;
  if (line->flags & ojph::line_buf::LFT_64BIT)
    load_row(s, step, line->i64, width);
  else
    load_row(s, step, line->i32, width);
}

template <typename Sample>
inline void store_typed(const ojph::line_buf* line, void* dst, size_t offset, size_t step,
                        uint32_t width, bool clamp, sample_range r) {
  Sample* d = static_cast<Sample*>(dst) + offset;
  const bool wide = (line->flags & ojph::line_buf::LFT_64BIT) != 0;
  if (!clamp)
    store_row(line->i32, d, step, width);  // only 32-bit lines go unclamped
  else if (wide)
    store_row_clamped(line->i64, d, step, width, r.lo, r.hi);
  else  // bit_depth < 32 here, so lo and hi fit 32 bits
    store_row_clamped(line->i32, d, step, width, r.lo, r.hi);
}

}  // namespace detail

// Fills `line` with `width` samples of the caller's buffer.  Signed samples
// are sign-extended, unsigned ones zero-extended; an unsigned 32-bit sample
// keeps its bit pattern in a 32-bit line.  No range check: values outside the
// declared precision reach OpenJPH unchanged.  Returns false, writing nothing,
// for a floating-point line or an unsupported sample type.
inline bool load_component_row(const void* src, int bytes_per_sample, bool is_signed,
                               size_t offset, size_t step, ojph::line_buf* line,
                               uint32_t width) {
  if (!(line->flags & ojph::line_buf::LFT_INTEGER)) return false;
  switch (select_sample_type(bytes_per_sample, is_signed)) {
    case sample_type::u8: detail::load_typed<uint8_t>(src, offset, step, line, width); break;
    case sample_type::s8: detail::load_typed<int8_t>(src, offset, step, line, width); break;
    case sample_type::u16: detail::load_typed<uint16_t>(src, offset, step, line, width); break;
    case sample_type::s16: detail::load_typed<int16_t>(src, offset, step, line, width); break;
    case sample_type::u32: detail::load_typed<uint32_t>(src, offset, step, line, width); break;
    case sample_type::s32: detail::load_typed<int32_t>(src, offset, step, line, width); break;
    case sample_type::refused: return false;
  }
  return true;
}

// Writes `width` samples of `line` into the caller's buffer, clamped to the
// range of a `bit_depth`-bit sample of the codestream's signedness.  The one
// exception is a 32-bit line at 32 bits or more, whose bit pattern is written
// unchanged (so unsigned 32-bit samples keep their full range).  Returns
// false, writing nothing, for a floating-point line or an unsupported type.
inline bool store_component_row(const ojph::line_buf* line, void* dst, int bytes_per_sample,
                                bool is_signed, size_t offset, size_t step, uint32_t width,
                                int bit_depth) {
  if (!(line->flags & ojph::line_buf::LFT_INTEGER)) return false;
  const bool wide = (line->flags & ojph::line_buf::LFT_64BIT) != 0;
  const bool clamp = bit_depth < 32 || wide;
  const sample_range r = range_of(bit_depth, is_signed);
  switch (select_sample_type(bytes_per_sample, is_signed)) {
    case sample_type::u8: detail::store_typed<uint8_t>(line, dst, offset, step, width, clamp, r); break;
    case sample_type::s8: detail::store_typed<int8_t>(line, dst, offset, step, width, clamp, r); break;
    case sample_type::u16: detail::store_typed<uint16_t>(line, dst, offset, step, width, clamp, r); break;
    case sample_type::s16: detail::store_typed<int16_t>(line, dst, offset, step, width, clamp, r); break;
    case sample_type::u32: detail::store_typed<uint32_t>(line, dst, offset, step, width, clamp, r); break;
    case sample_type::s32: detail::store_typed<int32_t>(line, dst, offset, step, width, clamp, r); break;
    case sample_type::refused: return false;
  }
  return true;
}

}  // namespace ferroglyph::shim

#endif  // FERROGLYPH_SHIM_SAMPLE_ROWS_H
