// run_command.cpp - `run` and `frame`: video files and live streams through
// one frame loop.
#include "tools/run/run_command.h"

#include "tools/live/live_run.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "host/areas_file.h"
#include "host/errors.h"
#include "tools/media/detector_rows.h"
#include "tools/loop/frame_loop.h"
#include "tools/loop/paths.h"
#include "tools/media/picture_file.h"
#include "tools/evidence/plot.h"
#include "tools/loop/progress.h"
#include "tools/media/review.h"
#include "tools/evidence/trace.h"
#include "tools/media/video_reader.h"
#include "tools/media/video_source.h"
#include "tarvocoil.hpp"
#include "tools/evidence/tune.h"

namespace tarvotool {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A sink made on the first frame, when the picture size is known for sure.
class DeferredSink : public FrameSink {
public:
    using Make = std::function<std::unique_ptr<FrameSink>(const ProcessedFrame&)>;
    DeferredSink(Make make, bool measurements) : make_(std::move(make)), measurements_(measurements) {}
    bool wantsMeasurements() const override { return measurements_; }
    void frame(const ProcessedFrame& f) override {
        if (!sink_) sink_ = make_(f);
        sink_->frame(f);
    }
    void finish() override {
        if (sink_) sink_->finish();
    }

private:
    Make make_;
    bool measurements_;
    std::unique_ptr<FrameSink> sink_;
};

// What the summary line of `run` reports.
struct RunCounts {
    int64_t read = 0, processed = 0, decodeErrors = 0, lost = 0, events = 0;
    double covered = 0.0, elapsed = 0.0;
    bool stopped = false;
};

void PrintRunSummary(const RunCounts& c) {
    char line[512];
    std::snprintf(line, sizeof line,
                  "tarvocoil: %lld frames read, %lld processed, %lld decoding errors, %lld frames lost, %lld events, "
                  "%.3f s of video in %.2f s%s%s\n",
                  static_cast<long long>(c.read), static_cast<long long>(c.processed),
                  static_cast<long long>(c.decodeErrors), static_cast<long long>(c.lost),
                  static_cast<long long>(c.events), c.covered, c.elapsed, c.stopped ? ", stopped by " : "",
                  c.stopped ? SignalName(StopSignal()) : "");
    std::fputs(line, stderr);
}

// A signal that came while the input was opening, or before it gave a
// frame, ends the run as it would have a moment later: with the summary
// (of nothing) and the status of a stopped run.
int StoppedBeforeInput(const RunCommand& cmd, EventOutlet& outlet, const VideoReader* reader, bool live,
                       Clock::time_point t0) {
    outlet.finish(cmd.quiet);
    RunCounts c;
    c.stopped = true;
    c.elapsed = Seconds(Clock::now() - t0);
    if (reader) {
        c.read = reader->decodedFrames();
        c.decodeErrors = reader->decodeErrors();
    }
    if (!cmd.quiet) PrintRunSummary(c);
    LoopStats stats;
    stats.stopped = true;
    return live ? 0 : StoppedStatus(stats);
}

// The reader of `run`'s input; null when a signal interrupted the opening.
std::unique_ptr<VideoReader> OpenRunInput(const std::string& video, const VideoReaderOptions& options) {
    try {
        return std::make_unique<VideoReader>(video, options);
    } catch (const ToolError&) {
        if (StopSignal() != 0) return nullptr;
        throw;
    }
}

}  // namespace

int RunVideo(const RunCommand& cmd) {
    const auto t0 = Clock::now();
    // Before anything is opened: no output may overwrite an input or another output.
    CheckOutputsDistinct({{cmd.video, "the video"}, {cmd.areas, "the areas file"}},
                         {{cmd.events, "--events"}, {cmd.review, "--review"}, {cmd.trace, "--trace"},
                          {cmd.snapshots, "--snapshots"}, {cmd.plot, "--plot"}});
    AreasConfig areas = LoadAreasFile(cmd.areas);
    for (const std::string& w : areas.warnings) Warn(cmd.areas + ": " + w);
    // Receiver URLs are checked before the video is opened; their threads
    // start now and wait for events.
    // Their warnings come from their own threads, above the progress line.
    EventOutlet outlet(cmd.delivery, WarnAboveProgress);
    const bool live = IsLiveInput(cmd.video);
    if (live && (cmd.start > 0 || cmd.duration))
        throw ToolError("--start and --duration need a file; '" + cmd.video + "' is a live stream");
    if (!cmd.plot.empty()) CheckPlotPath(cmd.plot, areas.areas.size());
    tarvocoil::Detector det;
    ApplyAreas(det, areas);
    const auto rows = AreaRowsOf(det);
    VideoReaderOptions ro;
    ro.stream = cmd.stream;
    ro.stop = StopFlag();
    if (live) ro.stallSeconds = cmd.live.stallSeconds;
    // Without pictures to write, only the detector looks at the frames:
    // the reader converts the rows it reads and leaves the rest.
    if (cmd.review.empty() && cmd.snapshots.empty())
        ro.rows = [&rows](int, int height) { return RowsTheDetectorReads(rows, height); };
    const std::unique_ptr<VideoReader> input = OpenRunInput(cmd.video, ro);
    if (!input) return StoppedBeforeInput(cmd, outlet, nullptr, live, t0);
    VideoReader& reader = *input;
    VideoSource fileSource(reader, cmd.video, cmd.start, cmd.duration, cmd.strict);
    fileSource.warnAboutInput(cmd.stream >= 0);
    // No output is made (nor an events file emptied) for an input that has
    // no frame to give.
    if (!live && !fileSource.prime()) {
        if (StopSignal() != 0) return StoppedBeforeInput(cmd, outlet, &reader, live, t0);
        throw ToolError(fileSource.emptyReason());
    }
    bool checkedOutside = false;
    auto checkOutside = [&](int w, int h) {
        if (checkedOutside || w <= 0) return;
        checkedOutside = true;
        for (const std::string& msg : AreasOutsideFrame(areas, w, h)) Warn(cmd.areas + ": " + msg);
    };
    checkOutside(reader.width(), reader.height());

    // Outputs are set up before any event is written, so that a bad path
    // fails before the run starts.
    const int fpsNum = reader.frameRateNum(), fpsDen = reader.frameRateDen();
    std::unique_ptr<SnapshotSink> snapshots;
    std::unique_ptr<FrameSink> review;
    if (!cmd.review.empty()) {
        if (reader.width() > 0) {
            auto sink = std::make_unique<ReviewVideoSink>(cmd.review, reader.width(), reader.height(), fpsNum, fpsDen,
                                                          areas, rows);
            WarnAboutText(sink->painter(), areas);
            review = std::move(sink);
        } else {
            review = std::make_unique<DeferredSink>(
                [&](const ProcessedFrame& f) {
                    checkOutside(f.picture.width, f.picture.height);
                    return std::make_unique<ReviewVideoSink>(cmd.review, f.picture.width, f.picture.height, fpsNum,
                                                             fpsDen, areas, rows);
                },
                false);
        }
    }
    if (!cmd.snapshots.empty()) {
        if (reader.width() <= 0) throw ToolError("'" + cmd.video + "': the frame size is unknown before decoding; "
                                                 "snapshots need it");
        snapshots = std::make_unique<SnapshotSink>(cmd.snapshots, reader.width(), reader.height(), areas, rows,
                                                   cmd.overwrite);
    }
    std::unique_ptr<TraceSink> trace;
    if (!cmd.trace.empty())
        trace = std::make_unique<TraceSink>(cmd.trace, cmd.traceFormat, AreaNames(areas),
                                            det.settings().frontLightOn());
    std::unique_ptr<PlotSink> plot;
    if (!cmd.plot.empty())
        plot = std::make_unique<PlotSink>(cmd.plot, std::filesystem::path(cmd.video).filename().string(), AreaNames(areas));
    EventWriter eventFile(cmd.events, cmd.format);
    // A total only as a guess from the container (shown as ~N).
    Progress progress(cmd.progress, live ? -1 : fileSource.expectedFrames(), true);
    EventSink events(
        eventFile, AreaNames(areas),
        [&] {
            if (eventFile.toTerminal()) progress.clear();
        },
        [&](int64_t frame, double time, int area, const std::string& name) {
            return outlet.trigger(frame, time, area, name);
        });

    // A live stream: the first connection is the reader opened above; the
    // source reconnects with readers of its own.
    int64_t liveErrors = 0;
    LiveRunListener listener(cmd.video, outlet, eventFile, [&] {
        if (eventFile.toTerminal()) progress.clear();
    });
    std::unique_ptr<LiveSource> liveSource;
    if (live)
        liveSource = std::make_unique<LiveSource>(
            std::make_unique<ReaderConnection>(reader, ro.stallSeconds, &liveErrors),
            [&](std::string& why) -> std::unique_ptr<LiveConnection> {
                // Frames keep the size the areas, the review video and the
                // snapshots were set up for, whatever the new connection's.
                VideoReaderOptions again = ro;
                again.width = reader.width();
                again.height = reader.height();
                return ReaderConnection::Open(cmd.video, again, &liveErrors, why);
            },
            cmd.live, listener, StopFlag());
    FrameSource& source = live ? static_cast<FrameSource&>(*liveSource) : fileSource;

    FrameLoop loop(det, areas.areas.size());
    loop.setStop(StopFlag());
    // After a reconnection or a change of picture size: the same reset for
    // both, and a warning naming the frame and why.
    loop.setBaselineReset([&](int64_t index, const SourceFrame& f) {
        ApplyAreas(det, areas);
        WarnAboveProgress("'" + cmd.video + "': frame " + std::to_string(index) + ": " + f.baselineNote +
                          "; taking a new baseline");
    });
    // A receiver that refused for good (MQTT credentials) ends the run.
    FunctionSink receivers([&](const ProcessedFrame&) { outlet.checkReceivers(); });
    loop.add(receivers);
    loop.add(events);
    if (trace) loop.add(*trace);
    if (plot) loop.add(*plot);
    if (review) loop.add(*review);
    if (snapshots) loop.add(*snapshots);
    loop.add(progress);
    LoopStats stats;
    try {
        stats = loop.run(source);
    } catch (...) {
        progress.done();
        throw;
    }
    const double elapsed = Seconds(Clock::now() - t0);
    outlet.finish(cmd.quiet);

    // A stream given up on is a failure (exit 1, after the summary): a
    // supervisor should know; one that ended with --no-reconnect is not.
    std::string gaveUp;
    if (live) {
        if (!stats.stopped && stats.processed < 2)
            throw ToolError("'" + cmd.video + "': no frames (" + liveSource->endReason() + ")");
        if (liveSource->gaveUp())
            gaveUp = "'" + cmd.video + "': " + liveSource->endReason();
        else if (!liveSource->endReason().empty())
            Warn("'" + cmd.video + "': the run ends: " + liveSource->endReason());
        liveSource.reset();  // the last connection adds its counts
        if (liveErrors > 0)
            Warn("'" + cmd.video + "' is damaged: " + std::to_string(liveErrors) +
                 " decoding errors; frame indices after the damage count the frames that could be decoded");
    } else {
        fileSource.checkEnd(stats);
    }
    if (!cmd.quiet) {
        RunCounts c;
        c.read = live ? stats.processed : reader.decodedFrames();
        c.processed = stats.processed;
        c.decodeErrors = live ? liveErrors : reader.decodeErrors();
        c.lost = reader.lostFrames();
        // What the events file got: stream events (JSON Lines) included.
        c.events = eventFile.written();
        c.covered = stats.coveredSeconds;
        c.elapsed = elapsed;
        c.stopped = stats.stopped;
        PrintRunSummary(c);
    }
    if (!gaveUp.empty()) throw ToolError(gaveUp);
    outlet.checkReceivers();
    // A signal is how a live run ends normally; a file run it cut short
    // says so in its status.
    return live ? 0 : StoppedStatus(stats);
}

int RenderFrame(const FrameCommand& cmd) {
    CheckOutputsDistinct({{cmd.video, "the video"}, {cmd.areas, "the areas file"}}, {{cmd.out, "--out"}});
    CheckPictureName(cmd.out);
    AreasConfig areas;
    if (!cmd.areas.empty()) {
        areas = LoadAreasFile(cmd.areas);
        for (const std::string& w : areas.warnings) Warn(cmd.areas + ": " + w);
    }
    VideoReaderOptions ro;
    ro.stream = cmd.stream;
    VideoReader reader(cmd.video, ro);
    if (reader.rotation() != 0)
        Warn("'" + cmd.video + "' carries a display rotation of " + std::to_string(reader.rotation()) +
             " degrees, which players apply; the picture is written as stored, which is what area coordinates "
             "refer to");
    const double step = 1.0 / std::max(1.0, reader.frameRate());
    reader.seek(std::max(0.0, cmd.at - 2.0 * step));
    // The frame on screen at `at`: the last one that starts at or before it.
    BgrImage shown;
    VideoFrame next;
    double shownTime = -1.0;
    bool have = false;
    while (reader.next(next)) {
        if (have && next.time > cmd.at + 1e-4) break;
        shown.assign(next.picture);
        shownTime = next.time;
        have = true;
        if (next.time > cmd.at + 1e-4) break;  // the video starts after `at`
    }
    if (!have && reader.lastDecodedTime() >= 0.0)  // every frame lay before `at`
        throw ToolError("'" + cmd.video + "' ends before " + Secs(cmd.at) + " s (its last frame is at " +
                        Secs(reader.lastDecodedTime()) + " s)");
    if (!have) throw ToolError("cannot decode any frame of '" + cmd.video + "'");
    if (cmd.at > shownTime + 2.0 * step)
        throw ToolError("'" + cmd.video + "' ends before " + Secs(cmd.at) + " s (its last frame is at " +
                        Secs(shownTime) + " s)");
    std::vector<std::vector<tarvocoil::AreaRow>> rows;
    if (!cmd.areas.empty()) {
        for (const std::string& msg : AreasOutsideFrame(areas, shown.width, shown.height)) Warn(cmd.areas + ": " + msg);
        tarvocoil::Detector det;
        ApplyAreas(det, areas);
        rows = AreaRowsOf(det);
    }
    ReviewPainter painter(shown.width, shown.height, areas, rows, reader.frameRate());
    WarnAboutText(painter, areas);
    // The caption gives the time; the frame's index in the file is exact
    // only when counted from the start.
    painter.paint(shown, -1, shownTime);
    WritePicture(cmd.out, shown);
    return 0;
}

}  // namespace tarvotool
