// sampling_grid.h - the grid of pixel positions an area is sampled at.
//
// Every third span of the area (positions 0, 3, 6, ... of its list), its
// row clamped into 1..h-2; on that row every third column from a to below
// b, where a and b are the span's ends clamped into 1..w-2 and taken down to
// multiples of 3 (a at least 3). The end column b is never sampled. The
// baseline, the presence test, the background refresh and the light search
// all visit exactly these positions in this order.
//
// The functions here are static: every file gets a copy of its own, so
// that the copy the vector kernel files compile with their instruction-set
// flags can never be merged with, and stand in for, the plain one.
#ifndef TARVOCOIL_DETECT_SAMPLING_GRID_H
#define TARVOCOIL_DETECT_SAMPLING_GRID_H

#include <algorithm>
#include <cstdint>

#include "areas/rasterise.h"

namespace tarvocoil {

// One visited span: samples at x = a, a + 3, ... while x < b, on row y.
struct GridRow {
    int32_t y;
    int32_t a;
    int32_t b;
};

// The row of a span clamped into 1..h-2 (the 3x3 median needs a row above
// and below).
static inline int32_t clampRow(int32_t y, int32_t h) {
    if (y <= 1) y = 1;
    if (y >= h - 2) y = h - 2;
    return y;
}

static inline GridRow gridRow(const RowSpan& span, int32_t w, int32_t h) {
    GridRow g;
    g.y = clampRow(span.y, h);
    const int32_t l = std::max(span.left, 1);
    const int32_t r = std::min(span.right, w - 2);
    g.a = 3 * (l / 3);
    if (g.a == 0) g.a = 3;
    g.b = 3 * (r / 3);  // truncates toward zero for negative r
    return g;
}

// The span count as the detector reads it: signed 16-bit. An area of more
// than 32767 rows therefore reads fewer (or no) spans; the position that
// walks the list is a full int so that it never wraps.
static inline int32_t spanCount16(const SpanList& list) {
    const uint16_t u = static_cast<uint16_t>(static_cast<uint32_t>(list.count));
    return u >= 0x8000u ? static_cast<int32_t>(u) - 0x10000 : static_cast<int32_t>(u);
}

// Calls visit(x, y) for every grid position of an area, in grid order.
template <typename Visit>
static inline void forEachGridPosition(const SpanList& list, int32_t w, int32_t h, Visit&& visit) {
    const int32_t n = spanCount16(list);
    for (int32_t k = 0; k < n; k += 3) {
        const GridRow g = gridRow(list.spans[k], w, h);
        for (int32_t x = g.a; x < g.b; x += 3) visit(x, g.y);
    }
}

}  // namespace tarvocoil

#endif
