// sweep_common.cpp - reference sweeps: the literal median and sums.
#include "detect/sampling_grid.h"
#include "detect/sweep.h"
#include "image/grey_lut.h"
#include "image/median.h"

namespace tarvocoil {

void BaselineSweepReference(const SweepInput& in, SweepSums& sums) {
    const FrameRef& f = *in.frame;
    forEachGridPosition(*in.spans, f.width, f.height, [&](int32_t x, int32_t y) {
        const uint8_t g = MedianGrey(in.lut, f.stride, f.at(x, y));
        const int32_t at = y * in.planeStride + x;
        in.current[at] = g;
        in.previous[at] = g;
        in.background[at] = g;
        sums.greySum += g;
        sums.samples += 1;
    });
}

void PresenceSweepReference(const SweepInput& in, SweepSums& sums) {
    const FrameRef& f = *in.frame;
    forEachGridPosition(*in.spans, f.width, f.height, [&](int32_t x, int32_t y) {
        const int32_t g = MedianGrey(in.lut, f.stride, f.at(x, y));
        const int32_t at = y * in.planeStride + x;
        in.current[at] = static_cast<uint8_t>(g);
        sums.greySum += g;
        const int32_t bg = g - in.background[at];
        const int32_t prev = g - in.previous[at];
        sums.bgDiffSum += bg < 0 ? -bg : bg;
        sums.prevDiffSum += prev < 0 ? -prev : prev;
        sums.samples += 1;
    });
}

void LightMaskReference(const uint8_t* lut, const uint8_t* pixels, int32_t count, int16_t thresh, uint8_t* out) {
    for (int32_t i = 0; i < count; ++i) {
        const int16_t grey = LookupGrey(lut, pixels + 3 * static_cast<ptrdiff_t>(i));
        out[i] = grey >= thresh ? 0 : 255;
    }
}

}  // namespace tarvocoil
