// canvas_inl.h - template part of canvas.h.
#ifndef TARVOCOIL_HOST_CANVAS_INL_H
#define TARVOCOIL_HOST_CANVAS_INL_H

#include <algorithm>
#include <cmath>

namespace tarvotool {

template <typename Fn>
void ForEachQuadRow(const AreaQuad& quad, int width, int height, Fn fn) {
    const double xs[4] = {double(quad.x0), double(quad.x1), double(quad.x2), double(quad.x3)};
    const double ys[4] = {double(quad.y0), double(quad.y1), double(quad.y2), double(quad.y3)};
    const double top = *std::min_element(ys, ys + 4);
    const double bottom = *std::max_element(ys, ys + 4);
    const int y0 = std::max(0, static_cast<int>(std::ceil(top)));
    const int y1 = std::min(height - 1, static_cast<int>(std::floor(bottom)));
    for (int y = y0; y <= y1; ++y) {
        double lo = 1e18, hi = -1e18;
        for (int e = 0; e < 4; ++e) {
            const int f = (e + 1) & 3;
            const double ya = ys[e], yb = ys[f];
            if ((y < std::min(ya, yb)) || (y > std::max(ya, yb))) continue;
            if (ya == yb) {
                lo = std::min({lo, xs[e], xs[f]});
                hi = std::max({hi, xs[e], xs[f]});
            } else {
                const double x = xs[e] + (xs[f] - xs[e]) * (y - ya) / (yb - ya);
                lo = std::min(lo, x);
                hi = std::max(hi, x);
            }
        }
        if (lo > hi) continue;
        const int l = std::max(0, static_cast<int>(std::lround(lo)));
        const int r = std::min(width - 1, static_cast<int>(std::lround(hi)));
        if (l <= r) fn(y, l, r);
    }
}

}  // namespace tarvotool

#endif
