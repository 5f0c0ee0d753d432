// scenes.h - frames and survey areas for the benchmarks.
//
// A road seen from above its lanes: a textured background, sensor noise
// that differs in every frame, and one vehicle per lane with two
// headlights, moving towards the camera. The frames of one size form a
// pool larger than the last-level cache, cycled frame by frame, so that
// the detector reads each frame from memory as it would from a camera.
#ifndef TARVOCOIL_BENCH_SCENES_H
#define TARVOCOIL_BENCH_SCENES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarvocoil.h"

namespace bench {

struct FramePool {
    int32_t width = 0, height = 0, stride = 0;
    int32_t count = 0;
    std::vector<uint8_t> bytes;
    const uint8_t* frame(int32_t i) const { return bytes.data() + static_cast<size_t>(i) * stride * height; }
    size_t frameBytes() const { return static_cast<size_t>(stride) * height; }
};

// At least minBytes of frames (and at least minFrames frames).
FramePool MakePool(int32_t width, int32_t height, size_t minBytes, int32_t minFrames);

struct AreaSet {
    std::string name;
    std::vector<AreaQuad> quads;
    std::vector<float> thresholds;
};

// "lanes": four slanted lanes covering about a third of the frame;
// "whole": one area over the whole frame; "small32": 32 small boxes;
// "pairs": the four lanes each as two coils one behind the other.
AreaSet MakeAreas(const std::string& name, int32_t width, int32_t height);

// The share of the frame's pixels inside the set's areas (overlaps once).
double CoveredShare(const AreaSet& set, int32_t width, int32_t height);

}  // namespace bench

#endif
