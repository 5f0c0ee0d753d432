// light_picture.h - the light view (host/light_view.h) with its notes
// written: the one picture `frame --light`, `run --review-light` and the
// editor's light view all draw.
#ifndef TARVOCOIL_TOOLS_MEDIA_LIGHT_PICTURE_H
#define TARVOCOIL_TOOLS_MEDIA_LIGHT_PICTURE_H

#include <vector>

#include "host/canvas.h"
#include "host/light_view.h"
#include "tarvocoil.hpp"

namespace tarvotool {

// Paints the light view of every coil of `frame` over `img` (the same
// picture, perhaps with the review drawing on it already: the light is
// judged on `frame`). measured: the detector's record of this frame, one
// entry per coil (null when not known: the detector's blob is then not
// drawn).
void PaintLightPicture(BgrImage& img, const tarvocoil::FrameView& frame,
                       const std::vector<std::vector<tarvocoil::AreaRow>>& rows,
                       const std::vector<tarvocoil::AreaMeasurement>* measured, const tarvocoil::Settings& settings);

}  // namespace tarvotool

#endif
