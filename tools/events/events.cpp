// events.cpp - CSV and JSON Lines event output.
#include "tools/events/events.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "host/errors.h"
#include "tools/loop/paths.h"

namespace tarvotool {

EventWriter::EventWriter(const std::string& path, EventFormat format) : path_(path), format_(format) {
    if (path.empty()) {
        out_ = stdout;
    } else {
        out_ = std::fopen(path.c_str(), "w");
        if (!out_) throw ToolError("cannot write events file '" + path + "': " + std::strerror(errno));
        own_ = true;
    }
    terminal_ = isatty(fileno(out_));
}

void EventWriter::header() {
    // Written with the first event, or at the end of a run without events,
    // so that a run that fails before its first frame leaves no output.
    if (headerDone_) return;
    headerDone_ = true;
    if (format_ == EventFormat::Csv) std::fputs("frame,time,area,name\n", out_);
}

EventWriter::~EventWriter() {
    if (own_ && out_) std::fclose(out_);
}

std::string EventWriter::CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string q = "\"";
    for (char c : text) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

std::string EventWriter::CsvRow(const Event& e) {
    char time[64];
    std::snprintf(time, sizeof time, "%.6f", e.time);
    return std::to_string(e.frame) + "," + time + "," + std::to_string(e.area) + "," + CsvField(e.name) + "\n";
}

void EventWriter::put(std::string line) {
    // On a terminal the lines are for reading: names must not drive it.
    if (terminal_) line = TerminalText(line.substr(0, line.size() - 1)) + "\n";
    if (std::fwrite(line.data(), 1, line.size(), out_) != line.size() || std::fflush(out_) != 0)
        throw ToolError((own_ ? "cannot write events file '" + path_ + "': " : std::string("cannot write events to stdout: ")) +
                        std::strerror(errno));
    ++written_;
}

bool EventWriter::toTerminal() const { return out_ && terminal_; }

void EventWriter::write(const SerializedEvent& e) {
    if (format_ == EventFormat::Csv) {
        if (const TriggerFields* t = e.record().trigger()) {
            header();
            put(CsvRow(Event{t->frame, t->time, t->area, t->name}));
        }
        return;
    }
    header();
    put(e.json() + "\n");
}

EventSink::EventSink(EventWriter& writer, std::vector<std::string> names, std::function<void()> beforeWrite,
                     TriggerStamp stamp)
    : writer_(writer), names_(std::move(names)), beforeWrite_(std::move(beforeWrite)), stamp_(std::move(stamp)) {}

void EventSink::frame(const ProcessedFrame& f) {
    ++frames_;
    if (f.baseline) return;
    for (std::size_t a = 0; a < f.areaCount; ++a)
        if (f.flags[a] && !(suppressed_ && a < suppressed_->size() && (*suppressed_)[a])) {
            if (beforeWrite_) beforeWrite_();
            const std::string& name = a < names_.size() ? names_[a] : std::string();
            writer_.write(stamp_ ? stamp_(f.index, f.time, static_cast<int>(a), name)
                                 : SerializedEvent(ownStamper_.trigger(f.index, f.time, static_cast<int>(a), name)));
        }
}

void EventWriter::finish(bool withHeader) {
    if (!out_) return;
    if (withHeader) header();
    if (own_) return CloseOutput(out_, path_, "events file");
    const bool failed = std::fflush(out_) != 0 || std::ferror(out_);
    const int err = errno;
    out_ = nullptr;
    if (failed) throw ToolError(std::string("cannot write events to stdout: ") + std::strerror(err));
}

}  // namespace tarvotool
