// canvas.h - 24-bit BGR pictures in the detector's layout, and the little
// drawing the FFmpeg libraries do not offer: quadrilateral outlines and fills.
#ifndef TARVOCOIL_HOST_CANVAS_H
#define TARVOCOIL_HOST_CANVAS_H

#include <cstdint>
#include <vector>

#include "tarvocoil.h"
#include "tarvocoil.hpp"

namespace tarvotool {

// Three bytes per pixel (blue, green, red), rows padded to 4 bytes, row 0 at
// the top: exactly what tarvocoil::Detector::process expects.
struct BgrImage {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::vector<uint8_t> data;

    void resize(int w, int h);
    // A copy of a picture with any row stride.
    void assign(const tarvocoil::FrameView& picture);
    tarvocoil::FrameView view() const { return {data.data(), width, height, stride}; }
    uint8_t* row(int y) { return data.data() + static_cast<std::size_t>(y) * stride; }
    const uint8_t* row(int y) const { return data.data() + static_cast<std::size_t>(y) * stride; }
};

struct Color {
    uint8_t b, g, r;
};

// Outline of the quadrilateral 0-1-2-3-0, `thickness` pixels wide. Any
// coordinates are fine: the edges are clipped to the picture first.
void DrawQuadOutline(BgrImage& img, const AreaQuad& quad, Color color, int thickness);

// Blends `color` with weight `alpha` (0..1) over the rows the detector
// covers for this quadrilateral: each row from its leftmost to its rightmost
// outline point.
void FillQuad(BgrImage& img, const AreaQuad& quad, Color color, float alpha);

// The same for rows as the detector covers them (tarvocoil::AreaRow),
// clipped to the picture: exactly the pixels the detector reads.
void FillRows(BgrImage& img, const std::vector<tarvocoil::AreaRow>& rows, Color color, float alpha);
// The boundary of those rows: every covered pixel with an uncovered
// neighbour above, below, left or right, drawn with a square brush.
void DrawRowsOutline(BgrImage& img, const std::vector<tarvocoil::AreaRow>& rows, Color color, int thickness);

// Calls fn(y, left, right) for each picture row the quadrilateral covers,
// clipped to a width x height picture (left <= right, both inside).
template <typename Fn>
void ForEachQuadRow(const AreaQuad& quad, int width, int height, Fn fn);

// Whether any part of the quadrilateral lies inside a width x height picture.
bool QuadTouchesFrame(const AreaQuad& quad, int width, int height);

}  // namespace tarvotool

#include "host/canvas_inl.h"

#endif
