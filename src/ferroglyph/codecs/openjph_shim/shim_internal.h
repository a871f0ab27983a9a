// What the bridge's source files share besides messages, guards, the row
// order and the output buffer (their own headers): reading a main header
// with its guards, the header facts, the reduction rules and the encode
// settings.  Not exported.
#ifndef FERROGLYPH_SHIM_INTERNAL_H
#define FERROGLYPH_SHIM_INTERNAL_H

#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>

#include <cstddef>
#include <cstdint>

#include "openjph_shim.h"

namespace ferroglyph::shim {

// --- header.cpp: the main header and its facts

// Opens `cs` on src[0..srcsize) and reads the main header, then refuses the
// headers that would reach an OpenJPH assertion later (undefined DFS
// references, progression orders past CPRL, too many tiles).  Throws.
void read_checked_header(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src,
                         size_t srcsize, int resilient);

struct header_facts {
  int components = 0;
  int bit_depth = 0;  // of component 0, as are the next three
  bool is_signed = false;
  bool color_transform = false;
  int nlt_type = 0;
  bool uniform = true;  // all components match component 0, none subsampled
  // Some component carries an NLT setting that OpenJPH 0.32 decodes to zeros
  // (an explicit type 0, or type 3 on reversibly coded unsigned samples).
  bool nlt_decoded_wrongly = false;
};

header_facts read_facts(ojph::codestream& cs);

// The NLT type of component `comp` (0 when it has none).
int nlt_type_of(ojph::codestream& cs, uint32_t comp);

// The refusal text of the NLT settings that decode wrongly.
extern const char* const k_nlt_refusal;

// Why OpenJPH cannot reduce this codestream by `reduce` levels, or null.
const char* reduction_refusal(ojph::codestream& cs, int reduce);

// The same, and for a decode also a reconstruction that leaves out a
// vertical-only DFS level, which OpenJPH cannot make; null when the decode
// may go ahead.
const char* decode_reduction_refusal(ojph::codestream& cs, const uint8_t* src, size_t srcsize,
                                     int reduce_data, int reduce_recon);

// Applies the reduction to `cs` (after the refusals above).
void apply_reduction(ojph::codestream& cs, int reduce_data, int reduce_recon);

// --- dfs.cpp: DFS marker segments, which OpenJPH does not check

// The first DFS index that a COD or COC in any header OpenJPH may read
// refers to and that no well-formed DFS segment of the main header defines,
// or -1 (see dfs.cpp).
int missing_dfs_index(const uint8_t* whole, size_t wholesize, size_t main_end, const uint8_t* src,
                      size_t srcsize, uint32_t components);

// Whether leaving `levels` finest levels out of the reconstruction drops a
// vertical-only DFS level, which OpenJPH cannot reconstruct.
bool drops_vertical_only_level(const uint8_t* src, size_t srcsize, int levels);

// --- encode_settings.cpp: the codestream settings of an encode

// How an encode call places its samples: a whole image (no offset, packed
// samples), or a part of a larger image whose tile-parts are wanted.
struct placement {
  ferroglyph_htj2k_region region{};
  bool part = false;
};

// Whether the image's sizes, components and sample precision are usable.
bool frame_info_valid(const ferroglyph_htj2k_encode_params& p);

// Why the whole-image coding settings (transform, levels, NLT) cannot be
// coded correctly, or null.
const char* coding_refusal(const ferroglyph_htj2k_encode_params& p);

// Whether a region's offsets and strides are usable for these settings.
bool region_valid(const ferroglyph_htj2k_encode_params& p, const ferroglyph_htj2k_region& r);

// Profile, tile-parts and TLM; then the image, tiles and components of a
// whole-image encode; then wavelet, code-blocks, progression, quantization
// and the NLT marker.
void set_profile_and_parts(ojph::codestream& cs, const ferroglyph_htj2k_encode_params& p,
                           const placement& at);
void set_siz(ojph::codestream& cs, const ferroglyph_htj2k_encode_params& p, const placement& at);
void set_coding(ojph::codestream& cs, const ferroglyph_htj2k_encode_params& p);

}  // namespace ferroglyph::shim

#endif  // FERROGLYPH_SHIM_INTERNAL_H
