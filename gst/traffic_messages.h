// traffic_messages.h - the traffic data the element posts on the bus.
//
//   tarvocoil-vehicle  a vehicle on a coil pair, when its "to" coil's
//                      presence ends: pair, from, to (gchararray), frame
//                      (guint64, the "to" trigger's frame), time (gdouble,
//                      that frame's stream seconds), speed-kmh (gdouble),
//                      length-m (gdouble, only when measured).
//   tarvocoil-health   a coil's health changed: area (gint), name, state,
//                      previous ("ok", "no-activity", "chatter",
//                      "max-presence"), frame (guint64), time (gdouble).
//   tarvocoil-stats    one per coil per interval, when it closes: start,
//                      end (gdouble stream seconds), area (gint), name,
//                      frames, count (gint64), occupancy (gdouble, absent
//                      for an interval without frames), on a pair's "to"
//                      coil vehicles (gint64) and, where measured,
//                      mean-speed-kmh and mean-length-m (gdouble); health
//                      (the worst state in the interval).
#ifndef TARVOCOIL_GST_TRAFFIC_MESSAGES_H
#define TARVOCOIL_GST_TRAFFIC_MESSAGES_H

#include <gst/gst.h>

#include "host/traffic/interval_row.h"
#include "host/traffic/traffic_events.h"

namespace tarvogst {

constexpr const char* kVehicleMessage = "tarvocoil-vehicle";
constexpr const char* kHealthMessage = "tarvocoil-health";
constexpr const char* kStatsMessage = "tarvocoil-stats";

GstStructure* VehicleStructure(const tarvotool::VehicleEvent& v);
GstStructure* HealthStructure(const tarvotool::HealthEvent& h);
GstStructure* StatsStructure(const tarvotool::IntervalRow& r);

}  // namespace tarvogst

#endif
