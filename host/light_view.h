// light_view.h - what the front-light test sees, drawn on the picture: each
// coil's light pixels, the bright blobs among them with their sizes, the
// blob the detector measured, and the light limits to scale beside the
// coil, so that a headlight's size can be read off the picture and set.
//
// The detector keeps its grey table and light mask to itself; the light
// pixels are computed here from the frame with the same grey rule (the
// seven high bits of blue, green and red weighted as BT.601 luma) over the
// rows the detector covers, the same pixels its light test thresholds
// (each row clamped into the picture less a one-pixel border, its last
// column left out, as the test reads it).
// The blobs here are the 8-connected regions of those pixels; the
// detector's own measured blob (AreaMeasurement::blob, on frames where its
// light test ran) is drawn apart, as it measured it.
#ifndef TARVOCOIL_HOST_LIGHT_VIEW_H
#define TARVOCOIL_HOST_LIGHT_VIEW_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/canvas.h"
#include "tarvocoil.hpp"

namespace tarvotool {

// The grey the detector's light test compares with its threshold.
uint8_t LightGrey(const uint8_t* bgr);

struct LightBox {
    int x = 0, y = 0, width = 0, height = 0;
};

// A text the caller writes on the picture (the painter draws no text).
struct LightNote {
    std::string text;
    int x = 0, y = 0;  // top-left of the text
};

struct LightArea {
    std::vector<tarvocoil::AreaRow> rows;  // as the detector covers the coil
    // The detector's record for this frame, when known.
    const tarvocoil::AreaMeasurement* measured = nullptr;
};

// The light regions of one coil in `frame`: bounding boxes of the
// 8-connected light pixels (grey >= threshold) inside its rows, largest
// first, at most `limit` of them.
std::vector<LightBox> LightRegions(const tarvocoil::FrameView& frame, const std::vector<tarvocoil::AreaRow>& rows,
                                   int threshold, std::size_t limit);

// Paints the light view of every coil of `frame` onto `canvas` (a picture
// of the same size, which may already carry other drawing: the light is
// judged on `frame`) and returns the notes to write: each region's "WxH",
// the detector's blob ("blob WxH accepted" or that none was), and the
// limits ("min WxH", "max WxH").
std::vector<LightNote> PaintLightView(BgrImage& canvas, const tarvocoil::FrameView& frame,
                                      const std::vector<LightArea>& areas, const tarvocoil::Settings& settings);

}  // namespace tarvotool

#endif
