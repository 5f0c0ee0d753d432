// seed_fill.h - SeedFill: scanline flood fill that measures a blob.
//
// Zero bytes of a one-byte plane are open, any other byte is a wall. The
// fill turns the open region around a seed into 255 and measures it by a
// box, a total and a mean run width. The light test uses it to find and
// size headlight blobs in its light mask.
#ifndef TARVOCOIL_IMAGE_SEED_FILL_H
#define TARVOCOIL_IMAGE_SEED_FILL_H

#include <cstdint>

#include "base/allocator.h"
#include "image/image_plane.h"
#include "image/span_stack.h"

namespace tarvocoil {

// A rectangle of signed 16-bit values: the fill's limits, and its blobRect.
struct PixelRect {
    int16_t x;
    int16_t y;
    int16_t width;
    int16_t height;
};

// Row scans over plane row y. Outside the plane (or with a limit outside
// it) they read nothing: ScanLeftZero then gives limit - 1, the others
// limit + 1.
// First non-zero byte from x down to limit, else limit - 1 (x if x < limit).
int16_t ScanLeftZero(const ImagePlane& plane, int16_t x, int16_t y, int16_t limit);
// First non-zero byte from x up to limit, else limit + 1 (x if x > limit).
int16_t ScanRightZero(const ImagePlane& plane, int16_t x, int16_t y, int16_t limit);
// First zero byte from x up to limit, else limit + 1 (x if x > limit).
int16_t ScanRightNonZero(const ImagePlane& plane, int16_t x, int16_t y, int16_t limit);
// Sets columns left..right of row y to 255; nothing when left > right.
void FillRun(ImagePlane& plane, int16_t left, int16_t right, int16_t y);

// The inclusive limits of a fill from its limit rectangle: x..x+width and
// y..y+height where those lie strictly inside the plane, else the plane's
// edges 1 and width-1 (height-1). Column 0 and row 0 are never reached.
struct FillLimits {
    int16_t minX, maxX, minY, maxY;
};
FillLimits SeedFillLimits(const ImagePlane& plane, const PixelRect& limits);

// Fills from (seedX, seedY) within the limits. Returns -1 when the seed lies
// outside them (nothing filled, outputs untouched). Otherwise writes
// blobRect and blobTotal and returns meanRun = blobTotal / runs (0 when no
// run was filled). blobTotal is the filled byte count minus the number of
// runs; blobRect's height is the rows explored (filled rows plus the
// neighbour rows looked at) less one; its horizontal extent depends on the
// order in which pending spans are taken.
//
// A wall seed starts from its right neighbour: the fill then explores the
// seed's row and the row below from column seedX + 1. Columns beyond the
// right limit are never examined or written.
//
// A wall seed whose right neighbour and the one below that are walls too
// (or lie beyond the limits) fills nothing and measures the box (seedX,
// seedY, 1, 1), total 0, meanRun 0; SeedFill answers such seeds without
// running the fill when the stack already holds the memory the fill would
// take, so that results, plane and allocations are those of the full fill.
int32_t SeedFill(ImagePlane& plane, const PixelRect& limits, int16_t seedX, int16_t seedY,
                 PixelRect* blobRect, int32_t* blobTotal, SpanStack& stack, const Allocator& alloc);
// The same fill, always run step by step (the reference for SeedFill's
// shortcut).
int32_t SeedFillLiteral(ImagePlane& plane, const PixelRect& limits, int16_t seedX, int16_t seedY,
                        PixelRect* blobRect, int32_t* blobTotal, SpanStack& stack, const Allocator& alloc);

// True when SeedFill answers the seed (seedX, seedY), which lies inside lim,
// with the fixed wall measures above instead of running the fill.
inline bool SeedFillAnswersWall(const ImagePlane& plane, const FillLimits& lim, int16_t seedX, int16_t seedY,
                                const SpanStack& stack) {
    const uint8_t* row = plane.pixels + static_cast<int32_t>(seedY) * plane.stride;
    return row[seedX] != 0 && stack.holds(plane.height, 2) &&
           (seedX >= lim.maxX ||
            (row[seedX + 1] != 0 && (seedY >= lim.maxY || row[plane.stride + seedX + 1] != 0)));
}

// For a row of seeds seedX = x, x + 3, ... below end on row seedY, all
// inside lim: the first that SeedFillAnswersWall would not answer, or the
// first at or past end. The seeds passed over need no call: their fills
// would fill nothing and measure the wall answer. Runs of wall bytes are
// checked eight seeds at a time.
int32_t NextOpenSeed(const ImagePlane& plane, const FillLimits& lim, int32_t x, int32_t end, int16_t seedY,
                     const SpanStack& stack);

}  // namespace tarvocoil

#endif
