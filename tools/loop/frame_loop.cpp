// frame_loop.cpp - the frame loop and the stop signals.
#include "tools/loop/frame_loop.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <exception>

#include "host/errors.h"

namespace tarvotool {

bool ProcessedFrame::anyTrigger() const {
    return flags && std::any_of(flags, flags + areaCount, [](int32_t f) { return f != 0; });
}

namespace {

// One picture through one detector, described for the sinks. `flags` holds
// one entry per area (at least one). `cause`: why the frame takes a
// baseline, None when it does not.
ProcessedFrame Process(tarvocoil::Detector& det, const SourceFrame& in, int64_t index, BaselineCause cause,
                       std::vector<int32_t>& flags, std::size_t areaCount) {
    std::fill(flags.begin(), flags.end(), 0);
    if (!det.process(in.picture, flags.data()))
        throw ToolError("the detector refused frame " + std::to_string(index) + " (" +
                        std::to_string(in.picture.width) + "x" + std::to_string(in.picture.height) + ")");
    ProcessedFrame f;
    f.index = index;
    f.fileIndex = in.fileIndex;
    f.time = in.time;
    f.picture = in.picture;
    f.baselineCause = cause;
    f.baseline = cause != BaselineCause::None;
    if (f.baseline) std::fill(flags.begin(), flags.end(), 0);
    f.flags = flags.data();
    f.areaCount = areaCount;
    return f;
}

}  // namespace

const char* BaselineCauseText(BaselineCause cause) {
    switch (cause) {
        case BaselineCause::Start: return "start";
        case BaselineCause::Reconnect: return "reconnect";
        case BaselineCause::SizeChange: return "size-change";
        default: return "";
    }
}

std::string PictureSizeChange(int fromWidth, int fromHeight, int toWidth, int toHeight) {
    return "the picture size changed from " + std::to_string(fromWidth) + "x" + std::to_string(fromHeight) + " to " +
           std::to_string(toWidth) + "x" + std::to_string(toHeight);
}

std::string PictureSizeWatch::change(const SourceFrame& frame) {
    const int w = frame.decodedWidth > 0 ? frame.decodedWidth : frame.picture.width;
    const int h = frame.decodedHeight > 0 ? frame.decodedHeight : frame.picture.height;
    const bool changed = seen_ && (w != width_ || h != height_);
    const std::string note = changed ? PictureSizeChange(width_, height_, w, h) : std::string();
    seen_ = true;
    width_ = w;
    height_ = h;
    return note;
}

FrameLoop::FrameLoop(tarvocoil::Detector& detector, std::size_t areaCount)
    : det_(detector), areaCount_(areaCount) {}

void FrameLoop::add(FrameSink& sink) { sinks_.push_back(&sink); }

LoopStats FrameLoop::run(FrameSource& source) {
    const bool measure = std::any_of(sinks_.begin(), sinks_.end(), [](FrameSink* s) { return s->wantsMeasurements(); });
    det_.setMeasuring(measure);
    std::vector<int32_t> flags(std::max<std::size_t>(areaCount_, 1));
    LoopStats stats;
    auto finishAll = [&] {
        // Every sink gets its chance to close its file; the first failure
        // is reported after all were tried.
        std::exception_ptr first;
        for (FrameSink* s : sinks_) {
            try {
                s->finish();
            } catch (...) {
                if (!first) first = std::current_exception();
            }
        }
        if (first) std::rethrow_exception(first);
    };
    try {
        SourceFrame in;
        for (;;) {
            in.newBaseline = BaselineCause::None;
            in.baselineNote.clear();
            if ((stop_ && *stop_) || !source.next(in)) break;
            BaselineCause cause = BaselineCause::None;
            if (stats.processed == 0) {
                cause = BaselineCause::Start;
            } else if (in.newBaseline != BaselineCause::None && reset_) {
                reset_(stats.processed, in);
                cause = in.newBaseline;
            }
            const auto t0 = std::chrono::steady_clock::now();
            ProcessedFrame f = Process(det_, in, stats.processed, cause, flags, areaCount_);
            stats.detectorSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (measure) f.measurements = &det_.measurements();
            if (stats.processed == 0) {
                stats.firstTime = in.time;
            } else {
                const double step = in.time - stats.lastTime;
                if (step > 0.0 && step <= 1.0) stats.coveredSeconds += step;
            }
            stats.lastTime = in.time;
            ++stats.processed;
            for (std::size_t a = 0; a < areaCount_; ++a) stats.events += flags[a] != 0;
            for (FrameSink* s : sinks_) s->frame(f);
        }
    } catch (...) {
        try {
            finishAll();
        } catch (...) {
        }
        throw;
    }
    stats.stopped = stop_ && *stop_;
    finishAll();
    return stats;
}

SideDetectors::SideDetectors(std::size_t count, std::size_t areaCount, Each each)
    : detectors_(count), areaCount_(areaCount), each_(std::move(each)), flags_(std::max<std::size_t>(areaCount, 1)) {}

void SideDetectors::frame(const ProcessedFrame& f) {
    SourceFrame in;
    in.picture = f.picture;
    in.time = f.time;
    in.fileIndex = f.fileIndex;
    // Side detectors take their first baseline with the loop's; they are
    // never reset.
    const BaselineCause cause = f.index == 0 ? BaselineCause::Start : BaselineCause::None;
    for (std::size_t k = 0; k < detectors_.size(); ++k)
        each_(k, Process(detectors_[k], in, f.index, cause, flags_, areaCount_));
}

namespace {

volatile std::sig_atomic_t gStop = 0;

extern "C" void OnStopSignal(int sig) {
    gStop = sig;
    // A second signal takes the default action: the process ends at once.
    signal(sig, SIG_DFL);
    signal(sig == SIGINT ? SIGTERM : SIGINT, SIG_DFL);
}

}  // namespace

void InstallStopHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocking read returns and sees the flag
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

const volatile std::sig_atomic_t* StopFlag() { return &gStop; }
int StopSignal() { return static_cast<int>(gStop); }

int StoppedStatus(const LoopStats& stats) {
    if (!stats.stopped) return 0;
    const int sig = StopSignal();
    return 128 + (sig > 0 ? sig : 2);
}

const char* SignalName(int sig) { return sig == 15 ? "SIGTERM" : sig == 2 ? "SIGINT" : "a signal"; }

}  // namespace tarvotool
