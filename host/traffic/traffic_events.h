// traffic_events.h - what the traffic engine reports, as plain values.
//
// Names are views of the engine's copy of the areas file: valid while the
// engine lives. Whoever delivers an event (files, MQTT, webhooks, Python,
// GStreamer) makes its own text from these.
#ifndef TARVOCOIL_HOST_TRAFFIC_TRAFFIC_EVENTS_H
#define TARVOCOIL_HOST_TRAFFIC_TRAFFIC_EVENTS_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "host/traffic/coil_health.h"

namespace tarvotool {

// A trigger the detector returned, after the coil's holdoff.
struct TriggerReport {
    std::size_t area = 0;
    std::string_view name;
    int64_t frame = 0;
    double time = 0;        // the frame's stream time
    double entry = 0;       // the refined entry time (margin crossing 1)
    bool suppressed = false;  // within the holdoff: not reported
};

// A vehicle measured by a pair, emitted when its "to" coil's presence
// ends (without length when that end was not seen: the end of the run, a
// stream loss, a new baseline, or no `length` on the "to" coil).
struct VehicleEvent {
    std::size_t pair = 0;
    std::string_view pairName, from, to;
    int64_t frame = 0;       // the "to" trigger's frame
    double time = 0;         // and its stream time
    double speedKmh = 0;
    double lengthM = NAN;    // NaN: not known
    bool hasLength() const { return std::isfinite(lengthM); }
};

// A coil's health state changed.
struct HealthEvent {
    HealthState state = HealthState::Ok;
    HealthState previous = HealthState::Ok;
    int64_t frame = 0;
    double time = 0;
    std::size_t area = 0;
    std::string_view name;
};

}  // namespace tarvotool

#endif
