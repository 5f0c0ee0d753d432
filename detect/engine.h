// engine.h - Engine: everything one detector works on during a frame.
//
// The api layer's Context owns one Engine next to its call-protocol flags.
// Nothing in here is global: one Engine per detector instance.
#ifndef TARVOCOIL_DETECT_ENGINE_H
#define TARVOCOIL_DETECT_ENGINE_H

#include <cstdint>

#include "base/allocator.h"
#include "base/settings.h"
#include "areas/area_store.h"
#include "image/image_plane.h"
#include "image/span_stack.h"
#include "tarvocoil.hpp"

namespace tarvocoil {

struct Kernels;

struct Engine {
    Allocator alloc;
    DetectorSettings settings;
    ImagePlane inputFrame;        // geometry of the last frame taken; never pixels
    FramePlanes planes;           // grey working planes
    uint8_t* greyLut = nullptr;   // 2 MiB, built at init
    AreaStore store;
    SpanStack fillStack;          // the seed fill's pending spans, reused
    const Kernels* kernels = nullptr;
    // While the host measures: one record per area for the frame being
    // processed, set by the caller for the length of one frame; else null.
    AreaMeasurement* record = nullptr;

    // Frees planes, table, areas and scratch; settings and flags stay.
    void releaseAll();
};

}  // namespace tarvocoil

#endif
