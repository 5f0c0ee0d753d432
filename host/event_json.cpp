// event_json.cpp - the shared JSON text of an event.
#include "host/event_json.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <type_traits>

#include <nlohmann/json.hpp>

namespace tarvotool {

const char* EventRecord::kindName() const {
    return std::visit([](const auto& f) { return std::decay_t<decltype(f)>::kName; }, fields);
}

std::string IsoUtcMillis(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    // Floor division, so that instants before 1970 still get a millisecond
    // field in 0..999.
    const int64_t ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    int64_t secs = ms / 1000, rem = ms % 1000;
    if (rem < 0) {
        rem += 1000;
        secs -= 1;
    }
    const std::time_t tt = static_cast<std::time_t>(secs);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(rem));
    return buf;
}

std::string JsonSeconds(double s) {
    if (!std::isfinite(s)) return "null";
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.6f", s);
    std::string text = buf;
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    if (text == "-0") text = "0";
    return text;
}

JsonLine& JsonLine::addText(const char* key, const std::string& jsonText) {
    if (text_.size() > 1) text_ += ",";
    text_ += nlohmann::json(key).dump() + ":" + jsonText;
    return *this;
}

JsonLine& JsonLine::add(const char* key, const nlohmann::ordered_json& value) {
    return addText(key, value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

JsonLine& JsonLine::addAll(const nlohmann::ordered_json& object) {
    for (auto it = object.begin(); it != object.end(); ++it) add(it.key().c_str(), it.value());
    return *this;
}

void TriggerFields::addTo(JsonLine& j) const {
    j.add("frame", frame).addSeconds("time", time).add("area", area).add("name", name);
}

void StreamLostFields::addTo(JsonLine& j) const {
    if (frame) j.add("frame", *frame);
    if (time) j.addSeconds("time", *time);
    if (!reason.empty()) j.add("reason", reason);
}

void StreamRestoredFields::addTo(JsonLine& j) const { j.add("frame", frame).addSeconds("gap", gap); }

namespace {

std::string Fixed2(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

}  // namespace

VehicleFields VehicleFields::Of(const VehicleEvent& v) {
    VehicleFields f;
    f.pair = std::string(v.pairName);
    f.from = std::string(v.from);
    f.to = std::string(v.to);
    f.frame = v.frame;
    f.time = v.time;
    f.speedKmh = v.speedKmh;
    if (v.hasLength()) f.lengthM = v.lengthM;
    return f;
}

void VehicleFields::addTo(JsonLine& j) const {
    j.add("pair", pair).add("from", from).add("to", to).add("frame", frame).addSeconds("time", time);
    j.addText("speed_kmh", std::isfinite(speedKmh) ? Fixed2(speedKmh) : "null");
    if (lengthM && std::isfinite(*lengthM)) j.addText("length_m", Fixed2(*lengthM));
}

HealthFields HealthFields::Of(const HealthEvent& h) {
    return HealthFields{HealthStateText(h.state), HealthStateText(h.previous), h.frame, h.time,
                        static_cast<int>(h.area), std::string(h.name)};
}

void HealthFields::addTo(JsonLine& j) const {
    j.add("state", state).add("previous", previous).add("frame", frame).addSeconds("time", time);
    j.add("area", area).add("name", name);
}

void StatsFields::addTo(JsonLine& j) const {
    // The stats file's own text of the row, so both carry the same numbers.
    j.addAll(nlohmann::ordered_json::parse(IntervalJsonl(row)));
}

std::string EventToJson(const EventRecord& e) {
    JsonLine j;
    j.add("event", e.kindName());
    if (e.camera) j.add("camera", *e.camera);
    j.add("id", e.id).add("wall_time", IsoUtcMillis(e.wallTime));
    std::visit([&](const auto& f) { f.addTo(j); }, e.fields);
    return j.str();
}

EventRecord EventStamper::stamp(EventFields fields) {
    EventRecord e;
    e.id = next_.fetch_add(1);
    e.wallTime = std::chrono::system_clock::now();
    e.camera = camera_;
    e.fields = std::move(fields);
    return e;
}

EventRecord EventStamper::trigger(int64_t frame, double time, int area, const std::string& name) {
    return stamp(TriggerFields{frame, time, area, name});
}

EventRecord EventStamper::streamLost(std::optional<int64_t> lastFrame, std::optional<double> lastTime,
                                     const std::string& reason) {
    return stamp(StreamLostFields{lastFrame, lastTime, reason});
}

EventRecord EventStamper::streamRestored(int64_t nextFrame, double gapSeconds) {
    return stamp(StreamRestoredFields{nextFrame, gapSeconds});
}

}  // namespace tarvotool
