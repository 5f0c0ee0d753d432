// events.h - the trigger events a run writes, as CSV or JSON Lines.
#ifndef TARVOCOIL_TOOLS_EVENTS_EVENTS_H
#define TARVOCOIL_TOOLS_EVENTS_EVENTS_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host/event_json.h"
#include "tools/loop/frame_loop.h"

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
// JSON Lines: each event's one JSON text per line, the text the MQTT and
// webhook receivers get: {"event":"trigger","id":1,"wall_time":"...",
// "frame":12,"time":0.48,"area":0,"name":"lane 1"}.
class EventWriter {
public:
    // An empty path writes to stdout.
    EventWriter(const std::string& path, EventFormat format);
    ~EventWriter();
    EventWriter(const EventWriter&) = delete;
    EventWriter& operator=(const EventWriter&) = delete;

    // Each event reaches the file (or pipe) as it is written, so that an
    // interrupted run keeps every event up to that point. CSV keeps to the
    // trigger columns (and skips other events); JSON Lines writes the
    // event's text as it was made.
    void write(const SerializedEvent& e);
    // Flushes and closes; throws when anything failed to be written.
    // withHeader false: a CSV without events gets no header either (the run
    // failed before it began).
    void finish(bool withHeader = true);

    // Whether the events go to a terminal.
    bool toTerminal() const;
    // Events written so far (CSV: triggers; JSON Lines: stream events too).
    int64_t written() const { return written_; }

    static std::string CsvField(const std::string& text);

private:
    static std::string CsvRow(const Event& e);
    void header();
    void put(std::string line);  // one whole line, ending in a newline
    bool terminal_ = false;
    int64_t written_ = 0;

    std::string path_;
    EventFormat format_;
    std::FILE* out_ = nullptr;
    bool own_ = false;
    bool headerDone_ = false;
};

// Hands out each trigger's id and wall-clock time, passes it on to any
// remote receivers and returns it for the events file.
using TriggerStamp = std::function<SerializedEvent(int64_t frame, double time, int area, const std::string& name)>;

// The frame-loop sink writing one event per set flag (never on the
// baseline frame), named after the area.
class EventSink : public FrameSink {
public:
    // beforeWrite (optional) runs before each event, e.g. to clear a
    // progress line on the same terminal. stamp (optional) gives the event
    // its id (the run's EventOutlet); without it the sink counts ids itself.
    EventSink(EventWriter& writer, std::vector<std::string> names, std::function<void()> beforeWrite = {},
              TriggerStamp stamp = {});
    void frame(const ProcessedFrame& f) override;
    // Per area, non-zero where this frame's trigger was held back by the
    // coil's holdoff: not written (read on each frame; null: every trigger
    // is written).
    void setSuppressed(const std::vector<uint8_t>* suppressed) { suppressed_ = suppressed; }
    // A run that processed no frame beyond the baseline writes nothing.
    void finish() override { writer_.finish(frames_ > 1); }

private:
    EventWriter& writer_;
    int64_t frames_ = 0;
    std::vector<std::string> names_;
    std::function<void()> beforeWrite_;
    TriggerStamp stamp_;
    EventStamper ownStamper_;
    const std::vector<uint8_t>* suppressed_ = nullptr;
};

}  // namespace tarvotool

#endif
