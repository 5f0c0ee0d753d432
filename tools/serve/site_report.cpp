// site_report.cpp - /api/status and /metrics.
#include "tools/serve/site_report.h"

#include <cstdio>

#include "host/event_json.h"

namespace tarvotool {

namespace {

using nlohmann::ordered_json;

std::string Number(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// One metric family: its HELP and TYPE lines, then a sample per line.
class Family {
public:
    Family(std::string& out, const char* name, const char* type, const char* help) : out_(out), name_(name) {
        out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const std::string& labels, const std::string& value) {
        out_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    }

private:
    std::string& out_;
    std::string name_;
};

std::string CameraLabel(const CameraStatus& c) { return "camera=\"" + PrometheusLabel(c.name) + "\""; }

std::string CoilLabels(const CameraStatus& c, const CoilStatus& k) {
    return CameraLabel(c) + ",coil=\"" + PrometheusLabel(k.name) + "\"";
}

// The coils' traffic data: the open interval, health, vehicles and speed.
void CoilTraffic(std::string& out, const std::vector<CameraStatus>& cams) {
    {
        Family f(out, "tarvocoil_coil_interval_triggers", "gauge",
                 "Triggers reported on the coil in the traffic interval still open.");
        for (const CameraStatus& c : cams)
            for (const CoilStatus& k : c.coils) f.sample(CoilLabels(c, k), std::to_string(k.intervalCount));
    }
    {
        Family f(out, "tarvocoil_coil_interval_occupancy_ratio", "gauge",
                 "Share (0 to 1) of the open traffic interval's frames on which the coil was present.");
        for (const CameraStatus& c : cams)
            for (const CoilStatus& k : c.coils)
                if (k.intervalOccupancy) f.sample(CoilLabels(c, k), Number(*k.intervalOccupancy));
    }
    {
        Family f(out, "tarvocoil_coil_health", "gauge",
                 "1 for the coil's current health state (ok, no-activity, chatter, max-presence), 0 for the others.");
        const HealthState states[] = {HealthState::Ok, HealthState::NoActivity, HealthState::Chatter,
                                      HealthState::MaxPresence};
        for (const CameraStatus& c : cams)
            for (const CoilStatus& k : c.coils)
                for (HealthState st : states)
                    f.sample(CoilLabels(c, k) + ",state=\"" + HealthStateText(st) + "\"", k.health == st ? "1" : "0");
    }
    {
        Family f(out, "tarvocoil_coil_vehicles_total", "counter",
                 "Vehicles measured by the pair the coil ends, since its camera started.");
        for (const CameraStatus& c : cams)
            for (const CoilStatus& k : c.coils)
                if (k.vehicles) f.sample(CoilLabels(c, k), std::to_string(*k.vehicles));
    }
    {
        Family f(out, "tarvocoil_coil_speed_kmh", "gauge",
                 "Speed of the last vehicle the pair ending on the coil measured, km/h.");
        for (const CameraStatus& c : cams)
            for (const CoilStatus& k : c.coils)
                if (k.lastSpeedKmh) f.sample(CoilLabels(c, k), Number(*k.lastSpeedKmh));
    }
}

void CameraCounter(std::string& out, const std::vector<CameraStatus>& cams, const char* name, const char* type,
                   const char* help, uint64_t CameraStatus::*field) {
    Family f(out, name, type, help);
    for (const CameraStatus& c : cams) f.sample(CameraLabel(c), std::to_string(c.*field));
}

ordered_json CameraJson(const CameraStatus& c) {
    ordered_json j;
    j["name"] = c.name;
    j["state"] = CameraStateName(c.state);
    j["since"] = IsoUtcMillis(c.since);
    j["message"] = c.message;
    j["running_since"] = c.runningSince ? ordered_json(IsoUtcMillis(*c.runningSince)) : ordered_json(nullptr);
    j["stream_up"] = c.streamUp;
    j["frames"] = c.frames;
    j["frames_dropped"] = c.framesDropped;
    j["decode_errors"] = c.decodeErrors;
    j["reconnects"] = c.reconnects;
    j["fps"] = std::round(c.fps * 100.0) / 100.0;
    j["width"] = c.width;
    j["height"] = c.height;
    j["stats_interval"] = c.statsInterval;
    ordered_json coils = ordered_json::array();
    for (const CoilStatus& k : c.coils) {
        ordered_json cj;
        cj["name"] = k.name;
        cj["triggers"] = k.triggers;
        cj["present"] = k.present;
        cj["last_trigger"] = k.lastTrigger ? ordered_json(IsoUtcMillis(*k.lastTrigger)) : ordered_json(nullptr);
        cj["interval_count"] = k.intervalCount;
        cj["interval_occupancy_percent"] = k.intervalOccupancy
                                               ? ordered_json(std::round(*k.intervalOccupancy * 1000.0) / 10.0)
                                               : ordered_json(nullptr);
        cj["health"] = HealthStateText(k.health);
        cj["vehicles"] = k.vehicles ? ordered_json(*k.vehicles) : ordered_json(nullptr);
        cj["last_speed_kmh"] =
            k.lastSpeedKmh ? ordered_json(std::round(*k.lastSpeedKmh * 10.0) / 10.0) : ordered_json(nullptr);
        coils.push_back(cj);
    }
    j["coils"] = coils;
    return j;
}

}  // namespace

std::string PrometheusLabel(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string MetricsText(const std::vector<CameraStatus>& cams, double uptimeSeconds) {
    std::string out;
    CameraCounter(out, cams, "tarvocoil_camera_frames_total", "counter",
                  "Frames the detector processed since the camera started.", &CameraStatus::frames);
    CameraCounter(out, cams, "tarvocoil_camera_frames_dropped_total", "counter",
                  "Frames the stream delivered that the detector never saw because it fell behind.",
                  &CameraStatus::framesDropped);
    CameraCounter(out, cams, "tarvocoil_camera_decode_errors_total", "counter",
                  "Decoding errors of the camera's stream (counted as they happen).",
                  &CameraStatus::decodeErrors);
    CameraCounter(out, cams, "tarvocoil_camera_reconnects_total", "counter",
                  "Returns of the camera's stream after a loss.", &CameraStatus::reconnects);
    {
        Family f(out, "tarvocoil_camera_stream_up", "gauge", "1 while the camera's stream delivers frames.");
        for (const CameraStatus& c : cams) f.sample(CameraLabel(c), c.streamUp ? "1" : "0");
    }
    {
        Family f(out, "tarvocoil_coil_triggers_total", "counter",
                 "Triggers reported on the coil (after its holdoff) since its camera started.");
        for (const CameraStatus& c : cams)
            for (const CoilStatus& k : c.coils)
                f.sample(CoilLabels(c, k), std::to_string(k.triggers));
    }
    {
        Family f(out, "tarvocoil_coil_present", "gauge",
                 "1 while the detector sees something on the coil (its last frame).");
        for (const CameraStatus& c : cams)
            for (const CoilStatus& k : c.coils)
                f.sample(CoilLabels(c, k), k.present ? "1" : "0");
    }
    CoilTraffic(out, cams);
    Family(out, "tarvocoil_uptime_seconds", "gauge", "Seconds since the service started.")
        .sample("", Number(uptimeSeconds));
    return out;
}

ordered_json StatusJson(const std::vector<CameraStatus>& cams, double uptimeSeconds, const ReloadResult& lastReload) {
    ordered_json j;
    j["uptime"] = std::round(uptimeSeconds * 1000.0) / 1000.0;
    j["reload"] = {{"ok", lastReload.ok}, {"message", lastReload.message}, {"at", IsoUtcMillis(lastReload.at)}};
    ordered_json list = ordered_json::array();
    for (const CameraStatus& c : cams) list.push_back(CameraJson(c));
    j["cameras"] = list;
    return j;
}

}  // namespace tarvotool
