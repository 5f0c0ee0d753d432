// light_picture.cpp - the light view and its notes on one picture.
#include "tools/media/light_picture.h"

#include "tools/media/text_painter.h"

namespace tarvotool {

void PaintLightPicture(BgrImage& img, const tarvocoil::FrameView& frame,
                       const std::vector<std::vector<tarvocoil::AreaRow>>& rows,
                       const std::vector<tarvocoil::AreaMeasurement>* measured, const tarvocoil::Settings& settings) {
    std::vector<LightArea> areas;
    for (std::size_t i = 0; i < rows.size(); ++i)
        areas.push_back(LightArea{rows[i], measured && i < measured->size() ? &(*measured)[i] : nullptr});
    const std::vector<LightNote> notes = PaintLightView(img, frame, areas, settings);
    if (notes.empty()) return;
    std::vector<TextLabel> labels;
    for (const LightNote& n : notes) labels.push_back({n.text, n.x, n.y});
    // The notes change from frame to frame: a painter of their own.
    TextPainter text(img.width, img.height, labels);
    text.paint(img, "");
}

}  // namespace tarvotool
