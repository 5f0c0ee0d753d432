// seed_fill.cpp - the scanline fill and its row scans.
//
// All coordinate arithmetic is signed 16-bit, as in the rest of the
// detector's geometry: sums wrap through low16().
#include "image/seed_fill.h"

#include <cstring>

namespace tarvocoil {

namespace {

inline int16_t add16(int32_t a, int32_t b) { return low16(a + b); }

// True when the scan may read row y from x with this limit.
inline bool scanInside(const ImagePlane& plane, int16_t x, int16_t y, int16_t limit) {
    return limit >= 0 && x >= 0 && x < plane.width && y >= 0 && y < plane.height && limit < plane.width;
}

}  // namespace

int16_t ScanLeftZero(const ImagePlane& plane, int16_t x, int16_t y, int16_t limit) {
    if (!scanInside(plane, x, y, limit)) return add16(limit, -1);
    if (x < limit) return x;
    const uint8_t* row = plane.pixels + static_cast<int32_t>(y) * plane.stride;
    for (int32_t i = x; i >= limit; --i)
        if (row[i] != 0) return static_cast<int16_t>(i);
    return add16(limit, -1);
}

int16_t ScanRightZero(const ImagePlane& plane, int16_t x, int16_t y, int16_t limit) {
    if (!scanInside(plane, x, y, limit)) return add16(limit, 1);
    if (x > limit) return x;
    const uint8_t* row = plane.pixels + static_cast<int32_t>(y) * plane.stride;
    for (int32_t i = x; i <= limit; ++i)
        if (row[i] != 0) return static_cast<int16_t>(i);
    return add16(limit, 1);
}

int16_t ScanRightNonZero(const ImagePlane& plane, int16_t x, int16_t y, int16_t limit) {
    if (!scanInside(plane, x, y, limit)) return add16(limit, 1);
    if (x > limit) return x;
    const uint8_t* row = plane.pixels + static_cast<int32_t>(y) * plane.stride;
    for (int32_t i = x; i <= limit; ++i)
        if (row[i] == 0) return static_cast<int16_t>(i);
    return add16(limit, 1);
}

void FillRun(ImagePlane& plane, int16_t left, int16_t right, int16_t y) {
    if (left > right) return;
    std::memset(plane.pixels + static_cast<int32_t>(y) * plane.stride + left, 255,
                static_cast<std::size_t>(right - left + 1));
}

FillLimits SeedFillLimits(const ImagePlane& plane, const PixelRect& r) {
    const int32_t w = plane.width, h = plane.height;
    const int16_t right = add16(r.x, r.width);
    const int16_t bottom = add16(r.y, r.height);
    FillLimits f;
    f.minX = (0 < r.x && r.x < w - 1) ? r.x : 1;
    f.maxX = (0 < right && right < w - 1) ? right : low16(w - 1);
    f.minY = (0 < r.y && r.y < h - 1) ? r.y : 1;
    f.maxY = (0 < bottom && bottom < h - 1) ? bottom : low16(h - 1);
    return f;
}

int32_t SeedFill(ImagePlane& plane, const PixelRect& limits, int16_t seedX, int16_t seedY,
                 PixelRect* blobRect, int32_t* blobTotal, SpanStack& stack, const Allocator& alloc) {
    const FillLimits lim = SeedFillLimits(plane, limits);
    if (seedX < lim.minX || seedX > lim.maxX || seedY < lim.minY || seedY > lim.maxY) return -1;
    // A wall seed hands the empty run (seedX + 1, seedX - 1) to its own row
    // and the row below; each opens a run only where column seedX + 1 of
    // that row is open and inside the limits. When neither does, the fill
    // fills nothing, its box grows by at most the row below (which the
    // height's "less one" takes back), and the stack ends empty. The two
    // pushes must not have needed memory, or skipping them would change
    // what the allocator sees.
    if (SeedFillAnswersWall(plane, lim, seedX, seedY, stack)) {
        blobRect->x = seedX;
        blobRect->y = seedY;
        blobRect->width = 1;
        blobRect->height = 1;
        *blobTotal = 0;
        return 0;
    }
    return SeedFillLiteral(plane, limits, seedX, seedY, blobRect, blobTotal, stack, alloc);
}

namespace {

// True when none of the eight bytes at p is 0.
inline bool noZeroByte(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return ((v - 0x0101010101010101u) & ~v & 0x8080808080808080u) == 0;
}

}  // namespace

int32_t NextOpenSeed(const ImagePlane& plane, const FillLimits& lim, int32_t x, int32_t end, int16_t seedY,
                     const SpanStack& stack) {
    if (x >= end || !stack.holds(plane.height, 2)) return x;
    const uint8_t* row = plane.pixels + static_cast<int32_t>(seedY) * plane.stride;
    // Eight seeds x .. x + 21, all left of the right limit, are walls when
    // bytes x .. x + 22 of the row are (seeds and right neighbours), and,
    // unless the row is the last one, bytes x + 1 .. x + 22 of the row below.
    // The last seed lies below maxX <= width - 1, so every byte read lies
    // inside both rows.
    const bool lastRow = seedY >= lim.maxY;
    const uint8_t* below = row + plane.stride;
    while (x + 21 < end && x + 21 < lim.maxX) {
        if (!(noZeroByte(row + x) && noZeroByte(row + x + 8) && noZeroByte(row + x + 15))) break;
        if (!lastRow && !(noZeroByte(below + x + 1) && noZeroByte(below + x + 9) && noZeroByte(below + x + 15)))
            break;
        x += 24;
    }
    for (; x < end; x += 3)
        if (!SeedFillAnswersWall(plane, lim, low16(x), seedY, stack)) return x;
    return x;
}

int32_t SeedFillLiteral(ImagePlane& plane, const PixelRect& limits, int16_t seedX, int16_t seedY,
                        PixelRect* blobRect, int32_t* blobTotal, SpanStack& stack, const Allocator& alloc) {
    const FillLimits lim = SeedFillLimits(plane, limits);
    if (seedX < lim.minX || seedX > lim.maxX || seedY < lim.minY || seedY > lim.maxY) return -1;

    int16_t boxLeft = seedX, boxRight = seedX, boxTop = seedY, boxBottom = seedY;
    uint32_t runs = 0;
    int32_t total = 0;
    stack.reset(alloc, plane.height);

    // The seed's run, not yet filled. On a wall both scans stop at the
    // seed, giving the empty run (seedX + 1, seedX - 1).
    const int16_t L = add16(ScanLeftZero(plane, seedX, seedY, lim.minX), 1);
    const int16_t R = add16(ScanRightZero(plane, seedX, seedY, lim.maxX), -1);
    stack.push(alloc, PendingSpan{L, R, seedY, 1});
    stack.push(alloc, PendingSpan{L, R, add16(seedY, 1), -1});  // on top: the seed's row first

    auto fillRun = [&](int16_t lo, int16_t hi, int16_t row) {
        FillRun(plane, lo, hi, row);
        runs += 1;
        total = static_cast<int32_t>(static_cast<uint32_t>(total) + static_cast<uint32_t>(hi - lo));
    };

    while (!stack.empty()) {
        const PendingSpan span = stack.pop();
        const int16_t x1 = span.left, x2 = span.right, d = span.dir;
        const int16_t r = add16(span.row, d);
        if (r < lim.minY || r > lim.maxY) continue;

        // The box: x2 is looked at only when x1 did not move the left edge.
        if (x1 < boxLeft)
            boxLeft = x1;
        else if (x2 > boxRight)
            boxRight = x2;
        if (r < boxTop)
            boxTop = r;
        else if (r > boxBottom)
            boxBottom = r;

        int16_t at;
        // A wall seed at the right limit hands on a run starting beyond it;
        // columns past the limit are outside the fill, so treat them as wall.
        int16_t lo = 0;
        const bool open = x1 <= lim.maxX && (lo = add16(ScanLeftZero(plane, x1, r, lim.minX), 1)) <= x1;
        if (open) {
            const int16_t hi = add16(ScanRightZero(plane, add16(x1, 1), r, lim.maxX), -1);
            fillRun(lo, hi, r);
            // Parts of the run beyond the explored span: look back toward row y.
            if (lo < add16(x1, -1) || hi > add16(x2, 1)) {
                if (lo == x1)
                    stack.push(alloc, PendingSpan{add16(x2, 2), hi, r, low16(-d)});
                else if (hi == x2)
                    stack.push(alloc, PendingSpan{lo, add16(x1, -2), r, low16(-d)});
                else
                    stack.push(alloc, PendingSpan{lo, hi, r, low16(-d)});
            }
            stack.push(alloc, PendingSpan{lo, hi, r, d});
            at = add16(hi, 1);
        } else {
            at = x1;
        }
        while (at < x2) {
            lo = ScanRightNonZero(plane, add16(at, 1), r, x2);
            if (lo > x2) break;
            const int16_t hi = add16(ScanRightZero(plane, add16(lo, 1), r, lim.maxX), -1);
            fillRun(lo, hi, r);
            if (hi > add16(x2, 1)) stack.push(alloc, PendingSpan{lo, hi, r, low16(-d)});
            stack.push(alloc, PendingSpan{lo, hi, r, d});
            at = add16(hi, 1);
        }
    }

    int32_t height = boxBottom - boxTop + 1;
    if (height > 1) height -= 1;
    blobRect->x = boxLeft;
    blobRect->y = boxTop;
    blobRect->width = low16(boxRight - boxLeft + 1);
    blobRect->height = low16(height);
    *blobTotal = total;
    return runs > 0 ? static_cast<int32_t>(static_cast<uint32_t>(total) / runs) : 0;
}

}  // namespace tarvocoil
