// frame_loop.h - the one loop every subcommand runs: a frame source, one
// detector, and sinks that receive each processed frame.
//
//   source (video file, synthetic scene, ...) --> Detector --> sinks
//                                                               events, trace, review video,
//                                                               snapshots, progress, ...
//
// A subcommand builds its source and its sinks, adds the sinks to a
// FrameLoop in the order they should see each frame, and runs it:
//
//     VideoSource source(reader, video, start, duration, strict);
//     tarvocoil::Detector det;
//     ApplyAreas(det, areas);
//     FrameLoop loop(det, areas.areas.size());
//     EventSink events(writer, AreaNames(areas));
//     loop.add(events);
//     LoopStats stats = loop.run(source);
//
// The loop owns no file: sinks write their own and finish them in
// finish(), which the loop calls on every sink at the end of the run,
// also when a sink or the source throws or the run is stopped, so that
// what was written stays usable.
//
// New sources and sinks plug in without touching the loop: a live stream
// is a FrameSource whose next() waits for the next picture and returns
// false when the stream ends (or the stop flag is set: pass StopFlag() to
// whatever it blocks in); a message publisher is a FrameSink that sends
// one message per set flag. A sink that needs the numbers behind each
// decision returns true from wantsMeasurements(). A sink or source ends
// the run with an error by throwing ToolError.
//
// Subcommands using it: demo (DemoSource), run (VideoSource, video_source.h)
// and tune (one loop per pass; several detectors side by side through
// SideDetectors). `frame` shares the reader and the review painter but runs
// no detector: it writes one picture.
#ifndef TARVOCOIL_TOOLS_LOOP_FRAME_LOOP_H
#define TARVOCOIL_TOOLS_LOOP_FRAME_LOOP_H

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tarvocoil.hpp"

namespace tarvotool {

// Why a frame takes the detector's baseline.
enum class BaselineCause : uint8_t {
    None,        // it does not
    Start,       // the run's first frame
    Reconnect,   // the first frame after a live stream came back
    SizeChange,  // the source's picture size changed (frames are still scaled to the run's size)
};
// "start", "reconnect", "size-change" ("" for None).
const char* BaselineCauseText(BaselineCause cause);
// "the picture size changed from 1920x1080 to 1280x720"
std::string PictureSizeChange(int fromWidth, int fromHeight, int toWidth, int toHeight);

struct SourceFrame;

// Whether a source's frames change their decoded size: every source (a
// file, a live stream across its reconnections) asks for a new baseline on
// such a frame, since the scaled picture no longer matches the background.
class PictureSizeWatch {
public:
    // The note for the new baseline this frame needs ("the picture size
    // changed from ..."); empty for the first frame and for the same size.
    // The size is the decoded one, or the picture's when the source left
    // it at 0.
    std::string change(const SourceFrame& frame);

private:
    bool seen_ = false;
    int width_ = 0, height_ = 0;
};

// One picture as a source hands it out.
struct SourceFrame {
    tarvocoil::FrameView picture;  // valid until the source's next call
    // When set, `picture` stays valid while this is held, also after the
    // source's next call and on another thread.
    std::shared_ptr<const void> keep;
    double time = 0.0;             // seconds
    int64_t fileIndex = -1;        // index in the source (decode order), -1 unknown
    // The size the source decoded before scaling to `picture`'s; 0: the same.
    int decodedWidth = 0, decodedHeight = 0;
    // Set by the source when this frame must take a new baseline, with a
    // note for the warning ("the picture size changed from ..."). The loop
    // clears both before each call; the run's first frame takes its
    // baseline anyway.
    BaselineCause newBaseline = BaselineCause::None;
    std::string baselineNote;
};

class FrameSource {
public:
    virtual ~FrameSource() = default;
    // The next picture; false at the end of the source (or of its window).
    virtual bool next(SourceFrame& out) = 0;
};

// What a sink learns about one processed frame.
struct ProcessedFrame {
    // Processed-frame index: 0 is the frame that takes the detector's
    // first baseline, as in `run`'s events.
    int64_t index = 0;
    int64_t fileIndex = -1;
    double time = 0.0;
    tarvocoil::FrameView picture;  // valid during the call only
    // The frame took a baseline: the first one, or a new one the source
    // asked for (baselineCause says why).
    bool baseline = false;
    BaselineCause baselineCause = BaselineCause::None;
    // One flag per area (all 0 on a baseline frame).
    const int32_t* flags = nullptr;
    std::size_t areaCount = 0;
    // The detector's record for this frame, one entry per area; null
    // unless a sink asked for measurements.
    const std::vector<tarvocoil::AreaMeasurement>* measurements = nullptr;

    bool triggered(std::size_t area) const { return flags[area] != 0; }
    bool anyTrigger() const;
};

class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Whether this sink reads ProcessedFrame::measurements (turns the
    // detector's measuring on for the run).
    virtual bool wantsMeasurements() const { return false; }
    virtual void frame(const ProcessedFrame& frame) = 0;
    // Ends the sink's output: called once per run, in the order the sinks
    // were added, also after an error or a stop.
    virtual void finish() {}
};

struct LoopStats {
    int64_t processed = 0;  // frames the detector used, the baseline included
    int64_t events = 0;     // flags set, over all areas
    bool stopped = false;   // ended by the stop flag
    double detectorSeconds = 0.0;  // time spent in Detector::process
    double firstTime = 0.0, lastTime = 0.0;  // of the processed frames
    // The time the processed frames cover: the sum of the steps from one
    // to the next, leaving out jumps (backwards, or over a second) where
    // the timestamps were reset or the recording paused.
    double coveredSeconds = 0.0;
};

class FrameLoop {
public:
    // areaCount: the number of areas installed in the detector.
    FrameLoop(tarvocoil::Detector& detector, std::size_t areaCount);

    // Sinks see each frame in the order they were added. Not owned.
    void add(FrameSink& sink);
    // The loop ends before the next frame once *stop is non-zero.
    void setStop(const volatile std::sig_atomic_t* stop) { stop_ = stop; }
    // Called before a frame whose source asks for a new baseline is
    // processed (index: its processed-frame index). It must make the
    // detector's next frame a baseline (ApplyAreas does) and may tell the
    // user. Without it such requests are ignored: the frame is processed
    // as any other.
    using BaselineReset = std::function<void(int64_t index, const SourceFrame& frame)>;
    void setBaselineReset(BaselineReset reset) { reset_ = std::move(reset); }

    // Runs the source to its end. Throws ToolError when the detector
    // refuses a frame (after finishing every sink), and passes on what a
    // source or sink throws (also after finishing every sink).
    LoopStats run(FrameSource& source);

private:
    tarvocoil::Detector& det_;
    std::size_t areaCount_;
    std::vector<FrameSink*> sinks_;
    const volatile std::sig_atomic_t* stop_ = nullptr;
    BaselineReset reset_;
};

// A sink that is a function, for the small ones a subcommand keeps to itself.
class FunctionSink : public FrameSink {
public:
    using Each = std::function<void(const ProcessedFrame&)>;
    explicit FunctionSink(Each each, bool measurements = false)
        : each_(std::move(each)), measurements_(measurements) {}
    bool wantsMeasurements() const override { return measurements_; }
    void frame(const ProcessedFrame& f) override { each_(f); }

private:
    Each each_;
    bool measurements_;
};

// More detectors on the loop's frames: each processes the same picture
// after the loop's own detector, and `each` sees the frame as that detector
// processed it (its own flags; no measurements). Refusals end the run as
// the loop's own do. For comparing configurations in one pass.
class SideDetectors : public FrameSink {
public:
    using Each = std::function<void(std::size_t detector, const ProcessedFrame&)>;
    SideDetectors(std::size_t count, std::size_t areaCount, Each each);
    tarvocoil::Detector& detector(std::size_t k) { return detectors_[k]; }
    std::size_t size() const { return detectors_.size(); }
    void frame(const ProcessedFrame& f) override;

private:
    std::vector<tarvocoil::Detector> detectors_;
    std::size_t areaCount_;
    Each each_;
    std::vector<int32_t> flags_;
};

// Stop requests by SIGINT and SIGTERM: the first sets the flag (and the
// run ends cleanly, writing what it has); a second one ends the process at
// once. StopSignal() is the signal that asked, 0 when none.
void InstallStopHandlers();
// Whether a stop flag is set. The flag may be set by another thread (a
// service stopping one of its cameras) as well as by a signal handler, so
// it is read as an atomic; set it from a thread with RequestStop().
inline bool StopRequested(const volatile std::sig_atomic_t* stop) {
    return stop && __atomic_load_n(stop, __ATOMIC_RELAXED) != 0;
}
inline void RequestStop(volatile std::sig_atomic_t* stop) { __atomic_store_n(stop, 1, __ATOMIC_RELAXED); }
const volatile std::sig_atomic_t* StopFlag();
int StopSignal();
// The exit status of a run the loop finished: 0, or 128 + the signal that
// stopped it (SIGINT's when it is unknown).
int StoppedStatus(const LoopStats& stats);
// "SIGTERM", "SIGINT" or "a signal", for messages.
const char* SignalName(int sig);

}  // namespace tarvotool

#endif
