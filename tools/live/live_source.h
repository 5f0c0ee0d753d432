// live_source.h - a live stream as the frame loop's source, one that
// survives the stream dropping and coming back.
//
// A camera stream ends for many reasons (a reboot, the network, a stall);
// the source then reports the loss, reconnects with exponential backoff and
// reports the return with the gap. The frames of the new connection keep
// the run's frame count, and the first of them asks for a new baseline
// (SourceFrame::newBaseline), since the scene may have changed meanwhile;
// so does a frame whose decoded size differs from the one before, within a
// connection or across one.
#ifndef TARVOCOIL_TOOLS_LIVE_LIVE_SOURCE_H
#define TARVOCOIL_TOOLS_LIVE_LIVE_SOURCE_H

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tools/loop/frame_loop.h"

namespace tarvotool {

// Inputs that are streams rather than files: a URL with a scheme other
// than file: (rtsp://, http://, udp://, srt://, ...) and V4L2 cameras
// (/dev/video*).
bool IsLiveInput(const std::string& input);

struct LiveOptions {
    bool reconnect = true;
    // Failed reconnection attempts in a row after which the run ends (0:
    // the first); -1: no limit.
    int maxRetries = -1;
    std::chrono::milliseconds retryFirst{500};
    std::chrono::milliseconds retryMax{30000};
    // A connection that delivers no frame for this long counts as lost
    // (the reader's read timeout).
    double stallSeconds = 10.0;
};

// What the run hears from the source (on the loop's thread, inside next()).
class LiveListener {
public:
    virtual ~LiveListener() = default;
    // lastIndex/lastTime: the last frame handed out, if any.
    virtual void streamLost(std::optional<int64_t> lastIndex, std::optional<double> lastTime,
                            const std::string& why) = 0;
    // When the first frame after a loss arrives: its run frame index, and
    // the wall-clock seconds since the last frame before the loss.
    virtual void streamRestored(int64_t nextIndex, double gapSeconds) = 0;
    // A connection attempt failed and another follows after `delay`.
    virtual void retrying(int attempt, std::chrono::milliseconds delay, const std::string& why) = 0;
};

// One connection's frames. next() is false at the end of the connection
// and says why ("end of stream", "no frame for 10 s", an error).
class LiveConnection {
public:
    virtual ~LiveConnection() = default;
    virtual bool next(SourceFrame& out, std::string& why) = 0;
};

// Opens a connection, or returns null and says why.
using LiveOpener = std::function<std::unique_ptr<LiveConnection>(std::string& why)>;

class LiveSource : public FrameSource {
    using Clock = std::chrono::steady_clock;

public:
    // `first` is the connection already open (the run checks it before
    // starting). Until its first frame arrives nothing is retried: a
    // mistyped URL or a stream without pictures should fail at once, not
    // look like a camera outage.
    LiveSource(std::unique_ptr<LiveConnection> first, LiveOpener reopen, const LiveOptions& options,
               LiveListener& listener, const volatile std::sig_atomic_t* stop = nullptr);
    bool next(SourceFrame& out) override;

    int64_t handedOut() const { return handed_; }
    int reconnections() const { return reconnections_; }
    // Why the source ended (empty while it runs or when stopped).
    const std::string& endReason() const { return endReason_; }
    // Whether it ended because --max-retries attempts failed.
    bool gaveUp() const { return gaveUp_; }

private:
    bool reconnect();
    // Counts a failed attempt and waits; false when the run should end.
    bool failedAttempt(const std::string& why);
    bool stopped() const { return stop_ && *stop_; }
    // Sleeps in short steps so that a stop request ends the wait.
    bool pause(std::chrono::milliseconds d);

    std::unique_ptr<LiveConnection> conn_;
    LiveOpener reopen_;
    LiveOptions options_;
    LiveListener& listener_;
    const volatile std::sig_atomic_t* stop_;
    int64_t handed_ = 0;
    std::optional<double> lastTime_;
    PictureSizeWatch sizes_;  // across connections too
    Clock::time_point lastFrameAt_{};
    bool lost_ = false;  // between a loss and the next frame
    int failedAttempts_ = 0;  // since the last frame
    std::chrono::milliseconds delay_;
    int reconnections_ = 0;
    std::string endReason_;
    bool gaveUp_ = false;
};

}  // namespace tarvotool

#endif
