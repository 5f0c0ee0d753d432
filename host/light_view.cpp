// light_view.cpp - the light test drawn for people.
#include "host/light_view.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace tarvotool {

namespace {

constexpr Color kLightPixel{0, 255, 255};    // yellow
constexpr Color kRegion{255, 200, 0};        // light blue
constexpr Color kAccepted{40, 220, 40};      // green
constexpr Color kRefused{40, 40, 255};       // red
constexpr Color kLimit{255, 255, 255};
constexpr std::size_t kRegionsPerArea = 6;   // labelled regions per coil

// The grey rule of the detector's table, from the 32-bit float weights it
// is built with.
uint8_t GreyOf(unsigned b, unsigned g, unsigned r) {
    const double w2 = static_cast<double>(0.299f), w1 = static_cast<double>(0.587f), w0 = static_cast<double>(0.114f);
    const double sum = 2.0 * (r >> 1) * w2 + 2.0 * (g >> 1) * w1 + 2.0 * (b >> 1) * w0 + 0.5;
    return static_cast<uint8_t>(std::floor(sum));
}

void Blend(uint8_t* px, Color c, float alpha) {
    px[0] = static_cast<uint8_t>(px[0] + (c.b - px[0]) * alpha);
    px[1] = static_cast<uint8_t>(px[1] + (c.g - px[1]) * alpha);
    px[2] = static_cast<uint8_t>(px[2] + (c.r - px[2]) * alpha);
}

void Put(BgrImage& img, int x, int y, Color c) {
    if (x < 0 || y < 0 || x >= img.width || y >= img.height) return;
    uint8_t* p = img.row(y) + 3 * x;
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
}

void Rect(BgrImage& img, const LightBox& b, Color c) {
    const int x1 = b.x + b.width - 1, y1 = b.y + b.height - 1;
    for (int x = b.x; x <= x1; ++x) {
        Put(img, x, b.y - 1, c);
        Put(img, x, y1 + 1, c);
    }
    for (int y = b.y - 1; y <= y1 + 1; ++y) {
        Put(img, b.x - 1, y, c);
        Put(img, x1 + 1, y, c);
    }
}

// A row as the detector's light test reads it: the row clamped into
// 1..height - 2, columns max(left, 1) to min(right, width - 2), that last
// one excluded.
struct Span {
    int y, begin, end;
};

Span LightSpan(const tarvocoil::AreaRow& r, int width, int height) {
    return {std::min(std::max(r.y, 1), height - 2), std::max(r.left, 1), std::min(r.right, width - 2)};
}

// The light mask over the rows' bounding box: 1 for a light pixel the
// detector's test reads.
struct Mask {
    int x0 = 0, y0 = 0, w = 0, h = 0;
    std::vector<uint8_t> on;
    bool at(int x, int y) const {
        return x >= x0 && y >= y0 && x < x0 + w && y < y0 + h && on[static_cast<std::size_t>(y - y0) * w + (x - x0)];
    }
};

Mask LightMask(const tarvocoil::FrameView& img, const std::vector<tarvocoil::AreaRow>& rows, int threshold) {
    Mask m;
    if (img.width < 3 || img.height < 3) return m;
    int x1 = -1, y1 = -1;
    m.x0 = img.width;
    m.y0 = img.height;
    for (const auto& r : rows) {
        const Span s = LightSpan(r, img.width, img.height);
        if (s.end <= s.begin) continue;
        m.x0 = std::min(m.x0, s.begin);
        x1 = std::max(x1, s.end - 1);
        m.y0 = std::min(m.y0, s.y);
        y1 = std::max(y1, s.y);
    }
    if (x1 < m.x0 || y1 < m.y0) return Mask{};
    m.w = x1 - m.x0 + 1;
    m.h = y1 - m.y0 + 1;
    m.on.assign(static_cast<std::size_t>(m.w) * m.h, 0);
    for (const auto& r : rows) {
        const Span s = LightSpan(r, img.width, img.height);
        const uint8_t* row = img.pixels + static_cast<std::ptrdiff_t>(s.y) * img.stride;
        for (int x = s.begin; x < s.end; ++x) {
            const uint8_t* p = row + 3 * x;
            if (GreyOf(p[0], p[1], p[2]) >= threshold) m.on[static_cast<std::size_t>(s.y - m.y0) * m.w + (x - m.x0)] = 1;
        }
    }
    return m;
}

std::string Size(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

}  // namespace

uint8_t LightGrey(const uint8_t* bgr) { return GreyOf(bgr[0], bgr[1], bgr[2]); }

std::vector<LightBox> LightRegions(const tarvocoil::FrameView& frame, const std::vector<tarvocoil::AreaRow>& rows,
                                   int threshold, std::size_t limit) {
    Mask m = LightMask(frame, rows, threshold);
    std::vector<std::pair<int, LightBox>> found;  // pixel count, box
    std::vector<int> stack;
    for (int start = 0; start < m.w * m.h; ++start) {
        if (!m.on[start]) continue;
        m.on[start] = 0;
        stack.assign(1, start);
        int count = 0, minX = m.w, minY = m.h, maxX = -1, maxY = -1;
        while (!stack.empty()) {
            const int at = stack.back();
            stack.pop_back();
            const int x = at % m.w, y = at / m.w;
            ++count;
            minX = std::min(minX, x);
            maxX = std::max(maxX, x);
            minY = std::min(minY, y);
            maxY = std::max(maxY, y);
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int nx = x + dx, ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= m.w || ny >= m.h) continue;
                    const int n = ny * m.w + nx;
                    if (m.on[n]) {
                        m.on[n] = 0;
                        stack.push_back(n);
                    }
                }
        }
        found.push_back({count, LightBox{m.x0 + minX, m.y0 + minY, maxX - minX + 1, maxY - minY + 1}});
    }
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<LightBox> out;
    for (std::size_t i = 0; i < found.size() && i < limit; ++i) out.push_back(found[i].second);
    return out;
}

std::vector<LightNote> PaintLightView(BgrImage& img, const tarvocoil::FrameView& frame,
                                      const std::vector<LightArea>& areas, const tarvocoil::Settings& settings) {
    std::vector<LightNote> notes;
    if (frame.width != img.width || frame.height != img.height) return notes;
    for (const LightArea& area : areas) {
        const Mask m = LightMask(frame, area.rows, settings.lightThresh);
        if (m.w == 0) continue;
        for (int y = m.y0; y < m.y0 + m.h; ++y)
            for (int x = m.x0; x < m.x0 + m.w; ++x)
                if (m.at(x, y)) Blend(img.row(y) + 3 * x, kLightPixel, 0.75f);
        for (const LightBox& b : LightRegions(frame, area.rows, settings.lightThresh, kRegionsPerArea)) {
            Rect(img, b, kRegion);
            notes.push_back({Size(b.width, b.height), b.x, b.y + b.height + 2});
        }
        if (area.measured && area.measured->lightTested) {
            const tarvocoil::LightBlob& blob = area.measured->blob;
            const bool found = area.measured->blobFound;
            if (found) {
                const LightBox b{blob.x, blob.y, blob.width, blob.height};
                Rect(img, b, kAccepted);
                Rect(img, LightBox{b.x - 1, b.y - 1, b.width + 2, b.height + 2}, kAccepted);
            }
            notes.push_back({found ? "blob " + Size(blob.width, blob.height) + " accepted" : "light test: no blob accepted",
                             m.x0, std::max(0, m.y0 - 14)});
        }
        // The limits to scale, right of the coil: the largest box a
        // headlight may fill, and inside it the smallest.
        const int lx = m.x0 + m.w + 6, ly = m.y0;
        const LightBox maxBox{lx, ly, std::max<int>(settings.lightMaxWidth, 1), std::max<int>(settings.lightMaxHeight, 1)};
        const LightBox minBox{lx, ly, std::max<int>(settings.lightMinWidth, 1), std::max<int>(settings.lightMinHeight, 1)};
        Rect(img, maxBox, kLimit);
        Rect(img, minBox, area.measured && area.measured->lightTested && !area.measured->blobFound ? kRefused : kLimit);
        notes.push_back({"max " + Size(settings.lightMaxWidth, settings.lightMaxHeight), lx, ly + maxBox.height + 2});
        notes.push_back({"min " + Size(settings.lightMinWidth, settings.lightMinHeight), lx + minBox.width + 3, ly});
    }
    return notes;
}

}  // namespace tarvotool
