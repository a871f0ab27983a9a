// The order in which OpenJPH exchanges rows with its caller.
//
// Without the component transform OpenJPH takes and delivers rows component
// by component (every row of component 0, then of component 1, ...); with
// it, row by row (row r of every component, then row r + 1), counting rows
// against component 0.  Any other order codes or decodes wrongly, and one
// exchange too many makes OpenJPH assert or loop forever, so every sample
// mover walks rows through visit_rows(), exactly once each.
#ifndef FERROGLYPH_SHIM_ROW_ORDER_H
#define FERROGLYPH_SHIM_ROW_ORDER_H

#include <openjph/ojph_codestream.h>

#include <cstdint>

namespace ferroglyph::shim {

// Tells OpenJPH which of the two orders the rows come or go in; call before
// create() (decode) or write_headers() (encode).
inline void set_row_order(ojph::codestream& cs, bool color_transform) {
  cs.set_planar(!color_transform);
}

// Calls move(c, r) once for every row r < rows_of(c) of every component
// c < components, in OpenJPH's order; stops at, and returns, the first
// non-zero result.  With the transform every component has rows_of(0) rows.
template <class Rows, class Move>
int visit_rows(bool color_transform, uint32_t components, Rows rows_of, Move move) {
  if (color_transform) {
    const uint32_t rows = rows_of(0);
    for (uint32_t r = 0; r < rows; ++r)
      for (uint32_t c = 0; c < components; ++c)
        if (int rc = move(c, r)) return rc;
  } else {
    for (uint32_t c = 0; c < components; ++c)
      for (uint32_t r = 0, rows = rows_of(c); r < rows; ++r)
        if (int rc = move(c, r)) return rc;
  }
  return 0;
}

}  // namespace ferroglyph::shim

#endif  // FERROGLYPH_SHIM_ROW_ORDER_H
