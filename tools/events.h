// events.h - the trigger events a run writes, as CSV or JSON Lines.
#ifndef TARVOCOIL_TOOLS_EVENTS_H
#define TARVOCOIL_TOOLS_EVENTS_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "frame_loop.h"

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
// JSON Lines: {"frame":12,"time":0.48,"area":0,"name":"lane 1"} per line.
class EventWriter {
public:
    // An empty path writes to stdout.
    EventWriter(const std::string& path, EventFormat format);
    ~EventWriter();
    EventWriter(const EventWriter&) = delete;
    EventWriter& operator=(const EventWriter&) = delete;

    // Each event reaches the file (or pipe) as it is written, so that an
    // interrupted run keeps every event up to that point.
    void write(const Event& e);
    // Flushes and closes; throws when anything failed to be written.
    // withHeader false: a CSV without events gets no header either (the run
    // failed before it began).
    void finish(bool withHeader = true);

    // Whether the events go to a terminal.
    bool toTerminal() const;

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

// The frame-loop sink writing one event per set flag (never on the
// baseline frame), named after the area.
class EventSink : public FrameSink {
public:
    // beforeWrite (optional) runs before each event, e.g. to clear a
    // progress line on the same terminal.
    EventSink(EventWriter& writer, std::vector<std::string> names, std::function<void()> beforeWrite = {});
    void frame(const ProcessedFrame& f) override;
    // A run that processed no frame beyond the baseline writes nothing.
    void finish() override { writer_.finish(frames_ > 1); }

private:
    EventWriter& writer_;
    int64_t frames_ = 0;
    std::vector<std::string> names_;
    std::function<void()> beforeWrite_;
};

}  // namespace tarvotool

#endif
