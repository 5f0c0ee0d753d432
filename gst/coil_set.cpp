// coil_set.cpp - building a set of areas with its detector.
#include "gst/coil_set.h"

#include "host/errors.h"

namespace tarvogst {

CoilSet::CoilSet(tarvotool::AreasConfig cfg, std::string source, const EffectiveSettings& settings,
                 uint64_t generation, double statsInterval)
    : sourceName(std::move(source)), config(std::move(cfg)), appliedGeneration(generation), flags(config.areas.size()),
      painter(config.areas.size()) {
    // The file's settings first (as the tool applies them), then the values
    // in force, which include any property set on the element.
    tarvotool::ApplyAreas(detector, config);
    ApplySettings(detector, settings);
    rows.reserve(config.areas.size());
    outlines.reserve(config.areas.size());
    for (std::size_t i = 0; i < config.areas.size(); ++i) {
        rows.push_back(detector.areaRows(static_cast<int32_t>(i)));
        outlines.push_back(OutlineOf(rows.back()));
    }
    // Without stats the rows are never posted; the engine still needs an
    // interval to tally them in.
    postStats = statsInterval > 0;
    trafficOptions.intervalSeconds = postStats ? statsInterval : 3600.0;
    traffic = std::make_unique<tarvotool::TrafficEngine>(config, trafficOptions);
    // The traffic data reads presence and margins from the records.
    detector.setMeasuring(true);
}

tarvotool::AreasConfig ParseInlineAreas(const std::string& text) {
    return tarvotool::ParseAreas(text, "property 'areas'");
}

}  // namespace tarvogst
