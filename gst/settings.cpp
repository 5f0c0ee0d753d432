// settings.cpp - resolving and applying the element's detector settings.
#include "gst/settings.h"

namespace tarvogst {

int32_t& LightValue(tarvotool::LightLimits& limits, LightField field) {
    switch (field) {
        case kLightThreshold: return limits.threshold;
        case kLightMinWidth: return limits.minWidth;
        case kLightMaxWidth: return limits.maxWidth;
        case kLightMinHeight: return limits.minHeight;
        default: return limits.maxHeight;
    }
}

EffectiveSettings Resolve(const SettingOverrides& overrides, const tarvotool::AreasConfig* file) {
    EffectiveSettings s;
    if (file && file->frameCount) s.frameCount = *file->frameCount;
    if (file && file->disturbRatio) s.disturbRatio = *file->disturbRatio;
    if (file && file->frontLight) s.frontLight = *file->frontLight;
    if (file && file->light) {
        s.light = *file->light;
        s.lightGiven = true;
    }
    if (overrides.frameCount) s.frameCount = *overrides.frameCount;
    if (overrides.disturbRatio) s.disturbRatio = *overrides.disturbRatio;
    if (overrides.frontLight) s.frontLight = *overrides.frontLight;
    for (int f = 0; f < kLightFields; ++f)
        if (overrides.light[f]) {
            LightValue(s.light, static_cast<LightField>(f)) = *overrides.light[f];
            s.lightGiven = true;
        }
    return s;
}

void ApplySettings(tarvocoil::Detector& det, const EffectiveSettings& s) {
    det.setFrameCountThresh(s.frameCount);
    det.setTwoFramesDisturbThresh(s.disturbRatio);
    det.useFrontLightTrigger(s.frontLight ? 1 : 0);
    if (s.lightGiven)
        det.setLightParam(s.light.threshold, s.light.minWidth, s.light.maxWidth, s.light.minHeight,
                          s.light.maxHeight);
}

}  // namespace tarvogst
