// The exported C interface over OpenJPH: header facts, decode into a caller's
// buffer, encode into a buffer we allocate.  Every call creates and destroys
// its own OpenJPH objects; nothing is shared between calls but the message
// handlers and the per-thread texts (messages.h).
#include "openjph_shim.h"

#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_params.h>
#include <openjph/ojph_version.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "abort_trap.h"
#include "messages.h"
#include "sample_rows.h"
#include "shim_internal.h"

#if OPENJPH_VERSION_MAJOR == 0 && OPENJPH_VERSION_MINOR < 31
#error "ferroglyph needs OpenJPH 0.31 or newer"
#endif

namespace shim = ferroglyph::shim;

namespace {

// OpenJPH's code for "every component" in NLT settings.
constexpr uint32_t k_all_components = 65535;
constexpr uint8_t k_nlt_binary_complement = 3;
// Highest progression order value (CPRL) in a COD marker segment.
constexpr int k_last_progression_order = 4;
constexpr uint64_t k_max_tiles = FERROGLYPH_HTJ2K_MAX_TILES;

struct header_facts {
  int components = 0;
  int bit_depth = 0;
  bool is_signed = false;
  bool color_transform = false;
  int nlt_type = 0;
  bool uniform = true;
  // Some component carries an NLT setting that OpenJPH 0.32 decodes to zeros
  // (an explicit type 0, or type 3 on reversibly coded unsigned samples).
  bool nlt_decoded_wrongly = false;
};

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
    if (across * down > k_max_tiles)
      throw std::runtime_error("the number of tiles cannot exceed " + std::to_string(k_max_tiles));
  }
}

constexpr unsigned k_sot = 0xFF90, k_sod = 0xFF93, k_cod = 0xFF52, k_coc = 0xFF53,
                   k_dfs = 0xFF72;

unsigned u16_at(const uint8_t* p) { return static_cast<unsigned>(p[0] << 8 | p[1]); }

// The first position in [from, end) where `marker` stands, searched at every
// byte; end - 1 (or `from`) when there is none.
size_t find_marker(const uint8_t* src, size_t from, size_t end, unsigned marker) {
  while (from + 2 <= end && u16_at(src + from) != marker) ++from;
  return from;
}

// A DFS marker segment (ISO/IEC 15444-2) at `at`: Ldfs, Sdfs, Ids, then 2
// bits per decomposition level.  Needs 7 bytes at `at`.
struct dfs_segment {
  size_t length;       // Ldfs
  unsigned index;      // Sdfs
  unsigned count;      // Ids: the levels the segment describes
  const uint8_t* types;
  size_t type_bytes;   // what Ldfs leaves for the types

  explicit dfs_segment(const uint8_t* at)
      : length(u16_at(at + 2)), index(u16_at(at + 4)), count(at[6]), types(at + 7),
        type_bytes(length > 5 ? length - 5 : 0) {}

  // OpenJPH reads Ids levels whatever Ldfs says: only a segment whose sizes
  // agree can be trusted.
  bool well_formed() const { return count > 0 && length == 5 + (count + 3) / 4; }

  // The type of the k-th finest level (levels past Ids repeat the last
  // type); false past the type bytes Ldfs holds.
  bool level_type(unsigned k, unsigned* type) const {
    const unsigned i = std::min(k, count - 1);
    if (count == 0 || i / 4 >= type_bytes) return false;
    *type = (types[i / 4] >> (6 - 2 * (i % 4))) & 3;
    return true;
  }
};

// Where the main header ends and the tile-parts begin.  OpenJPH takes DFS
// segments from the main header only, which ends, at the latest, at the first
// SOT marker code wherever it stands; tile-parts begin at the first SOT (from
// there on) whose Lsot is 10.
struct first_sot {
  size_t main_end;
  size_t first_part;
};

// Where marker searches for the header's end may begin: after the SIZ
// segment, which OpenJPH reads by its length, so that marker codes among its
// sizes (an XRsiz of 0xFF and a YRsiz of 0x90 spell SOT) end nothing.
size_t after_siz(const uint8_t* src, size_t srcsize) {
  if (srcsize < 6 || u16_at(src + 2) != 0xFF51) return 2;
  return std::min(srcsize, size_t{4} + u16_at(src + 4));
}

first_sot find_first_sot(const uint8_t* src, size_t srcsize) {
  first_sot f{find_marker(src, after_siz(src, srcsize), srcsize, k_sot), 0};
  f.first_part = f.main_end;
  while (f.first_part < srcsize &&
         !(f.first_part + 4 <= srcsize && u16_at(src + f.first_part) == k_sot &&
           u16_at(src + f.first_part + 2) == 10))
    ++f.first_part;
  return f;
}

// [start, end) of every header OpenJPH may read markers in: the main header up
// to the first tile-part, everything before the first SOD (OpenJPH may read
// past a stray SOT as well), and each tile-part header up to its SOD.
std::vector<std::pair<size_t, size_t>> header_ranges(const uint8_t* src, size_t srcsize,
                                                     size_t at) {
  std::vector<std::pair<size_t, size_t>> headers;
  headers.emplace_back(2, at);
  headers.emplace_back(2, std::min(find_marker(src, after_siz(src, srcsize), srcsize, k_sod), srcsize));
  while (at + 12 <= srcsize && u16_at(src + at) == k_sot && u16_at(src + at + 2) == 10) {
    const size_t psot = static_cast<size_t>(u16_at(src + at + 6)) << 16 | u16_at(src + at + 8);
    const size_t part_end = psot == 0 || psot > srcsize - at ? srcsize : at + psot;
    headers.emplace_back(at + 12, std::min(find_marker(src, at + 12, part_end, k_sod), part_end));
    if (psot < 14 || psot > srcsize - at) break;
    at += psot;
  }
  return headers;
}

// OpenJPH's header reading skips bytes it does not expect: any before the
// SOC marker, and any between SOC and SIZ, scanning in pairs from where it
// stands (a 0xFF, then the byte after it).  The header walks below start
// where OpenJPH's main header starts, two bytes before the SIZ it read (a
// stray SOT among the skipped bytes hid a DFS reference from them otherwise).
size_t find_in_pairs(const uint8_t* src, size_t from, size_t srcsize, uint8_t code) {
  for (size_t at = from; at + 1 < srcsize;) {
    if (src[at] != 0xFF) {
      ++at;
      continue;
    }
    if (src[at + 1] == code) return at;
    at += 2;
  }
  return srcsize;
}

size_t header_start(const uint8_t* src, size_t srcsize) {
  const size_t soc = find_in_pairs(src, 0, srcsize, 0x4F);
  if (soc >= srcsize) return 0;
  const size_t siz = find_in_pairs(src, soc + 2, srcsize, 0x51);
  return siz < srcsize ? siz - 2 : soc;
}

// The marker codes OpenJPH's main-header reading stops at (SOT ends the
// header); it skips any other code as two bytes and scans on from there.
bool main_header_marker(unsigned marker) {
  switch (marker) {
    case 0xFF50: case 0xFF52: case 0xFF53: case 0xFF55: case 0xFF56: case 0xFF57:
    case 0xFF59: case 0xFF5C: case 0xFF5D: case 0xFF5E: case 0xFF5F: case 0xFF60:
    case 0xFF63: case 0xFF64: case 0xFF72: case 0xFF76: case 0xFF79: case k_sot:
      return true;
    default:
      return false;
  }
}

// The DFS segments of the main header that OpenJPH certainly read, into
// `defined`.  OpenJPH reads each segment it knows by its length (or refuses
// it) but resynchronises on the next marker code after anything else, which
// a walk cannot follow byte for byte.  So only a main header whose segments
// follow one another exactly, from the SOC OpenJPH found to the SOT at
// `main_end` where it stopped reading, with no marker code (0xFF, then 0x30
// or more) and no trailing 0xFF inside any segment, defines anything.
// False, with nothing defined, otherwise: every DFS reference is then
// refused, which no real codestream meets.
bool dfs_definitions(const uint8_t* src, size_t srcsize, size_t main_end, bool defined[16]) {
  const size_t soc = header_start(src, srcsize);
  if (main_end + 2 > srcsize || main_end < soc + 4 || u16_at(src + soc) != 0xFF4F ||
      u16_at(src + soc + 2) != 0xFF51 || u16_at(src + main_end) != k_sot)
    return false;
  bool found[16] = {};
  for (size_t at = soc + 2; at < main_end;) {
    const unsigned marker = u16_at(src + at);
    if (at + 4 > main_end || (at > soc + 2 && !main_header_marker(marker))) return false;
    const size_t length = u16_at(src + at + 2);
    const size_t end = at + 2 + length;
    if (length < 2 || end > main_end || src[end - 1] == 0xFF) return false;
    for (size_t i = at + 4; i + 1 < end; ++i)
      if (src[i] == 0xFF && src[i + 1] >= 0x30) return false;
    if (marker == k_dfs) {
      // OpenJPH reads Ids levels whatever Ldfs says.
      if (length < 5 || !dfs_segment(src + at).well_formed()) return false;
      const unsigned index = dfs_segment(src + at).index;
      if (index < 16) found[index] = true;
    }
    at = end;
  }
  std::copy(found, found + 16, defined);
  return true;
}

// OpenJPH reads a COD or COC whose decomposition levels name a DFS marker
// segment (high bit set, index in the low four bits) without checking that
// the segment exists, and dereferences a null pointer when the reduced sizes
// are asked for.  References are searched at every byte of every header
// OpenJPH may read markers in (more than it reads; a false find only refuses
// a reference); definitions come from `dfs_definitions`.  `src` starts where
// OpenJPH's main header does; `whole`, of `wholesize` bytes, is the
// codestream as given, and OpenJPH stopped reading the main header at
// `main_end` of it.  Returns the first index that no well-formed DFS segment
// of the main header defines, or -1.
int missing_dfs_index(const uint8_t* whole, size_t wholesize, size_t main_end, const uint8_t* src,
                      size_t srcsize, uint32_t components) {
  const first_sot sot = find_first_sot(src, srcsize);
  auto headers = header_ranges(src, srcsize, sot.first_part);
  const size_t offset = static_cast<size_t>(src - whole);
  if (main_end > offset) headers.emplace_back(2, std::min(main_end - offset, srcsize));
  std::vector<unsigned> wanted;
  const size_t ccoc = components < 257 ? 1 : 2;
  for (const auto& [start, end] : headers) {
    for (size_t i = start; i + 2 <= end; ++i) {
      if (src[i] != 0xFF) continue;
      const unsigned marker = u16_at(src + i);
      size_t levels_at = 0;
      if (marker == k_cod)
        levels_at = i + 9;  // Lcod, Scod, SGcod (4 bytes), then SPcod
      else if (marker == k_coc)
        levels_at = i + 5 + ccoc;  // Lcoc, Ccoc, Scoc, then SPcoc
      if (levels_at != 0 && levels_at < end && (src[levels_at] & 0x80))
        wanted.push_back(src[levels_at] & 15u);
    }
  }
  if (wanted.empty()) return -1;
  bool defined[16] = {};
  dfs_definitions(whole, wholesize, main_end, defined);
  for (unsigned index : wanted)
    if (!defined[index]) return static_cast<int>(index);
  return -1;
}

// OpenJPH 0.32 fails an assertion while allocating the tiles (killing the
// process) when the reconstruction leaves out a vertical-only decomposition
// level of a DFS marker segment (ISO/IEC 15444-2; measured on Kakadu's
// "bhvhb" low-latency codestream).  OpenJPH does not expose DFS, so the main
// header is walked here: whether one of the `levels` finest levels of a DFS
// segment is vertical-only (type 3).
bool drops_vertical_only_level(const uint8_t* src, size_t srcsize, int levels) {
  if (levels <= 0) return false;
  size_t at = header_start(src, srcsize) + 2;  // after SOC
  while (at + 4 <= srcsize) {
    const unsigned marker = u16_at(src + at);
    const size_t length = u16_at(src + at + 2);
    if (marker == k_sot || length < 2 || length > srcsize - at - 2) break;
    if (marker == k_dfs && length > 5) {
      const dfs_segment dfs(src + at);
      unsigned type = 0;
      for (int k = 0; k < levels && dfs.level_type(static_cast<unsigned>(k), &type); ++k)
        if (type == 3) return true;
    }
    at += 2 + length;
  }
  return false;
}

// Why OpenJPH cannot reduce this codestream by `reduce` levels, or null.
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

bool reduction_negative(int reduce_data, int reduce_recon) {
  return reduce_data < 0 || reduce_recon < 0;
}

// Opens `cs` on the codestream and reads its main header.
void open_and_read(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src, size_t srcsize,
                   int resilient) {
  in.open(src, srcsize);
  if (resilient) cs.enable_resilience();
  cs.read_headers(&in);
  const size_t start = header_start(src, srcsize);
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

int decode_info_impl(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src,
                     size_t srcsize, int reduce_data, int reduce_recon, int resilient,
                     ferroglyph_htj2k_info* info) {
  open_and_read(cs, in, src, srcsize, resilient);

  info->num_decompositions = static_cast<int>(cs.access_cod().get_num_decompositions());
  if (const char* refusal = reduction_refusal(cs, std::max(reduce_data, reduce_recon))) {
    shim::set_error(refusal);
    return 4;
  }
  const header_facts f = read_facts(cs);
  info->components = f.components;
  info->bit_depth = f.bit_depth;
  info->is_signed = f.is_signed ? 1 : 0;
  info->color_transform = f.color_transform ? 1 : 0;
  info->nlt_type = f.nlt_type;
  info->uniform = f.uniform ? 1 : 0;

  if (reduce_data != 0 || reduce_recon != 0)
    cs.restrict_input_resolution(static_cast<uint32_t>(reduce_data),
                                 static_cast<uint32_t>(reduce_recon));
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
int refuse_facts(const header_facts& f, int bytes_per_sample) {
  if (!f.uniform) {
    shim::set_error(
        "components differ in bit depth, signedness, nonlinearity or subsampling; not supported");
    return 7;
  }
  if (f.nlt_decoded_wrongly) {
    shim::set_error(
        "an NLT marker of type 0, or of type 3 on unsigned samples, decodes to zeros in this "
        "OpenJPH version; not supported");
    return 8;
  }
  if (f.bit_depth < 1 || f.bit_depth > 8 * bytes_per_sample) {
    shim::set_error("bytes_per_sample too small for the bit depth");
    return 2;
  }
  return 0;
}

// Stores every row of every component that OpenJPH delivers into dst
// (planar or interleaved), W x H samples a component.
int pull_samples(ojph::codestream& cs, const header_facts& f, uint8_t* dst, int bytes_per_sample,
                 int dst_planar, uint64_t W, uint64_t H) {
  const uint64_t C = static_cast<uint64_t>(f.components);
  const uint64_t plane = W * H;
  const size_t step = dst_planar ? 1 : static_cast<size_t>(C);
  const uint32_t width = static_cast<uint32_t>(W);
  auto store = [&](uint64_t c, uint64_t r) -> int {
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
    const uint64_t offset = dst_planar ? c * plane + r * W : r * W * C + c;
    if (!shim::store_component_row(line, dst, bytes_per_sample, f.is_signed,
                                   static_cast<size_t>(offset), step, width, f.bit_depth)) {
      shim::set_error("decode: unexpected line buffer type");
      return 4;
    }
    return 0;
  };
  // Exactly one pull per (component, row): OpenJPH asserts or loops forever
  // when asked for more.
  if (f.color_transform) {
    for (uint64_t r = 0; r < H; ++r)
      for (uint64_t c = 0; c < C; ++c)
        if (int rc = store(c, r)) return rc;
  } else {
    for (uint64_t c = 0; c < C; ++c)
      for (uint64_t r = 0; r < H; ++r)
        if (int rc = store(c, r)) return rc;
  }
  return 0;
}

int decode_impl(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src, size_t srcsize,
                uint8_t* dst, size_t dst_size, int bytes_per_sample, int reduce_data,
                int reduce_recon, int resilient, int dst_planar) {
  open_and_read(cs, in, src, srcsize, resilient);

  if (const char* refusal = reduction_refusal(cs, std::max(reduce_data, reduce_recon))) {
    shim::set_error(refusal);
    return 6;
  }
  if (drops_vertical_only_level(src, srcsize, reduce_recon)) {
    shim::set_error(
        "reduce leaves out a vertical-only decomposition level (DFS), which OpenJPH cannot "
        "reconstruct");
    return 6;
  }
  if (reduce_data != 0 || reduce_recon != 0)
    cs.restrict_input_resolution(static_cast<uint32_t>(reduce_data),
                                 static_cast<uint32_t>(reduce_recon));

  const header_facts f = read_facts(cs);
  if (int rc = refuse_facts(f, bytes_per_sample)) return rc;

  ojph::param_siz siz = cs.access_siz();
  const uint64_t W = siz.get_recon_width(0), H = siz.get_recon_height(0);
  const uint64_t C = static_cast<uint64_t>(f.components);
  if (W < 1 || H < 1) {
    // OpenJPH has no rows to deliver; asking it for any is undefined.
    shim::set_error("reduce leaves a zero-sized image");
    return 6;
  }
  const uint64_t plane = W * H;
  const uint64_t pixel_bytes = C * static_cast<uint64_t>(bytes_per_sample);
  // A hostile header can declare more bytes than 64 bits count (2^31 x 2^31
  // samples of four 4-byte components); no buffer holds that.
  const bool need_overflows = pixel_bytes != 0 && plane > UINT64_MAX / pixel_bytes;
  const uint64_t need = plane * pixel_bytes;
  if (need_overflows || static_cast<uint64_t>(dst_size) < need) {
    shim::set_error("destination buffer too small");
    return 3;
  }

  // OpenJPH delivers component by component without the component transform
  // and row by row with it; other orders decode wrongly.
  cs.set_planar(!f.color_transform);
  cs.create();

  if (int rc = pull_samples(cs, f, dst, bytes_per_sample, dst_planar, W, H)) return rc;
  cs.close();
  return 0;
}

// The encoder's output file: OpenJPH writes the codestream straight into a
// block from malloc, grown with realloc (which moves no bytes for large
// blocks) and shrunk to the codestream's size at the end.  The caller gets
// that block, so the codestream is never copied inside the bridge.
class malloc_outfile final : public ojph::outfile_base {
 public:
  explicit malloc_outfile(size_t initial)
      : buf_(static_cast<uint8_t*>(std::malloc(initial))), cap_(buf_ ? initial : 0) {}
  ~malloc_outfile() override { std::free(buf_); }
  malloc_outfile(const malloc_outfile&) = delete;
  malloc_outfile& operator=(const malloc_outfile&) = delete;

  bool allocation_failed() const { return buf_ == nullptr || grow_failed_; }

  size_t write(const void* ptr, size_t size) override {
    if (size > cap_ - pos_) grow(pos_ + size);
    std::memcpy(buf_ + pos_, ptr, size);
    pos_ += size;
    if (pos_ > used_) used_ = pos_;
    return size;
  }
  ojph::si64 tell() override { return static_cast<ojph::si64>(pos_); }
  int seek(ojph::si64 offset, enum outfile_base::seek origin) override {
    const ojph::si64 base = origin == OJPH_SEEK_SET   ? 0
                            : origin == OJPH_SEEK_CUR ? static_cast<ojph::si64>(pos_)
                                                      : static_cast<ojph::si64>(used_);
    const ojph::si64 at = base + offset;
    if (at < 0 || at > static_cast<ojph::si64>(used_)) return -1;
    pos_ = static_cast<size_t>(at);
    return 0;
  }

  // Hands the codestream to the caller: a malloc block of exactly `*size`
  // bytes (or a larger one, should shrinking fail), which `free` releases.
  uint8_t* release(size_t* size) {
    uint8_t* shrunk = static_cast<uint8_t*>(std::realloc(buf_, used_ > 0 ? used_ : 1));
    uint8_t* out = shrunk != nullptr ? shrunk : buf_;
    *size = used_;
    buf_ = nullptr;
    cap_ = pos_ = used_ = 0;
    return out;
  }

 private:
  void grow(size_t need) {
    size_t cap = cap_ > 0 ? cap_ : 65536;
    while (cap < need) cap = cap > SIZE_MAX / 2 ? need : cap * 2;
    auto* bigger = static_cast<uint8_t*>(std::realloc(buf_, cap));
    if (bigger == nullptr) {
      grow_failed_ = true;
      throw std::bad_alloc();
    }
    buf_ = bigger;
    cap_ = cap;
  }

  uint8_t* buf_ = nullptr;
  size_t cap_ = 0, pos_ = 0, used_ = 0;
  bool grow_failed_ = false;
};

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

// How an encode call places its samples: a whole image (no offset, packed
// samples), or a part of a larger image whose tile-parts are wanted.
struct placement {
  ferroglyph_htj2k_region region{};
  bool part = false;
};

int encode_into(const uint8_t* src, const ferroglyph_htj2k_encode_params& p,
                const placement& at, malloc_outfile& out, uint8_t** out_buf, size_t* out_size);

int encode_impl(const uint8_t* src, const ferroglyph_htj2k_encode_params& p,
                const placement& at, uint8_t** out_buf, size_t* out_size) {
  malloc_outfile out(65536);
  if (out.allocation_failed()) {
    shim::set_error("malloc failed");
    return 4;
  }
  try {
    return encode_into(src, p, at, out, out_buf, out_size);
  } catch (const std::bad_alloc&) {
    if (!out.allocation_failed()) throw;
    shim::set_error("malloc failed");
    return 4;
  }
}

// Profile, tile-parts and TLM.  OpenJPH checks a profile against the whole
// codestream and refuses any offset; a part of a larger image gets what the
// profile sets (TLM, tile-parts at components only, its precincts below) and
// the larger image's header call checks the rest.
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

// Wavelet, code-blocks, progression, quantization and the NLT marker.
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

// Feeds every row of every component to OpenJPH, from packed samples or
// from a region of a larger image (its strides).
int push_samples(ojph::codestream& cs, const uint8_t* src, const ferroglyph_htj2k_encode_params& p,
                 const ferroglyph_htj2k_region& r) {
  const uint32_t W = static_cast<uint32_t>(p.width), H = static_cast<uint32_t>(p.height),
                 C = static_cast<uint32_t>(p.components);
  const uint64_t row_stride =
      r.row_stride > 0 ? static_cast<uint64_t>(r.row_stride) : uint64_t{W} * (p.src_planar ? 1 : C);
  const uint64_t plane =
      r.plane_stride > 0 ? static_cast<uint64_t>(r.plane_stride) : row_stride * H;
  const size_t step = p.src_planar ? 1 : C;
  ojph::ui32 next_comp = 0;
  ojph::line_buf* line = cs.exchange(nullptr, next_comp);
  auto push = [&](uint32_t c, uint64_t row) -> int {
    if (line == nullptr || next_comp != c) {
      shim::set_error("component order mismatch");
      return 3;
    }
    const uint64_t offset = p.src_planar ? c * plane + row * row_stride : row * row_stride + c;
    if (!shim::load_component_row(src, p.bytes_per_sample, p.is_signed != 0,
                                  static_cast<size_t>(offset), step, line, W)) {
      shim::set_error("unexpected line buffer type");
      return 3;
    }
    line = cs.exchange(line, next_comp);
    return 0;
  };
  // Exactly one exchange per (component, row): OpenJPH loops forever when
  // asked again after the last row.
  if (p.color_transform) {
    for (uint32_t row = 0; row < H; ++row)
      for (uint32_t c = 0; c < C; ++c)
        if (int rc = push(c, row)) return rc;
  } else {
    for (uint32_t c = 0; c < C; ++c)
      for (uint32_t row = 0; row < H; ++row)
        if (int rc = push(c, row)) return rc;
  }
  return 0;
}

int encode_into(const uint8_t* src, const ferroglyph_htj2k_encode_params& p,
                const placement& at, malloc_outfile& out, uint8_t** out_buf, size_t* out_size) {
  ojph::codestream cs;
  set_profile_and_parts(cs, p, at);
  set_siz(cs, p, at);
  set_coding(cs, p);
  // OpenJPH applies the component transform only when rows arrive row by
  // row; component-by-component feeding would corrupt components 0 and 1.
  cs.set_planar(p.color_transform == 0);
  cs.write_headers(&out, nullptr, 0);
  if (at.region.header_only) {
    // The tile-parts (and TLM) come only from flush(); the codestream is
    // dropped unflushed, which OpenJPH allows.
    *out_buf = out.release(out_size);
    return 0;
  }
  if (int rc = push_samples(cs, src, p, at.region)) return rc;
  cs.flush();
  cs.close();
  *out_buf = out.release(out_size);
  return 0;
}

// Runs call() with OpenJPH's assertion failures trapped (abort_trap.h);
// false when one fired.
template <class Call>
bool trapped_call(Call& call) {
  return shim::run_trapping_aborts([](void* c) noexcept { (*static_cast<Call*>(c))(); }, &call);
}

// Runs body(), which returns the call's code, with OpenJPH's exceptions
// turned into `failure` and "<place>: <text>", and its assertion failures
// trapped (also `failure`).
template <class Body>
int guarded_call(const char* place, int failure, Body body) {
  int rc = failure;
  auto call = [&] {
    try {
      rc = body();
    } catch (const std::exception& e) {
      shim::set_error(place, e);
    } catch (...) {
      shim::set_unknown_error(place);
    }
  };
  if (!trapped_call(call))
    shim::set_error((std::string(place) +
                     ": OpenJPH stopped at a failed internal check (assertion) while reading the "
                     "codestream; it is malformed")
                        .c_str());
  return rc;
}

}  // namespace

// The guards above, for the bridge's other source files (shim_internal.h).
namespace ferroglyph::shim {

void open_and_read_guarded(ojph::codestream& cs, ojph::mem_infile& in, const uint8_t* src,
                           size_t srcsize, int resilient) {
  ::open_and_read(cs, in, src, srcsize, resilient);
}

const char* why_not_reducible(ojph::codestream& cs, int reduce) {
  return ::reduction_refusal(cs, reduce);
}

bool reduction_drops_vertical_only_level(const uint8_t* src, size_t srcsize, int levels) {
  return ::drops_vertical_only_level(src, srcsize, levels);
}

bool some_nlt_decodes_wrongly(ojph::codestream& cs) { return ::read_facts(cs).nlt_decoded_wrongly; }

int nlt_type_of(ojph::codestream& cs, uint32_t comp) { return ::nlt_of(cs.access_nlt(), comp).type; }

void set_encode_parts(ojph::codestream& cs, const ferroglyph_htj2k_encode_params& p) {
  ::set_profile_and_parts(cs, p, placement{});
}

void set_encode_coding(ojph::codestream& cs, const ferroglyph_htj2k_encode_params& p) {
  ::set_coding(cs, p);
}

int run_guarded(const char* place, int failure, int (*body)(void*), void* context) {
  return ::guarded_call(place, failure, [&] { return body(context); });
}

int write_to_malloc_block(int (*write)(void*, ojph::outfile_base&), void* context, int no_memory,
                          uint8_t** out_buf, size_t* out_size) {
  malloc_outfile out(65536);
  try {
    if (out.allocation_failed()) throw std::bad_alloc();
    if (int rc = write(context, out)) return rc;
  } catch (const std::bad_alloc&) {
    if (!out.allocation_failed()) throw;
    set_error("malloc failed");
    return no_memory;
  }
  *out_buf = out.release(out_size);
  return 0;
}

}  // namespace ferroglyph::shim

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
  // The OpenJPH objects live here, outside the trapped call, so that they
  // are released even when OpenJPH aborts inside it.
  ojph::codestream cs;
  ojph::mem_infile in;
  return guarded_call("decode_info", 2, [&] {
    return decode_info_impl(cs, in, src, srcsize, reduce_data, reduce_recon, resilient, info);
  });
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
  return guarded_call("decode", 5, [&] {
    return decode_impl(cs, in, src, srcsize, dst, dst_size, bytes_per_sample, reduce_data,
                       reduce_recon, resilient, dst_planar);
  });
}

}  // extern "C"

namespace {

// A region's offsets and strides: none negative (two 31-bit offsets and
// sizes add up within OpenJPH's 32-bit coordinates), rows and planes that
// hold their samples.
bool region_valid(const ferroglyph_htj2k_encode_params& p, const ferroglyph_htj2k_region& r) {
  if (r.x0 < 0 || r.y0 < 0 || r.row_stride < 0 || r.plane_stride < 0) return false;
  const int64_t row = int64_t{p.width} * (p.src_planar ? 1 : p.components);
  if (r.row_stride != 0 && r.row_stride < row) return false;
  if (r.plane_stride != 0 && (!p.src_planar || r.plane_stride / p.height <
                                                   (r.row_stride != 0 ? r.row_stride : row)))
    return false;
  return true;
}

// The checks and the call shared by both encode entry points.
int checked_encode(const uint8_t* src, const ferroglyph_htj2k_encode_params* p,
                   const placement& at, uint8_t** out_buf, size_t* out_size) {
  if (!frame_info_valid(*p)) {
    shim::set_error("invalid frame info");
    return 2;
  }
  if (!region_valid(*p, at.region)) {
    shim::set_error("invalid region");
    return 6;
  }
  if (p->color_transform && p->components < 3) {
    shim::set_error("the component transform needs at least 3 components");
    return 2;
  }
  // OpenJPH's reversible path without any decomposition is not lossless
  // (samples at the lowest value come back as mid-grey) unless the component
  // transform is on.
  if (p->reversible && p->num_decomp == 0 && !p->color_transform) {
    shim::set_error(
        "reversible coding with 0 decompositions is not lossless in OpenJPH; use at least 1");
    return 2;
  }
#if OPENJPH_VERSION_MAJOR > 0 || OPENJPH_VERSION_MINOR >= 32
  // OpenJPH 0.32 codes unsigned samples under an NLT type 3 marker
  // reversibly as zeros.
  if (p->nlt_binary_complement && !p->is_signed && p->reversible) {
    shim::set_error("the NLT marker for floating-point samples needs signed samples");
    return 2;
  }
#endif
  *out_buf = nullptr;
  *out_size = 0;
  try {
    return encode_impl(src, *p, at, out_buf, out_size);
  } catch (const std::exception& e) {
    shim::set_error("encode", e);
  } catch (...) {
    shim::set_unknown_error("encode");
  }
  return 5;
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
  return checked_encode(src, p, placement{}, out_buf, out_size);
}

int ferroglyph_htj2k_encode_region(const uint8_t* src, const ferroglyph_htj2k_encode_params* p,
                                   const ferroglyph_htj2k_region* r, uint8_t** out_buf,
                                   size_t* out_size) {
  shim::begin_call();
  if ((src == nullptr && (r == nullptr || !r->header_only)) || p == nullptr || r == nullptr ||
      out_buf == nullptr || out_size == nullptr) {
    shim::set_error("null arg");
    return 1;
  }
  // OpenJPH never reads the samples of a header_only call.
  static const uint8_t k_no_samples = 0;
  return checked_encode(src != nullptr ? src : &k_no_samples, p, placement{*r, true}, out_buf,
                        out_size);
}

void ferroglyph_htj2k_free(void* buf) { std::free(buf); }

const char* ferroglyph_htj2k_last_error(void) { return shim::last_error().c_str(); }

const char* ferroglyph_htj2k_last_warnings(void) { return shim::warnings().c_str(); }

void ferroglyph_htj2k_clear_warnings(void) {
  shim::warnings().clear();
  shim::install_handlers();
}

}  // extern "C"
