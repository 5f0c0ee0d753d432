// traffic_messages.cpp - structures of the vehicle, health and stats messages.
#include "gst/traffic_messages.h"

#include <string>

namespace tarvogst {

GstStructure* VehicleStructure(const tarvotool::VehicleEvent& v) {
    const std::string pair(v.pairName), from(v.from), to(v.to);
    GstStructure* s = gst_structure_new(kVehicleMessage, "pair", G_TYPE_STRING, pair.c_str(), "from", G_TYPE_STRING,
                                        from.c_str(), "to", G_TYPE_STRING, to.c_str(), "frame", G_TYPE_UINT64,
                                        static_cast<guint64>(v.frame), "time", G_TYPE_DOUBLE, v.time, "speed-kmh",
                                        G_TYPE_DOUBLE, v.speedKmh, nullptr);
    if (v.hasLength()) gst_structure_set(s, "length-m", G_TYPE_DOUBLE, v.lengthM, nullptr);
    return s;
}

GstStructure* HealthStructure(const tarvotool::HealthEvent& h) {
    const std::string name(h.name);
    return gst_structure_new(kHealthMessage, "area", G_TYPE_INT, static_cast<gint>(h.area), "name", G_TYPE_STRING,
                             name.c_str(), "state", G_TYPE_STRING, tarvotool::HealthStateText(h.state), "previous",
                             G_TYPE_STRING, tarvotool::HealthStateText(h.previous), "frame", G_TYPE_UINT64,
                             static_cast<guint64>(h.frame), "time", G_TYPE_DOUBLE, h.time, nullptr);
}

GstStructure* StatsStructure(const tarvotool::IntervalRow& r) {
    GstStructure* s = gst_structure_new(kStatsMessage, "start", G_TYPE_DOUBLE, r.start, "end", G_TYPE_DOUBLE, r.end,
                                        "area", G_TYPE_INT, static_cast<gint>(r.area), "name", G_TYPE_STRING,
                                        r.name.c_str(), "frames", G_TYPE_INT64, static_cast<gint64>(r.frames),
                                        "count", G_TYPE_INT64, static_cast<gint64>(r.count), nullptr);
    if (r.occupancy) gst_structure_set(s, "occupancy", G_TYPE_DOUBLE, *r.occupancy, nullptr);
    if (r.vehicles) gst_structure_set(s, "vehicles", G_TYPE_INT64, static_cast<gint64>(*r.vehicles), nullptr);
    if (r.meanSpeedKmh) gst_structure_set(s, "mean-speed-kmh", G_TYPE_DOUBLE, *r.meanSpeedKmh, nullptr);
    if (r.meanLengthM) gst_structure_set(s, "mean-length-m", G_TYPE_DOUBLE, *r.meanLengthM, nullptr);
    gst_structure_set(s, "health", G_TYPE_STRING, r.health.c_str(), nullptr);
    return s;
}

}  // namespace tarvogst
