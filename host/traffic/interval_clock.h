// interval_clock.h - which reporting interval a frame belongs to.
//
// Files: interval k holds the frames whose stream time t satisfies
// k*I <= t - t0 < (k+1)*I, t0 the first frame's time; its start is
// t0 + k*I. Live streams: intervals are aligned to UTC multiples of I by
// the wall clock (a 60 s interval starts on the minute), so that stations
// report comparable periods; their start and end are given in stream
// seconds too, by the offset between the two clocks at the first frame.
#ifndef TARVOCOIL_HOST_TRAFFIC_INTERVAL_CLOCK_H
#define TARVOCOIL_HOST_TRAFFIC_INTERVAL_CLOCK_H

#include <cstdint>
#include <limits>
#include <string>

namespace tarvotool {

enum class IntervalBasis { StreamTime, WallClock };

class IntervalClock {
public:
    // No interval can be named for this frame (a time that is not finite
    // or beyond the range counted): it goes into the open one.
    static constexpr int64_t kNone = std::numeric_limits<int64_t>::min();

    IntervalClock(double seconds, IntervalBasis basis) : seconds_(seconds), basis_(basis) {}

    // The interval of a frame at stream time `t` and wall time `wall`
    // (UTC seconds since 1970; read only for live streams). The first
    // frame fixes the origin.
    int64_t index(double t, double wall);
    // Its start in stream seconds, and in UTC (live streams only).
    double start(int64_t k) const;
    std::string wallStart(int64_t k) const;  // empty for files

    double seconds() const { return seconds_; }
    bool started() const { return started_; }

private:
    double seconds_;
    IntervalBasis basis_;
    bool started_ = false;
    double t0_ = 0;      // stream time of the first frame
    double offset_ = 0;  // wall - stream time at the first frame
};

// UTC seconds as ISO 8601 ("2026-12-09T20:26:00Z", milliseconds when not
// whole).
std::string IsoUtc(double seconds);

}  // namespace tarvotool

#endif
