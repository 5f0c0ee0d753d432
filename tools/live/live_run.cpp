// live_run.cpp - live input for `run`.
#include "tools/live/live_run.h"

#include <cstdio>

#include "host/errors.h"
#include "tools/loop/progress.h"
#include "tools/media/video_source.h"

namespace tarvotool {

namespace {

std::string Seconds1(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", s);
    return buf;
}

}  // namespace

ReaderConnection::ReaderConnection(VideoReader& reader, double stallSeconds, int64_t* errors)
    : reader_(reader), stall_(stallSeconds), errors_(errors) {}

std::unique_ptr<ReaderConnection> ReaderConnection::Open(const std::string& url, const VideoReaderOptions& options,
                                                         int64_t* errors, std::string& why) {
    try {
        auto r = std::make_unique<VideoReader>(url, options);
        auto c = std::make_unique<ReaderConnection>(*r, options.stallSeconds, errors);
        c->owned_ = std::move(r);
        return c;
    } catch (const ToolError& e) {
        why = e.what();
        return nullptr;
    }
}

ReaderConnection::~ReaderConnection() { countErrors(); }

void ReaderConnection::countErrors() {
    const int64_t now = reader_.decodeErrors();
    if (errors_) *errors_ += now - counted_;
    counted_ = now;
}

bool ReaderConnection::next(SourceFrame& out, std::string& why) {
    VideoFrame f;
    const bool got = reader_.next(f);
    countErrors();
    if (got) {
        ToSourceFrame(f, out);
        return true;
    }
    if (reader_.stalled())
        why = "no frame for " + Seconds1(stall_) + " s";
    else if (!reader_.readError().empty())
        why = reader_.readError();
    else
        why = "end of stream";
    return false;
}

LiveRunListener::LiveRunListener(const std::string& url, EventOutlet& outlet, EventWriter& file,
                                 std::function<void()> beforeWrite)
    : url_(url), outlet_(outlet), file_(file), beforeWrite_(std::move(beforeWrite)) {}

void LiveRunListener::say(const std::string& message) { WarnAboveProgress(message); }

void LiveRunListener::streamLost(std::optional<int64_t> lastIndex, std::optional<double> lastTime,
                                 const std::string& why) {
    if (beforeWrite_) beforeWrite_();
    file_.write(outlet_.streamLost(lastIndex, lastTime, why));
    if (onLost_) onLost_(lastIndex, lastTime);
    say("'" + url_ + "': stream lost after frame " + (lastIndex ? std::to_string(*lastIndex) : std::string("-")) +
        " (" + why + "); reconnecting");
}

void LiveRunListener::streamRestored(int64_t nextIndex, double gapSeconds) {
    if (beforeWrite_) beforeWrite_();
    file_.write(outlet_.streamRestored(nextIndex, gapSeconds));
    say("'" + url_ + "': stream back after " + Seconds1(gapSeconds) + " s; frame " + std::to_string(nextIndex) +
        " is the next");
}

void LiveRunListener::retrying(int attempt, std::chrono::milliseconds delay, const std::string& why) {
    say("'" + url_ + "': reconnection attempt " + std::to_string(attempt) + " failed (" + why + "); next in " +
        Seconds1(delay.count() / 1000.0) + " s");
}

}  // namespace tarvotool
