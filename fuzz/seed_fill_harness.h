// seed_fill_harness.h - the seed fill alone, on arbitrary planes, limit
// rectangles and seeds.
//
// Input: a plane shape, a content recipe, one to four fills (limit
// rectangle and seed each) on the same plane with one span stack, and an
// optional allocation-failure plan for the stack's pool.
//
// Checked for every fill, against the plane as it was before it:
// - a seed outside the limits returns -1 and changes nothing (plane, outputs,
//   no allocation);
// - nothing outside the limits is written (row padding included), and every
//   byte written went from 0 to 255;
// - the result is blobTotal / runs, where runs = bytes filled - blobTotal;
// - with every allocation granted, the bytes filled are exactly a brute-force
//   4-connected flood of zero bytes inside the limits: from the seed, or for
//   a seed on a wall from its right and lower-right neighbours; runs is the
//   number of horizontal stretches of the filled bytes; for a seed on a zero
//   byte the box rows are those of the blob widened by one row each way and
//   cut at the limits, and the box height is one less than its rows (at
//   least 1);
// - with allocations refused, the filled bytes are a subset of that flood;
// - the box always holds the seed's column and lies inside the limits'
//   columns.
#ifndef TARVOCOIL_FUZZ_SEED_FILL_HARNESS_H
#define TARVOCOIL_FUZZ_SEED_FILL_HARNESS_H

#include <algorithm>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "image/seed_fill.h"

namespace trvfuzz {

namespace fill_detail {

struct Plane {
    int32_t width = 0, height = 0, stride = 0;
    std::vector<uint8_t> bytes;
    uint8_t& at(int32_t x, int32_t y) { return bytes[static_cast<std::size_t>(y) * stride + x]; }
    uint8_t at(int32_t x, int32_t y) const { return bytes[static_cast<std::size_t>(y) * stride + x]; }
};

struct Limits {
    int32_t minX, maxX, minY, maxY;
    bool inside(int32_t x, int32_t y) const { return minX <= x && x <= maxX && minY <= y && y <= maxY; }
};

inline int16_t wrap16(int32_t v) {
    const uint16_t u = static_cast<uint16_t>(static_cast<uint32_t>(v));
    return static_cast<int16_t>(u >= 0x8000u ? static_cast<int32_t>(u) - 0x10000 : u);
}

// The limits written out from the rule: a rectangle edge counts where it
// lies strictly inside the plane, otherwise the plane's edge 1 or W-1.
inline Limits limitsOf(const Plane& p, const tarvocoil::PixelRect& r) {
    const int32_t right = wrap16(r.x + r.width), bottom = wrap16(r.y + r.height);
    Limits l;
    l.minX = (0 < r.x && r.x < p.width - 1) ? r.x : 1;
    l.maxX = (0 < right && right < p.width - 1) ? right : p.width - 1;
    l.minY = (0 < r.y && r.y < p.height - 1) ? r.y : 1;
    l.maxY = (0 < bottom && bottom < p.height - 1) ? bottom : p.height - 1;
    return l;
}

// Marks the zero bytes 4-connected to (x, y) inside the limits.
inline void flood(const Plane& p, const Limits& lim, int32_t x, int32_t y, std::vector<uint8_t>& mark) {
    if (!lim.inside(x, y) || x >= p.width || y >= p.height || p.at(x, y) != 0) return;
    std::vector<std::pair<int32_t, int32_t>> todo{{x, y}};
    mark[static_cast<std::size_t>(y) * p.stride + x] = 1;
    while (!todo.empty()) {
        const auto [cx, cy] = todo.back();
        todo.pop_back();
        const int32_t nx[4] = {cx - 1, cx + 1, cx, cx};
        const int32_t ny[4] = {cy, cy, cy - 1, cy + 1};
        for (int k = 0; k < 4; ++k) {
            if (!lim.inside(nx[k], ny[k]) || nx[k] >= p.width || ny[k] >= p.height) continue;
            uint8_t& m = mark[static_cast<std::size_t>(ny[k]) * p.stride + nx[k]];
            if (m || p.at(nx[k], ny[k]) != 0) continue;
            m = 1;
            todo.push_back({nx[k], ny[k]});
        }
    }
}

inline void paint(Plane& p, Reader& in) {
    const uint8_t wallValues[] = {255, 1, 128, 254};
    const uint8_t wall = in.pick(wallValues);
    switch (in.below(3)) {
        case 0: {  // one bit per pixel, 1 a wall
            uint8_t bits = 0;
            int32_t left = 0;
            for (int32_t y = 0; y < p.height; ++y)
                for (int32_t x = 0; x < p.width; ++x) {
                    if (left == 0) {
                        bits = in.u8();
                        left = 8;
                    }
                    p.at(x, y) = (bits & 1) ? wall : 0;
                    bits >>= 1;
                    --left;
                }
            break;
        }
        case 1: {  // rectangles toggled over an open or a walled plane
            std::fill(p.bytes.begin(), p.bytes.end(), in.u8() & 1 ? wall : 0);
            const int n = static_cast<int>(in.below(9));
            for (int k = 0; k < n; ++k) {
                const int32_t x0 = static_cast<int32_t>(in.u16() % static_cast<uint32_t>(p.width));
                const int32_t y0 = static_cast<int32_t>(in.u8() % static_cast<uint32_t>(p.height));
                const int32_t w = 1 + static_cast<int32_t>(in.u16() % static_cast<uint32_t>(p.width));
                const int32_t h = 1 + static_cast<int32_t>(in.u8() % static_cast<uint32_t>(p.height));
                for (int32_t y = y0; y < std::min(p.height, y0 + h); ++y)
                    for (int32_t x = x0; x < std::min(p.width, x0 + w); ++x) p.at(x, y) = p.at(x, y) ? 0 : wall;
            }
            break;
        }
        default: {  // noise of a given density
            const uint32_t density = in.u8();
            Mix mix(in.u32());
            for (int32_t y = 0; y < p.height; ++y)
                for (int32_t x = 0; x < p.width; ++x) p.at(x, y) = (mix.next() & 255) < density ? wall : 0;
            break;
        }
    }
    // Row padding is open: a fill that strayed past the last column would
    // take it, and the check below would see it.
    for (int32_t y = 0; y < p.height; ++y)
        for (int32_t x = p.width; x < p.stride; ++x) p.at(x, y) = 0;
}

inline int16_t coord(Reader& in, int32_t extent) {
    if (in.below(4) == 3) return in.i16();
    return wrap16(static_cast<int32_t>(in.u16() % static_cast<uint32_t>(extent + 3)) - 1);
}

}  // namespace fill_detail

inline void RunSeedFillInput(const uint8_t* data, std::size_t size) {
    using namespace fill_detail;
    using tarvocoil::PixelRect;
    Reader in(data, size);

    Plane p;
    if (in.below(4) == 3) {  // wide and flat, up to the widest plane a stride fits
        p.width = 1 + static_cast<int32_t>(in.u16() % 32764u);
        p.height = 1 + static_cast<int32_t>(in.u8() % std::max<uint32_t>(1u, std::min<uint32_t>(64u, 65536u / p.width)));
    } else {
        p.width = 1 + static_cast<int32_t>(in.below(48));
        p.height = 1 + static_cast<int32_t>(in.below(40));
    }
    p.stride = (p.width + 3) & ~3;
    p.bytes.assign(static_cast<std::size_t>(p.stride) * p.height, 0);
    paint(p, in);

    tarvocoil::ImagePlane plane;
    plane.bytesPerPixel = 1;
    plane.width = static_cast<int16_t>(p.width);
    plane.height = static_cast<int16_t>(p.height);
    plane.stride = static_cast<int16_t>(p.stride);
    plane.pixels = p.bytes.data();

    AllocBook book;
    const tarvocoil::Allocator alloc = book.allocator();
    tarvocoil::SpanStack stack;
    const uint8_t failPlan = in.u8();
    if (failPlan & 0x80) book.failNth(failPlan & 7);
    if (failPlan & 0x40) book.failAbove(static_cast<std::size_t>(64) << (failPlan & 7));

    const int fills = 1 + static_cast<int>(in.below(4));
    for (int f = 0; f < fills; ++f) {
        PixelRect rect{0, 0, 0, 0};
        if (in.below(4) != 0) {
            rect.x = coord(in, p.width);
            rect.y = coord(in, p.height);
            rect.width = coord(in, p.width);
            rect.height = coord(in, p.height);
        }
        int16_t sx, sy;
        if (in.below(3) == 0) {  // the first zero byte from a position, if any
            const std::size_t n = p.bytes.size();
            const std::size_t start = in.u16() % n;
            std::size_t i = start;
            auto open = [&](std::size_t k) { return p.bytes[k] == 0 && static_cast<int32_t>(k % p.stride) < p.width; };
            while (!open(i) && (i + 1) % n != start) i = (i + 1) % n;
            sx = static_cast<int16_t>(static_cast<int32_t>(i % p.stride));
            sy = static_cast<int16_t>(static_cast<int32_t>(i / p.stride));
        } else {
            sx = coord(in, p.width);
            sy = coord(in, p.height);
        }

        const Limits lim = limitsOf(p, rect);
        const tarvocoil::FillLimits got = tarvocoil::SeedFillLimits(plane, rect);
        TRV_FUZZ_CHECK(got.minX == lim.minX && got.maxX == lim.maxX && got.minY == lim.minY && got.maxY == lim.maxY);

        const Plane before = p;
        const PixelRect untouched{-7, -7, -7, -7};
        PixelRect blob = untouched;
        int32_t total = -7;
        const uint64_t callsBefore = book.calls(), refusedBefore = book.refused();
        const int32_t result = tarvocoil::SeedFill(plane, rect, sx, sy, &blob, &total, stack, alloc);

        if (!lim.inside(sx, sy)) {
            TRV_FUZZ_CHECK(result == -1);
            TRV_FUZZ_CHECK(p.bytes == before.bytes);
            TRV_FUZZ_CHECK(blob.x == -7 && blob.y == -7 && blob.width == -7 && blob.height == -7 && total == -7);
            TRV_FUZZ_CHECK(book.calls() == callsBefore);
            continue;
        }

        // Nothing outside the limits, only 0 -> 255.
        int64_t changed = 0;
        for (int32_t y = 0; y < p.height; ++y)
            for (int32_t x = 0; x < p.stride; ++x) {
                if (p.at(x, y) == before.at(x, y)) continue;
                TRV_FUZZ_CHECK(x < p.width && lim.inside(x, y));
                TRV_FUZZ_CHECK(before.at(x, y) == 0 && p.at(x, y) == 255);
                ++changed;
            }
        TRV_FUZZ_CHECK(total >= 0 && total <= changed);
        const int64_t runs = changed - total;
        TRV_FUZZ_CHECK(result == (runs > 0 ? static_cast<int32_t>(total / runs) : 0));

        // The box holds the seed's column and stays within the limits' columns.
        TRV_FUZZ_CHECK(blob.width >= 1 && blob.height >= 1);
        TRV_FUZZ_CHECK(blob.x <= sx && sx <= blob.x + blob.width - 1);
        TRV_FUZZ_CHECK(blob.x >= lim.minX && blob.x + blob.width - 1 <= std::max<int32_t>(sx, lim.maxX));

        // The brute-force flood.
        std::vector<uint8_t> mark(before.bytes.size(), 0);
        const bool zeroSeed = before.at(sx, sy) == 0;
        if (zeroSeed) {
            flood(before, lim, sx, sy, mark);
        } else {
            flood(before, lim, sx + 1, sy, mark);
            flood(before, lim, sx + 1, sy + 1, mark);
        }
        const bool allGranted = book.refused() == refusedBefore;
        int64_t expected = 0, stretches = 0;
        int32_t top = INT32_MAX, bottom = INT32_MIN;
        for (int32_t y = 0; y < p.height; ++y)
            for (int32_t x = 0; x < p.width; ++x) {
                const bool in = mark[static_cast<std::size_t>(y) * p.stride + x] != 0;
                const bool filled = p.at(x, y) != before.at(x, y);
                if (allGranted)
                    TRV_FUZZ_CHECK(in == filled);
                else if (filled)
                    TRV_FUZZ_CHECK(in);
                if (!in) continue;
                ++expected;
                if (x == 0 || !mark[static_cast<std::size_t>(y) * p.stride + x - 1]) ++stretches;
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        if (!allGranted) continue;
        TRV_FUZZ_CHECK(changed == expected);
        TRV_FUZZ_CHECK(runs == stretches);
        if (zeroSeed) {
            const int32_t boxTop = std::max(top - 1, lim.minY);
            const int32_t boxBottom = std::min(bottom + 1, lim.maxY);
            int32_t height = boxBottom - boxTop + 1;
            if (height > 1) height -= 1;
            TRV_FUZZ_CHECK(blob.y == boxTop);
            TRV_FUZZ_CHECK(blob.height == height);
        }
    }
    stack.release(alloc);
    TRV_FUZZ_CHECK(book.liveBlocks() == 0 && !book.badRelease());
}

}  // namespace trvfuzz

#endif
