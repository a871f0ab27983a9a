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

#include <cstdint>

#include "guards.h"
#include "messages.h"
#include "openjph_shim.h"
#include "row_order.h"
#include "sample_rows.h"
#include "shim_internal.h"

namespace shim = ferroglyph::shim;

namespace {

struct window {
  uint32_t row0, row1, col0, col1;
};

int refuse(int kind, const char* text) {
  shim::set_error(text);
  return kind;
}

// What a window of this decode cannot deliver, by the header facts at the
// reduction.
int refuse_facts(const shim::header_facts& f, uint32_t width, uint32_t height,
                 int bytes_per_sample) {
  if (!f.uniform)
    return refuse(FERROGLYPH_HTJ2K_UNSUPPORTED,
                  "components differ in bit depth, signedness, nonlinearity or subsampling; not "
                  "supported");
  if (f.nlt_decoded_wrongly) return refuse(FERROGLYPH_HTJ2K_UNSUPPORTED, shim::k_nlt_refusal);
  if (width < 1 || height < 1)
    return refuse(FERROGLYPH_HTJ2K_REDUCTION, "reduce leaves a zero-sized image");
  if (f.bit_depth < 1 || f.bit_depth > 8 * bytes_per_sample)
    return refuse(FERROGLYPH_HTJ2K_ARGUMENT, "bytes_per_sample too small for the bit depth");
  return 0;
}

// Pulls rows 0 .. row1 - 1 of every component, interleaved, and stores the
// window's part of rows row0 and below.
int pull_window(ojph::codestream& cs, const shim::header_facts& f, uint32_t width,
                const window& w, uint8_t* dst, int bytes_per_sample, int dst_planar) {
  const uint64_t C = static_cast<uint64_t>(f.components), W = w.col1 - w.col0,
                 H = w.row1 - w.row0;
  const size_t step = dst_planar ? 1 : static_cast<size_t>(C);
  auto store = [&](uint32_t c, uint32_t r) -> int {
    ojph::ui32 got = 0;
    ojph::line_buf* line = cs.pull(got);
    if (line == nullptr || got != c)
      return refuse(FERROGLYPH_HTJ2K_INTERNAL, "decode_rows: component order mismatch");
    if (line->size < width) return refuse(FERROGLYPH_HTJ2K_INTERNAL, "decode_rows: short line");
    if (r < w.row0) return 0;
    // The same line, seen from the window's first column.
    ojph::line_buf from = *line;
    if (from.flags & ojph::line_buf::LFT_64BIT)
      from.i64 += w.col0;
    else
      from.i32 += w.col0;
    const uint64_t y = r - w.row0;
    const uint64_t offset = dst_planar ? (c * H + y) * W : y * W * C + c;
    if (!shim::store_component_row(&from, dst, bytes_per_sample, f.is_signed,
                                   static_cast<size_t>(offset), step, static_cast<uint32_t>(W),
                                   f.bit_depth))
      return refuse(FERROGLYPH_HTJ2K_INTERNAL, "decode_rows: unexpected line buffer type");
    return 0;
  };
  // Interleaved order whether or not the transform is used (every
  // component has the image's size here), so that stopping after row1 - 1
  // leaves the rows below undecoded in every component.
  return shim::visit_rows(
      true, static_cast<uint32_t>(C), [&w](uint32_t) { return w.row1; }, store);
}

int decode_rows_impl(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src,
                     size_t srcsize, uint8_t* dst, size_t dst_size, int bytes_per_sample,
                     int reduce_data, int reduce_recon, int resilient, int dst_planar,
                     const window& w) {
  shim::read_checked_header(cs, in, src, srcsize, resilient);
  if (const char* why =
          shim::decode_reduction_refusal(cs, src, srcsize, reduce_data, reduce_recon))
    return refuse(FERROGLYPH_HTJ2K_REDUCTION, why);
  shim::apply_reduction(cs, reduce_data, reduce_recon);
  const shim::header_facts f = shim::read_facts(cs);
  ojph::param_siz siz = cs.access_siz();
  const uint32_t width = siz.get_recon_width(0), height = siz.get_recon_height(0);
  if (int rc = refuse_facts(f, width, height, bytes_per_sample)) return rc;
  if (w.row1 > height || w.col1 > width)
    return refuse(FERROGLYPH_HTJ2K_ARGUMENT, "the window runs past the image at this reduction");
  const uint64_t need = uint64_t{w.row1 - w.row0} * (w.col1 - w.col0) *
                        static_cast<uint64_t>(f.components) *
                        static_cast<uint64_t>(bytes_per_sample);
  if (static_cast<uint64_t>(dst_size) < need)
    return refuse(FERROGLYPH_HTJ2K_BUFFER, "destination buffer too small");
  cs.set_planar(false);  // rows interleaved across components (pull_window)
  cs.create();
  if (int rc = pull_window(cs, f, width, w, dst, bytes_per_sample, dst_planar)) return rc;
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
  if (src == nullptr || srcsize == 0 || dst == nullptr)
    return refuse(FERROGLYPH_HTJ2K_ARGUMENT, "null arg");
  if (bytes_per_sample != 1 && bytes_per_sample != 2 && bytes_per_sample != 4)
    return refuse(FERROGLYPH_HTJ2K_ARGUMENT, "invalid bytes_per_sample");
  if (reduce_data < 0 || reduce_recon < 0)
    return refuse(FERROGLYPH_HTJ2K_ARGUMENT, "reduce must be >= 0");
  if (row0 < 0 || col0 < 0 || row1 <= row0 || col1 <= col0)
    return refuse(FERROGLYPH_HTJ2K_ARGUMENT,
                  "the window must be non-empty, with 0 <= row0 < row1 and 0 <= col0 < col1");
  const window w{static_cast<uint32_t>(row0), static_cast<uint32_t>(row1),
                 static_cast<uint32_t>(col0), static_cast<uint32_t>(col1)};
  // The OpenJPH objects live here, outside the guarded work, so that they
  // are released even when OpenJPH aborts inside it.
  ojph::codestream cs;
  ojph::mem_infile in;
  auto body = [&] {
    return decode_rows_impl(cs, in, src, srcsize, dst, dst_size, bytes_per_sample, reduce_data,
                            reduce_recon, resilient, dst_planar, w);
  };
  return shim::guarded("decode_rows", FERROGLYPH_HTJ2K_MALFORMED, FERROGLYPH_HTJ2K_MEMORY, body);
}

}  // extern "C"
