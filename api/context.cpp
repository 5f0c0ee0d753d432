// context.cpp - init, release, area replacement and the frame call.
#include "api/context.h"

#include <new>
#include <thread>

#include "detect/detect.h"
#include "detect/sweep.h"
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

Context::Context() { engine_.kernels = &BestKernels(); }

Context::Context(const Allocator& alloc) : Context() { engine_.alloc = alloc; }

Context::~Context() { engine_.releaseAll(); }

void Context::holdFrames() {
    storeReady_.store(0);
    while (resultsBusy_.load() != 0) std::this_thread::yield();
}

void Context::releaseLocked() {
    if (!initialised_.load()) return;
    holdFrames();
    engine_.releaseAll();
    // After a release no area is installed: frames return 0 until the host
    // installs areas again, and nothing freed is touched.
    engine_.store.areasSet = 0;
    engine_.store.baselineReady = 0;
    initialised_.store(false);
}

int32_t Context::coilInit() {
    std::lock_guard<std::mutex> lock(replace_);
    releaseLocked();  // a second init starts afresh
    engine_.inputFrame = CreateImageHeader(0, 0, 0);
    engine_.greyLut = CreateGreyLut(engine_.alloc);
    if (engine_.greyLut) BuildGreyLut(engine_.greyLut);
    initialised_.store(true);
    return 1;
}

void Context::coilRelease() {
    std::lock_guard<std::mutex> lock(replace_);
    releaseLocked();
}

int32_t Context::setSurvAreas(int32_t count, const AreaQuad* quads, const float* sensitivities) {
    std::lock_guard<std::mutex> lock(replace_);
    if (!initialised_.load()) return 0;
    holdFrames();
    const int32_t installed = engine_.store.setAreas(engine_.alloc, count, quads, sensitivities);
    storeReady_.store(1);
    return installed;
}

int16_t Context::getSurvResults(const uint8_t* pixels, int32_t width, int32_t height, int32_t bytesPerPixel,
                                int32_t* results) {
    if (storeReady_.load() == 0) return 0;
    resultsBusy_.store(1);
    if (storeReady_.load() == 0) {  // a replacement started meanwhile
        resultsBusy_.store(0);
        return 0;
    }
    int16_t done = 0;
    if (initialised_.load() && engine_.greyLut && pixels && results) {
        // Decided on the geometry the frame takes, not on what it declares:
        // a frame of the stored size keeps the stored 24-bit layout whatever
        // its bytes per pixel say, as hosts that pass anything there after
        // their first frame rely on. Frames the sampler could not read
        // safely are refused whole.
        const ImagePlane next = PeekInputFrame(engine_.inputFrame, pixels, width, height, bytesPerPixel);
        if (next.height >= 3 && next.width >= 1 && next.width <= kMaxFrameWidth && next.bytesPerPixel == 3) {
            engine_.inputFrame = next;
            done = ProcessFrame(engine_, results);
        }
    }
    resultsBusy_.store(0);
    return done;
}

Context& ProcessContext() {
    alignas(Context) static unsigned char storage[sizeof(Context)];
    static Context* instance = new (storage) Context();
    return *instance;
}

}  // namespace tarvocoil
