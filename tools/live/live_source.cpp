// live_source.cpp - reconnecting, baselines and stream events.
#include "tools/live/live_source.h"

#include <algorithm>
#include <thread>

#include "tools/media/video_reader.h"

namespace tarvotool {

using Clock = std::chrono::steady_clock;

bool IsLiveInput(const std::string& input) {
    if (IsVideoDevice(input)) return true;
    const std::size_t colon = input.find("://");
    if (colon == std::string::npos || colon == 0) return false;
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = input[i];
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (i > 0 && ((c >= '0' && c <= '9') ||
                                                                                       c == '+' || c == '-' || c == '.'));
        if (!ok) return false;
    }
    std::string scheme = input.substr(0, colon);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    return scheme != "file";
}

LiveSource::LiveSource(std::unique_ptr<LiveConnection> first, LiveOpener reopen, const LiveOptions& options,
                       LiveListener& listener, const volatile std::sig_atomic_t* stop)
    : conn_(std::move(first)),
      reopen_(std::move(reopen)),
      options_(options),
      listener_(listener),
      stop_(stop),
      delay_(options.retryFirst) {}

bool LiveSource::pause(std::chrono::milliseconds d) {
    const auto until = Clock::now() + d;
    while (Clock::now() < until) {
        if (stopped()) return false;
        std::this_thread::sleep_for(std::min<Clock::duration>(std::chrono::milliseconds(50), until - Clock::now()));
    }
    return !stopped();
}

// Until a frame arrives, every failed attempt counts towards the limit and
// doubles the wait, also one whose connection opened but gave no frame.
bool LiveSource::failedAttempt(const std::string& why) {
    ++failedAttempts_;
    if (options_.maxRetries >= 0 && failedAttempts_ >= options_.maxRetries) {
        endReason_ = "gave up after " + std::to_string(failedAttempts_) + " failed reconnection attempts (" + why + ")";
        gaveUp_ = true;
        return false;
    }
    listener_.retrying(failedAttempts_, delay_, why);
    if (!pause(delay_)) return false;
    delay_ = std::min(options_.retryMax, delay_ * 2);
    return true;
}

bool LiveSource::reconnect() {
    for (;;) {
        if (stopped()) return false;
        std::string why;
        conn_ = reopen_ ? reopen_(why) : nullptr;
        if (conn_) return true;
        if (!failedAttempt(why)) return false;
    }
}

bool LiveSource::next(SourceFrame& out) {
    for (;;) {
        if (stopped() || !conn_) return false;
        std::string why;
        if (conn_->next(out, why)) {
            const auto now = Clock::now();
            const bool fresh = lost_;
            if (lost_) {
                lost_ = false;
                ++reconnections_;
                listener_.streamRestored(handed_, std::chrono::duration<double>(now - lastFrameAt_).count());
            }
            const std::string change = sizes_.change(out);
            const bool resized = !change.empty();
            if (fresh) {
                out.newBaseline = BaselineCause::Reconnect;
                out.baselineNote = resized ? "the stream came back and " + change : std::string("the stream came back");
            } else if (resized) {
                out.newBaseline = BaselineCause::SizeChange;
                out.baselineNote = change;
            }
            lastTime_ = out.time;
            lastFrameAt_ = now;
            failedAttempts_ = 0;
            delay_ = options_.retryFirst;
            ++handed_;
            return true;
        }
        conn_.reset();
        if (stopped()) return false;
        if (handed_ == 0) {  // the first connection never gave a picture
            endReason_ = why;
            return false;
        }
        // A connection that fails again before its first frame is part of
        // the same outage: one loss, one return.
        if (!lost_) {
            lost_ = true;
            listener_.streamLost(handed_ - 1, lastTime_, why);
        } else if (!failedAttempt(why)) {  // opened, but ended again before a frame
            return false;
        }
        if (!options_.reconnect) {
            endReason_ = why;
            return false;
        }
        if (!reconnect()) return false;
    }
}

}  // namespace tarvotool
