// The main header: reading it with the guards that keep OpenJPH away from
// its assertions, the facts a decode needs from it, and the reductions it
// allows.
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_params.h>
#include <openjph/ojph_version.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "markers.h"
#include "shim_internal.h"

#if OPENJPH_VERSION_MAJOR == 0 && OPENJPH_VERSION_MINOR < 31
#error "ferroglyph needs OpenJPH 0.31 or newer"
#endif

namespace ferroglyph::shim {

namespace {

constexpr uint8_t k_nlt_binary_complement = 3;
// Highest progression order value (CPRL) in a COD marker segment.
constexpr int k_last_progression_order = 4;

struct nlt_setting {
  bool present = false;
  int type = 0;
};

nlt_setting nlt_of(ojph::param_nlt nlt, uint32_t comp) {
  uint8_t bd = 0, type = 0;
  bool is_signed = false;
  nlt_setting s;
  if (nlt.get_nonlinear_transform(comp, bd, is_signed, type)) {
    s.present = true;
    s.type = type;
  }
  return s;
}

// OpenJPH's release builds keep their assertions, and a few malformed main
// headers reach one during tile decoding (which kills the process).  Refuse
// them right after the header is read.
void check_header_sanity(ojph::codestream& cs) {
  // Progression orders 5 and above do not exist; OpenJPH asserts on them
  // while parsing tiles.
  const int order = cs.access_cod().get_progression_order();
  if (order < 0 || order > k_last_progression_order)
    throw std::runtime_error("invalid progression order " + std::to_string(order) +
                             " in the COD marker segment");
  // OpenJPH checks the tile count only when it sets the tiles up, after the
  // caller has made room for the image; the same refusal, earlier.
  ojph::param_siz siz = cs.access_siz();
  const ojph::point extent = siz.get_image_extent(), tile_offset = siz.get_tile_offset();
  const ojph::size tile = siz.get_tile_size();
  if (tile.w > 0 && tile.h > 0 && extent.x > tile_offset.x && extent.y > tile_offset.y) {
    const uint64_t across = (uint64_t{extent.x} - tile_offset.x + tile.w - 1) / tile.w;
    const uint64_t down = (uint64_t{extent.y} - tile_offset.y + tile.h - 1) / tile.h;
    if (across * down > static_cast<uint64_t>(markers::k_max_tiles))
      throw std::runtime_error("the number of tiles cannot exceed " +
                               std::to_string(markers::k_max_tiles));
  }
}

}  // namespace

const char* const k_nlt_refusal =
    "an NLT marker of type 0, or of type 3 on unsigned samples, decodes to zeros in this "
    "OpenJPH version; not supported";

void read_checked_header(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src,
                         size_t srcsize, int resilient) {
  in.open(src, srcsize);
  if (resilient) cs.enable_resilience();
  cs.read_headers(&in);
  const size_t start = markers::header_start(src, srcsize);
  // OpenJPH stops reading the main header just after the SOT marker code.
  const ojph::si64 read = in.tell();
  const size_t main_end = read >= 2 ? static_cast<size_t>(read) - 2 : 0;
  const int dfs = missing_dfs_index(src, srcsize, main_end, src + start, srcsize - start,
                                    cs.access_siz().get_num_components());
  if (dfs >= 0)
    throw std::runtime_error("a COD or COC marker segment refers to DFS marker segment " +
                             std::to_string(dfs) +
                             ", which the main header does not define well-formed");
  check_header_sanity(cs);
}

header_facts read_facts(ojph::codestream& cs) {
  header_facts f;
  ojph::param_siz siz = cs.access_siz();
  ojph::param_nlt nlt = cs.access_nlt();
  f.components = static_cast<int>(siz.get_num_components());
  f.bit_depth = static_cast<int>(siz.get_bit_depth(0));
  f.is_signed = siz.is_signed(0);
  f.color_transform = cs.access_cod().is_using_color_transform();
  f.nlt_type = nlt_of(nlt, 0).type;
  for (uint32_t c = 0; c < static_cast<uint32_t>(f.components); ++c) {
    const nlt_setting n = nlt_of(nlt, c);
    const ojph::point ds = siz.get_downsampling(c);
    if (static_cast<int>(siz.get_bit_depth(c)) != f.bit_depth || siz.is_signed(c) != f.is_signed ||
        ds.x != 1 || ds.y != 1 || n.type != f.nlt_type)
      f.uniform = false;
#if OPENJPH_VERSION_MAJOR > 0 || OPENJPH_VERSION_MINOR >= 32
    // Type 3 on unsigned samples goes wrong on the reversible path only.
    if (n.present && (n.type == 0 || (n.type == k_nlt_binary_complement && !siz.is_signed(c) &&
                                      cs.access_cod().is_reversible(c))))
      f.nlt_decoded_wrongly = true;
#endif
  }
  return f;
}

int nlt_type_of(ojph::codestream& cs, uint32_t comp) {
  return nlt_of(cs.access_nlt(), comp).type;
}

const char* reduction_refusal(ojph::codestream& cs, int reduce) {
  if (static_cast<int>(cs.access_cod().get_num_decompositions()) < reduce)
    return "reduce exceeds the codestream's decomposition count";
  // A COC may give a component fewer levels than the main COD, which alone
  // OpenJPH checks; past them it delivers rows of the wrong content.
  for (uint32_t c = 0; reduce > 0 && c < cs.access_siz().get_num_components(); ++c)
    if (static_cast<int>(cs.access_cod().get_num_decompositions(c)) < reduce)
      return "reduce exceeds the decomposition count of a component (COC)";
  // OpenJPH computes a reduced component's size with its subsampling factor
  // shifted left by the reduction in 32 bits; past 32 bits the factor wraps,
  // to zero for some, and the division by it ends the process.
  ojph::param_siz siz = cs.access_siz();
  for (uint32_t c = 0; reduce > 0 && c < siz.get_num_components(); ++c) {
    const ojph::point factor = siz.get_downsampling(c);
    if ((uint64_t{factor.x} << reduce) > UINT32_MAX || (uint64_t{factor.y} << reduce) > UINT32_MAX)
      return "reduce is too large for the components' subsampling";
  }
  return nullptr;
}

const char* decode_reduction_refusal(ojph::codestream& cs, const uint8_t* src, size_t srcsize,
                                     int reduce_data, int reduce_recon) {
  if (const char* why = reduction_refusal(cs, std::max(reduce_data, reduce_recon))) return why;
  if (drops_vertical_only_level(src, srcsize, reduce_recon))
    return "reduce leaves out a vertical-only decomposition level (DFS), which OpenJPH cannot "
           "reconstruct";
  return nullptr;
}

void apply_reduction(ojph::codestream& cs, int reduce_data, int reduce_recon) {
  if (reduce_data != 0 || reduce_recon != 0)
    cs.restrict_input_resolution(static_cast<uint32_t>(reduce_data),
                                 static_cast<uint32_t>(reduce_recon));
}

}  // namespace ferroglyph::shim
