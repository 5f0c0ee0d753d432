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
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include <nlohmann/json.hpp>

#include "host/traffic/interval_row.h"
#include "host/traffic/traffic_events.h"

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

// What each kind of event says beyond the fields every event has. A new
// kind is one more struct here with its `kName` and `addTo`, and one more
// alternative of EventFields; the events file, the receivers and the
// editor take it as they are.

// A coil's flag was set on this frame.
struct TriggerFields {
    static constexpr const char* kName = "trigger";
    int64_t frame = 0;
    double time = 0.0;  // the frame's time in the stream (s)
    int area = -1;      // the area index
    std::string name;   // the area name
    // frame, time, area, name.
    void addTo(JsonLine& j) const;
};

// A live stream stopped giving frames.
struct StreamLostFields {
    static constexpr const char* kName = "stream-lost";
    std::optional<int64_t> frame;  // the last frame seen, where there was one
    std::optional<double> time;    // its time in the stream (s)
    std::string reason;            // what happened
    // frame, time (each where known), reason (unless empty).
    void addTo(JsonLine& j) const;
};

// A live stream gives frames again.
struct StreamRestoredFields {
    static constexpr const char* kName = "stream-restored";
    int64_t frame = 0;  // the next frame
    double gap = 0.0;   // seconds without frames
    // frame, gap.
    void addTo(JsonLine& j) const;
};

// A vehicle measured by a coil pair, when its "to" coil's presence ended.
struct VehicleFields {
    static constexpr const char* kName = "vehicle";
    std::string pair, from, to;  // the pair's and its coils' names
    int64_t frame = 0;           // the "to" trigger's frame
    double time = 0.0;           // and its time in the stream (s)
    double speedKmh = 0.0;
    std::optional<double> lengthM;  // where the coil saw the vehicle leave
    static VehicleFields Of(const VehicleEvent& v);
    // pair, from, to, frame, time, speed_kmh, length_m (only when known);
    // speed and length with 2 decimals.
    void addTo(JsonLine& j) const;
};

// A coil's health state changed ("ok", "no-activity", "chatter",
// "max-presence").
struct HealthFields {
    static constexpr const char* kName = "health";
    std::string state, previous;
    int64_t frame = 0;
    double time = 0.0;
    int area = -1;
    std::string name;
    static HealthFields Of(const HealthEvent& h);
    // state, previous, frame, time, area, name.
    void addTo(JsonLine& j) const;
};

// One coil's traffic data over one interval, as the stats file's row.
struct StatsFields {
    static constexpr const char* kName = "stats";
    IntervalRow row;
    // The row's keys in the stats file's order (empty values as null).
    void addTo(JsonLine& j) const;
};

using EventFields =
    std::variant<TriggerFields, StreamLostFields, StreamRestoredFields, VehicleFields, HealthFields, StatsFields>;

struct EventRecord {
    uint64_t id = 0;                                  // unique within the run, counting from 1
    std::chrono::system_clock::time_point wallTime;   // when the tool saw it
    std::optional<std::string> camera;                // the camera's name, where the run has one
    EventFields fields;                               // what the kind says

    // "trigger", "stream-lost", "stream-restored", "vehicle", "health", "stats".
    const char* kindName() const;
    // The trigger's fields, or null for any other kind.
    const TriggerFields* trigger() const { return std::get_if<TriggerFields>(&fields); }
};

// The object on one line, without a newline, keys in this order: event,
// camera (only when the record has one), id, wall_time, then the kind's
// fields in their order. Stream times carry 6 decimals; names that are not
// valid UTF-8 get U+FFFD. Outputs do not call this: they take the text of a
// SerializedEvent, made once per event.
std::string EventToJson(const EventRecord& e);

// An event together with its JSON text, made once when the event is issued.
// The events file, every receiver and the editor hand on this text rather
// than making their own, so that they carry the same bytes; the text is
// shared, not copied, by every queue it waits in.
class SerializedEvent {
public:
    explicit SerializedEvent(EventRecord record)
        : record_(std::move(record)), json_(std::make_shared<const std::string>(EventToJson(record_))) {}
    const EventRecord& record() const { return record_; }
    uint64_t id() const { return record_.id; }
    const std::string& json() const { return *json_; }
    const std::shared_ptr<const std::string>& sharedJson() const { return json_; }

private:
    EventRecord record_;
    std::shared_ptr<const std::string> json_;
};

// 2026-12-09T03:11:46.123Z: UTC, milliseconds, always 24 characters for
// years 0000-9999.
std::string IsoUtcMillis(std::chrono::system_clock::time_point t);

// Hands out ids and wall-clock stamps for one run. Thread-safe.
class EventStamper {
public:
    // Every event stamped here names this camera (none: no `camera` key).
    explicit EventStamper(std::optional<std::string> camera = std::nullopt) : camera_(std::move(camera)) {}
    EventRecord trigger(int64_t frame, double time, int area, const std::string& name);
    EventRecord streamLost(std::optional<int64_t> lastFrame, std::optional<double> lastTime, const std::string& reason);
    EventRecord streamRestored(int64_t nextFrame, double gapSeconds);
    EventRecord vehicle(const VehicleEvent& v) { return stamp(VehicleFields::Of(v)); }
    EventRecord health(const HealthEvent& h) { return stamp(HealthFields::Of(h)); }
    EventRecord stats(const IntervalRow& row) { return stamp(StatsFields{row}); }
    uint64_t issued() const { return next_.load() - 1; }

private:
    EventRecord stamp(EventFields fields);
    std::optional<std::string> camera_;
    std::atomic<uint64_t> next_{1};
};

}  // namespace tarvotool

#endif
