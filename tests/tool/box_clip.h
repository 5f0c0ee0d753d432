// box_clip.h - a clip of textured boxes driving over a coil pair at known
// speeds, seen from straight above, for measuring speed and length.
#ifndef TARVOCOIL_TESTS_TOOL_BOX_CLIP_H
#define TARVOCOIL_TESTS_TOOL_BOX_CLIP_H

#include <vector>

#include "host/areas_file.h"
#include "host/canvas.h"

namespace tooltest {

struct BoxVehicle {
    double speedMps = 0;
    double lengthM = 0;
    double inTime = 0;   // seconds: its front reaches the "in" coil's leading edge
    double outTime = 0;  // and the "out" coil's
};

struct BoxClip {
    int fps = 25;
    std::vector<BoxVehicle> vehicles;
    std::vector<tarvotool::BgrImage> frames;
    tarvotool::AreasConfig areas;  // the pair "lane": coils "in" and "out", 2 m long, 8 m apart
};

// `count` boxes, one after the other, at speeds spread evenly over
// loKmh..hiKmh (in a shuffled order) and lengths 3.5..12 m.
BoxClip MakeBoxClip(int count, double loKmh, double hiKmh);

}  // namespace tooltest

#endif
