// engine.cpp - giving back everything an Engine holds.
#include "detect/engine.h"

#include "image/grey_lut.h"

namespace tarvocoil {

void Engine::releaseAll() {
    planes.release(alloc);
    FreeGreyLut(alloc, greyLut);
    greyLut = nullptr;
    store.discard(alloc);
    fillStack.release(alloc);
    inputFrame = ImagePlane{};
}

}  // namespace tarvocoil
