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
    ordered_json coils = ordered_json::array();
    for (const CoilStatus& k : c.coils) {
        ordered_json cj;
        cj["name"] = k.name;
        cj["triggers"] = k.triggers;
        cj["present"] = k.present;
        cj["last_trigger"] = k.lastTrigger ? ordered_json(IsoUtcMillis(*k.lastTrigger)) : ordered_json(nullptr);
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
                  "Decoding errors of the camera's stream (counted when a connection ends).",
                  &CameraStatus::decodeErrors);
    CameraCounter(out, cams, "tarvocoil_camera_reconnects_total", "counter",
                  "Returns of the camera's stream after a loss.", &CameraStatus::reconnects);
    {
        Family f(out, "tarvocoil_camera_stream_up", "gauge", "1 while the camera's stream delivers frames.");
        for (const CameraStatus& c : cams) f.sample(CameraLabel(c), c.streamUp ? "1" : "0");
    }
    {
        Family f(out, "tarvocoil_coil_triggers_total", "counter", "Triggers of the coil since its camera started.");
        for (const CameraStatus& c : cams)
            for (const CoilStatus& k : c.coils)
                f.sample(CameraLabel(c) + ",coil=\"" + PrometheusLabel(k.name) + "\"", std::to_string(k.triggers));
    }
    {
        Family f(out, "tarvocoil_coil_present", "gauge",
                 "1 while the detector sees something on the coil (its last frame).");
        for (const CameraStatus& c : cams)
            for (const CoilStatus& k : c.coils)
                f.sample(CameraLabel(c) + ",coil=\"" + PrometheusLabel(k.name) + "\"", k.present ? "1" : "0");
    }
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
