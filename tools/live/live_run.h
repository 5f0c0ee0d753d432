// live_run.h - what `run` adds for live input: connections through the
// video reader, and the stream events and warnings of a live source.
#ifndef TARVOCOIL_TOOLS_LIVE_LIVE_RUN_H
#define TARVOCOIL_TOOLS_LIVE_LIVE_RUN_H

#include <functional>
#include <memory>
#include <string>

#include "tools/events/delivery_options.h"
#include "tools/events/events.h"
#include "tools/live/live_source.h"
#include "tools/media/video_reader.h"

namespace tarvotool {

// One connection: a VideoReader on the URL with the stall timeout.
// Its decoding errors are added to *errors as they happen (after each
// frame read, on the reading thread) and when it closes.
class ReaderConnection : public LiveConnection {
public:
    // A reader the caller opened (and keeps).
    ReaderConnection(VideoReader& reader, double stallSeconds, int64_t* errors);
    // Null (and why) when the stream cannot be opened.
    static std::unique_ptr<ReaderConnection> Open(const std::string& url, const VideoReaderOptions& options,
                                                  int64_t* errors, std::string& why);
    ~ReaderConnection() override;
    bool next(SourceFrame& out, std::string& why) override;

private:
    std::unique_ptr<VideoReader> owned_;
    VideoReader& reader_;
    void countErrors();
    double stall_;
    int64_t* errors_;
    int64_t counted_ = 0;  // of the reader's errors, added to *errors_ so far
};

// Stream events to the events file and every receiver, and warnings on
// stderr (above the progress line).
class LiveRunListener : public LiveListener {
public:
    // beforeWrite: clears a progress line on the terminal the events file
    // goes to (optional).
    LiveRunListener(const std::string& url, EventOutlet& outlet, EventWriter& file,
                    std::function<void()> beforeWrite = {});
    void streamLost(std::optional<int64_t> lastIndex, std::optional<double> lastTime, const std::string& why) override;
    void streamRestored(int64_t nextIndex, double gapSeconds) override;
    void retrying(int attempt, std::chrono::milliseconds delay, const std::string& why) override;
    // Called on each loss after the stream-lost event is written (the
    // traffic data ends the presences it can no longer follow).
    using LostHook = std::function<void(std::optional<int64_t> lastIndex, std::optional<double> lastTime)>;
    void onLost(LostHook hook) { onLost_ = std::move(hook); }

private:
    void say(const std::string& message);
    std::string url_;
    EventOutlet& outlet_;
    EventWriter& file_;
    std::function<void()> beforeWrite_;
    LostHook onLost_;
};

}  // namespace tarvotool

#endif
