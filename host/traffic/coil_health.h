// coil_health.h - whether a coil can be trusted, from its own triggers and
// presence.
//
// Three checks, as a loop detector card makes them, each off at 0:
//   max-presence  present without a break for max_presence seconds (a
//                 parked vehicle, a background that never settled);
//   chatter       at least `chatter` raw triggers (before holdoff) within
//                 the last 60 seconds (flicker, rain, a swaying branch);
//   no-activity   no reported trigger for no_activity seconds (a frozen or
//                 blinded camera on a road with traffic).
// The coil's state is the worst check that holds, in that order, else ok.
// Times are stream seconds; a time earlier than the one a check started
// from (the stream's clock jumped back) makes that check not hold.
#ifndef TARVOCOIL_HOST_TRAFFIC_COIL_HEALTH_H
#define TARVOCOIL_HOST_TRAFFIC_COIL_HEALTH_H

#include <cstddef>
#include <vector>

namespace tarvotool {

// Best first: a larger value is worse.
enum class HealthState { Ok, NoActivity, Chatter, MaxPresence };

const char* HealthStateText(HealthState s);

struct HealthLimits {
    double noActivity = 0;    // seconds, 0 = off
    double maxPresence = 0;   // seconds, 0 = off
    double chatter = 0;       // raw triggers per 60 s, 0 = off
};

class CoilHealth {
public:
    static constexpr double kChatterWindow = 60.0;

    explicit CoilHealth(const HealthLimits& limits = {});

    // Where the no-activity check counts from before the first trigger.
    void start(double t);
    // One processed frame: the coil's raw trigger, whether it was reported,
    // and its presence. Returns the state after this frame.
    HealthState frame(double t, bool rawTrigger, bool reported, bool present);
    // The presence is broken off (a stream loss or a new baseline).
    void presenceLost() { present_ = false; }

    HealthState state() const { return state_; }

private:
    bool chattering(double t) const;

    HealthLimits limits_;
    // The last raw trigger times, a ring as long as the chatter count.
    std::vector<double> triggers_;
    std::size_t next_ = 0, stored_ = 0;
    double lastReported_ = 0;
    bool present_ = false;
    double presentSince_ = 0;
    HealthState state_ = HealthState::Ok;
};

}  // namespace tarvotool

#endif
