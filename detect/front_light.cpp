// front_light.cpp - confirming a presence by a headlight-sized light blob.
//
// The area's pixels are thresholded into a light mask (0 light, 255 dark)
// written into the previous plane over the area's rows; seed fills from the
// area's grid positions then measure the light blobs, and the first blob of
// a grid row that fits the light limits confirms the presence. The mask
// stays in the plane: later areas of the same frame read it where their
// grid positions fall inside this area's search box, and the next frame
// overwrites the plane only at grid positions.
#include <algorithm>

#include "detect/detect.h"
#include "detect/sampling_grid.h"
#include "detect/sweep.h"
#include "image/seed_fill.h"

namespace tarvocoil {

namespace {

bool blobAccepted(const DetectorSettings& s, const PixelRect& rect, int32_t meanRun, int32_t total) {
    return s.getLightMinWidth() <= rect.width && rect.width <= s.getLightMaxWidth() &&
           low16(meanRun) >= s.getLightMinWidth() && s.getLightMinHeight() <= rect.height &&
           rect.height <= s.getLightMaxHeight() && total < static_cast<int32_t>(s.getLightMaxArea());
}

}  // namespace

void FrontLightTest(Engine& engine, const FrameRef& frame, const SurvArea& area, AreaState& state, int32_t& result,
                    AreaMeasurement* m) {
    const DetectorSettings& settings = engine.settings;
    state.present = 0;
    result = 0;
    if (m) m->lightTested = true;

    ImagePlane& mask = *engine.planes.previous();
    const int32_t W = frame.width, H = frame.height;
    const SpanList& list = area.spans;
    const int32_t count = spanCount16(list);

    // The light mask over every span, and the box that holds it.
    int16_t left = low16(W - 1), top = low16(H - 1), right = 0, bottom = 0;
    for (int32_t k = 0; k < count; ++k) {
        const RowSpan& span = list.spans[k];
        const int32_t y = clampRow(span.y, H);
        const int32_t l = std::max(span.left, 1);
        const int32_t r = std::min(span.right, W - 2);
        if (y <= top) top = low16(y);
        if (y >= bottom) bottom = low16(y);
        if (l <= left) left = low16(l);
        if (r >= right) right = low16(r);
        if (r > l)
            engine.kernels->lightMask(engine.greyLut, frame.at(l, y), r - l, settings.getLightThresh(),
                                      mask.pixels + y * mask.stride + l);
    }
    if (count <= 0) return;

    // Seeds at the grid positions; the search box confines every fill.
    const PixelRect searchBox{left, top, low16(right - left), low16(bottom - top)};
    const FillLimits lim = SeedFillLimits(mask, searchBox);
    // Seeds on walls measure a 1 x 1 box with total and mean run 0; when
    // that blob is not accepted they can be passed over unfilled.
    const PixelRect wallBox{0, 0, 1, 1};
    const bool skipWalls = engine.kernels->skipWallSeeds && !blobAccepted(settings, wallBox, 0, 0);
    for (int32_t k = 0; k < count; k += 3) {
        const GridRow g = gridRow(list.spans[k], W, H);
        const int16_t y = low16(g.y);
        int32_t x = g.a;
        if (skipWalls) {
            // Seeds outside the limits fill nothing and are skipped alike.
            if (y < lim.minY || y > lim.maxY) continue;
            if (x < lim.minX) x += (lim.minX - x + 2) / 3 * 3;
        }
        const int32_t end = skipWalls ? std::min(g.b, lim.maxX + 1) : g.b;
        for (; x < end; x += 3) {
            if (skipWalls) {
                x = NextOpenSeed(mask, lim, x, end, y, engine.fillStack);
                if (x >= end) break;
            }
            PixelRect blob;
            int32_t total = 0;
            const int32_t meanRun =
                engine.kernels->skipWallSeeds
                    ? SeedFill(mask, searchBox, low16(x), y, &blob, &total, engine.fillStack, engine.alloc)
                    : SeedFillLiteral(mask, searchBox, low16(x), y, &blob, &total, engine.fillStack, engine.alloc);
            if (meanRun == -1) continue;  // seed outside the search box
            if (blobAccepted(settings, blob, meanRun, total)) {
                if (m && !m->blobFound) {
                    m->blobFound = true;
                    m->blob.x = blob.x;
                    m->blob.y = blob.y;
                    m->blob.width = blob.width;
                    m->blob.height = blob.height;
                    m->blob.total = total;
                    m->blob.meanRun = low16(meanRun);
                }
                state.present = 1;
                break;
            }
        }
        if (state.present == 1 && state.wasPresent == 0) result = 1;
    }
}

}  // namespace tarvocoil
