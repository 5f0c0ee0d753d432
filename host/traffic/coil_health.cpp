// coil_health.cpp - the coil checks, one frame at a time.
#include "host/traffic/coil_health.h"

#include <cmath>

namespace tarvotool {

const char* HealthStateText(HealthState s) {
    switch (s) {
        case HealthState::NoActivity: return "no-activity";
        case HealthState::Chatter: return "chatter";
        case HealthState::MaxPresence: return "max-presence";
        default: return "ok";
    }
}

CoilHealth::CoilHealth(const HealthLimits& limits) : limits_(limits) {
    // The ring holds exactly as many times as the check needs to count.
    if (limits_.chatter > 0) triggers_.assign(static_cast<std::size_t>(std::ceil(limits_.chatter)), 0.0);
}

void CoilHealth::start(double t) { lastReported_ = t; }

bool CoilHealth::chattering(double t) const {
    // The ring holds the last ceil(chatter) raw triggers, oldest at next_:
    // they all lie within the window exactly when the oldest does.
    if (triggers_.empty() || stored_ < triggers_.size()) return false;
    const double since = t - triggers_[next_];
    return since >= 0 && since < kChatterWindow;
}

HealthState CoilHealth::frame(double t, bool rawTrigger, bool reported, bool present) {
    if (rawTrigger && !triggers_.empty()) {
        triggers_[next_] = t;
        next_ = (next_ + 1) % triggers_.size();
        if (stored_ < triggers_.size()) ++stored_;
    }
    if (reported) lastReported_ = t;
    if (present && !present_) presentSince_ = t;
    present_ = present;

    const double quiet = t - lastReported_;
    const double held = t - presentSince_;
    if (limits_.maxPresence > 0 && present_ && held >= limits_.maxPresence)
        state_ = HealthState::MaxPresence;
    else if (chattering(t))
        state_ = HealthState::Chatter;
    else if (limits_.noActivity > 0 && quiet >= limits_.noActivity)
        state_ = HealthState::NoActivity;
    else
        state_ = HealthState::Ok;
    return state_;
}

}  // namespace tarvotool
