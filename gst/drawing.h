// drawing.h - coils drawn into the frames the element passes on: an outline
// per area, and a fading fill when the area triggers.
//
// Works on the detector's own row description of each area (areaRows), so
// the picture shows exactly the pixels the detector covers, on frames of any
// stride; nothing is written outside a row's width x 3 bytes.
#ifndef TARVOCOIL_GST_DRAWING_H
#define TARVOCOIL_GST_DRAWING_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/coil_flash.h"
#include "tarvocoil.hpp"

namespace tarvogst {

// A horizontal run of pixels x0..x1 (both included) of row y.
struct Segment {
    int32_t y;
    int32_t x0;
    int32_t x1;
};

// The boundary of an area: its pixels with a 4-neighbour outside it.
// `rows` as Detector::areaRows gives them (ascending y, one row each).
std::vector<Segment> OutlineOf(const std::vector<tarvocoil::AreaRow>& rows);

// The hosts' one colour type: blue, green, red bytes.
using Bgr = tarvotool::Color;

// A writable 24-bit BGR frame with its own row stride.
struct FrameBytes {
    uint8_t* pixels = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    std::ptrdiff_t stride = 0;
};

void DrawSegments(const FrameBytes& frame, const std::vector<Segment>& segments, Bgr color);
// Blends `color` over every covered pixel; alpha in 0..256.
void BlendRows(const FrameBytes& frame, const std::vector<tarvocoil::AreaRow>& rows, Bgr color, int alpha);

// Outlines every area, green while idle; an area that triggers turns red and
// is filled, the fill fading out over `flashFrames` frames (host/coil_flash.h:
// the colours and timing of every host's drawing).
class CoilPainter {
public:
    explicit CoilPainter(std::size_t areas) : areas_(areas), flash_(areas) {}

    // Once per processed frame: flags of a detection frame, or null.
    void advance(const int32_t* flags, int flashFrames);
    void paint(const FrameBytes& frame, const std::vector<std::vector<tarvocoil::AreaRow>>& rows,
               const std::vector<std::vector<Segment>>& outlines, int flashFrames) const;

private:
    std::size_t areas_;
    tarvotool::CoilFlash flash_;
};

}  // namespace tarvogst

#endif
