// rasterise.cpp - quadrilateral to row spans.
#include "areas/rasterise.h"

#include <algorithm>
#include <climits>

namespace tarvocoil {

namespace {

struct Point {
    int32_t x;
    int32_t y;
};

// Widens the span of row y to take column x.
inline void take(RowSpan* rows, int32_t top, int32_t x, int32_t y) {
    RowSpan& span = rows[y - top];
    if (x < span.left) span.left = x;
    if (x > span.right) span.right = x;
}

// Adds an edge's inner outline points. Walked from its upper end so that
// the points do not depend on which end is listed first. Points on a flat
// edge lie between two vertices of the same row and cannot widen a span.
void walkEdge(RowSpan* rows, int32_t top, Point a, Point b) {
    if (a.y == b.y) return;
    Point s = a.y < b.y ? a : b;
    Point e = a.y < b.y ? b : a;
    const int32_t n = e.y - s.y;
    const uint32_t dx = static_cast<uint32_t>(e.x - s.x);
    uint32_t product = 0;  // i * (e.x - s.x), wrapping like a 32-bit register
    for (int32_t i = 1; i < n; ++i) {
        product += dx;
        const int32_t wrapped = static_cast<int32_t>(product);
        take(rows, top, s.x + wrapped / n, s.y + i);
    }
}

}  // namespace

bool rasteriseQuad(const AreaQuad& quad, const Allocator& alloc, SpanList& out) {
    out = SpanList{};
    const Point p[4] = {{quad.x0, quad.y0}, {quad.x1, quad.y1}, {quad.x2, quad.y2}, {quad.x3, quad.y3}};
    int32_t minY = p[0].y, maxY = p[0].y;
    for (const Point& v : p) {
        minY = std::min(minY, v.y);
        maxY = std::max(maxY, v.y);
    }
    const int64_t rowCount = static_cast<int64_t>(maxY) - minY + 1;
    if (rowCount > kMaxRows) return false;
    RowSpan* rows = static_cast<RowSpan*>(alloc.get(static_cast<std::size_t>(rowCount) * sizeof(RowSpan)));
    if (!rows) return false;
    for (int64_t k = 0; k < rowCount; ++k)
        rows[k] = RowSpan{static_cast<int32_t>(minY + k), INT32_MAX, INT32_MIN};

    for (const Point& v : p) take(rows, minY, v.x, v.y);
    for (int k = 0; k < 4; ++k) walkEdge(rows, minY, p[k], p[(k + 1) & 3]);

    out.spans = rows;
    out.count = static_cast<int32_t>(rowCount);
    return true;
}

void releaseSpans(const Allocator& alloc, SpanList& list) {
    alloc.put(list.spans);
    list = SpanList{};
}

}  // namespace tarvocoil
