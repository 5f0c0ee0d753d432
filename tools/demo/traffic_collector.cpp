// traffic_collector.cpp - frame loop to traffic engine.
#include "tools/demo/traffic_collector.h"

namespace tarvotool {

TrafficCollector::TrafficCollector(const AreasConfig& areas) : engine_(std::make_unique<TrafficEngine>(areas)) {}

void TrafficCollector::frame(const ProcessedFrame& f) {
    TrafficFrame t;
    t.index = f.index;
    t.time = f.time;
    t.baseline = f.baseline;
    t.triggers = f.flags;
    // The loop gives one record per area whenever a sink asked for them;
    // anything else would make the engine read past the records.
    if (f.measurements && f.measurements->size() == engine_->areaCount()) t.measurements = f.measurements->data();
    keep(engine_->frame(t));
}

void TrafficCollector::finish() {
    if (finished_) return;
    finished_ = true;
    keep(engine_->finish());
}

void TrafficCollector::keep(const TrafficOutput& out) {
    for (const VehicleEvent& v : out.vehicles)
        vehicles_.push_back(MeasuredVehicle{v.pair, v.frame, v.time, v.speedKmh, v.lengthM});
}

}  // namespace tarvotool
