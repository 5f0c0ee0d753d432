// coil_set.h - one installed set of areas: its own detector, the areas'
// names and the outlines the element draws.
//
// Replacing the areas while frames flow builds a complete new set beside
// the running one and swaps it in between two frames, so a frame always
// sees one set whole: the detector, the names its flags are reported with
// and the size of its flags array agree. The new detector's first frame is
// its baseline, as after any area replacement.
#ifndef TARVOCOIL_GST_COIL_SET_H
#define TARVOCOIL_GST_COIL_SET_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/areas_file.h"
#include "host/traffic/traffic_engine.h"
#include "gst/drawing.h"
#include "gst/settings.h"
#include "tarvocoil.hpp"

namespace tarvogst {

class CoilSet {
public:
    // Installs the areas with the given settings; throws ToolError when the
    // detector refuses them. `statsInterval`: seconds per stats row, 0 for
    // none (the traffic data still runs for holdoff, vehicles and health).
    CoilSet(tarvotool::AreasConfig config, std::string sourceName, const EffectiveSettings& settings,
            uint64_t settingsGeneration, double statsInterval);

    tarvocoil::Detector detector;
    std::string sourceName;                                 // the file, or the property, for messages
    tarvotool::AreasConfig config;                          // names, and the file's own settings
    std::vector<std::vector<tarvocoil::AreaRow>> rows;      // per area, as the detector covers it
    std::vector<std::vector<Segment>> outlines;             // per area

    // Used by the streaming thread only.
    uint64_t appliedGeneration;  // the property changes the detector has seen
    std::vector<int32_t> flags;
    CoilPainter painter;
    int32_t checkedWidth = 0, checkedHeight = 0;  // frame size the areas were checked against
    // Reported triggers, vehicles, health and stats rows of this set's
    // frames (held by pointer: its events view its own names).
    std::unique_ptr<tarvotool::TrafficEngine> traffic;
    tarvotool::TrafficOptions trafficOptions;
    bool postStats = false;
    bool finished = false;  // traffic.finish() has run: the next frame starts it afresh
};

// Parses the text of the `areas` property; throws ToolError with the
// parser's message, which names the property as its source.
tarvotool::AreasConfig ParseInlineAreas(const std::string& text);

}  // namespace tarvogst

#endif
