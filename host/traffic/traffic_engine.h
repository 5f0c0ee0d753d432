// traffic_engine.h - traffic data from the detector's trigger flags and its
// per-area measurement records: reported triggers (after each coil's
// holdoff), vehicles on coil pairs (speed, length), coil health, and
// per-interval counts and occupancy.
//
// Feed it every processed frame in order, after the detector's process()
// with measuring on. It allocates nothing per frame after construction
// (beyond the rows of an interval that closes) and costs O(areas + pairs)
// per frame.
//
// Per coil and trigger frame k, the entry time is where the margin
// (bgDiffSum / presenceLimit) crossed 1 between frames k-1 and k (see
// margin.h); the exit time likewise on the first absent frame. A pair's
// speed is distance / (entry(to) - entry(from)); its length is corrected
// for the presence threshold from the "to" coil's peak margin (see
// vehicle_length.h).
#ifndef TARVOCOIL_HOST_TRAFFIC_TRAFFIC_ENGINE_H
#define TARVOCOIL_HOST_TRAFFIC_TRAFFIC_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tarvocoil.hpp"
#include "host/areas_file.h"
#include "host/traffic/coil_health.h"
#include "host/traffic/holdoff_filter.h"
#include "host/traffic/interval_clock.h"
#include "host/traffic/interval_row.h"
#include "host/traffic/interval_table.h"
#include "host/traffic/pair_matcher.h"
#include "host/traffic/traffic_events.h"

namespace tarvotool {

struct TrafficOptions {
    double intervalSeconds = 60;                      // finite, > 0
    IntervalBasis basis = IntervalBasis::StreamTime;  // WallClock for live streams
};

// One processed frame as the detector left it.
struct TrafficFrame {
    int64_t index = 0;
    double time = 0;           // stream seconds
    double wallTime = 0;       // UTC seconds since 1970 (read for WallClock only)
    bool baseline = false;     // the detector took a baseline: no presence test ran
    const int32_t* triggers = nullptr;  // one flag per area (nullptr: none)
    // One record per area, or nullptr (then no presence and no margins).
    const tarvocoil::AreaMeasurement* measurements = nullptr;
};

// What one call produced; cleared by the next call.
struct TrafficOutput {
    std::vector<TriggerReport> triggers;  // reported and suppressed, in area order
    std::vector<VehicleEvent> vehicles;
    std::vector<HealthEvent> health;
    std::vector<IntervalRow> rows;        // intervals closed by this call
    std::vector<std::string> warnings;
    void clear();
};

class TrafficEngine {
public:
    // Throws ToolError for an interval that is not a finite positive number.
    TrafficEngine(const AreasConfig& config, const TrafficOptions& options = {});
    // Events hold views of the engine's own names: it stays where it is
    // (hold it by pointer to pass it around).
    TrafficEngine(const TrafficEngine&) = delete;
    TrafficEngine& operator=(const TrafficEngine&) = delete;

    const TrafficOutput& frame(const TrafficFrame& f);
    // The stream was lost: presences end unseen (their vehicles go out
    // without length) and the next frame has no margin to refine from.
    const TrafficOutput& streamLost(int64_t frame, double time);
    // The end of the run: vehicles still over their coil go out without
    // length, waiting "from" triggers become unmatched, and the last
    // partial interval closes.
    const TrafficOutput& finish();

    std::size_t areaCount() const { return areas_.size(); }
    std::size_t pairCount() const { return pairs_.size(); }
    const PairCounts& pairCounts(std::size_t pair) const { return pairs_[pair].matcher.counts(); }
    int64_t reported(std::size_t area) const { return areas_[area].reported; }
    int64_t suppressed(std::size_t area) const { return areas_[area].suppressed; }
    HealthState health(std::size_t area) const { return areas_[area].health.state(); }
    // What the coil gathered so far in the interval still open; null
    // before the first frame and after finish().
    const CoilTally* openTally(std::size_t area) const { return table_.open() ? &table_.tally(area) : nullptr; }

private:
    struct Area {
        std::string name;
        double length = NAN;      // metres, NaN when not given
        HoldoffFilter holdoff;
        CoilHealth health;
        int fromOf = -1, toOf = -1;  // the pair it starts / ends
        bool hadFrame = false;    // prevTime/prevMargin describe the last frame
        double prevTime = 0, prevMargin = NAN;
        bool present = false;
        double peak = NAN;        // highest margin of the current presence
        bool vehicleWaiting = false;  // a matched vehicle waits for this presence to end
        VehicleEvent vehicle;
        double vehicleEntry = 0, vehicleSpeed = 0;  // m/s
        int64_t vehicleInterval = 0;
        int64_t reported = 0, suppressed = 0;
    };
    struct Pair {
        std::string name, from, to;
        std::size_t fromArea = 0, toArea = 0;
        double distance = 0;
        PairMatcher matcher;
    };

    void coilFrame(std::size_t a, const TrafficFrame& f, double margin, bool present, bool trigger);
    void trigger(std::size_t a, const TrafficFrame& f, double entry);
    void presenceEnded(std::size_t a, double exit, bool seen);
    void updateHealth(std::size_t a, const TrafficFrame& f, bool trigger, bool reported, bool present);

    std::vector<Area> areas_;
    std::vector<Pair> pairs_;
    std::vector<HealthState> states_;  // each coil's state, for the table
    IntervalTable table_;
    TrafficOutput out_;
    bool started_ = false;
};

}  // namespace tarvotool

#endif
