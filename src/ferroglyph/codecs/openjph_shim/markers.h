// Reading a codestream's marker segments from its bytes, without OpenJPH:
// the marker codes, the format's limits and the few walks that the bridge's
// header scans (DFS references, where the main header ends) and the
// module's tile planner (cutting a codestream into tiles) make.  Header
// only, so that the module can use it while talking to the bridge through
// its C interface alone.
//
// Every function reads only inside the bytes it is given: callers pass the
// end of what may be read, and each walk checks its lengths against it.
#ifndef FERROGLYPH_SHIM_MARKERS_H
#define FERROGLYPH_SHIM_MARKERS_H

#include <cstddef>
#include <cstdint>

#include "openjph_shim.h"

namespace ferroglyph::markers {

// Marker codes (ISO/IEC 15444-1 A.2; DFS from 15444-2).
constexpr unsigned k_soc = 0xFF4F;
constexpr unsigned k_siz = 0xFF51;
constexpr unsigned k_cod = 0xFF52;
constexpr unsigned k_coc = 0xFF53;
constexpr unsigned k_tlm = 0xFF55;
constexpr unsigned k_plm = 0xFF57;
constexpr unsigned k_ppm = 0xFF60;
constexpr unsigned k_dfs = 0xFF72;
constexpr unsigned k_sot = 0xFF90;
constexpr unsigned k_sod = 0xFF93;
constexpr unsigned k_eoc = 0xFFD9;
// Codes below this one are delimiters or reserved: no segment of the main
// header has one.
constexpr unsigned k_lowest_segment = 0xFF40;

// The format's limits, as OpenJPH applies them.
constexpr int64_t k_max_tiles = FERROGLYPH_HTJ2K_MAX_TILES;            // Isot is 16 bits
constexpr int k_max_components = FERROGLYPH_HTJ2K_MAX_COMPONENTS;      // Csiz
constexpr int k_max_subsampling = 255;  // XRsiz and YRsiz are one byte, 0 being invalid
constexpr unsigned k_lsot = 10;         // the only Lsot the format allows
constexpr size_t k_sot_bytes = 12;      // SOT marker and segment

inline unsigned u16_at(const uint8_t* p) { return (unsigned{p[0]} << 8) | p[1]; }
inline uint32_t u32_at(const uint8_t* p) { return (uint32_t{u16_at(p)} << 16) | u16_at(p + 2); }

// A marker segment at `at`: its code, Lxxx and the position just after it.
// Needs 4 bytes at `at`.
struct segment {
  unsigned marker;
  size_t length;
  size_t end;
};

inline segment segment_at(const uint8_t* b, size_t at) {
  const size_t length = u16_at(b + at + 2);
  return {u16_at(b + at), length, at + 2 + length};
}

// A segment whose length counts itself and ends by `limit`.
inline bool segment_fits(const segment& s, size_t limit) { return s.length >= 2 && s.end <= limit; }

// An SOT marker segment at `at`: false when fewer than 12 bytes are left
// before `n` or no SOT marker code stands there.
struct sot_segment {
  unsigned lsot;
  unsigned isot;
  uint32_t psot;  // the tile-part's length from its SOT on; 0: to the end
};

inline bool sot_at(const uint8_t* b, size_t n, size_t at, sot_segment* out) {
  if (at > n || n - at < k_sot_bytes || u16_at(b + at) != k_sot) return false;
  *out = {u16_at(b + at + 2), u16_at(b + at + 4), u32_at(b + at + 6)};
  return true;
}

// The first position in [from, end) where `marker` stands, searched at every
// byte; end - 1 (or `from`) when there is none.
inline size_t find_marker(const uint8_t* b, size_t from, size_t end, unsigned marker) {
  while (from + 2 <= end && u16_at(b + from) != marker) ++from;
  return from;
}

// OpenJPH's header reading skips bytes it does not expect: any before the
// SOC marker, and any between SOC and SIZ, scanning in pairs from where it
// stands (a 0xFF, then the byte after it).  The first position from `from`
// where 0xFF is followed by `code` in that scan, or n.
inline size_t find_in_pairs(const uint8_t* b, size_t from, size_t n, uint8_t code) {
  for (size_t at = from; at + 1 < n;) {
    if (b[at] != 0xFF) {
      ++at;
      continue;
    }
    if (b[at + 1] == code) return at;
    at += 2;
  }
  return n;
}

// Where OpenJPH's main header starts: two bytes before the SIZ it reads
// (the SOC itself for a well-formed codestream; 0 when there is no SOC).
inline size_t header_start(const uint8_t* b, size_t n) {
  const size_t soc = find_in_pairs(b, 0, n, 0x4F);
  if (soc >= n) return 0;
  const size_t siz = find_in_pairs(b, soc + 2, n, 0x51);
  return siz < n ? siz - 2 : soc;
}

// Where marker searches for the header's end may begin: after the SIZ
// segment, which OpenJPH reads by its length, so that marker codes among its
// sizes (an XRsiz of 0xFF and a YRsiz of 0x90 spell SOT) end nothing.
inline size_t after_siz(const uint8_t* b, size_t n) {
  if (n < 6 || u16_at(b + 2) != k_siz) return 2;
  const size_t end = size_t{4} + u16_at(b + 4);
  return end < n ? end : n;
}

// Where the main header ends and the tile-parts begin.  OpenJPH takes
// segments from the main header only, which ends, at the latest, at the
// first SOT marker code wherever it stands; tile-parts begin at the first
// SOT (from there on) whose Lsot is 10.
struct first_sot {
  size_t main_end;
  size_t first_part;
};

inline first_sot find_first_sot(const uint8_t* b, size_t n) {
  first_sot f{find_marker(b, after_siz(b, n), n, k_sot), 0};
  f.first_part = f.main_end;
  while (f.first_part < n && !(f.first_part + 4 <= n && u16_at(b + f.first_part) == k_sot &&
                               u16_at(b + f.first_part + 2) == k_lsot))
    ++f.first_part;
  return f;
}

// The marker codes OpenJPH's main-header reading stops at (SOT ends the
// header); it skips any other code as two bytes and scans on from there.
inline bool main_header_marker(unsigned marker) {
  switch (marker) {
    case 0xFF50: case 0xFF52: case 0xFF53: case 0xFF55: case 0xFF56: case 0xFF57:
    case 0xFF59: case 0xFF5C: case 0xFF5D: case 0xFF5E: case 0xFF5F: case 0xFF60:
    case 0xFF63: case 0xFF64: case 0xFF72: case 0xFF76: case 0xFF79: case k_sot:
      return true;
    default:
      return false;
  }
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
    const unsigned i = k < count - 1 ? k : count - 1;
    if (count == 0 || i / 4 >= type_bytes) return false;
    *type = (types[i / 4] >> (6 - 2 * (i % 4))) & 3;
    return true;
  }
};

}  // namespace ferroglyph::markers

#endif  // FERROGLYPH_SHIM_MARKERS_H
