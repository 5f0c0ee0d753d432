// progress.cpp - the progress line.
#include "tools/loop/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <utility>

#include "host/errors.h"

namespace tarvotool {

namespace {

// One terminal: the lock of everything that writes to stderr around the
// progress line, and the line now on screen.
std::mutex gTerminal;
Progress* gShown = nullptr;

}  // namespace

void WarnAboveProgress(const std::string& message) {
    std::lock_guard<std::mutex> lock(gTerminal);
    if (gShown) gShown->clearLocked();
    std::fprintf(stderr, "tarvocoil: warning: %s\n", TerminalText(message).c_str());
    std::fflush(stderr);
}

Progress::Progress(bool wanted, int64_t total, bool estimate, std::string label)
    : on_(wanted && isatty(STDERR_FILENO)), total_(total), estimate_(estimate), label_(std::move(label)) {}

Progress::~Progress() { done(); }

std::string Progress::Line(int64_t frames, int64_t total, bool estimate, double elapsed) {
    const double fps = elapsed > 0 ? frames / elapsed : 0.0;
    char line[160];
    if (total > 0 && frames <= total) {
        const double frac = std::min(1.0, static_cast<double>(frames) / total);
        char bar[31];
        const int fill = static_cast<int>(frac * 30);
        for (int i = 0; i < 30; ++i) bar[i] = i < fill ? '#' : '.';
        bar[30] = 0;
        const long eta = fps > 0 ? std::lround(std::max<double>(0, total - frames) / fps) : 0;
        std::snprintf(line, sizeof line, "[%s] %lld/%s%lld frames  %.1f fps  ETA %s%ld:%02ld", bar,
                      static_cast<long long>(frames), estimate ? "~" : "", static_cast<long long>(total), fps,
                      estimate ? "~" : "", eta / 60, eta % 60);
    } else if (total < 0) {
        // No length at all (a live stream): how long the run has been up.
        const long up = std::lround(elapsed);
        std::snprintf(line, sizeof line, "%lld frames  %.1f fps  up %ld:%02ld:%02ld", static_cast<long long>(frames),
                      fps, up / 3600, up / 60 % 60, up % 60);
    } else {
        // The guess proved short: no bar rather than a wrong one.
        std::snprintf(line, sizeof line, "%lld frames  %.1f fps", static_cast<long long>(frames), fps);
    }
    return line;
}

void Progress::update(int64_t frames) {
    if (!on_) return;
    std::lock_guard<std::mutex> lock(gTerminal);
    if (closed_) return;
    const auto now = Clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    shown_ = true;
    const std::string line = Line(frames, total_, estimate_, std::chrono::duration<double>(now - start_).count());
    std::fprintf(stderr, "\r%s%s\033[K", TerminalText(label_).c_str(), line.c_str());
    std::fflush(stderr);
    gShown = this;
}

void Progress::clearLocked() {
    if (gShown == this) gShown = nullptr;
    if (!on_ || closed_ || !shown_) return;
    shown_ = false;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

void Progress::clear() {
    if (!on_) return;
    std::lock_guard<std::mutex> lock(gTerminal);
    clearLocked();
}

void Progress::done() {
    if (!on_) return;
    std::lock_guard<std::mutex> lock(gTerminal);
    clearLocked();
    closed_ = true;
}

}  // namespace tarvotool
