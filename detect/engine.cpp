// engine.cpp - giving back everything an Engine holds.
#include "detect/engine.h"

#include "image/grey_lut.h"

namespace tarvocoil {

int32_t Engine::setAreas(int32_t count, const AreaQuad* quads, const float* sensitivities) {
    const int32_t installed = store.setAreas(alloc, count, quads, sensitivities);
    if (!detection.reset(alloc, installed == 1 ? store.count() : 0)) {  // out of memory
        store.clearAreas(alloc);
        store.areasSet = 0;
        return 0;
    }
    return installed;
}

void Engine::releaseAll() {
    planes.release(alloc);
    FreeGreyLut(alloc, greyLut);
    greyLut = nullptr;
    store.discard(alloc);
    detection.release(alloc);
    fillStack.release(alloc);
    inputFrame = ImagePlane{};
}

}  // namespace tarvocoil
