// drawing.cpp - outlines and trigger flashes over the detector's area rows.
#include "gst/drawing.h"

#include <algorithm>

namespace tarvogst {

namespace {

// Part of [l, r] that [cl, cr] does not cover, as up to two runs.
void Uncovered(int32_t y, int32_t l, int32_t r, int32_t cl, int32_t cr, std::vector<Segment>& out) {
    if (cr < l || cl > r) {
        out.push_back({y, l, r});
        return;
    }
    if (cl > l) out.push_back({y, l, cl - 1});
    if (cr < r) out.push_back({y, cr + 1, r});
}

}  // namespace

std::vector<Segment> OutlineOf(const std::vector<tarvocoil::AreaRow>& rows) {
    std::vector<Segment> out;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const tarvocoil::AreaRow& row = rows[k];
        std::vector<Segment> parts{{row.y, row.left, row.left}, {row.y, row.right, row.right}};
        const bool above = k > 0 && rows[k - 1].y == row.y - 1;
        const bool below = k + 1 < rows.size() && rows[k + 1].y == row.y + 1;
        if (above) Uncovered(row.y, row.left, row.right, rows[k - 1].left, rows[k - 1].right, parts);
        else parts.push_back({row.y, row.left, row.right});
        if (below) Uncovered(row.y, row.left, row.right, rows[k + 1].left, rows[k + 1].right, parts);
        else parts.push_back({row.y, row.left, row.right});
        std::sort(parts.begin(), parts.end(), [](const Segment& a, const Segment& b) { return a.x0 < b.x0; });
        // Merge overlapping or touching runs, so no pixel is drawn twice.
        Segment cur = parts[0];
        for (std::size_t i = 1; i < parts.size(); ++i) {
            if (parts[i].x0 <= cur.x1 + 1) {
                cur.x1 = std::max(cur.x1, parts[i].x1);
            } else {
                out.push_back(cur);
                cur = parts[i];
            }
        }
        out.push_back(cur);
    }
    return out;
}

namespace {

// Calls fn(pixel, count) for the part of x0..x1 of row y inside the frame.
template <typename Fn>
void Clipped(const FrameBytes& f, int32_t y, int32_t x0, int32_t x1, Fn fn) {
    if (y < 0 || y >= f.height) return;
    const int32_t l = std::max<int32_t>(x0, 0), r = std::min<int32_t>(x1, f.width - 1);
    if (l > r) return;
    fn(f.pixels + static_cast<std::ptrdiff_t>(y) * f.stride + static_cast<std::ptrdiff_t>(l) * 3, r - l + 1);
}

}  // namespace

void DrawSegments(const FrameBytes& frame, const std::vector<Segment>& segments, Bgr c) {
    for (const Segment& s : segments)
        Clipped(frame, s.y, s.x0, s.x1, [&](uint8_t* p, int32_t n) {
            for (int32_t i = 0; i < n; ++i, p += 3) p[0] = c.b, p[1] = c.g, p[2] = c.r;
        });
}

void BlendRows(const FrameBytes& frame, const std::vector<tarvocoil::AreaRow>& rows, Bgr c, int alpha) {
    alpha = std::clamp(alpha, 0, 256);
    const int keep = 256 - alpha;
    for (const tarvocoil::AreaRow& row : rows)
        Clipped(frame, row.y, row.left, row.right, [&](uint8_t* p, int32_t n) {
            for (int32_t i = 0; i < n; ++i, p += 3) {
                p[0] = static_cast<uint8_t>((p[0] * keep + c.b * alpha) >> 8);
                p[1] = static_cast<uint8_t>((p[1] * keep + c.g * alpha) >> 8);
                p[2] = static_cast<uint8_t>((p[2] * keep + c.r * alpha) >> 8);
            }
        });
}

void CoilPainter::advance(const int32_t* flags, int flashFrames) { flash_.advance(flags, flashFrames); }

void CoilPainter::paint(const FrameBytes& frame, const std::vector<std::vector<tarvocoil::AreaRow>>& rows,
                        const std::vector<std::vector<Segment>>& outlines, int flashFrames) const {
    for (std::size_t i = 0; i < areas_ && i < rows.size(); ++i) {
        const int age = flash_.age(i);
        if (age >= 0) {
            // 0.55 of the colour on the trigger frame, fading to nothing.
            const int alpha = 141 * (flashFrames - age) / std::max(1, flashFrames);
            BlendRows(frame, rows[i], tarvotool::kCoilTriggered, alpha);
            DrawSegments(frame, outlines[i], tarvotool::kCoilTriggered);
        } else {
            DrawSegments(frame, outlines[i], tarvotool::kCoilIdle);
        }
    }
}

}  // namespace tarvogst
