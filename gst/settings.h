// settings.h - the detector settings the element puts in force.
//
// Three sources, strongest first: a property the host set on the element,
// the "settings" of the areas file (or inline areas), the detector's own
// defaults. A host can thus keep one areas file and tune a single value on
// the command line without the file quietly overriding it at start.
#ifndef TARVOCOIL_GST_SETTINGS_H
#define TARVOCOIL_GST_SETTINGS_H

#include <array>
#include <cstdint>
#include <optional>

#include "host/areas_file.h"
#include "tarvocoil.hpp"

namespace tarvogst {

// The five light limits, in the order TRVSetLightParam takes them.
enum LightField { kLightThreshold, kLightMinWidth, kLightMaxWidth, kLightMinHeight, kLightMaxHeight, kLightFields };

struct SettingOverrides {
    std::optional<int32_t> frameCount;
    std::optional<float> disturbRatio;
    std::optional<bool> frontLight;
    std::array<std::optional<int32_t>, kLightFields> light;
};

struct EffectiveSettings {
    int32_t frameCount = 20;
    float disturbRatio = 0.15f;
    bool frontLight = false;
    tarvotool::LightLimits light;
    // False while neither a property nor the file gave a light limit: the
    // detector then keeps its initial blob area limit, which no call to
    // setLightParam can restore.
    bool lightGiven = false;
};

// `file` may be null (no areas loaded yet).
EffectiveSettings Resolve(const SettingOverrides& overrides, const tarvotool::AreasConfig* file);

void ApplySettings(tarvocoil::Detector& detector, const EffectiveSettings& settings);

int32_t& LightValue(tarvotool::LightLimits& limits, LightField field);

}  // namespace tarvogst

#endif
