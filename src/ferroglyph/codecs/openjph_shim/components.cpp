// Components at their own sizes and precisions: header facts per component,
// a decode into one caller buffer per component, and an encode from one.
//
// The same guards as the whole-image decode apply: the main header is
// checked before OpenJPH sets tiles up (shim_internal.h), every size is
// checked before anything is written, and the work is guarded (guards.h).
// Failures are ferroglyph_htj2k_failure kinds.
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_params.h>
#include <openjph/ojph_version.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "guards.h"
#include "markers.h"
#include "messages.h"
#include "openjph_shim.h"
#include "output_buffer.h"
#include "row_order.h"
#include "sample_rows.h"
#include "shim_internal.h"

namespace shim = ferroglyph::shim;

namespace {

using ferroglyph::markers::k_max_components;
using ferroglyph::markers::k_max_subsampling;

bool valid_bytes_per_sample(int b) { return b == 1 || b == 2 || b == 4; }

uint32_t ceil_div(uint32_t a, uint32_t b) { return static_cast<uint32_t>((uint64_t{a} + b - 1) / b); }

int refuse(int kind, const char* why) {
  shim::set_error(why);
  return kind;
}

// Fills `out` with every component's facts after the reduction; refuses a
// component left without samples or too large.
int component_facts(ojph::codestream& cs, std::vector<ferroglyph_htj2k_component_info>& out) {
  ojph::param_siz siz = cs.access_siz();
  const uint32_t n = siz.get_num_components();
  out.resize(n);
  for (uint32_t c = 0; c < n; ++c) {
    const uint32_t w = siz.get_recon_width(c), h = siz.get_recon_height(c);
    if (w < 1 || h < 1)
      return refuse(FERROGLYPH_HTJ2K_REDUCTION, "reduce leaves a component without samples");
    if (w > INT32_MAX || h > INT32_MAX)
      return refuse(FERROGLYPH_HTJ2K_UNSUPPORTED,
                    "a component is wider or higher than 2147483647 samples; not supported");
    const ojph::point ds = siz.get_downsampling(c);
    ferroglyph_htj2k_component_info& f = out[c];
    f.width = static_cast<int32_t>(w);
    f.height = static_cast<int32_t>(h);
    f.dx = static_cast<int32_t>(ds.x);
    f.dy = static_cast<int32_t>(ds.y);
    f.bit_depth = static_cast<int32_t>(siz.get_bit_depth(c));
    f.is_signed = siz.is_signed(c) ? 1 : 0;
    f.nlt_type = shim::nlt_type_of(cs, c);
  }
  return 0;
}

// Reads the main header, applies the reduction and takes each component's
// facts at it.
int read_components(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src, size_t srcsize,
                    int reduce_data, int reduce_recon, int resilient,
                    std::vector<ferroglyph_htj2k_component_info>& facts) {
  shim::read_checked_header(cs, in, src, srcsize, resilient);
  if (const char* why = shim::decode_reduction_refusal(cs, src, srcsize, reduce_data, reduce_recon))
    return refuse(FERROGLYPH_HTJ2K_REDUCTION, why);
  shim::apply_reduction(cs, reduce_data, reduce_recon);
  return component_facts(cs, facts);
}

// `facts` belongs to the caller's frame, like the OpenJPH objects: an abort
// trapped inside the call skips this frame's destructors (abort_trap.h).
int components_info_impl(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src,
                         size_t srcsize, int reduce_data, int reduce_recon, int resilient,
                         ferroglyph_htj2k_component_info* comps, int capacity, int* components,
                         std::vector<ferroglyph_htj2k_component_info>& facts) {
  if (const int code = read_components(cs, in, src, srcsize, reduce_data, reduce_recon, resilient,
                                        facts))
    return code;
  *components = static_cast<int>(facts.size());
  std::copy_n(facts.begin(), std::min<size_t>(facts.size(), static_cast<size_t>(capacity)), comps);
  cs.close();
  return 0;
}

// What the caller's buffers and OpenJPH's delivery allow, component by
// component.
int check_component_buffers(const std::vector<ferroglyph_htj2k_component_info>& facts,
                            const size_t* dst_sizes, const int32_t* bytes_per_sample,
                            int components, bool color_transform) {
  for (int c = 0; c < components; ++c) {
    const ferroglyph_htj2k_component_info& f = facts[c];
    if (f.bit_depth < 1 || f.bit_depth > 8 * bytes_per_sample[c]) {
      shim::set_error(("bytes_per_sample too small for the bit depth of component " +
                       std::to_string(c))
                          .c_str());
      return FERROGLYPH_HTJ2K_ARGUMENT;
    }
    const uint64_t need = uint64_t{static_cast<uint32_t>(f.width)} *
                          static_cast<uint32_t>(f.height) * static_cast<uint32_t>(bytes_per_sample[c]);
    if (static_cast<uint64_t>(dst_sizes[c]) < need) {
      shim::set_error(("destination buffer too small for component " + std::to_string(c)).c_str());
      return FERROGLYPH_HTJ2K_BUFFER;
    }
    // With the component transform OpenJPH delivers rows interleaved and
    // counts them against component 0's height: a component of another
    // size would be read short or past its end.
    if (color_transform && (f.width != facts[0].width || f.height != facts[0].height)) {
      shim::set_error(
          "the codestream uses the component transform and has components of different sizes, "
          "which OpenJPH cannot deliver; not supported");
      return FERROGLYPH_HTJ2K_UNSUPPORTED;
    }
  }
  return 0;
}

// Stores every row of every component into its own buffer.
int pull_component_rows(ojph::codestream& cs,
                        const std::vector<ferroglyph_htj2k_component_info>& facts,
                        uint8_t* const* dsts, const int32_t* bytes_per_sample, int components,
                        bool color_transform) {
  auto store = [&](uint32_t c, uint32_t r) -> int {
    const ferroglyph_htj2k_component_info& f = facts[c];
    ojph::ui32 got = 0;
    ojph::line_buf* line = cs.pull(got);
    if (line == nullptr || got != c) {
      shim::set_error("decode_components: component order mismatch");
      return FERROGLYPH_HTJ2K_INTERNAL;
    }
    if (line->size < static_cast<size_t>(f.width)) {
      shim::set_error("decode_components: short line");
      return FERROGLYPH_HTJ2K_INTERNAL;
    }
    const uint32_t width = static_cast<uint32_t>(f.width);
    if (!shim::store_component_row(line, dsts[c], bytes_per_sample[c], f.is_signed != 0,
                                   static_cast<size_t>(uint64_t{r} * width), 1, width, f.bit_depth)) {
      shim::set_error("decode_components: unexpected line buffer type");
      return FERROGLYPH_HTJ2K_INTERNAL;
    }
    return 0;
  };
  auto rows_of = [&](uint32_t c) { return static_cast<uint32_t>(facts[c].height); };
  return shim::visit_rows(color_transform, static_cast<uint32_t>(components), rows_of, store);
}

int decode_components_impl(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src,
                           size_t srcsize, uint8_t* const* dsts, const size_t* dst_sizes,
                           const int32_t* bytes_per_sample, int components, int reduce_data,
                           int reduce_recon, int resilient,
                           std::vector<ferroglyph_htj2k_component_info>& facts) {
  if (const int code = read_components(cs, in, src, srcsize, reduce_data, reduce_recon, resilient,
                                        facts))
    return code;
  if (static_cast<int>(facts.size()) != components) {
    shim::set_error(("the codestream has " + std::to_string(facts.size()) + " components, not " +
                     std::to_string(components))
                        .c_str());
    return FERROGLYPH_HTJ2K_ARGUMENT;
  }
  if (shim::read_facts(cs).nlt_decoded_wrongly)
    return refuse(FERROGLYPH_HTJ2K_UNSUPPORTED, shim::k_nlt_refusal);
  const bool color_transform = cs.access_cod().is_using_color_transform();
  if (int rc = check_component_buffers(facts, dst_sizes, bytes_per_sample, components,
                                       color_transform))
    return rc;
  // With the transform all components have one size (checked above).
  shim::set_row_order(cs, color_transform);
  cs.create();
  if (int rc = pull_component_rows(cs, facts, dsts, bytes_per_sample, components,
                                   color_transform))
    return rc;
  cs.close();
  return 0;
}

// Why these encode settings are refused, or null.  Everything OpenJPH would
// assert on, loop on or silently code wrongly is refused here.
const char* encode_refusal(const ferroglyph_htj2k_component_params* comps,
                           const ferroglyph_htj2k_encode_params& p) {
  if (p.width <= 0 || p.height <= 0) return "invalid image size";
  static const std::string count_refusal =
      "the component count must be 1.." + std::to_string(k_max_components);
  if (p.components <= 0 || p.components > k_max_components) return count_refusal.c_str();
  bool subsampled = false;
  for (int c = 0; c < p.components; ++c) {
    const ferroglyph_htj2k_component_params& k = comps[c];
    if (k.dx < 1 || k.dx > k_max_subsampling || k.dy < 1 || k.dy > k_max_subsampling)
      return "subsampling factors must be 1..255";
    if (!valid_bytes_per_sample(k.bytes_per_sample)) return "invalid bytes_per_sample";
    if (k.bit_depth < 1 || k.bit_depth > 8 * k.bytes_per_sample) return "invalid bit depth";
    // The component's size follows from the image and its subsampling; a
    // buffer of another size would be read short or past its end.
    if (static_cast<uint32_t>(k.width) != ceil_div(static_cast<uint32_t>(p.width), k.dx) ||
        static_cast<uint32_t>(k.height) != ceil_div(static_cast<uint32_t>(p.height), k.dy) ||
        k.width <= 0 || k.height <= 0)
      return "a component's size does not follow from the image size and its subsampling";
    subsampled = subsampled || k.dx != 1 || k.dy != 1;
  }
  if (p.color_transform && p.components < 3) return "the component transform needs at least 3 components";
  // OpenJPH feeds the transform row by row, counting rows against component
  // 0: subsampled components would be fed the wrong rows.
  if (p.color_transform && subsampled)
    return "the component transform cannot be used with subsampled components";
  if (p.nlt_binary_complement) return "the NLT marker is not supported with per-component encoding";
  if (p.reversible && p.num_decomp == 0 && !p.color_transform)
    return "reversible coding with 0 decompositions is not lossless in OpenJPH; use at least 1";
  return nullptr;
}

struct encode_job {
  const uint8_t* const* srcs;
  const ferroglyph_htj2k_component_params* comps;
  const ferroglyph_htj2k_encode_params* p;
};

// The image and each component at its own subsampling and precision.
void set_component_siz(ojph::codestream& cs, const encode_job& job) {
  const ferroglyph_htj2k_encode_params& p = *job.p;
  ojph::param_siz siz = cs.access_siz();
  siz.set_image_extent(ojph::point(static_cast<uint32_t>(p.width), static_cast<uint32_t>(p.height)));
  if (p.tile_w > 0 && p.tile_h > 0)
    siz.set_tile_size(ojph::size(static_cast<uint32_t>(p.tile_w), static_cast<uint32_t>(p.tile_h)));
  siz.set_num_components(static_cast<uint32_t>(p.components));
  for (uint32_t c = 0; c < static_cast<uint32_t>(p.components); ++c) {
    const ferroglyph_htj2k_component_params& k = job.comps[c];
    siz.set_component(c, ojph::point(static_cast<uint32_t>(k.dx), static_cast<uint32_t>(k.dy)),
                      static_cast<uint32_t>(k.bit_depth), k.is_signed != 0);
  }
}

// Feeds every row of every component, each from its own buffer.
int push_component_rows(ojph::codestream& cs, const encode_job& job) {
  const ferroglyph_htj2k_encode_params& p = *job.p;
  const uint32_t C = static_cast<uint32_t>(p.components);
  ojph::ui32 next = 0;
  ojph::line_buf* line = cs.exchange(nullptr, next);
  auto push = [&](uint32_t c, uint32_t r) -> int {
    if (line == nullptr || next != c) {
      shim::set_error("component order mismatch");
      return FERROGLYPH_HTJ2K_INTERNAL;
    }
    const ferroglyph_htj2k_component_params& k = job.comps[c];
    const uint32_t width = static_cast<uint32_t>(k.width);
    if (!shim::load_component_row(job.srcs[c], k.bytes_per_sample, k.is_signed != 0,
                                  static_cast<size_t>(uint64_t{r} * width), 1, line, width)) {
      shim::set_error("unexpected line buffer type");
      return FERROGLYPH_HTJ2K_INTERNAL;
    }
    line = cs.exchange(line, next);
    return 0;
  };
  // With the transform every component has the image's size (encode_refusal).
  auto rows_of = [&](uint32_t c) { return static_cast<uint32_t>(job.comps[c].height); };
  return shim::visit_rows(p.color_transform != 0, C, rows_of, push);
}

int encode_components_into(const encode_job& job, ojph::codestream& cs,
                           ojph::outfile_base& out) {
  shim::set_profile_and_parts(cs, *job.p, shim::placement{});
  set_component_siz(cs, job);
  shim::set_coding(cs, *job.p);
  shim::set_row_order(cs, job.p->color_transform != 0);
  cs.write_headers(&out, nullptr, 0);
  if (int rc = push_component_rows(cs, job)) return rc;
  cs.flush();
  cs.close();
  return 0;
}

}  // namespace

extern "C" {

int ferroglyph_htj2k_components_info(const uint8_t* src, size_t srcsize, int reduce_data,
                                     int reduce_recon, int resilient,
                                     ferroglyph_htj2k_component_info* comps, int capacity,
                                     int* components) {
  shim::begin_call();
  if (src == nullptr || srcsize == 0 || components == nullptr || capacity < 0 ||
      (capacity > 0 && comps == nullptr)) {
    shim::set_error("null arg");
    return FERROGLYPH_HTJ2K_ARGUMENT;
  }
  if (reduce_data < 0 || reduce_recon < 0) {
    shim::set_error("reduce must be >= 0");
    return FERROGLYPH_HTJ2K_ARGUMENT;
  }
  *components = 0;
  // The OpenJPH objects and our own heap objects live here, outside the
  // trapped call, so that they are released even when OpenJPH aborts in it.
  ojph::codestream cs;
  ojph::mem_infile in;
  std::vector<ferroglyph_htj2k_component_info> facts;
  auto body = [&] {
    return components_info_impl(cs, in, src, srcsize, reduce_data, reduce_recon, resilient, comps,
                                capacity, components, facts);
  };
  return shim::guarded("components_info", FERROGLYPH_HTJ2K_MALFORMED, FERROGLYPH_HTJ2K_MEMORY,
                        body);
}

int ferroglyph_htj2k_decode_components(const uint8_t* src, size_t srcsize, uint8_t* const* dsts,
                                       const size_t* dst_sizes, const int32_t* bytes_per_sample,
                                       int components, int reduce_data, int reduce_recon,
                                       int resilient) {
  shim::begin_call();
  if (src == nullptr || srcsize == 0 || dsts == nullptr || dst_sizes == nullptr ||
      bytes_per_sample == nullptr || components <= 0 || components > k_max_components) {
    shim::set_error("null arg");
    return FERROGLYPH_HTJ2K_ARGUMENT;
  }
  for (int c = 0; c < components; ++c) {
    if (dsts[c] == nullptr) {
      shim::set_error("null arg");
      return FERROGLYPH_HTJ2K_ARGUMENT;
    }
    if (!valid_bytes_per_sample(bytes_per_sample[c])) {
      shim::set_error("invalid bytes_per_sample");
      return FERROGLYPH_HTJ2K_ARGUMENT;
    }
  }
  if (reduce_data < 0 || reduce_recon < 0) {
    shim::set_error("reduce must be >= 0");
    return FERROGLYPH_HTJ2K_ARGUMENT;
  }
  ojph::codestream cs;
  ojph::mem_infile in;
  std::vector<ferroglyph_htj2k_component_info> facts;
  auto body = [&] {
    return decode_components_impl(cs, in, src, srcsize, dsts, dst_sizes, bytes_per_sample,
                                  components, reduce_data, reduce_recon, resilient, facts);
  };
  return shim::guarded("decode_components", FERROGLYPH_HTJ2K_MALFORMED, FERROGLYPH_HTJ2K_MEMORY,
                        body);
}

int ferroglyph_htj2k_encode_components(const uint8_t* const* srcs,
                                       const ferroglyph_htj2k_component_params* comps,
                                       const ferroglyph_htj2k_encode_params* p, uint8_t** out_buf,
                                       size_t* out_size) {
  shim::begin_call();
  if (srcs == nullptr || comps == nullptr || p == nullptr || out_buf == nullptr ||
      out_size == nullptr || p->components <= 0 || p->components > k_max_components) {
    shim::set_error("null arg");
    return FERROGLYPH_HTJ2K_ARGUMENT;
  }
  for (int c = 0; c < p->components; ++c)
    if (srcs[c] == nullptr) {
      shim::set_error("null arg");
      return FERROGLYPH_HTJ2K_ARGUMENT;
    }
  if (const char* why = encode_refusal(comps, *p)) return refuse(FERROGLYPH_HTJ2K_ARGUMENT, why);
  *out_buf = nullptr;
  *out_size = 0;
  const encode_job job{srcs, comps, p};
  // OpenJPH's refusals of the settings arrive as exceptions, the settings it
  // cannot code as assertions.  The output block and the codestream live
  // here, outside the trapped work, as in encode.cpp.
  shim::malloc_outfile block;
  std::optional<ojph::codestream> cs;
  auto write = [&](ojph::outfile_base& out) {
    cs.emplace();
    return encode_components_into(job, *cs, out);
  };
  auto body = [&] {
    return shim::write_to_malloc_block(block, write, FERROGLYPH_HTJ2K_MEMORY, out_buf, out_size);
  };
  return shim::guarded_encode("encode_components", FERROGLYPH_HTJ2K_ARGUMENT,
                              FERROGLYPH_HTJ2K_MEMORY, body);
}

}  // extern "C"
