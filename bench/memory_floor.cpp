// memory_floor.cpp - the neighbourhood bytes of an area set, and reading them.
#include "bench/memory_floor.h"

#include <algorithm>
#include <cstring>

#include "base/allocator.h"
#include "areas/rasterise.h"
#include "detect/sampling_grid.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bench {

ByteRuns NeighbourhoodRuns(const AreaSet& set, int32_t width, int32_t height, int32_t stride) {
    std::vector<std::vector<ByteRun>> rows(static_cast<size_t>(height));
    ByteRuns out;
    for (const AreaQuad& q : set.quads) {
        tarvocoil::SpanList spans;
        if (!tarvocoil::rasteriseQuad(q, tarvocoil::Allocator{}, spans)) continue;
        tarvocoil::forEachGridPosition(spans, width, height, [&](int32_t, int32_t) { ++out.samples; });
        const int32_t n = tarvocoil::spanCount16(spans);
        for (int32_t k = 0; k < n; k += 3) {
            const tarvocoil::GridRow g = tarvocoil::gridRow(spans.spans[k], width, height);
            if (g.a >= g.b) continue;
            const int32_t samples = (g.b - g.a + 2) / 3;
            for (int32_t y = g.y - 1; y <= g.y + 1; ++y)
                rows[static_cast<size_t>(y)].push_back(ByteRun{3 * static_cast<size_t>(g.a - 1), 9 * static_cast<size_t>(samples)});
        }
        tarvocoil::releaseSpans(tarvocoil::Allocator{}, spans);
    }
    for (int32_t y = 0; y < height; ++y) {
        std::vector<ByteRun>& r = rows[static_cast<size_t>(y)];
        std::sort(r.begin(), r.end(), [](const ByteRun& a, const ByteRun& b) { return a.offset < b.offset; });
        for (size_t i = 0; i < r.size();) {
            size_t begin = r[i].offset, end = r[i].offset + r[i].length;
            for (++i; i < r.size() && r[i].offset <= end; ++i) end = std::max(end, r[i].offset + r[i].length);
            out.runs.push_back(ByteRun{static_cast<size_t>(y) * stride + begin, end - begin});
            out.bytes += end - begin;
        }
    }
    return out;
}

uint64_t ReadRuns(const uint8_t* frame, const ByteRuns& runs) {
#if defined(__SSE2__)
    __m128i a = _mm_setzero_si128(), b = a, c = a, d = a;
    uint64_t rest = 0;
    for (const ByteRun& run : runs.runs) {
        const uint8_t* p = frame + run.offset;
        const uint8_t* end = p + run.length;
        for (; p + 64 <= end; p += 64) {
            a = _mm_or_si128(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
            b = _mm_or_si128(b, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
            c = _mm_or_si128(c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
            d = _mm_or_si128(d, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
        }
        for (; p + 16 <= end; p += 16) a = _mm_or_si128(a, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        if (p < end && run.length >= 16)  // the last 16 bytes, overlapping
            b = _mm_or_si128(b, _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16)));
        else
            for (; p < end; ++p) rest |= *p;
    }
    const __m128i all = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
    alignas(16) uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), all);
    return lanes[0] | lanes[1] | rest;
#else
    uint64_t acc = 0;
    for (const ByteRun& run : runs.runs) {
        const uint8_t* p = frame + run.offset;
        const uint8_t* end = p + run.length;
        for (; p + 8 <= end; p += 8) {
            uint64_t v;
            std::memcpy(&v, p, 8);
            acc |= v;
        }
        for (; p < end; ++p) acc |= *p;
    }
    return acc;
#endif
}

}  // namespace bench
