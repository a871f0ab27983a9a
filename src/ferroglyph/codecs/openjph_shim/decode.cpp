// The whole-image decode: header facts at a reduction, and every component
// into one caller buffer, planar or interleaved.  Both exports keep their
// own failure numbers (the table in openjph_shim.h).
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_params.h>

#include <algorithm>
#include <cstdint>

#include "guards.h"
#include "messages.h"
#include "openjph_shim.h"
#include "row_order.h"
#include "sample_rows.h"
#include "shim_internal.h"

namespace shim = ferroglyph::shim;

namespace {

bool reduction_negative(int reduce_data, int reduce_recon) {
  return reduce_data < 0 || reduce_recon < 0;
}

void fill_info(const shim::header_facts& f, ferroglyph_htj2k_info* info) {
  info->components = f.components;
  info->bit_depth = f.bit_depth;
  info->is_signed = f.is_signed ? 1 : 0;
  info->color_transform = f.color_transform ? 1 : 0;
  info->nlt_type = f.nlt_type;
  info->uniform = f.uniform ? 1 : 0;
}

int decode_info_impl(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src, size_t srcsize,
                     int reduce_data, int reduce_recon, int resilient,
                     ferroglyph_htj2k_info* info) {
  shim::read_checked_header(cs, in, src, srcsize, resilient);
  info->num_decompositions = static_cast<int>(cs.access_cod().get_num_decompositions());
  if (const char* refusal = shim::reduction_refusal(cs, std::max(reduce_data, reduce_recon))) {
    shim::set_error(refusal);
    return 4;
  }
  fill_info(shim::read_facts(cs), info);
  shim::apply_reduction(cs, reduce_data, reduce_recon);
  ojph::param_siz siz = cs.access_siz();
  const uint32_t w = siz.get_recon_width(0), h = siz.get_recon_height(0);
  if (w < 1 || h < 1) {
    shim::set_error("reduce leaves a zero-sized image");
    return 4;
  }
  if (w > INT32_MAX || h > INT32_MAX) {
    shim::set_error("the image is wider or higher than 2147483647 samples; not supported");
    return 4;
  }
  info->width = static_cast<int32_t>(w);
  info->height = static_cast<int32_t>(h);
  cs.close();
  return 0;
}

// What this decode cannot deliver, by the header facts at the reduction.
int refuse_facts(const shim::header_facts& f, int bytes_per_sample) {
  if (!f.uniform) {
    shim::set_error(
        "components differ in bit depth, signedness, nonlinearity or subsampling; not supported");
    return 7;
  }
  if (f.nlt_decoded_wrongly) {
    shim::set_error(shim::k_nlt_refusal);
    return 8;
  }
  if (f.bit_depth < 1 || f.bit_depth > 8 * bytes_per_sample) {
    shim::set_error("bytes_per_sample too small for the bit depth");
    return 2;
  }
  return 0;
}

// Where the decoded samples go: W x H samples a component, planar or
// interleaved.
struct destination {
  uint8_t* dst;
  int bytes_per_sample;
  bool planar;
  uint64_t width, height;
};

// Stores every row of every component that OpenJPH delivers into dst.
int pull_samples(ojph::codestream& cs, const shim::header_facts& f, const destination& d) {
  const uint64_t C = static_cast<uint64_t>(f.components), W = d.width, plane = W * d.height;
  const size_t step = d.planar ? 1 : static_cast<size_t>(C);
  const uint32_t width = static_cast<uint32_t>(W);
  auto store = [&](uint32_t c, uint32_t r) -> int {
    ojph::ui32 got = 0;
    ojph::line_buf* line = cs.pull(got);
    if (line == nullptr || got != c) {
      shim::set_error("decode: component order mismatch");
      return 4;
    }
    if (line->size < W) {
      shim::set_error("decode: short line");
      return 4;
    }
    const uint64_t offset = d.planar ? c * plane + uint64_t{r} * W : uint64_t{r} * W * C + c;
    if (!shim::store_component_row(line, d.dst, d.bytes_per_sample, f.is_signed,
                                   static_cast<size_t>(offset), step, width, f.bit_depth)) {
      shim::set_error("decode: unexpected line buffer type");
      return 4;
    }
    return 0;
  };
  const uint32_t rows = static_cast<uint32_t>(d.height);
  return shim::visit_rows(
      f.color_transform, static_cast<uint32_t>(C), [rows](uint32_t) { return rows; }, store);
}

// Whether dst_size bytes hold the decode.  A hostile header can declare more
// bytes than 64 bits count (2^31 x 2^31 samples of four 4-byte components);
// no buffer holds that.
bool holds(size_t dst_size, uint64_t W, uint64_t H, uint64_t C, int bytes_per_sample) {
  const uint64_t plane = W * H;
  const uint64_t pixel_bytes = C * static_cast<uint64_t>(bytes_per_sample);
  const bool need_overflows = pixel_bytes != 0 && plane > UINT64_MAX / pixel_bytes;
  return !need_overflows && static_cast<uint64_t>(dst_size) >= plane * pixel_bytes;
}

int decode_impl(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src, size_t srcsize,
                uint8_t* dst, size_t dst_size, int bytes_per_sample, int reduce_data,
                int reduce_recon, int resilient, int dst_planar) {
  shim::read_checked_header(cs, in, src, srcsize, resilient);
  if (const char* refusal =
          shim::decode_reduction_refusal(cs, src, srcsize, reduce_data, reduce_recon)) {
    shim::set_error(refusal);
    return 6;
  }
  shim::apply_reduction(cs, reduce_data, reduce_recon);
  const shim::header_facts f = shim::read_facts(cs);
  if (int rc = refuse_facts(f, bytes_per_sample)) return rc;

  ojph::param_siz siz = cs.access_siz();
  const uint64_t W = siz.get_recon_width(0), H = siz.get_recon_height(0);
  if (W < 1 || H < 1) {
    // OpenJPH has no rows to deliver; asking it for any is undefined.
    shim::set_error("reduce leaves a zero-sized image");
    return 6;
  }
  if (!holds(dst_size, W, H, static_cast<uint64_t>(f.components), bytes_per_sample)) {
    shim::set_error("destination buffer too small");
    return 3;
  }
  shim::set_row_order(cs, f.color_transform);
  cs.create();
  if (int rc = pull_samples(cs, f, {dst, bytes_per_sample, dst_planar != 0, W, H})) return rc;
  cs.close();
  return 0;
}

}  // namespace

extern "C" {

int ferroglyph_htj2k_decode_info(const uint8_t* src, size_t srcsize, int reduce_data,
                                 int reduce_recon, int resilient, ferroglyph_htj2k_info* info) {
  shim::begin_call();
  if (src == nullptr || srcsize == 0 || info == nullptr) {
    shim::set_error("null arg");
    return 1;
  }
  if (reduction_negative(reduce_data, reduce_recon)) {
    shim::set_error("reduce must be >= 0");
    return 1;
  }
  // The OpenJPH objects live here, outside the guarded work, so that they
  // are released even when OpenJPH aborts inside it.
  ojph::codestream cs;
  ojph::mem_infile in;
  auto body = [&] {
    return decode_info_impl(cs, in, src, srcsize, reduce_data, reduce_recon, resilient, info);
  };
  return shim::guarded("decode_info", 2, 0, body);
}

int ferroglyph_htj2k_decode(const uint8_t* src, size_t srcsize, uint8_t* dst, size_t dst_size,
                            int bytes_per_sample, int reduce_data, int reduce_recon, int resilient,
                            int dst_planar) {
  shim::begin_call();
  if (src == nullptr || srcsize == 0 || dst == nullptr) {
    shim::set_error("null arg");
    return 1;
  }
  if (bytes_per_sample != 1 && bytes_per_sample != 2 && bytes_per_sample != 4) {
    shim::set_error("invalid bytes_per_sample");
    return 2;
  }
  if (reduction_negative(reduce_data, reduce_recon)) {
    shim::set_error("reduce must be >= 0");
    return 2;
  }
  ojph::codestream cs;
  ojph::mem_infile in;
  auto body = [&] {
    return decode_impl(cs, in, src, srcsize, dst, dst_size, bytes_per_sample, reduce_data,
                       reduce_recon, resilient, dst_planar);
  };
  return shim::guarded("decode", 5, 0, body);
}

}  // extern "C"
