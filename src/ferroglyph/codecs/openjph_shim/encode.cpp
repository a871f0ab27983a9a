// The whole-image encodes: from one caller buffer (planar or interleaved),
// whole or as a part of a larger image, into a codestream we allocate.
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>

#include <cstdint>
#include <new>
#include <optional>

#include "guards.h"
#include "messages.h"
#include "openjph_shim.h"
#include "output_buffer.h"
#include "row_order.h"
#include "sample_rows.h"
#include "shim_internal.h"

namespace shim = ferroglyph::shim;

namespace {

// The codes an encode export returns, by cause: ferroglyph_htj2k_encode
// keeps its own numbers (the table in openjph_shim.h), the region export
// speaks the failure kinds.
struct encode_codes {
  int settings;        // invalid sizes or coding settings
  int region;          // invalid offsets or strides
  int internal;        // OpenJPH asked for rows out of order
  int memory;          // our output block could not grow
  int refused;         // OpenJPH's own refusal of the settings
  int openjph_memory;  // an allocation inside OpenJPH failed; 0: counted as `refused`
};

constexpr encode_codes k_encode_codes{2, 6, 3, 4, 5, 0};
constexpr encode_codes k_region_codes{FERROGLYPH_HTJ2K_ARGUMENT, FERROGLYPH_HTJ2K_ARGUMENT,
                                      FERROGLYPH_HTJ2K_INTERNAL, FERROGLYPH_HTJ2K_MEMORY,
                                      FERROGLYPH_HTJ2K_ARGUMENT, FERROGLYPH_HTJ2K_MEMORY};

struct encode_job {
  const uint8_t* src;
  const ferroglyph_htj2k_encode_params& p;
  shim::placement at;
  const encode_codes& codes;
};

// Feeds every row of every component to OpenJPH, from packed samples or
// from a region of a larger image (its strides).
int push_samples(ojph::codestream& cs, const encode_job& job) {
  const ferroglyph_htj2k_encode_params& p = job.p;
  const ferroglyph_htj2k_region& r = job.at.region;
  const uint32_t W = static_cast<uint32_t>(p.width), H = static_cast<uint32_t>(p.height),
                 C = static_cast<uint32_t>(p.components);
  const uint64_t row_stride =
      r.row_stride > 0 ? static_cast<uint64_t>(r.row_stride) : uint64_t{W} * (p.src_planar ? 1 : C);
  const uint64_t plane =
      r.plane_stride > 0 ? static_cast<uint64_t>(r.plane_stride) : row_stride * H;
  const size_t step = p.src_planar ? 1 : C;
  ojph::ui32 next_comp = 0;
  ojph::line_buf* line = cs.exchange(nullptr, next_comp);
  auto push = [&](uint32_t c, uint32_t row) -> int {
    if (line == nullptr || next_comp != c) {
      shim::set_error("component order mismatch");
      return job.codes.internal;
    }
    const uint64_t offset = p.src_planar ? c * plane + row * row_stride : row * row_stride + c;
    if (!shim::load_component_row(job.src, p.bytes_per_sample, p.is_signed != 0,
                                  static_cast<size_t>(offset), step, line, W)) {
      shim::set_error("unexpected line buffer type");
      return job.codes.internal;
    }
    line = cs.exchange(line, next_comp);
    return 0;
  };
  return shim::visit_rows(p.color_transform != 0, C, [H](uint32_t) { return H; }, push);
}

int encode_into(const encode_job& job, ojph::codestream& cs, ojph::outfile_base& out) {
  shim::set_profile_and_parts(cs, job.p, job.at);
  shim::set_siz(cs, job.p, job.at);
  shim::set_coding(cs, job.p);
  shim::set_row_order(cs, job.p.color_transform != 0);
  cs.write_headers(&out, nullptr, 0);
  // A main header alone: the tile-parts (and TLM) come only from flush(),
  // and the codestream is dropped unflushed, which OpenJPH allows.
  if (job.at.region.header_only) return 0;
  if (int rc = push_samples(cs, job)) return rc;
  cs.flush();
  cs.close();
  return 0;
}

// The checks and the call shared by both encode exports.
int checked_encode(const encode_job& job, uint8_t** out_buf, size_t* out_size) {
  if (!shim::frame_info_valid(job.p)) {
    shim::set_error("invalid frame info");
    return job.codes.settings;
  }
  if (!shim::region_valid(job.p, job.at.region)) {
    shim::set_error("invalid region");
    return job.codes.region;
  }
  if (const char* why = shim::coding_refusal(job.p)) {
    shim::set_error(why);
    return job.codes.settings;
  }
  *out_buf = nullptr;
  *out_size = 0;
  // The output block and the codestream live here, outside the trapped
  // work, so that both are released when OpenJPH aborts in it (the
  // codestream first, as it writes into the block).  The codestream is made
  // inside the work, where a failed allocation counts like OpenJPH's others.
  shim::malloc_outfile block;
  std::optional<ojph::codestream> cs;
  auto write = [&](ojph::outfile_base& out) {
    cs.emplace();
    return encode_into(job, *cs, out);
  };
  auto body = [&] {
    return shim::write_to_malloc_block(block, write, job.codes.memory, out_buf, out_size);
  };
  return shim::guarded_encode("encode", job.codes.refused, job.codes.openjph_memory, body);
}

}  // namespace

extern "C" {

int ferroglyph_htj2k_encode(const uint8_t* src, const ferroglyph_htj2k_encode_params* p,
                            uint8_t** out_buf, size_t* out_size) {
  shim::begin_call();
  if (src == nullptr || p == nullptr || out_buf == nullptr || out_size == nullptr) {
    shim::set_error("null arg");
    return 1;
  }
  return checked_encode({src, *p, shim::placement{}, k_encode_codes}, out_buf, out_size);
}

int ferroglyph_htj2k_encode_region(const uint8_t* src, const ferroglyph_htj2k_encode_params* p,
                                   const ferroglyph_htj2k_region* r, uint8_t** out_buf,
                                   size_t* out_size) {
  shim::begin_call();
  if ((src == nullptr && (r == nullptr || !r->header_only)) || p == nullptr || r == nullptr ||
      out_buf == nullptr || out_size == nullptr) {
    shim::set_error("null arg");
    return FERROGLYPH_HTJ2K_ARGUMENT;
  }
  // OpenJPH never reads the samples of a header_only call.
  static const uint8_t k_no_samples = 0;
  const encode_job job{src != nullptr ? src : &k_no_samples, *p, shim::placement{*r, true},
                       k_region_codes};
  return checked_encode(job, out_buf, out_size);
}

}  // extern "C"
