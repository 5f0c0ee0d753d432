// rasterise.h - turning a host's quadrilateral into one RowSpan per row.
#ifndef TARVOCOIL_AREAS_RASTERISE_H
#define TARVOCOIL_AREAS_RASTERISE_H

#include <cstdint>

#include "base/allocator.h"
#include "tarvocoil.h"

namespace tarvocoil {

// One row of an area: every column from left to right (inclusive) of row y.
struct RowSpan {
    int32_t y;
    int32_t left;
    int32_t right;
};

// The spans of an area, top row first, one per row with no gaps.
struct SpanList {
    RowSpan* spans = nullptr;
    int32_t count = 0;
};

// Vertices lie within -32768..32767, so an area has at most 65536 rows.
constexpr int64_t kMaxRows = 65536;

// Rasterises one quadrilateral: for every row from its top to its bottom
// vertex, the leftmost and rightmost pixel of its outline. The outline is
// the four vertices plus, on every edge, one point per row strictly
// between its end rows, at the column s.x + i*(e.x - s.x)/n counted from
// the upper end s (quotient truncated toward zero, the running product a
// wrapping 32-bit value). Work and memory are linear in the outline.
// Returns false (and an empty list) when memory runs out or the vertices
// span more than kMaxRows rows.
bool rasteriseQuad(const AreaQuad& quad, const Allocator& alloc, SpanList& out);

void releaseSpans(const Allocator& alloc, SpanList& list);

}  // namespace tarvocoil

#endif
