// context.cpp - init, release, area replacement and the frame call.
#include "api/context.h"

#include <new>
#include <thread>

#include "detect/detect.h"
#include "detect/sweep.h"
#include "image/frame_ref.h"
#include "image/grey_lut.h"

namespace tarvocoil {

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

AreaMeasurement* Context::recordFor(int32_t count) {
    if (count <= 0) return nullptr;
    try {
        scratch_.resize(static_cast<std::size_t>(count));
    } catch (...) {  // no record rather than an exception into the host
        return nullptr;
    }
    return scratch_.data();
}

template <class Describe>
int16_t Context::runFrame(Describe describe, int32_t* results) {
    measurements_.clear();  // the records describe this call only
    if (storeReady_.load() == 0) return 0;
    resultsBusy_.store(1);
    if (storeReady_.load() == 0) {  // a replacement started meanwhile
        resultsBusy_.store(0);
        return 0;
    }
    int16_t done = 0;
    ImagePlane geometry;
    FrameRef frame;
    describe(engine_.inputFrame, geometry, frame);
    // Frames the sampler could not read safely are refused whole.
    if (initialised_.load() && engine_.greyLut && AcceptFrame(geometry, frame, results)) {
        engine_.inputFrame = geometry;
        engine_.record = measuring() ? recordFor(engine_.store.count()) : nullptr;
        done = ProcessFrame(engine_, frame, results);
        if (engine_.record && done == 1) measurements_.swap(scratch_);
        engine_.record = nullptr;
    }
    resultsBusy_.store(0);
    return done;
}

int16_t Context::getSurvResults(const uint8_t* pixels, int32_t width, int32_t height, int32_t bytesPerPixel,
                                int32_t* results) {
    return runFrame(
        [&](const ImagePlane& stored, ImagePlane& geometry, FrameRef& frame) {
            // Decided on the geometry the frame takes, not on what it
            // declares: a frame of the stored size keeps the stored 24-bit
            // layout whatever its bytes per pixel say, as hosts that pass
            // anything there after their first frame rely on.
            geometry = PeekInputFrame(stored, width, height, bytesPerPixel);
            frame.pixels = pixels;
            frame.width = geometry.width;
            frame.height = geometry.height;
            frame.stride = geometry.stride;
        },
        results);
}

int16_t Context::processView(const FrameView& view, int32_t* results) {
    return runFrame(
        [&](const ImagePlane&, ImagePlane& geometry, FrameRef& frame) {
            // A view's size is taken whole (no low 16 bits), and refused
            // outside the limits. Its stride is its own on every call; what
            // the detector keeps is the size, as the padded layout of that
            // size, so a padded frame of the same size may follow.
            if (view.width >= kMinFrameWidth && view.width <= kMaxFrameWidth && view.height >= kMinFrameHeight &&
                view.height <= kMaxFrameHeight)
                geometry = CreateImageHeader(view.width, view.height, 3);
            frame.pixels = view.pixels;
            frame.width = view.width;
            frame.height = view.height;
            frame.stride = view.stride;
        },
        results);
}

Context& ProcessContext() {
    alignas(Context) static unsigned char storage[sizeof(Context)];
    static Context* instance = new (storage) Context();
    return *instance;
}

}  // namespace tarvocoil
