// What the bridge's source files share besides messages and the abort trap:
// the header guards that every decode entry point applies before OpenJPH
// touches tile data, the trapped and exception-safe call wrapper, and the
// encoder's output block.  Defined in openjph_shim.cpp; not exported.
#ifndef FERROGLYPH_SHIM_INTERNAL_H
#define FERROGLYPH_SHIM_INTERNAL_H

#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>

#include <cstddef>
#include <cstdint>

#include "openjph_shim.h"

namespace ferroglyph::shim {

// Opens `cs` on src[0..srcsize) and reads the main header, then refuses the
// headers that would reach an OpenJPH assertion later (undefined DFS
// references, progression orders past CPRL, too many tiles).  Throws.
void open_and_read_guarded(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src,
                           size_t srcsize, int resilient);

// Why OpenJPH cannot reduce this codestream by `reduce` levels, or null.
const char* why_not_reducible(ojph::codestream& cs, int reduce);

// Whether leaving `levels` finest levels out of the reconstruction drops a
// vertical-only DFS level, which OpenJPH cannot reconstruct.
bool reduction_drops_vertical_only_level(const uint8_t* src, size_t srcsize, int levels);

// Whether some component carries an NLT setting that this OpenJPH version
// decodes to zeros (an explicit type 0, or type 3 on reversibly coded
// unsigned samples).
bool some_nlt_decodes_wrongly(ojph::codestream& cs);

// The NLT type of component `comp` (0 when it has none).
int nlt_type_of(ojph::codestream& cs, uint32_t comp);

// The settings of a whole-image encode besides its samples' layout (SIZ):
// profile, tile-parts and TLM first, then wavelet, code-blocks, progression,
// quantization and the NLT marker.
void set_encode_parts(ojph::codestream& cs, const ferroglyph_htj2k_encode_params& p);
void set_encode_coding(ojph::codestream& cs, const ferroglyph_htj2k_encode_params& p);

// Runs body(context), which returns the call's code, with OpenJPH's
// exceptions turned into `failure` and "<place>: <text>" and its assertion
// failures trapped (also `failure`).
int run_guarded(const char* place, int failure, int (*body)(void*), void* context);

template <class Body>
int guarded(const char* place, int failure, Body& body) {
  return run_guarded(place, failure, [](void* b) { return (*static_cast<Body*>(b))(); }, &body);
}

// Runs write(context, out) against an output file that grows a malloc block;
// on success (write returned 0) the block is handed to the caller through
// *out_buf / *out_size.  A failed allocation gives code `no_memory` and
// "malloc failed"; other exceptions propagate.
int write_to_malloc_block(int (*write)(void*, ojph::outfile_base&), void* context, int no_memory,
                          uint8_t** out_buf, size_t* out_size);

}  // namespace ferroglyph::shim

#endif  // FERROGLYPH_SHIM_INTERNAL_H
