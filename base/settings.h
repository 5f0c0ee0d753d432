// settings.h - DetectorSettings: the tuning values shared by all areas.
//
// Setters may run on any thread while a frame is being processed; every
// field is an atomic read at its point of use, so a frame sees the old or
// the new value of each field, never a torn one.
#ifndef TARVOCOIL_BASE_SETTINGS_H
#define TARVOCOIL_BASE_SETTINGS_H

#include <atomic>
#include <cstdint>

#include "base/low16.h"

namespace tarvocoil {

struct DetectorSettings {
    std::atomic<int32_t> frameCountThresh{20};
    std::atomic<float> twoFramesDisturbThresh{0.15f};
    std::atomic<int32_t> useFrontLightTrigger{0};
    std::atomic<int16_t> lightThresh{200};
    std::atomic<int16_t> lightMinWidth{20};
    std::atomic<int16_t> lightMaxWidth{80};
    std::atomic<int16_t> lightMinHeight{20};
    std::atomic<int16_t> lightMaxHeight{80};
    // Not the product of the default maximum width and height: the product
    // is formed only when the light parameters are set.
    std::atomic<int16_t> lightMaxArea{5000};

    static constexpr auto relaxed = std::memory_order_relaxed;

    void setFrameCountThresh(int32_t v) { frameCountThresh.store(v, relaxed); }
    void setTwoFramesDisturbThresh(float v) { twoFramesDisturbThresh.store(v, relaxed); }
    void setUseFrontLightTrigger(int32_t v) { useFrontLightTrigger.store(v, relaxed); }

    // Each argument keeps its low 16 bits; the area limit is the low 16 bits
    // of maxWidth * maxHeight (a 32-bit product, computed without overflow).
    void setLightParam(int32_t thresh, int32_t minWidth, int32_t maxWidth, int32_t minHeight,
                       int32_t maxHeight) {
        lightThresh.store(low16(thresh), relaxed);
        lightMinWidth.store(low16(minWidth), relaxed);
        lightMaxWidth.store(low16(maxWidth), relaxed);
        lightMinHeight.store(low16(minHeight), relaxed);
        lightMaxHeight.store(low16(maxHeight), relaxed);
        uint32_t product = static_cast<uint32_t>(maxWidth) * static_cast<uint32_t>(maxHeight);
        lightMaxArea.store(low16(product), relaxed);
    }

    int32_t getFrameCountThresh() const { return frameCountThresh.load(relaxed); }
    float getTwoFramesDisturbThresh() const { return twoFramesDisturbThresh.load(relaxed); }
    int32_t getUseFrontLightTrigger() const { return useFrontLightTrigger.load(relaxed); }
    int16_t getLightThresh() const { return lightThresh.load(relaxed); }
    int16_t getLightMinWidth() const { return lightMinWidth.load(relaxed); }
    int16_t getLightMaxWidth() const { return lightMaxWidth.load(relaxed); }
    int16_t getLightMinHeight() const { return lightMinHeight.load(relaxed); }
    int16_t getLightMaxHeight() const { return lightMaxHeight.load(relaxed); }
    int16_t getLightMaxArea() const { return lightMaxArea.load(relaxed); }
};

}  // namespace tarvocoil

#endif
