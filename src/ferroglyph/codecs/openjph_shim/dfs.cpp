// DFS marker segments (ISO/IEC 15444-2), which OpenJPH reads without the
// checks its other segments get: the two walks that keep the references it
// follows and the levels it reconstructs within what it can do.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "markers.h"
#include "shim_internal.h"

namespace ferroglyph::shim {

namespace {

namespace mk = ferroglyph::markers;

constexpr unsigned k_qcd = 0xFF5C;
constexpr unsigned k_qcc = 0xFF5D;

// [start, end) of every header OpenJPH may read markers in: the main header up
// to the first tile-part, everything before the first SOD (OpenJPH may read
// past a stray SOT as well), and each tile-part header up to its SOD.
std::vector<std::pair<size_t, size_t>> header_ranges(const uint8_t* src, size_t srcsize,
                                                     size_t at) {
  std::vector<std::pair<size_t, size_t>> headers;
  headers.emplace_back(2, at);
  headers.emplace_back(
      2, std::min(mk::find_marker(src, mk::after_siz(src, srcsize), srcsize, mk::k_sod), srcsize));
  mk::sot_segment sot;
  while (mk::sot_at(src, srcsize, at, &sot) && sot.lsot == mk::k_lsot) {
    const size_t psot = sot.psot;
    const size_t part_end = psot == 0 || psot > srcsize - at ? srcsize : at + psot;
    const size_t body = at + mk::k_sot_bytes;
    headers.emplace_back(body, std::min(mk::find_marker(src, body, part_end, mk::k_sod), part_end));
    if (psot < 14 || psot > srcsize - at) break;
    at += psot;
  }
  return headers;
}

// Whether segment `s` at `at` of a main header ending at `main_end` is one
// OpenJPH certainly read by its length: it fits, ends in no 0xFF and holds
// no marker code (0xFF, then 0x30 or more) that OpenJPH could resynchronise
// on.
bool read_by_length(const uint8_t* src, size_t at, const mk::segment& s, size_t main_end) {
  if (!mk::segment_fits(s, main_end)) return false;
  // OpenJPH reads a QCD or QCC to exactly its Lqcd bytes or fails the header
  // (param_qcd::read, read_qcc); their step sizes hold any byte values, and
  // one in a few thousand of the steps ferroglyph codes holds FF 52 or FF 53.
  if (s.marker == k_qcd || s.marker == k_qcc) return true;
  if (src[s.end - 1] == 0xFF) return false;
  for (size_t i = at + 4; i + 1 < s.end; ++i)
    if (src[i] == 0xFF && src[i + 1] >= 0x30) return false;
  return true;
}

// The DFS segments of the main header that OpenJPH certainly read, into
// `defined`.  OpenJPH reads each segment it knows by its length (or refuses
// it) but resynchronises on the next marker code after anything else, which
// a walk cannot follow byte for byte.  So only a main header whose segments
// follow one another exactly, from the SOC OpenJPH found to the SOT at
// `main_end` where it stopped reading, each read by its length, defines
// anything.  False, with nothing defined, otherwise: every DFS reference is
// then refused, which no real codestream meets.
bool dfs_definitions(const uint8_t* src, size_t srcsize, size_t main_end, bool defined[16],
                     std::vector<std::pair<size_t, size_t>>* quantization_bodies) {
  const size_t soc = mk::header_start(src, srcsize);
  if (main_end + 2 > srcsize || main_end < soc + 4 || mk::u16_at(src + soc) != mk::k_soc ||
      mk::u16_at(src + soc + 2) != mk::k_siz || mk::u16_at(src + main_end) != mk::k_sot)
    return false;
  bool found[16] = {};
  for (size_t at = soc + 2; at < main_end;) {
    if (at + 4 > main_end) return false;
    const mk::segment s = mk::segment_at(src, at);
    if ((at > soc + 2 && !mk::main_header_marker(s.marker)) ||
        !read_by_length(src, at, s, main_end))
      return false;
    if (s.marker == k_qcd || s.marker == k_qcc) quantization_bodies->emplace_back(at + 4, s.end);
    if (s.marker == mk::k_dfs) {
      // OpenJPH reads Ids levels whatever Ldfs says.
      if (s.length < 5 || !mk::dfs_segment(src + at).well_formed()) return false;
      const unsigned index = mk::dfs_segment(src + at).index;
      if (index < 16) found[index] = true;
    }
    at = s.end;
  }
  std::copy(found, found + 16, defined);
  return true;
}

// The DFS index the COD or COC whose marker code stands at `i` (before
// `end`) names in its decomposition levels (high bit set, index in the low
// four bits); -1 for other codes and plain level counts.
int dfs_reference_at(const uint8_t* src, size_t i, size_t end, uint32_t components) {
  const unsigned marker = mk::u16_at(src + i);
  size_t levels_at = 0;
  if (marker == mk::k_cod)
    levels_at = i + 9;  // Lcod, Scod, SGcod (4 bytes), then SPcod
  else if (marker == mk::k_coc)
    levels_at = i + 5 + (components < 257 ? 1 : 2);  // Lcoc, Ccoc, Scoc, then SPcoc
  if (levels_at != 0 && levels_at < end && (src[levels_at] & 0x80)) return src[levels_at] & 15;
  return -1;
}

}  // namespace

// OpenJPH reads a COD or COC whose decomposition levels name a DFS marker
// segment without checking that the segment exists, and dereferences a null
// pointer when the reduced sizes are asked for.  References are searched at
// every byte of every header OpenJPH may read markers in (more than it
// reads; a false find only refuses a reference); definitions come from
// `dfs_definitions`.  `src` starts where OpenJPH's main header does;
// `whole`, of `wholesize` bytes, is the codestream as given, and OpenJPH
// stopped reading the main header at `main_end` of it.
int missing_dfs_index(const uint8_t* whole, size_t wholesize, size_t main_end, const uint8_t* src,
                      size_t srcsize, uint32_t components) {
  auto headers = header_ranges(src, srcsize, mk::find_first_sot(src, srcsize).first_part);
  const size_t offset = static_cast<size_t>(src - whole);
  if (main_end > offset) headers.emplace_back(2, std::min(main_end - offset, srcsize));
  std::vector<std::pair<size_t, unsigned>> wanted;  // where (in `whole`), which index
  for (const auto& [start, end] : headers)
    for (size_t i = start; i + 2 <= end; ++i)
      if (src[i] == 0xFF)
        if (const int index = dfs_reference_at(src, i, end, components); index >= 0)
          wanted.emplace_back(offset + i, static_cast<unsigned>(index));
  if (wanted.empty()) return -1;
  bool defined[16] = {};
  std::vector<std::pair<size_t, size_t>> quantization;
  if (!dfs_definitions(whole, wholesize, main_end, defined, &quantization)) quantization.clear();
  for (const auto& [at, index] : wanted) {
    // Step sizes in a QCD or QCC that OpenJPH read by its length are no marker.
    const bool step_sizes = std::any_of(quantization.begin(), quantization.end(),
                                        [at = at](const std::pair<size_t, size_t>& body) {
                                          return body.first <= at && at < body.second;
                                        });
    if (!step_sizes && !defined[index]) return static_cast<int>(index);
  }
  return -1;
}

// OpenJPH 0.32 fails an assertion while allocating the tiles (killing the
// process) when the reconstruction leaves out a vertical-only decomposition
// level of a DFS marker segment (measured on Kakadu's "bhvhb" low-latency
// codestream).  OpenJPH does not expose DFS, so the main header is walked
// here: whether one of the `levels` finest levels of a DFS segment is
// vertical-only (type 3).
bool drops_vertical_only_level(const uint8_t* src, size_t srcsize, int levels) {
  if (levels <= 0) return false;
  size_t at = mk::header_start(src, srcsize) + 2;  // after SOC
  while (at + 4 <= srcsize) {
    const mk::segment s = mk::segment_at(src, at);
    if (s.marker == mk::k_sot || !mk::segment_fits(s, srcsize)) break;
    if (s.marker == mk::k_dfs && s.length > 5) {
      const mk::dfs_segment dfs(src + at);
      unsigned type = 0;
      for (int k = 0; k < levels && dfs.level_type(static_cast<unsigned>(k), &type); ++k)
        if (type == 3) return true;
    }
    at = s.end;
  }
  return false;
}

}  // namespace ferroglyph::shim
