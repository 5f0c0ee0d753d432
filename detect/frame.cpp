// frame.cpp - the per-frame operation: nothing, a baseline, or detection.
#include "detect/detect.h"

namespace tarvocoil {

int16_t ProcessFrame(Engine& engine, int32_t* results) {
    if (engine.store.areasSet == 0) return 0;
    const ImagePlane* plane = engine.planes.current();
    // A frame of another size than the planes cannot be compared with
    // them: it starts a new baseline, as after new areas.
    const bool sizeChanged = !engine.planes.ready() || plane->width != engine.inputFrame.width ||
                             plane->height != engine.inputFrame.height;
    if (engine.store.baselineReady == 0 || sizeChanged) return TakeBaseline(engine) ? 1 : 0;
    RunPresenceTest(engine, results);
    return 1;
}

}  // namespace tarvocoil
