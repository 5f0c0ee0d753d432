// event_json.h - one event of a run as the JSON object every output shares.
//
// The events file (JSON Lines), the MQTT messages and the webhook bodies
// carry the same text, so that a site can de-duplicate and order events by
// `id` whichever way they arrived.
#ifndef TARVOCOIL_HOST_EVENT_JSON_H
#define TARVOCOIL_HOST_EVENT_JSON_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tarvotool {

// Seconds as JSON text with at most 6 decimals, as the CSV writes them:
// "8.118811", "0.04", "12"; "null" for what JSON cannot carry. The JSON
// library's own shortest form of the rounded double is sometimes 17 digits
// long (8.118811000000001), so the text is made here.
std::string JsonSeconds(double s);

// One JSON object on one line, keys in the order added. Values are dumped
// by the JSON library (invalid UTF-8 becomes U+FFFD), or given as text.
class JsonLine {
public:
    JsonLine& add(const char* key, const nlohmann::ordered_json& value);
    JsonLine& addText(const char* key, const std::string& jsonText);
    JsonLine& addSeconds(const char* key, double s) { return addText(key, JsonSeconds(s)); }
    // Every member of `object`, in its order.
    JsonLine& addAll(const nlohmann::ordered_json& object);
    std::string str() const { return text_ + "}"; }

private:
    std::string text_ = "{";
};

enum class EventKind { Trigger, StreamLost, StreamRestored };

// "trigger", "stream-lost", "stream-restored".
const char* EventKindName(EventKind kind);

struct EventRecord {
    EventKind kind = EventKind::Trigger;
    uint64_t id = 0;                                  // unique within the run, counting from 1
    std::chrono::system_clock::time_point wallTime;   // when the tool saw it
    std::optional<int64_t> frame;                     // triggers: the frame index
    std::optional<double> time;                       // triggers: the frame's time in the stream (s)
    int area = -1;                                    // triggers: the area index
    std::string name;                                 // triggers: the area name
    std::optional<double> gap;                        // stream-restored: seconds without frames
    std::string reason;                               // stream-lost: what happened
    std::string camera;                               // the camera of a site (serve); empty: none
};

// The object on one line, without a newline, keys in this order:
// event, camera (when set), id, wall_time, then frame, time, area, name (triggers) or
// frame, time, gap, reason (stream events, each where known). Stream times
// carry 6 decimals; names that are not valid UTF-8 get U+FFFD.
std::string EventToJson(const EventRecord& e);

// 2026-12-09T03:11:46.123Z: UTC, milliseconds, always 24 characters for
// years 0000-9999.
std::string IsoUtcMillis(std::chrono::system_clock::time_point t);

// Hands out ids and wall-clock stamps for one run. Thread-safe.
class EventStamper {
public:
    EventRecord trigger(int64_t frame, double time, int area, const std::string& name);
    EventRecord streamLost(std::optional<int64_t> lastFrame, std::optional<double> lastTime, const std::string& reason);
    EventRecord streamRestored(int64_t nextFrame, double gapSeconds);
    uint64_t issued() const { return next_.load() - 1; }

private:
    EventRecord stamp(EventKind kind);
    std::atomic<uint64_t> next_{1};
};

}  // namespace tarvotool

#endif
