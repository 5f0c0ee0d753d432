// events.h - the trigger events a run writes, as CSV or JSON Lines.
#ifndef TARVOCOIL_TOOLS_EVENTS_H
#define TARVOCOIL_TOOLS_EVENTS_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "event_json.h"

namespace tarvotool {

enum class EventFormat { Csv, Jsonl };

struct Event {
    int64_t frame = 0;
    double time = 0.0;
    int area = 0;
    std::string name;
};

// CSV: a header "frame,time,area,name", then one row per event, the time
// with 6 decimals and the name quoted where CSV needs it.
// JSON Lines: one EventToJson object per line, the text the MQTT and
// webhook receivers get: {"event":"trigger","id":1,"wall_time":"...",
// "frame":12,"time":0.48,"area":0,"name":"lane 1"}.
class EventWriter {
public:
    // An empty path writes to stdout.
    EventWriter(const std::string& path, EventFormat format);
    ~EventWriter();
    EventWriter(const EventWriter&) = delete;
    EventWriter& operator=(const EventWriter&) = delete;

    void write(const Event& e);
    // CSV keeps to the trigger columns (and skips stream events); JSON Lines
    // writes the whole object.
    void write(const EventRecord& e);
    // Flushes and closes; throws when anything failed to be written.
    void finish();

    static std::string Format(const Event& e, EventFormat format);
    static std::string CsvField(const std::string& text);

private:
    void header();

    std::string path_;
    EventFormat format_;
    std::FILE* out_ = nullptr;
    bool own_ = false;
    bool headerDone_ = false;
};

}  // namespace tarvotool

#endif
