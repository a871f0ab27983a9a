// A window of rows and columns of a one-tile decode.
//
// OpenJPH decodes whole lines and has no way to skip columns, but it decodes
// rows on demand: a pull produces the next row of a component, and the
// code-blocks below the last row asked for are never decoded.  So a window
// in the top part of an image costs about the share of the rows down to its
// last row, and closing the codestream there drops the rest.  Rows are
// pulled interleaved across components (row r of every component, then row
// r + 1), which OpenJPH allows with and without the component transform
// when every component has the image's size; in component order the last
// component could not start before the first one was decoded to the end.
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_params.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "messages.h"
#include "openjph_shim.h"
#include "sample_rows.h"
#include "shim_internal.h"

namespace shim = ferroglyph::shim;

namespace {

struct window {
  uint32_t row0, row1, col0, col1;
};

// The facts of a uniform codestream at the reduction, or a refusal text.
struct uniform_facts {
  uint32_t width = 0, height = 0, components = 0;
  int bit_depth = 0;
  bool is_signed = false;
};

const char* read_uniform(ojph::codestream& cs, uniform_facts* f) {
  ojph::param_siz siz = cs.access_siz();
  f->components = siz.get_num_components();
  f->width = siz.get_recon_width(0);
  f->height = siz.get_recon_height(0);
  f->bit_depth = static_cast<int>(siz.get_bit_depth(0));
  f->is_signed = siz.is_signed(0);
  const int nlt = shim::nlt_type_of(cs, 0);
  for (uint32_t c = 0; c < f->components; ++c) {
    const ojph::point ds = siz.get_downsampling(c);
    if (ds.x != 1 || ds.y != 1 || siz.get_recon_width(c) != f->width ||
        siz.get_recon_height(c) != f->height ||
        static_cast<int>(siz.get_bit_depth(c)) != f->bit_depth ||
        siz.is_signed(c) != f->is_signed || shim::nlt_type_of(cs, c) != nlt)
      return "components differ in bit depth, signedness, nonlinearity or subsampling; not "
             "supported";
  }
  if (shim::some_nlt_decodes_wrongly(cs))
    return "an NLT marker of type 0, or of type 3 on unsigned samples, decodes to zeros in this "
           "OpenJPH version; not supported";
  if (f->width < 1 || f->height < 1) return "reduce leaves a zero-sized image";
  return nullptr;
}

int pull_window(ojph::codestream& cs, const uniform_facts& f, const window& w, uint8_t* dst,
                int bytes_per_sample, int dst_planar) {
  const uint64_t C = f.components, W = w.col1 - w.col0, H = w.row1 - w.row0;
  const size_t step = dst_planar ? 1 : static_cast<size_t>(C);
  for (uint32_t r = 0; r < w.row1; ++r) {
    for (uint32_t c = 0; c < f.components; ++c) {
      ojph::ui32 got = 0;
      ojph::line_buf* line = cs.pull(got);
      if (line == nullptr || got != c) {
        shim::set_error("decode_rows: component order mismatch");
        return FERROGLYPH_HTJ2K_ROWS_INTERNAL;
      }
      if (line->size < f.width) {
        shim::set_error("decode_rows: short line");
        return FERROGLYPH_HTJ2K_ROWS_INTERNAL;
      }
      if (r < w.row0) continue;
      // The same line, seen from the window's first column.
      ojph::line_buf from = *line;
      if (from.flags & ojph::line_buf::LFT_64BIT)
        from.i64 += w.col0;
      else
        from.i32 += w.col0;
      const uint64_t y = r - w.row0;
      const uint64_t offset = dst_planar ? (c * H + y) * W : y * W * C + c;
      if (!shim::store_component_row(&from, dst, bytes_per_sample, f.is_signed,
                                     static_cast<size_t>(offset), step,
                                     static_cast<uint32_t>(W), f.bit_depth)) {
        shim::set_error("decode_rows: unexpected line buffer type");
        return FERROGLYPH_HTJ2K_ROWS_INTERNAL;
      }
    }
  }
  return 0;
}

int decode_rows_impl(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src,
                     size_t srcsize, uint8_t* dst, size_t dst_size, int bytes_per_sample,
                     int reduce_data, int reduce_recon, int resilient, int dst_planar,
                     const window& w) {
  shim::open_and_read_guarded(cs, in, src, srcsize, resilient);
  const char* why = shim::why_not_reducible(cs, std::max(reduce_data, reduce_recon));
  if (why == nullptr && shim::reduction_drops_vertical_only_level(src, srcsize, reduce_recon))
    why = "reduce leaves out a vertical-only decomposition level (DFS), which OpenJPH cannot "
          "reconstruct";
  if (why != nullptr) {
    shim::set_error(why);
    return FERROGLYPH_HTJ2K_ROWS_REDUCTION;
  }
  if (reduce_data != 0 || reduce_recon != 0)
    cs.restrict_input_resolution(static_cast<uint32_t>(reduce_data),
                                 static_cast<uint32_t>(reduce_recon));
  uniform_facts f;
  if (const char* refusal = read_uniform(cs, &f)) {
    shim::set_error(refusal);
    return FERROGLYPH_HTJ2K_ROWS_UNSUPPORTED;
  }
  if (f.bit_depth < 1 || f.bit_depth > 8 * bytes_per_sample) {
    shim::set_error("bytes_per_sample too small for the bit depth");
    return FERROGLYPH_HTJ2K_ROWS_ARGUMENT;
  }
  if (w.row1 > f.height || w.col1 > f.width) {
    shim::set_error("the window runs past the image at this reduction");
    return FERROGLYPH_HTJ2K_ROWS_ARGUMENT;
  }
  const uint64_t need = uint64_t{w.row1 - w.row0} * (w.col1 - w.col0) * f.components *
                        static_cast<uint64_t>(bytes_per_sample);
  if (static_cast<uint64_t>(dst_size) < need) {
    shim::set_error("destination buffer too small");
    return FERROGLYPH_HTJ2K_ROWS_BUFFER;
  }
  cs.set_planar(false);
  cs.create();
  if (int rc = pull_window(cs, f, w, dst, bytes_per_sample, dst_planar)) return rc;
  // Rows below the window are never pulled: their code-blocks stay undecoded.
  cs.close();
  return 0;
}

}  // namespace

extern "C" {

int ferroglyph_htj2k_decode_rows(const uint8_t* src, size_t srcsize, uint8_t* dst,
                                 size_t dst_size, int bytes_per_sample, int reduce_data,
                                 int reduce_recon, int resilient, int dst_planar, int32_t row0,
                                 int32_t row1, int32_t col0, int32_t col1) {
  shim::begin_call();
  if (src == nullptr || srcsize == 0 || dst == nullptr) {
    shim::set_error("null arg");
    return FERROGLYPH_HTJ2K_ROWS_ARGUMENT;
  }
  if (bytes_per_sample != 1 && bytes_per_sample != 2 && bytes_per_sample != 4) {
    shim::set_error("invalid bytes_per_sample");
    return FERROGLYPH_HTJ2K_ROWS_ARGUMENT;
  }
  if (reduce_data < 0 || reduce_recon < 0) {
    shim::set_error("reduce must be >= 0");
    return FERROGLYPH_HTJ2K_ROWS_ARGUMENT;
  }
  if (row0 < 0 || col0 < 0 || row1 <= row0 || col1 <= col0) {
    shim::set_error("the window must be non-empty, with 0 <= row0 < row1 and 0 <= col0 < col1");
    return FERROGLYPH_HTJ2K_ROWS_ARGUMENT;
  }
  const window w{static_cast<uint32_t>(row0), static_cast<uint32_t>(row1),
                 static_cast<uint32_t>(col0), static_cast<uint32_t>(col1)};
  ojph::codestream cs;
  ojph::mem_infile in;
  auto body = [&] {
    return decode_rows_impl(cs, in, src, srcsize, dst, dst_size, bytes_per_sample, reduce_data,
                            reduce_recon, resilient, dst_planar, w);
  };
  return shim::guarded("decode_rows", FERROGLYPH_HTJ2K_ROWS_MALFORMED, body);
}

}  // extern "C"
