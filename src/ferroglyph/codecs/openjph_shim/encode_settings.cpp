// The codestream settings of an encode: what the bridge refuses to code
// (because OpenJPH would code it wrongly or assert), and the SIZ, COD, QCD
// and NLT settings it hands OpenJPH.  Shared by every encode export.
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_params.h>
#include <openjph/ojph_version.h>

#include <cstdint>

#include "shim_internal.h"

namespace ferroglyph::shim {

namespace {
// OpenJPH's code for "every component" in NLT settings.
constexpr uint32_t k_all_components = 65535;
constexpr uint8_t k_nlt_binary_complement = 3;
}  // namespace

bool frame_info_valid(const ferroglyph_htj2k_encode_params& p) {
  if (p.width <= 0 || p.height <= 0 || p.components <= 0) return false;
  if (p.bit_depth < 1 || p.bit_depth > 32) return false;
  switch (p.bytes_per_sample) {
    case 1: return p.bit_depth <= 8;
    case 2: return p.bit_depth <= 16;
    case 4: return true;
    default: return false;
  }
}

const char* coding_refusal(const ferroglyph_htj2k_encode_params& p) {
  if (p.color_transform && p.components < 3)
    return "the component transform needs at least 3 components";
  // OpenJPH's reversible path without any decomposition is not lossless
  // (samples at the lowest value come back as mid-grey) unless the component
  // transform is on.
  if (p.reversible && p.num_decomp == 0 && !p.color_transform)
    return "reversible coding with 0 decompositions is not lossless in OpenJPH; use at least 1";
#if OPENJPH_VERSION_MAJOR > 0 || OPENJPH_VERSION_MINOR >= 32
  // OpenJPH 0.32 codes unsigned samples under an NLT type 3 marker
  // reversibly as zeros.
  if (p.nlt_binary_complement && !p.is_signed && p.reversible)
    return "the NLT marker for floating-point samples needs signed samples";
#endif
  return nullptr;
}

// None negative (two 31-bit offsets and sizes add up within OpenJPH's 32-bit
// coordinates), rows and planes that hold their samples.
bool region_valid(const ferroglyph_htj2k_encode_params& p, const ferroglyph_htj2k_region& r) {
  if (r.x0 < 0 || r.y0 < 0 || r.row_stride < 0 || r.plane_stride < 0) return false;
  const int64_t row = int64_t{p.width} * (p.src_planar ? 1 : p.components);
  if (r.row_stride != 0 && r.row_stride < row) return false;
  if (r.plane_stride != 0 &&
      (!p.src_planar || r.plane_stride / p.height < (r.row_stride != 0 ? r.row_stride : row)))
    return false;
  return true;
}

// OpenJPH checks a profile against the whole codestream and refuses any
// offset; a part of a larger image gets what the profile sets (TLM,
// tile-parts at components only, its precincts in set_coding) and the larger
// image's header call checks the rest.
void set_profile_and_parts(ojph::codestream& cs, const ferroglyph_htj2k_encode_params& p,
                           const placement& at) {
  const bool profile_settings_only = p.profile != nullptr && at.part && !at.region.header_only;
  if (p.profile != nullptr && !profile_settings_only) cs.set_profile(p.profile);
  if (profile_settings_only) {
    cs.set_tilepart_divisions(false, true);
    cs.request_tlm_marker(true);
  } else {
    cs.set_tilepart_divisions(p.tilepart_resolutions != 0, p.tilepart_components != 0);
    cs.request_tlm_marker(p.tlm != 0);
  }
}

// The image (at its place in a larger one), the tile grid and the components.
void set_siz(ojph::codestream& cs, const ferroglyph_htj2k_encode_params& p, const placement& at) {
  const uint32_t W = static_cast<uint32_t>(p.width), H = static_cast<uint32_t>(p.height),
                 C = static_cast<uint32_t>(p.components);
  const uint32_t x0 = static_cast<uint32_t>(at.region.x0), y0 = static_cast<uint32_t>(at.region.y0);
  ojph::param_siz siz = cs.access_siz();
  siz.set_image_extent(ojph::point(x0 + W, y0 + H));
  if (x0 != 0 || y0 != 0) siz.set_image_offset(ojph::point(x0, y0));
  if (p.tile_w > 0 && p.tile_h > 0) {
    siz.set_tile_size(ojph::size(static_cast<uint32_t>(p.tile_w), static_cast<uint32_t>(p.tile_h)));
    if (x0 != 0 || y0 != 0) siz.set_tile_offset(ojph::point(x0, y0));
  }
  siz.set_num_components(C);
  for (uint32_t c = 0; c < C; ++c)
    siz.set_component(c, ojph::point(1, 1), static_cast<uint32_t>(p.bit_depth), p.is_signed != 0);
}

void set_coding(ojph::codestream& cs, const ferroglyph_htj2k_encode_params& p) {
  ojph::param_cod cod = cs.access_cod();
  if (p.num_decomp >= 0) cod.set_num_decomposition(static_cast<uint32_t>(p.num_decomp));
  if (p.block_w > 0 && p.block_h > 0)
    cod.set_block_dims(static_cast<uint32_t>(p.block_w), static_cast<uint32_t>(p.block_h));
  cod.set_reversible(p.reversible != 0);
  cod.set_color_transform(p.color_transform != 0);
  if (p.prog_order != nullptr) cod.set_progression_order(p.prog_order);
  if (p.profile != nullptr) {
    // Both profiles restrict precincts to 128x128 at the lowest resolution
    // and 256x256 above it; OpenJPH checks but does not choose them.
    ojph::size precincts[2] = {ojph::size(128, 128), ojph::size(256, 256)};
    cod.set_precinct_size(2, precincts);
  }
  if (p.reversible == 0) {
    ojph::param_qcd qcd = cs.access_qcd();
    if (p.qfactor > 0)
      qcd.set_qfactor(static_cast<float>(p.qfactor & 0xFF));
    else if (p.irrev_delta > 0.0f)  // false for NaN
      qcd.set_irrev_quant(p.irrev_delta);
  }
  if (p.nlt_binary_complement)
    cs.access_nlt().set_nonlinear_transform(k_all_components, k_nlt_binary_complement);
}

}  // namespace ferroglyph::shim
