// context.h - Context: one complete library instance.
//
// Holds the engine (areas, planes, grey table, settings, scratch) and the
// call protocol around it: initialisation, release, and the handshake that
// lets one thread replace the areas while another passes frames. The eight
// exported functions drive one process-wide Context; the C++ Detector owns
// one each.
//
// The handshake: a frame marks itself busy and then checks that no
// replacement is under way; a replacement clears "store ready" and then
// waits until no frame is busy. Both use sequentially consistent atomics,
// so at least one side always sees the other: a replacement never rebuilds
// the areas under a running frame, and a frame that starts during a
// replacement returns 0 at once.
#ifndef TARVOCOIL_API_CONTEXT_H
#define TARVOCOIL_API_CONTEXT_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "detect/engine.h"
#include "tarvocoil.h"
#include "tarvocoil.hpp"

namespace tarvocoil {

class Context {
public:
    Context();
    explicit Context(const Allocator& alloc);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // The eight calls, with the exported functions' behaviour.
    int32_t coilInit();
    void coilRelease();
    int32_t setSurvAreas(int32_t count, const AreaQuad* quads, const float* sensitivities);
    int16_t getSurvResults(const uint8_t* pixels, int32_t width, int32_t height, int32_t bytesPerPixel,
                           int32_t* results);
    // A frame with its own row stride (the C++ interface's frame view):
    // width and height taken whole, refused outside the limits; the
    // geometry kept afterwards is that of the same size in the padded
    // layout, so views and padded frames may follow each other.
    int16_t processView(const FrameView& view, int32_t* results);
    void setFrameCountThresh(int32_t v) { engine_.settings.setFrameCountThresh(v); }
    void setTwoFramesDisturbThresh(float v) { engine_.settings.setTwoFramesDisturbThresh(v); }
    void useFrontLightTrigger(int32_t v) { engine_.settings.setUseFrontLightTrigger(v); }
    void setLightParam(int32_t thresh, int32_t minW, int32_t maxW, int32_t minH, int32_t maxH) {
        engine_.settings.setLightParam(thresh, minW, maxW, minH, maxH);
    }

    // Measurement records of the last frame call (see Detector).
    void setMeasuring(bool on) { measuring_.store(on, std::memory_order_relaxed); }
    bool measuring() const { return measuring_.load(std::memory_order_relaxed); }
    const std::vector<AreaMeasurement>& measurements() const { return measurements_; }

    // Inspection and test hooks.
    Engine& engine() { return engine_; }
    const Engine& engine() const { return engine_; }
    bool initialised() const { return initialised_.load(); }
    int16_t storeReady() const { return storeReady_.load(); }
    int16_t resultsBusy() const { return resultsBusy_.load(); }
    // Selects the sweep kernels (the fastest the CPU runs by default).
    void useKernels(const Kernels& kernels) { engine_.kernels = &kernels; }

private:
    // Waits until no frame is running, with store ready cleared.
    void holdFrames();
    void releaseLocked();
    // The frame call behind both kinds of frame: the handshake; then, while
    // busy, describe(stored geometry, geometry, frame) says what the frame
    // is, the one acceptance rule decides, and the per-frame operation runs.
    template <class Describe>
    int16_t runFrame(Describe describe, int32_t* results);
    // Room for one record per area, or null when memory runs out.
    AreaMeasurement* recordFor(int32_t count);

    Engine engine_;
    std::atomic<int16_t> storeReady_{0};
    std::atomic<int16_t> resultsBusy_{0};
    std::atomic<bool> initialised_{false};
    // Measuring: the flag may change on any thread; the records belong to
    // the thread that passes frames (filled in scratch_, then swapped in).
    std::atomic<bool> measuring_{false};
    std::vector<AreaMeasurement> measurements_;
    std::vector<AreaMeasurement> scratch_;
    // Serialises init, release and replacements among themselves (two at
    // once are outside the protocol, but must not corrupt the store).
    std::mutex replace_;
};

// The instance behind the exported functions. Created on first use and
// never destroyed, so a host thread still inside a call at process exit
// does not meet a destroyed object.
Context& ProcessContext();

}  // namespace tarvocoil

#endif
