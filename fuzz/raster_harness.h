// raster_harness.h - the rasteriser alone, on arbitrary quadrilaterals.
//
// Input: eight little-endian signed 16-bit coordinates (x0 y0 x1 y1 x2 y2
// x3 y3), so every vertex lies in the range the area store accepts, then
// one optional byte: bit 0 makes the span allocation fail, bits 1-2 choose
// another listing of the same vertices to compare with.
//
// Checked: one span per row from the top vertex to the bottom one, in
// ascending order without gaps, left <= right, every vertex inside its
// row's span; the spans equal those of the outline computed independently
// (closed-form column of each edge point instead of a running product);
// the same spans for the vertices listed backwards or from another start;
// the result is one block of rows * sizeof(RowSpan), given back on
// release, and working memory stays linear in the row count; a failed allocation gives false and an empty list.
#ifndef TARVOCOIL_FUZZ_RASTER_HARNESS_H
#define TARVOCOIL_FUZZ_RASTER_HARNESS_H

#include <algorithm>
#include <climits>
#include <vector>

#include "areas/rasterise.h"
#include "fuzz/fuzz_support.h"

namespace trvfuzz {

namespace raster_detail {

struct Vertex {
    int32_t x, y;
};

// Per-row extremes of the outline, from the rule written out directly:
// the four vertices, and for each non-flat edge the points
// (s.x + q, s.y + i), 0 < i < n, q = (i * dx) wrapped to 32 bits / n.
inline std::vector<tarvocoil::RowSpan> referenceSpans(const Vertex (&v)[4]) {
    int32_t minY = v[0].y, maxY = v[0].y;
    for (const Vertex& p : v) {
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    std::vector<tarvocoil::RowSpan> rows;
    for (int64_t y = minY; y <= maxY; ++y) rows.push_back({static_cast<int32_t>(y), INT32_MAX, INT32_MIN});
    auto take = [&](int64_t x, int64_t y) {
        tarvocoil::RowSpan& s = rows[static_cast<std::size_t>(y - minY)];
        s.left = static_cast<int32_t>(std::min<int64_t>(s.left, x));
        s.right = static_cast<int32_t>(std::max<int64_t>(s.right, x));
    };
    for (const Vertex& p : v) take(p.x, p.y);
    for (int k = 0; k < 4; ++k) {
        const Vertex a = v[k], b = v[(k + 1) % 4];
        if (a.y == b.y) continue;
        const Vertex s = a.y < b.y ? a : b;
        const Vertex e = a.y < b.y ? b : a;
        const int64_t n = static_cast<int64_t>(e.y) - s.y;
        const int64_t dx = static_cast<int64_t>(e.x) - s.x;
        for (int64_t i = 1; i < n; ++i) {
            // The product as a 32-bit register holds it: two's complement wrap.
            const uint32_t low = static_cast<uint32_t>(static_cast<uint64_t>(i * dx));
            const int64_t wrapped = low >= 0x80000000u ? static_cast<int64_t>(low) - 0x100000000ll : low;
            take(s.x + wrapped / n, s.y + i);  // C++ division truncates toward zero
        }
    }
    return rows;
}

inline bool sameSpans(const tarvocoil::SpanList& list, const std::vector<tarvocoil::RowSpan>& ref) {
    if (list.count < 0 || static_cast<std::size_t>(list.count) != ref.size()) return false;
    for (std::size_t k = 0; k < ref.size(); ++k) {
        const tarvocoil::RowSpan& a = list.spans[k];
        if (a.y != ref[k].y || a.left != ref[k].left || a.right != ref[k].right) return false;
    }
    return true;
}

inline AreaQuad quadOf(const Vertex (&v)[4], const int (&order)[4]) {
    return AreaQuad{v[order[0]].x, v[order[0]].y, v[order[1]].x, v[order[1]].y,
                    v[order[2]].x, v[order[2]].y, v[order[3]].x, v[order[3]].y};
}

}  // namespace raster_detail

inline void RunRasterInput(const uint8_t* data, std::size_t size) {
    using namespace raster_detail;
    using tarvocoil::RowSpan;
    using tarvocoil::SpanList;
    Reader in(data, size);
    Vertex v[4];
    for (Vertex& p : v) {
        p.x = in.i16();
        p.y = in.i16();
    }
    const uint8_t flags = in.u8();

    AllocBook book;
    const tarvocoil::Allocator alloc = book.allocator();
    const int identity[4] = {0, 1, 2, 3};
    const AreaQuad quad = quadOf(v, identity);
    int32_t minY = v[0].y, maxY = v[0].y;
    for (const Vertex& p : v) {
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    const int64_t rows = static_cast<int64_t>(maxY) - minY + 1;

    if (flags & 1) {
        book.failAll(true);
        SpanList list;
        list.count = 7;  // must be reset
        TRV_FUZZ_CHECK(!tarvocoil::rasteriseQuad(quad, alloc, list));
        TRV_FUZZ_CHECK(list.spans == nullptr && list.count == 0);
        TRV_FUZZ_CHECK(book.liveBlocks() == 0);
        return;
    }

    SpanList list;
    TRV_FUZZ_CHECK(tarvocoil::rasteriseQuad(quad, alloc, list));
    TRV_FUZZ_CHECK(list.count == rows);
    TRV_FUZZ_CHECK(book.liveBlocks() == 1);
    TRV_FUZZ_CHECK(book.liveBytes() == static_cast<std::size_t>(rows) * sizeof(RowSpan));
    // Working memory stays linear in the outline, whatever the shape.
    TRV_FUZZ_CHECK(book.peakBytes() <= 4 * static_cast<std::size_t>(rows) * sizeof(RowSpan) + 65536);
    for (int32_t k = 0; k < list.count; ++k) {
        const RowSpan& s = list.spans[k];
        TRV_FUZZ_CHECK(s.y == minY + k);
        TRV_FUZZ_CHECK(s.left <= s.right);
    }
    for (const Vertex& p : v) {
        const RowSpan& s = list.spans[p.y - minY];
        TRV_FUZZ_CHECK(s.left <= p.x && p.x <= s.right);
    }
    TRV_FUZZ_CHECK(sameSpans(list, referenceSpans(v)));

    // Neither the direction nor the starting vertex changes the spans.
    const int orders[4][4] = {{3, 2, 1, 0}, {1, 2, 3, 0}, {2, 1, 0, 3}, {2, 3, 0, 1}};
    {
        const auto& order = orders[(flags >> 1) & 3];
        SpanList other;
        TRV_FUZZ_CHECK(tarvocoil::rasteriseQuad(quadOf(v, order), alloc, other));
        TRV_FUZZ_CHECK(other.count == list.count);
        for (int32_t k = 0; k < list.count; ++k) {
            TRV_FUZZ_CHECK(other.spans[k].y == list.spans[k].y);
            TRV_FUZZ_CHECK(other.spans[k].left == list.spans[k].left);
            TRV_FUZZ_CHECK(other.spans[k].right == list.spans[k].right);
        }
        tarvocoil::releaseSpans(alloc, other);
        TRV_FUZZ_CHECK(other.spans == nullptr && other.count == 0);
    }
    tarvocoil::releaseSpans(alloc, list);
    TRV_FUZZ_CHECK(book.liveBlocks() == 0 && !book.badRelease());
}

}  // namespace trvfuzz

#endif
