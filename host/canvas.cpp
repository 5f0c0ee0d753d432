// canvas.cpp - quadrilateral outlines and fills on BGR pictures.
#include "host/canvas.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tarvotool {

void BgrImage::resize(int w, int h) {
    width = w;
    height = h;
    stride = (w * 3 + 3) & ~3;
    data.assign(static_cast<std::size_t>(stride) * static_cast<std::size_t>(h), 0);
}

void BgrImage::assign(const tarvocoil::FrameView& p) {
    if (width != p.width || height != p.height) resize(p.width, p.height);
    for (int y = 0; y < height; ++y)
        std::memcpy(row(y), p.pixels + static_cast<std::ptrdiff_t>(y) * p.stride, static_cast<std::size_t>(width) * 3);
}

namespace {

void PutBrush(BgrImage& img, int x, int y, Color c, int thickness) {
    const int lo = -(thickness - 1) / 2;
    const int hi = thickness / 2;
    for (int dy = lo; dy <= hi; ++dy) {
        const int yy = y + dy;
        if (yy < 0 || yy >= img.height) continue;
        uint8_t* row = img.row(yy);
        for (int dx = lo; dx <= hi; ++dx) {
            const int xx = x + dx;
            if (xx < 0 || xx >= img.width) continue;
            row[xx * 3 + 0] = c.b;
            row[xx * 3 + 1] = c.g;
            row[xx * 3 + 2] = c.r;
        }
    }
}

// Liang-Barsky: clips the segment to [xmin, xmax] x [ymin, ymax]; false when
// nothing is left.
bool ClipSegment(double& x0, double& y0, double& x1, double& y1, double xmin, double ymin,
                 double xmax, double ymax) {
    const double dx = x1 - x0, dy = y1 - y0;
    double t0 = 0.0, t1 = 1.0;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {x0 - xmin, xmax - x0, y0 - ymin, ymax - y0};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0.0) {
            if (q[i] < 0.0) return false;
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0.0) {
            if (t > t1) return false;
            t0 = std::max(t0, t);
        } else {
            if (t < t0) return false;
            t1 = std::min(t1, t);
        }
    }
    const double nx0 = x0 + t0 * dx, ny0 = y0 + t0 * dy;
    const double nx1 = x0 + t1 * dx, ny1 = y0 + t1 * dy;
    x0 = nx0;
    y0 = ny0;
    x1 = nx1;
    y1 = ny1;
    return true;
}

void DrawLine(BgrImage& img, double fx0, double fy0, double fx1, double fy1, Color c, int thickness) {
    const double margin = thickness;
    if (!ClipSegment(fx0, fy0, fx1, fy1, -margin, -margin, img.width - 1 + margin,
                     img.height - 1 + margin))
        return;
    int x0 = static_cast<int>(std::lround(fx0)), y0 = static_cast<int>(std::lround(fy0));
    const int x1 = static_cast<int>(std::lround(fx1)), y1 = static_cast<int>(std::lround(fy1));
    const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
    const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
    int err = dx + dy;
    for (;;) {
        PutBrush(img, x0, y0, c, thickness);
        if (x0 == x1 && y0 == y1) break;
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y0 += sy;
        }
    }
}

}  // namespace

void DrawQuadOutline(BgrImage& img, const AreaQuad& q, Color color, int thickness) {
    const int32_t xs[4] = {q.x0, q.x1, q.x2, q.x3};
    const int32_t ys[4] = {q.y0, q.y1, q.y2, q.y3};
    for (int e = 0; e < 4; ++e) {
        const int f = (e + 1) & 3;
        DrawLine(img, xs[e], ys[e], xs[f], ys[f], color, thickness);
    }
}

void FillQuad(BgrImage& img, const AreaQuad& quad, Color color, float alpha) {
    const int a = std::clamp(static_cast<int>(std::lround(alpha * 256.0f)), 0, 256);
    const int cb = color.b * a, cg = color.g * a, cr = color.r * a;
    ForEachQuadRow(quad, img.width, img.height, [&](int y, int l, int r) {
        uint8_t* p = img.row(y) + l * 3;
        for (int x = l; x <= r; ++x, p += 3) {
            p[0] = static_cast<uint8_t>((p[0] * (256 - a) + cb) >> 8);
            p[1] = static_cast<uint8_t>((p[1] * (256 - a) + cg) >> 8);
            p[2] = static_cast<uint8_t>((p[2] * (256 - a) + cr) >> 8);
        }
    });
}

void FillRows(BgrImage& img, const std::vector<tarvocoil::AreaRow>& rows, Color color, float alpha) {
    const int a = std::clamp(static_cast<int>(std::lround(alpha * 256.0f)), 0, 256);
    const int cb = color.b * a, cg = color.g * a, cr = color.r * a;
    for (const tarvocoil::AreaRow& r : rows) {
        if (r.y < 0 || r.y >= img.height) continue;
        const int l = std::max(0, r.left), right = std::min(img.width - 1, r.right);
        uint8_t* p = img.row(r.y) + static_cast<std::ptrdiff_t>(std::max(0, l)) * 3;
        for (int x = l; x <= right; ++x, p += 3) {
            p[0] = static_cast<uint8_t>((p[0] * (256 - a) + cb) >> 8);
            p[1] = static_cast<uint8_t>((p[1] * (256 - a) + cg) >> 8);
            p[2] = static_cast<uint8_t>((p[2] * (256 - a) + cr) >> 8);
        }
    }
}

void DrawRowsOutline(BgrImage& img, const std::vector<tarvocoil::AreaRow>& rows, Color color, int thickness) {
    // Rows come one per y, in order; a neighbouring row that is missing
    // covers nothing.
    auto find = [&](std::size_t k, int y) -> const tarvocoil::AreaRow* {
        if (k < rows.size() && rows[k].y == y) return &rows[k];
        return nullptr;
    };
    const int margin = thickness;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const tarvocoil::AreaRow& r = rows[k];
        if (r.y < -margin || r.y >= img.height + margin || r.left > r.right) continue;
        const tarvocoil::AreaRow* up = k > 0 ? find(k - 1, r.y - 1) : nullptr;
        const tarvocoil::AreaRow* down = find(k + 1, r.y + 1);
        const int lo = std::max(r.left, -margin), hi = std::min(r.right, img.width - 1 + margin);
        for (int x = lo; x <= hi; ++x) {
            const bool edge = x == r.left || x == r.right || !up || x < up->left || x > up->right || !down ||
                              x < down->left || x > down->right;
            if (edge) PutBrush(img, x, r.y, color, thickness);
        }
    }
}

bool QuadTouchesFrame(const AreaQuad& q, int width, int height) {
    bool any = false;
    ForEachQuadRow(q, width, height, [&](int, int, int) { any = true; });
    return any;
}

}  // namespace tarvotool
