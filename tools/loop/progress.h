// progress.h - one line on stderr, redrawn in place: frames, fps and time
// left. Only when stderr is a terminal.
//
// Other text for the terminal clears the line first: events through
// Progress::clear() on the loop's thread, warnings from any thread (the
// delivery threads' among them) through WarnAboveProgress(). Drawing and
// clearing share one lock, so a warning never lands inside the line.
#ifndef TARVOCOIL_TOOLS_LOOP_PROGRESS_H
#define TARVOCOIL_TOOLS_LOOP_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

#include "tools/loop/frame_loop.h"

namespace tarvotool {

// "tarvocoil: warning: MESSAGE" on stderr, after clearing the progress
// line on screen, if any (its next update draws it again). Thread-safe.
void WarnAboveProgress(const std::string& message);

class Progress : public FrameSink {
public:
    // total: frames expected, or -1 when unknown (then no bar); `estimate`
    // marks a total guessed from the container's duration (shown as ~N);
    // `label` goes before the line.
    Progress(bool wanted, int64_t total, bool estimate, std::string label = "");
    ~Progress() override;

    void update(int64_t frames);
    // Clears the line (before other text goes to the terminal); the next
    // update draws it again.
    void clear();
    // Clears the line for good.
    void done();
    bool on() const { return on_; }

    void frame(const ProcessedFrame& f) override { update(f.index + 1); }
    void finish() override { done(); }

    // The line for `frames` done after `elapsed` seconds (without the
    // carriage return and the clearing escape).
    static std::string Line(int64_t frames, int64_t total, bool estimate, double elapsed);

private:
    friend void WarnAboveProgress(const std::string& message);
    using Clock = std::chrono::steady_clock;
    void clearLocked();  // with the terminal lock held
    bool on_;
    bool closed_ = false;
    bool shown_ = false;
    int64_t total_;
    bool estimate_;
    std::string label_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_{};
};

}  // namespace tarvotool

#endif
