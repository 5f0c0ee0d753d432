// frame.cpp - the per-frame operation: nothing, a baseline, or detection.
#include <cstddef>
#include <limits>

#include "detect/detect.h"
#include "tarvocoil.hpp"

namespace tarvocoil {

bool AcceptFrame(const ImagePlane& geometry, const FrameRef& frame, const int32_t* results) {
    if (!frame.pixels || !results) return false;
    if (geometry.bytesPerPixel != 3 || geometry.width < kMinFrameWidth || geometry.width > kMaxFrameWidth ||
        geometry.height < kMinFrameHeight)
        return false;
    if (frame.width != geometry.width || frame.height != geometry.height) return false;
    const int64_t rowBytes = 3 * static_cast<int64_t>(frame.width);
    if (static_cast<int64_t>(frame.stride) < rowBytes) return false;
    // The last row's end, which only 32-bit hosts can fail to address.
    const int64_t extent = (static_cast<int64_t>(frame.height) - 1) * static_cast<int64_t>(frame.stride) + rowBytes;
    return static_cast<uint64_t>(extent) <= static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max());
}

int16_t ProcessFrame(Engine& engine, const FrameRef& frame, int32_t* results) {
    if (engine.store.areasSet == 0) return 0;
    const ImagePlane* plane = engine.planes.current();
    // A frame of another size than the planes cannot be compared with
    // them: it starts a new baseline, as after new areas.
    const bool sizeChanged = !engine.planes.ready() || plane->width != frame.width || plane->height != frame.height;
    if (engine.store.baselineReady == 0 || sizeChanged) return TakeBaseline(engine, frame) ? 1 : 0;
    RunPresenceTest(engine, frame, results);
    return 1;
}

}  // namespace tarvocoil
