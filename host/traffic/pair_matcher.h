// pair_matcher.h - matching the triggers of a speed trap's two coils.
//
// Each reported "to" trigger takes the earliest unmatched "from" trigger
// whose entry time lies within max_time before its own: vehicles in one
// lane keep their order, so the oldest waiting one is the one arriving. A
// "from" trigger that waits longer than max_time is unmatched (a vehicle
// that changed lanes, a false trigger); a "to" trigger with nothing
// waiting is unmatched too.
#ifndef TARVOCOIL_HOST_TRAFFIC_PAIR_MATCHER_H
#define TARVOCOIL_HOST_TRAFFIC_PAIR_MATCHER_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarvotool {

// A "from" trigger waiting for its "to".
struct PendingFrom {
    int64_t frame = 0;
    double time = 0;   // the trigger frame's time
    double entry = 0;  // the refined entry time
};

struct PairCounts {
    int64_t matched = 0;
    int64_t unmatchedFrom = 0;
    int64_t unmatchedTo = 0;
};

class PairMatcher {
public:
    // More than any lane holds within max_time; beyond it the oldest is
    // given up as unmatched, so memory stays fixed.
    static constexpr std::size_t kCapacity = 64;

    explicit PairMatcher(double maxTime = 5.0) : maxTime_(maxTime) {}

    void addFrom(const PendingFrom& f);
    // Gives up the "from" triggers older than max_time before `now`.
    void expire(double now);
    // The "from" trigger for a "to" trigger entering at `entry`, removed
    // from the waiting ones; false when there is none.
    bool matchTo(double entry, PendingFrom& out);
    // Everything still waiting is unmatched (the end of a run).
    void giveUpAll();

    const PairCounts& counts() const { return counts_; }
    std::size_t waiting() const { return size_; }

private:
    void removeAt(std::size_t i);

    double maxTime_;
    std::array<PendingFrom, kCapacity> waiting_{};
    std::size_t size_ = 0;
    PairCounts counts_;
};

}  // namespace tarvotool

#endif
