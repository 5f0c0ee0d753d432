// scenes.cpp - the benchmark road scene and its area sets.
#include "bench/scenes.h"

#include <algorithm>
#include <cmath>

#include "base/allocator.h"
#include "areas/rasterise.h"

namespace bench {

namespace {

// The road: from the horizon at 35% of the height down to the bottom row,
// 6%..94% of the width at the bottom and 38%..62% at the horizon.
struct Road {
    double w, h;
    double top() const { return 0.35 * h; }
    double bottom() const { return h - 1; }
    // Left and right edge of lane i (of 4) at row y, with a small gap.
    void lane(int i, double y, double& left, double& right) const {
        const double t = (y - top()) / (bottom() - top());
        const double l = (0.38 + (0.06 - 0.38) * t) * w, r = (0.62 + (0.94 - 0.62) * t) * w;
        const double lw = (r - l) / 4, gap = 0.04 * lw;
        left = l + i * lw + gap;
        right = l + (i + 1) * lw - gap;
    }
};

struct Noise {
    uint64_t s;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> 24);
    }
};

void fillBox(uint8_t* f, int32_t stride, int32_t w, int32_t h, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
             uint8_t v) {
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, w);
    y1 = std::min(y1, h);
    for (int32_t y = y0; y < y1; ++y)
        for (int32_t x = x0; x < x1; ++x) {
            uint8_t* p = f + static_cast<size_t>(y) * stride + 3 * x;
            p[0] = p[1] = p[2] = v;
        }
}

void drawFrame(uint8_t* f, int32_t stride, int32_t w, int32_t h, int32_t k, Noise& noise) {
    const Road road{static_cast<double>(w), static_cast<double>(h)};
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = f + static_cast<size_t>(y) * stride;
        const int base = y < road.top() ? 150 : 95;
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t texture = (static_cast<uint32_t>(x) * 2654435761u ^ static_cast<uint32_t>(y) * 40503u) >> 28;
            const uint32_t n = noise.next();
            row[3 * x + 0] = static_cast<uint8_t>(base + texture + (n & 7));
            row[3 * x + 1] = static_cast<uint8_t>(base + texture + ((n >> 3) & 7));
            row[3 * x + 2] = static_cast<uint8_t>(base + texture + ((n >> 6) & 7));
        }
    }
    // One vehicle per lane, each with its own speed and phase.
    for (int i = 0; i < 4; ++i) {
        const double cycle = 40.0 + 9 * i;
        const double t = std::fmod(k + 11.0 * i, cycle) / (cycle * 0.75);  // > 1: out of sight
        if (t >= 1) continue;
        const double yFront = road.top() + t * (road.bottom() - road.top());
        double l, r;
        road.lane(i, yFront, l, r);
        const double cw = 0.7 * (r - l), ch = 0.8 * cw, cx = (l + r) / 2;
        const int32_t x0 = static_cast<int32_t>(cx - cw / 2), x1 = static_cast<int32_t>(cx + cw / 2);
        const int32_t y1 = static_cast<int32_t>(yFront), y0 = static_cast<int32_t>(yFront - ch);
        fillBox(f, stride, w, h, x0, y0, x1, y1, 45);
        const int32_t lamp = std::max(2, static_cast<int32_t>(0.18 * cw));
        fillBox(f, stride, w, h, x0 + lamp / 2, y1 - 2 * lamp, x0 + lamp / 2 + lamp, y1 - lamp, 252);
        fillBox(f, stride, w, h, x1 - lamp / 2 - lamp, y1 - 2 * lamp, x1 - lamp / 2, y1 - lamp, 252);
    }
}

}  // namespace

FramePool MakePool(int32_t width, int32_t height, size_t minBytes, int32_t minFrames) {
    FramePool pool;
    pool.width = width;
    pool.height = height;
    pool.stride = (width * 3 + 3) & ~3;
    pool.count = std::max<int32_t>(minFrames, static_cast<int32_t>((minBytes + pool.frameBytes() - 1) / pool.frameBytes()));
    pool.bytes.assign(pool.frameBytes() * pool.count, 0);
    Noise noise{0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(width)};
    for (int32_t k = 0; k < pool.count; ++k)
        drawFrame(pool.bytes.data() + pool.frameBytes() * k, pool.stride, width, height, k, noise);
    return pool;
}

AreaSet MakeAreas(const std::string& name, int32_t width, int32_t height) {
    AreaSet set;
    set.name = name;
    const double w = width, h = height;
    if (name == "lanes") {
        const Road road{w, h};
        for (int i = 0; i < 4; ++i) {
            double tl, tr, bl, br;
            road.lane(i, road.top(), tl, tr);
            road.lane(i, road.bottom(), bl, br);
            const int32_t yt = static_cast<int32_t>(road.top()), yb = static_cast<int32_t>(road.bottom());
            set.quads.push_back(AreaQuad{static_cast<int32_t>(tl), yt, static_cast<int32_t>(tr), yt,
                                         static_cast<int32_t>(br), yb, static_cast<int32_t>(bl), yb});
        }
    } else if (name == "pairs") {
        // Each lane split along the road into two coils with a gap between:
        // four speed traps, eight coils (even: the first of a lane).
        const Road road{w, h};
        const double top = road.top(), bottom = road.bottom(), gap = (bottom - top) / 10;
        const double mid = (top + bottom) / 2;
        const double spans[2][2] = {{top, mid - gap / 2}, {mid + gap / 2, bottom}};
        for (int i = 0; i < 4; ++i)
            for (const auto& span : spans) {
                double tl, tr, bl, br;
                road.lane(i, span[0], tl, tr);
                road.lane(i, span[1], bl, br);
                const int32_t yt = static_cast<int32_t>(span[0]), yb = static_cast<int32_t>(span[1]);
                set.quads.push_back(AreaQuad{static_cast<int32_t>(tl), yt, static_cast<int32_t>(tr), yt,
                                             static_cast<int32_t>(br), yb, static_cast<int32_t>(bl), yb});
            }
    } else if (name == "whole") {
        set.quads.push_back(AreaQuad{0, 0, width - 1, 0, width - 1, height - 1, 0, height - 1});
    } else {  // small32: an 8 x 4 grid of boxes of 1/16 x 1/12 of the frame
        for (int row = 0; row < 4; ++row)
            for (int col = 0; col < 8; ++col) {
                const int32_t x0 = static_cast<int32_t>(w / 32 + col * w / 8), y0 = static_cast<int32_t>(0.3 * h + row * 0.17 * h);
                const int32_t x1 = x0 + static_cast<int32_t>(w / 16), y1 = y0 + static_cast<int32_t>(h / 12);
                set.quads.push_back(AreaQuad{x0, y0, x1, y0, x1, y1, x0, y1});
            }
    }
    set.thresholds.assign(set.quads.size(), 0.05f);
    return set;
}

double CoveredShare(const AreaSet& set, int32_t width, int32_t height) {
    std::vector<uint8_t> inside(static_cast<size_t>(width) * height, 0);
    for (const AreaQuad& q : set.quads) {
        tarvocoil::SpanList spans;
        if (!tarvocoil::rasteriseQuad(q, tarvocoil::Allocator{}, spans)) continue;
        for (int32_t k = 0; k < spans.count; ++k) {
            const tarvocoil::RowSpan& s = spans.spans[k];
            if (s.y < 0 || s.y >= height) continue;
            for (int32_t x = std::max(s.left, 0); x <= std::min(s.right, width - 1); ++x)
                inside[static_cast<size_t>(s.y) * width + x] = 1;
        }
        tarvocoil::releaseSpans(tarvocoil::Allocator{}, spans);
    }
    size_t n = 0;
    for (uint8_t v : inside) n += v;
    return static_cast<double>(n) / inside.size();
}

}  // namespace bench
