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
#include "tools/media/light_picture.h"
#include "tools/media/review.h"
#include "tools/evidence/trace.h"
#include "tools/media/video_reader.h"
#include "tools/media/video_source.h"
#include "tarvocoil.hpp"
#include "tools/evidence/tune.h"
#include "tools/run/traffic_sink.h"

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
    std::optional<int64_t> suppressed;  // triggers held back by holdoff, where a coil has one
    double covered = 0.0, elapsed = 0.0;
    bool stopped = false;
};

void PrintRunSummary(const RunCounts& c) {
    const std::string held = c.suppressed ? std::to_string(*c.suppressed) + " triggers held back by holdoff, " : "";
    char line[640];
    std::snprintf(line, sizeof line,
                  "tarvocoil: %lld frames read, %lld processed, %lld decoding errors, %lld frames lost, %lld events, "
                  "%s%.3f s of video in %.2f s%s%s\n",
                  static_cast<long long>(c.read), static_cast<long long>(c.processed),
                  static_cast<long long>(c.decodeErrors), static_cast<long long>(c.lost),
                  static_cast<long long>(c.events), held.c_str(), c.covered, c.elapsed, c.stopped ? ", stopped by " : "",
                  c.stopped ? SignalName(StopSignal()) : "");
    std::fputs(line, stderr);
}

// The summary of a run that went through its frames.
RunCounts CountsOfRun(const LoopStats& stats, const VideoReader& reader, bool live, int64_t liveErrors,
                      int64_t events, double elapsed) {
    RunCounts c;
    c.read = live ? stats.processed : reader.decodedFrames();
    c.processed = stats.processed;
    c.decodeErrors = live ? liveErrors : reader.decodeErrors();
    c.lost = reader.lostFrames();
    c.events = events;
    c.covered = stats.coveredSeconds;
    c.elapsed = elapsed;
    c.stopped = stats.stopped;
    return c;
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

// The picture and evidence outputs of `run`; members in the order they
// are made, so that they close in the reverse of it.
struct RunOutputs {
    std::unique_ptr<SnapshotSink> snapshots;
    std::unique_ptr<FrameSink> review;
    std::unique_ptr<TraceSink> trace;
    std::unique_ptr<PlotSink> plot;
};

// The review video: made now when the frame size is known, else on the
// first frame (which then also gets the areas checked against it).
std::unique_ptr<FrameSink> OpenReviewSink(const RunCommand& cmd, const VideoReader& reader, const AreasConfig& areas,
                                          const std::vector<std::vector<tarvocoil::AreaRow>>& rows,
                                          const tarvocoil::Settings& settings,
                                          const std::function<void(int, int)>& checkOutside) {
    const int fpsNum = reader.frameRateNum(), fpsDen = reader.frameRateDen();
    const std::optional<tarvocoil::Settings> light =
        cmd.reviewLight ? std::optional<tarvocoil::Settings>(settings) : std::nullopt;
    if (reader.width() > 0) {
        auto sink = std::make_unique<ReviewVideoSink>(cmd.review, reader.width(), reader.height(), fpsNum, fpsDen,
                                                      areas, rows, light);
        WarnAboutText(sink->painter(), areas);
        return sink;
    }
    return std::make_unique<DeferredSink>(
        [&cmd, &areas, &rows, &checkOutside, fpsNum, fpsDen, light](const ProcessedFrame& f) {
            checkOutside(f.picture.width, f.picture.height);
            return std::make_unique<ReviewVideoSink>(cmd.review, f.picture.width, f.picture.height, fpsNum, fpsDen,
                                                     areas, rows, light);
        },
        light.has_value());
}

// Outputs are set up before any event is written, so that a bad path
// fails before the run starts.
RunOutputs OpenRunOutputs(const RunCommand& cmd, const VideoReader& reader, const AreasConfig& areas,
                          const std::vector<std::vector<tarvocoil::AreaRow>>& rows, const tarvocoil::Detector& det,
                          const std::function<void(int, int)>& checkOutside) {
    RunOutputs out;
    if (!cmd.review.empty()) out.review = OpenReviewSink(cmd, reader, areas, rows, det.settings(), checkOutside);
    if (!cmd.snapshots.empty()) {
        if (reader.width() <= 0) throw ToolError("'" + cmd.video + "': the frame size is unknown before decoding; "
                                                 "snapshots need it");
        out.snapshots = std::make_unique<SnapshotSink>(cmd.snapshots, reader.width(), reader.height(), areas, rows,
                                                       cmd.overwrite);
    }
    if (!cmd.trace.empty())
        out.trace = std::make_unique<TraceSink>(cmd.trace, cmd.traceFormat, AreaNames(areas),
                                                det.settings().frontLightOn());
    if (!cmd.plot.empty())
        out.plot = std::make_unique<PlotSink>(cmd.plot, std::filesystem::path(cmd.video).filename().string(),
                                              AreaNames(areas));
    return out;
}

// How `run` reads its input.
VideoReaderOptions RunReaderOptions(const RunCommand& cmd, bool live,
                                    const std::vector<std::vector<tarvocoil::AreaRow>>& rows) {
    VideoReaderOptions ro;
    ro.stream = cmd.stream;
    ro.stop = StopFlag();
    if (live) ro.stallSeconds = cmd.live.stallSeconds;
    // Without pictures to write, only the detector looks at the frames:
    // the reader converts the rows it reads and leaves the rest.
    if (cmd.review.empty() && cmd.snapshots.empty())
        ro.rows = [&rows](int, int height) { return RowsTheDetectorReads(rows, height); };
    return ro;
}

// A live stream: the first connection is the reader already opened; the
// source reconnects with readers of its own.
std::unique_ptr<LiveSource> OpenLiveSource(const RunCommand& cmd, VideoReader& reader, const VideoReaderOptions& ro,
                                           LiveRunListener& listener, int64_t& liveErrors) {
    return std::make_unique<LiveSource>(
        std::make_unique<ReaderConnection>(reader, ro.stallSeconds, &liveErrors),
        [&cmd, &reader, &ro, &liveErrors](std::string& why) -> std::unique_ptr<LiveConnection> {
            // Frames keep the size the areas, the review video and the
            // snapshots were set up for, whatever the new connection's.
            VideoReaderOptions again = ro;
            again.width = reader.width();
            again.height = reader.height();
            return ReaderConnection::Open(cmd.video, again, &liveErrors, why);
        },
        cmd.live, listener, StopFlag());
}

// The end of a live run: its warnings, and why it gave up (empty when it
// did not). Closes the source, whose last connection adds its counts.
std::string EndLiveRun(const std::string& video, const LoopStats& stats, std::unique_ptr<LiveSource>& liveSource,
                       const int64_t& liveErrors) {
    std::string gaveUp;
    if (!stats.stopped && stats.processed < 2)
        throw ToolError("'" + video + "': no frames (" + liveSource->endReason() + ")");
    if (liveSource->gaveUp())
        gaveUp = "'" + video + "': " + liveSource->endReason();
    else if (!liveSource->endReason().empty())
        Warn("'" + video + "': the run ends: " + liveSource->endReason());
    liveSource.reset();  // the last connection adds its counts
    if (liveErrors > 0)
        Warn("'" + video + "' is damaged: " + std::to_string(liveErrors) +
             " decoding errors; frame indices after the damage count the frames that could be decoded");
    return gaveUp;
}

// The frames of `run` through the detector and every sink.
LoopStats RunFrameLoop(const std::string& video, tarvocoil::Detector& det, const AreasConfig& areas,
                       EventOutlet& outlet, FrameSink& events, TrafficSink& traffic, RunOutputs& outputs,
                       Progress& progress, FrameSource& source) {
    FrameLoop loop(det, areas.areas.size());
    loop.setStop(StopFlag());
    // After a reconnection or a change of picture size: the same reset for
    // both, and a warning naming the frame and why.
    loop.setBaselineReset([&](int64_t index, const SourceFrame& f) {
        ApplyAreas(det, areas);
        WarnAboveProgress("'" + video + "': frame " + std::to_string(index) + ": " + f.baselineNote +
                          "; taking a new baseline");
    });
    // A receiver that refused for good (MQTT credentials) ends the run.
    FunctionSink receivers([&](const ProcessedFrame&) { outlet.checkReceivers(); });
    loop.add(receivers);
    // The traffic engine decides which triggers are reported before the
    // events file and the trace see the frame; its own events follow.
    loop.add(traffic);
    loop.add(events);
    loop.add(traffic.publisher());
    if (outputs.trace) loop.add(*outputs.trace);
    if (outputs.plot) loop.add(*outputs.plot);
    if (outputs.review) loop.add(*outputs.review);
    if (outputs.snapshots) loop.add(*outputs.snapshots);
    loop.add(progress);
    try {
        return loop.run(source);
    } catch (...) {
        progress.done();
        throw;
    }
}

}  // namespace

int RunVideo(const RunCommand& cmd) {
    const auto t0 = Clock::now();
    // Before anything is opened: no output may overwrite an input or another output.
    CheckOutputsDistinct({{cmd.video, "the video"}, {cmd.areas, "the areas file"}},
                         {{cmd.events, "--events"}, {cmd.review, "--review"}, {cmd.trace, "--trace"},
                          {cmd.snapshots, "--snapshots"}, {cmd.plot, "--plot"}, {cmd.stats, "--stats"}});
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
    const VideoReaderOptions ro = RunReaderOptions(cmd, live, rows);
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
    // A std::function, since the review video made on the first frame keeps it.
    const std::function<void(int, int)> checkOutside = [&](int w, int h) {
        if (checkedOutside || w <= 0) return;
        checkedOutside = true;
        for (const std::string& msg : AreasOutsideFrame(areas, w, h)) Warn(cmd.areas + ": " + msg);
    };
    checkOutside(reader.width(), reader.height());

    RunOutputs outputs = OpenRunOutputs(cmd, reader, areas, rows, det, checkOutside);
    std::unique_ptr<StatsFile> statsFile;
    if (!cmd.stats.empty()) statsFile = std::make_unique<StatsFile>(cmd.stats, cmd.statsFormat);
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

    TrafficRunOptions trafficOptions;
    trafficOptions.intervalSeconds = cmd.statsInterval;
    trafficOptions.statsEvents = cmd.statsEvents;
    trafficOptions.live = live;
    TrafficSink traffic(areas, trafficOptions, std::move(statsFile), outlet, eventFile, [&] {
        if (eventFile.toTerminal()) progress.clear();
    });
    events.setSuppressed(&traffic.suppressed());
    if (outputs.trace) outputs.trace->setSuppressed(&traffic.suppressed());

    // A live stream: the first connection is the reader opened above; the
    // source reconnects with readers of its own.
    int64_t liveErrors = 0;
    LiveRunListener listener(cmd.video, outlet, eventFile, [&] {
        if (eventFile.toTerminal()) progress.clear();
    });
    listener.onLost([&](std::optional<int64_t> frame, std::optional<double> time) { traffic.streamLost(frame, time); });
    std::unique_ptr<LiveSource> liveSource;
    if (live) liveSource = OpenLiveSource(cmd, reader, ro, listener, liveErrors);
    FrameSource& source = live ? static_cast<FrameSource&>(*liveSource) : fileSource;

    const LoopStats stats = RunFrameLoop(cmd.video, det, areas, outlet, events, traffic, outputs, progress, source);
    const double elapsed = Seconds(Clock::now() - t0);
    outlet.finish(cmd.quiet);

    // A stream given up on is a failure (exit 1, after the summary): a
    // supervisor should know; one that ended with --no-reconnect is not.
    std::string gaveUp;
    if (live)
        gaveUp = EndLiveRun(cmd.video, stats, liveSource, liveErrors);
    else
        fileSource.checkEnd(stats);
    // What the events file got: stream events (JSON Lines) included.
    if (!cmd.quiet) {
        RunCounts counts = CountsOfRun(stats, reader, live, liveErrors, eventFile.written(), elapsed);
        if (traffic.anyHoldoff()) counts.suppressed = traffic.suppressedTotal();
        PrintRunSummary(counts);
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
    const BgrImage frame = shown;  // the light is judged on the picture as decoded
    // The caption gives the time; the frame's index in the file is exact
    // only when counted from the start.
    painter.paint(shown, -1, shownTime);
    if (cmd.light) {
        // One picture and no detector run: light pixels, regions and limits,
        // without the blob a run would have measured on this frame.
        tarvocoil::Detector det;
        ApplyAreas(det, areas);
        PaintLightPicture(shown, frame.view(), rows, nullptr, det.settings());
    }
    WritePicture(cmd.out, shown);
    return 0;
}

}  // namespace tarvotool
