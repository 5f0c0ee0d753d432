// traffic_collector.h - the traffic engine fed from the frame loop, keeping
// every vehicle its coil pairs measured.
//
// A sink like any other: it asks for the detector's measurement records
// (the entry and exit times are refined from them) and hands each processed
// frame's flags and records to a TrafficEngine. The demo scores the vehicles
// against its scene; the accuracy tests do the same on their own clips.
#ifndef TARVOCOIL_TOOLS_DEMO_TRAFFIC_COLLECTOR_H
#define TARVOCOIL_TOOLS_DEMO_TRAFFIC_COLLECTOR_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/areas_file.h"
#include "host/traffic/traffic_engine.h"
#include "tools/loop/frame_loop.h"

namespace tarvotool {

// A vehicle event without the engine's name views, so it outlives the engine.
struct MeasuredVehicle {
    std::size_t pair = 0;
    int64_t frame = 0;      // the "to" trigger's frame
    double time = 0;        // and its stream time
    double speedKmh = 0;
    double lengthM = NAN;   // NaN: not known
    bool hasLength() const { return std::isfinite(lengthM); }
};

class TrafficCollector : public FrameSink {
public:
    explicit TrafficCollector(const AreasConfig& areas);
    bool wantsMeasurements() const override { return true; }
    void frame(const ProcessedFrame& f) override;
    // The end of the run: vehicles still over a coil go out without length.
    void finish() override;

    const std::vector<MeasuredVehicle>& vehicles() const { return vehicles_; }
    const TrafficEngine& engine() const { return *engine_; }

private:
    void keep(const TrafficOutput& out);

    std::unique_ptr<TrafficEngine> engine_;
    std::vector<MeasuredVehicle> vehicles_;
    bool finished_ = false;
};

}  // namespace tarvotool

#endif
