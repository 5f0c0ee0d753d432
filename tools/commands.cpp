// commands.cpp - demo, run and frame, each a source and sinks around the
// one frame loop.
#include "commands.h"

#include "live_run.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "areas_file.h"
#include "common.h"
#include "demo_scene.h"
#include "detector_rows.h"
#include "frame_loop.h"
#include "paths.h"
#include "picture_file.h"
#include "plot.h"
#include "progress.h"
#include "review.h"
#include "trace.h"
#include "video_reader.h"
#include "video_source.h"
#include "tarvocoil.hpp"
#include "tune.h"

namespace tarvotool {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Join(const std::filesystem::path& dir, const std::string& name) { return (dir / name).string(); }

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

// The demo's record of every trigger, per coil.
class TriggerCollector : public FrameSink {
public:
    explicit TriggerCollector(std::size_t areas) : triggers(areas) {}
    void frame(const ProcessedFrame& f) override {
        if (f.baseline) return;
        for (std::size_t c = 0; c < f.areaCount; ++c)
            if (f.flags[c]) triggers[c].push_back(static_cast<int>(f.index));
    }
    std::vector<std::vector<int>> triggers;
};

void PrintTable(const std::vector<CoilScore>& scores) {
    std::printf("%-8s %9s %9s %6s %7s %6s %9s\n", "coil", "vehicles", "triggers", "hits", "misses", "false",
                "latency");
    CoilScore all;
    all.name = "all";
    auto row = [](const CoilScore& s) {
        char lat[32];
        if (s.hits > 0)
            std::snprintf(lat, sizeof lat, "%.1f", s.latencySum / s.hits);
        else
            std::snprintf(lat, sizeof lat, "-");
        std::printf("%-8s %9d %9d %6d %7d %6d %9s\n", s.name.c_str(), s.vehicles, s.triggers, s.hits, s.misses,
                    s.falseTriggers, lat);
    };
    for (const CoilScore& s : scores) {
        row(s);
        all.vehicles += s.vehicles;
        all.triggers += s.triggers;
        all.hits += s.hits;
        all.misses += s.misses;
        all.falseTriggers += s.falseTriggers;
        all.latencySum += s.latencySum;
    }
    row(all);
}

int StoppedStatus(const LoopStats& stats) {
    if (!stats.stopped) return 0;
    const int sig = StopSignal();
    return 128 + (sig > 0 ? sig : 2);
}

const char* SignalName(int sig) { return sig == 15 ? "SIGTERM" : sig == 2 ? "SIGINT" : "a signal"; }

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

int RunDemo(const DemoCommand& cmd) {
    DemoOptions opt;
    opt.night = cmd.night;
    opt.frames = cmd.frames;
    opt.seed = cmd.seed;
    DemoScene scene(opt);
    AreasConfig areas = scene.areas();
    for (AreaSpec& a : areas.areas) a.threshold = cmd.threshold;

    const std::filesystem::path dir(cmd.outDir);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir, ec))
        throw ToolError("cannot create output folder '" + cmd.outDir + "': " + ec.message());
    const std::string prefix = cmd.night ? "night-" : "day-";
    {
        const std::string path = Join(dir, prefix + "areas.json");
        std::ofstream f(path);
        f << AreasToText(areas);
        if (!f) throw ToolError("cannot write '" + path + "'");
    }

    tarvocoil::Detector det;
    ApplyAreas(det, areas);
    const auto rows = AreaRowsOf(det);
    const int W = DemoScene::kWidth, H = DemoScene::kHeight, fps = DemoScene::kFps;

    DemoSource source(scene, cmd.frames);
    FrameLoop loop(det, areas.areas.size());
    loop.setStop(StopFlag());
    EventWriter eventFile(Join(dir, prefix + "events.csv"), EventFormat::Csv);
    EventSink events(eventFile, AreaNames(areas));
    TriggerCollector triggers(areas.areas.size());
    std::unique_ptr<ReviewVideoSink> review;
    if (cmd.review) review = std::make_unique<ReviewVideoSink>(Join(dir, prefix + "review.mp4"), W, H, fps, 1, areas, rows);
    Progress progress(cmd.progress, cmd.frames, false);
    loop.add(events);
    loop.add(triggers);
    if (review) loop.add(*review);
    loop.add(progress);
    const auto t0 = Clock::now();
    const LoopStats stats = loop.run(source);
    const double total = Seconds(Clock::now() - t0);
    if (stats.stopped) {
        std::fprintf(stderr, "tarvocoil: demo stopped by %s after %lld frames\n", SignalName(StopSignal()),
                     static_cast<long long>(stats.processed));
        return StoppedStatus(stats);
    }

    std::vector<int> matched;
    const std::vector<CoilScore> scores =
        ScoreTriggers(scene.entries(), triggers.triggers, cmd.frames, kHitWindow, areas, &matched);
    {
        const std::string path = Join(dir, prefix + "truth.csv");
        std::ofstream f(path);
        f << "vehicle,kind,lane,coil,entry_frame,trigger_frame\n";
        const auto& entries = scene.entries();
        for (std::size_t k = 0; k < entries.size(); ++k) {
            const DemoVehicle& v = scene.vehicles()[entries[k].vehicle];
            f << entries[k].vehicle << "," << v.kind << "," << v.lane + 1 << ","
              << EventWriter::CsvField(areas.areas[entries[k].coil].name) << "," << entries[k].frame << ",";
            if (matched[k] >= 0) f << matched[k];
            f << "\n";
        }
        if (!f) throw ToolError("cannot write '" + path + "'");
    }

    std::printf("TarvoCoil demo, %s scene: %dx%d at %d fps, %d frames (%.1f s), %zu coils, presence threshold %.2f%s\n",
                cmd.night ? "night" : "day", W, H, fps, cmd.frames, double(cmd.frames) / fps, areas.areas.size(),
                cmd.threshold, cmd.night ? ", front-light triggering on" : "");
    std::printf("hit: a trigger at most %d frames after a vehicle first touches the coil\n\n", kHitWindow);
    PrintTable(scores);
    const double det_s = stats.detectorSeconds;
    std::printf("\nspeed: detector %.0f frames/s (%.3f ms per frame, %zu coils); scene rendering %.0f frames/s;"
                " whole demo %.0f frames/s\n",
                det_s > 0 ? cmd.frames / det_s : 0.0, det_s * 1000.0 / cmd.frames, areas.areas.size(),
                source.renderSeconds() > 0 ? cmd.frames / source.renderSeconds() : 0.0,
                total > 0 ? cmd.frames / total : 0.0);
    std::printf("output: %s (%sevents.csv, %struth.csv, %sareas.json%s)\n", dir.string().c_str(), prefix.c_str(),
                prefix.c_str(), prefix.c_str(), cmd.review ? (", " + prefix + "review.mp4").c_str() : "");
    if (cmd.tune) TuneDemo(cmd, areas, scene.entries(), dir.string(), prefix);
    std::fflush(stdout);
    return 0;
}

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
