// demo_command.cpp - the demo: render the scene, run the detector on it,
// score the triggers and the pairs' speeds and lengths against the scene's
// ground truth, and (--tune) tune.
#include "tools/demo/demo_command.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "host/areas_file.h"
#include "host/errors.h"
#include "tarvocoil.hpp"
#include "tools/demo/demo_scene.h"
#include "tools/demo/traffic_collector.h"
#include "tools/demo/vehicle_accuracy.h"
#include "tools/events/events.h"
#include "tools/evidence/matching.h"
#include "tools/evidence/tune.h"
#include "tools/loop/frame_loop.h"
#include "tools/loop/paths.h"
#include "tools/loop/progress.h"
#include "tools/media/detector_rows.h"
#include "tools/media/review.h"

namespace tarvotool {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Join(const std::filesystem::path& dir, const std::string& name) { return (dir / name).string(); }

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
    std::printf("%-11s %9s %9s %6s %7s %6s %9s\n", "coil", "vehicles", "triggers", "hits", "misses", "false",
                "latency");
    CoilScore all;
    all.name = "all";
    auto row = [](const CoilScore& s) {
        char lat[32];
        if (s.hits > 0)
            std::snprintf(lat, sizeof lat, "%.1f", s.latencySum / s.hits);
        else
            std::snprintf(lat, sizeof lat, "-");
        std::printf("%-11s %9d %9d %6d %7d %6d %9s\n", s.name.c_str(), s.vehicles, s.triggers, s.hits, s.misses,
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

// Each pair's vehicles against the scene's: a measured vehicle is the one
// whose entry into the "to" coil its trigger was matched to.
std::vector<AccuracyTally> ScoreVehicles(const DemoScene& scene, const AreasConfig& areas,
                                         const std::vector<int>& matched,
                                         const std::vector<MeasuredVehicle>& measured) {
    std::vector<AccuracyTally> out(areas.pairs.size());
    const auto& entries = scene.entries();
    for (const MeasuredVehicle& m : measured) {
        const int to = static_cast<int>(areas.pairs[m.pair].toArea);
        const DemoVehicle* truth = nullptr;
        for (std::size_t k = 0; k < entries.size() && !truth; ++k)
            if (entries[k].coil == to && matched[k] >= 0 && matched[k] == m.frame)
                truth = &scene.vehicles()[static_cast<std::size_t>(entries[k].vehicle)];
        const VehicleTruth t{truth ? truth->speed : 0.0, truth ? truth->length : 0.0};
        out[m.pair].add(m, truth ? &t : nullptr);
    }
    return out;
}

std::string Percent(double x) {
    char buf[32];
    if (std::isfinite(x))
        std::snprintf(buf, sizeof buf, "%.1f%%", x);
    else
        std::snprintf(buf, sizeof buf, "-");
    return buf;
}

// vehicles: the true vehicles the "to" coil was scored on; measured: the
// pair's vehicles matched to one of them; false: the pair's vehicles that
// match none (a false or merged trigger).
void PrintAccuracyTable(const AreasConfig& areas, const std::vector<CoilScore>& scores,
                        const std::vector<AccuracyTally>& tallies) {
    std::printf("%-11s %9s %9s %6s %13s %10s %8s %14s %11s\n", "pair", "vehicles", "measured", "false",
                "speed-median", "speed-p95", "lengths", "length-median", "length-p95");
    AccuracyTally all;
    auto row = [](const std::string& name, int vehicles, const AccuracyTally& t) {
        const ErrorSummary sp = t.speed(), len = t.length();
        std::printf("%-11s %9d %9d %6d %13s %10s %8d %14s %11s\n", name.c_str(), vehicles, t.matched(), t.unmatched(),
                    Percent(sp.median).c_str(), Percent(sp.p95).c_str(), t.withLength(), Percent(len.median).c_str(),
                    Percent(len.p95).c_str());
    };
    int vehicles = 0;
    for (std::size_t p = 0; p < areas.pairs.size(); ++p) {
        const int v = scores[areas.pairs[p].toArea].vehicles;
        row(areas.pairs[p].name, v, tallies[p]);
        vehicles += v;
        all.merge(tallies[p]);
    }
    row("all", vehicles, all);
}

// `demo --tune`: tunes the demo's coils on the scene's own ground truth.
void TuneDemo(const DemoCommand& cmd, const AreasConfig& areas, const std::vector<DemoEntry>& entries,
              const std::string& dir, const std::string& prefix) {
    std::vector<TruthEntry> truth;
    for (const DemoEntry& e : entries) truth.push_back(TruthEntry{e.frame, e.coil, 0});
    TuneOptions opt;
    opt.candidates = ParseThresholds("0.01:0.50:0.01");
    opt.window = MatchWindow{0, kHitWindow};
    opt.lastFrame = cmd.frames - 1;
    opt.plotPath = (std::filesystem::path(dir) / (prefix + "tuned-plot.png")).string();
    opt.plotTitle = std::string("demo, ") + (cmd.night ? "night" : "day") + " scene, at the recommended thresholds";
    int pass = 0;
    const RunPass runPass = [&](FrameLoop& loop) {
        DemoOptions o;
        o.night = cmd.night;
        o.frames = cmd.frames;
        o.seed = cmd.seed;
        DemoScene scene(o);
        DemoSource source(scene, cmd.frames);
        Progress progress(cmd.progress, cmd.frames, false, "tune pass " + std::to_string(++pass) + ": ");
        loop.add(progress);
        return loop.run(source);
    };
    const TuneResult r = Tune(areas, truth, opt, runPass);
    std::printf("\ntuned on the scene's ground truth: candidates 0.01..0.50 per coil, best F1 = 2 hits / (2 hits + "
                "misses + false)\n");
    if (r.frontLight)
        std::printf("front-light triggering on: the detector ran once per candidate (%d passes over the scene)\n",
                    r.passes);
    std::printf("\n");
    PrintBeforeAfter(r, areas, stdout);
    std::vector<Candidate> chosen;
    for (const AreaTuning& a : r.areas) chosen.push_back(a.chosen);
    const std::string table = (std::filesystem::path(dir) / (prefix + "tune.csv")).string();
    const std::string tuned = (std::filesystem::path(dir) / (prefix + "tuned-areas.json")).string();
    WriteText(table, TuneTableCsv(r), "table");
    WriteText(tuned, TunedAreasText(AreasToText(areas), tuned, chosen), "tuned areas file");
    std::printf("tuning output: %s (%stune.csv, %stuned-areas.json, %stuned-plot.png)\n", dir.c_str(), prefix.c_str(),
                prefix.c_str(), prefix.c_str());
}

// The demo's output folder, made if missing.
std::filesystem::path OutputFolder(const std::string& outDir) {
    const std::filesystem::path dir(outDir);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir, ec))
        throw ToolError("cannot create output folder '" + outDir + "': " + ec.message());
    return dir;
}

void WriteDemoAreas(const std::string& path, const AreasConfig& areas) {
    std::ofstream f(path);
    f << AreasToText(areas);
    if (!f) throw ToolError("cannot write '" + path + "'");
}

// The scene's ground truth: each vehicle's entry into a coil, with the
// trigger matched to it (empty when missed).
void WriteDemoTruth(const std::string& path, const DemoScene& scene, const AreasConfig& areas,
                    const std::vector<int>& matched) {
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

}  // namespace

int RunDemo(const DemoCommand& cmd) {
    DemoOptions opt;
    opt.night = cmd.night;
    opt.frames = cmd.frames;
    opt.seed = cmd.seed;
    DemoScene scene(opt);
    AreasConfig areas = scene.areas();
    for (AreaSpec& a : areas.areas) a.threshold = cmd.threshold;

    const std::filesystem::path dir = OutputFolder(cmd.outDir);
    const std::string prefix = cmd.night ? "night-" : "day-";
    WriteDemoAreas(Join(dir, prefix + "areas.json"), areas);

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
    TrafficCollector traffic(areas);
    std::unique_ptr<ReviewVideoSink> review;
    if (cmd.review) review = std::make_unique<ReviewVideoSink>(Join(dir, prefix + "review.mp4"), W, H, fps, 1, areas, rows);
    Progress progress(cmd.progress, cmd.frames, false);
    loop.add(events);
    loop.add(triggers);
    loop.add(traffic);
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
    WriteDemoTruth(Join(dir, prefix + "truth.csv"), scene, areas, matched);

    std::printf("TarvoCoil demo, %s scene: %dx%d at %d fps, %d frames (%.1f s), %zu coils, presence threshold %.2f%s\n",
                cmd.night ? "night" : "day", W, H, fps, cmd.frames, double(cmd.frames) / fps, areas.areas.size(),
                cmd.threshold, cmd.night ? ", front-light triggering on" : "");
    std::printf("hit: a trigger at most %d frames after a vehicle first touches the coil\n\n", kHitWindow);
    PrintTable(scores);
    std::printf("\nspeed and length per pair against the scene's truth (error: |measured - true| / true)\n\n");
    PrintAccuracyTable(areas, scores, ScoreVehicles(scene, areas, matched, traffic.vehicles()));
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

}  // namespace tarvotool
