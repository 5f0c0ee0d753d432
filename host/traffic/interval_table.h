// interval_table.h - per-coil counts over the open reporting interval, and
// the rows of the intervals as they close.
//
// Frames are taken in processed order. A time that jumps back counts into
// the open interval (a closed one is never reopened, so a row once written
// stays true); a jump forward closes the open interval and writes each one
// in between with 0 frames, for at most an hour of gap: beyond that one
// warning, and counting goes on from the new time.
#ifndef TARVOCOIL_HOST_TRAFFIC_INTERVAL_TABLE_H
#define TARVOCOIL_HOST_TRAFFIC_INTERVAL_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/traffic/coil_health.h"
#include "host/traffic/interval_clock.h"
#include "host/traffic/interval_row.h"

namespace tarvotool {

// What one coil gathered in the open interval.
struct CoilTally {
    int64_t frames = 0;    // processed frames, baseline frames excluded
    int64_t present = 0;   // of which the coil was present
    int64_t count = 0;     // reported triggers
    int64_t vehicles = 0;  // on a pair's "to" coil
    double speedSum = 0;   // km/h
    int64_t lengths = 0;
    double lengthSum = 0;  // metres
    HealthState worst = HealthState::Ok;
};

class IntervalTable {
public:
    static constexpr double kMaxGapSeconds = 3600.0;

    // `names` and `toCoil` (whether a coil is a pair's "to") per area.
    IntervalTable(IntervalClock clock, std::vector<std::string> names, std::vector<bool> toCoil);

    // Moves to the interval of a frame at stream time `t` (wall time
    // `wall`), appending the rows of the intervals it closes; `health`
    // holds each coil's state, carried into the intervals that open.
    void advance(double t, double wall, const std::vector<HealthState>& health, std::vector<IntervalRow>& rows,
                 std::vector<std::string>& warnings);
    // Closes the open interval (the last, partial one).
    void finish(std::vector<IntervalRow>& rows);

    bool open() const { return open_; }
    int64_t openIndex() const { return index_; }
    CoilTally& tally(std::size_t area) { return tallies_[area]; }
    const CoilTally& tally(std::size_t area) const { return tallies_[area]; }

private:
    IntervalRow row(int64_t k, std::size_t area, const CoilTally& t) const;
    void closeOpen(std::vector<IntervalRow>& rows);
    void reopen(int64_t k, const std::vector<HealthState>& health);

    IntervalClock clock_;
    std::vector<std::string> names_;
    std::vector<bool> toCoil_;
    std::vector<CoilTally> tallies_;
    bool open_ = false;
    int64_t index_ = 0;
};

}  // namespace tarvotool

#endif
