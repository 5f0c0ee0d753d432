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
#include "tarvocoil.hpp"

namespace tarvocoil {

struct DetectorSettings {
    // The load-time values, as the public Settings give them (lightMaxArea
    // is not the product of the default maximum width and height: the
    // product is formed only when the light parameters are set).
    static constexpr Settings kDefaults{};

    std::atomic<int32_t> frameCountThresh{kDefaults.frameCountThresh};
    std::atomic<float> twoFramesDisturbThresh{kDefaults.twoFramesDisturbThresh};
    std::atomic<int32_t> useFrontLightTrigger{kDefaults.useFrontLightTrigger};
    std::atomic<int16_t> lightThresh{kDefaults.lightThresh};
    std::atomic<int16_t> lightMinWidth{kDefaults.lightMinWidth};
    std::atomic<int16_t> lightMaxWidth{kDefaults.lightMaxWidth};
    std::atomic<int16_t> lightMinHeight{kDefaults.lightMinHeight};
    std::atomic<int16_t> lightMaxHeight{kDefaults.lightMaxHeight};
    std::atomic<int16_t> lightMaxArea{kDefaults.lightMaxArea};

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
