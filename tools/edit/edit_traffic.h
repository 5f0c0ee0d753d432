// edit_traffic.h - the traffic data of an editor test run: per coil its
// reported triggers and occupancy, per pair its vehicles and their speeds,
// computed by the traffic engine `run` uses, from the run's own frames.
#ifndef TARVOCOIL_TOOLS_EDIT_EDIT_TRAFFIC_H
#define TARVOCOIL_TOOLS_EDIT_EDIT_TRAFFIC_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/areas_file.h"
#include "host/traffic/traffic_engine.h"
#include "tools/loop/frame_loop.h"

namespace tarvotool {

struct TestTraffic {
    struct Coil {
        std::string name;
        int64_t frames = 0;      // frames tested, baseline frames excluded
        int64_t count = 0;       // reported triggers (after holdoff)
        int64_t suppressed = 0;  // triggers within the coil's holdoff
        std::optional<double> occupancy;  // share of those frames present; none without frames
        std::string health = "ok";        // the worst state during the run
    };
    struct Vehicle {
        std::size_t pairIndex = 0;
        std::string pair;
        int64_t frame = 0;     // the "to" trigger's frame
        double time = 0;       // and its time
        double speedKmh = 0;
        std::optional<double> lengthM;
    };
    struct Pair {
        std::string name, from, to;
        double distance = 0;
        int64_t vehicles = 0, unmatchedFrom = 0, unmatchedTo = 0;
        std::optional<double> meanSpeedKmh;
    };
    std::vector<Coil> coils;
    std::vector<Pair> pairs;
    std::vector<Vehicle> vehicles;
};

// The frame-loop sink that feeds the engine and keeps what it reports.
class TrafficTestSink : public FrameSink {
public:
    TrafficTestSink(const AreasConfig& areas, TestTraffic& out);
    bool wantsMeasurements() const override { return true; }
    void frame(const ProcessedFrame& f) override;
    void finish() override;

private:
    void keep(const TrafficOutput& o);

    const AreasConfig& areas_;
    TestTraffic& out_;
    TrafficEngine engine_;
    std::vector<IntervalRow> rows_;
    bool finished_ = false;
};

// {"coils": [{name, frames, count, suppressed, occupancy, health}],
//  "pairs": [{name, from, to, distance, vehicles, unmatched_from,
//  unmatched_to, mean_speed_kmh}], "vehicles": [{pair, frame, time,
//  speed_kmh, length_m}]}; null where nothing was measured.
nlohmann::json TrafficJson(const TestTraffic& t);

}  // namespace tarvotool

#endif
