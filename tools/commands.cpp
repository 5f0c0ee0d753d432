// commands.cpp - demo, run and frame.
#include "commands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "areas_file.h"
#include "common.h"
#include "demo_scene.h"
#include "media.h"
#include "review.h"
#include "tarvocoil.hpp"

namespace tarvotool {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One line on stderr, redrawn in place: frames, fps and time left. Only
// when stderr is a terminal.
class Progress {
public:
    Progress(bool wanted, int64_t total) : on_(wanted && isatty(STDERR_FILENO)), total_(total) {}
    ~Progress() { done(); }

    void update(int64_t frames) {
        if (!on_) return;
        const auto now = Clock::now();
        if (now - last_ < std::chrono::milliseconds(200)) return;
        last_ = now;
        draw(frames, now);
    }
    void done() {
        if (!on_ || closed_) return;
        closed_ = true;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
    }
    bool on() const { return on_; }

private:
    void draw(int64_t frames, Clock::time_point now) {
        const double elapsed = Seconds(now - start_);
        const double fps = elapsed > 0 ? frames / elapsed : 0.0;
        char line[160];
        if (total_ > 0) {
            const double frac = std::min(1.0, static_cast<double>(frames) / total_);
            char bar[31];
            const int fill = static_cast<int>(frac * 30);
            for (int i = 0; i < 30; ++i) bar[i] = i < fill ? '#' : '.';
            bar[30] = 0;
            const long eta = fps > 0 ? std::lround(std::max<double>(0, total_ - frames) / fps) : 0;
            std::snprintf(line, sizeof line, "\r[%s] %lld/%lld frames  %.1f fps  ETA %ld:%02ld\033[K", bar,
                          static_cast<long long>(frames), static_cast<long long>(total_), fps, eta / 60, eta % 60);
        } else {
            std::snprintf(line, sizeof line, "\r%lld frames  %.1f fps\033[K", static_cast<long long>(frames), fps);
        }
        std::fputs(line, stderr);
        std::fflush(stderr);
    }

    bool on_;
    bool closed_ = false;
    int64_t total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_{};
};

// Seconds for messages: 12.5, 4.76, 1e+300.
std::string Secs(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", s);
    return buf;
}

std::string Join(const std::filesystem::path& dir, const std::string& name) { return (dir / name).string(); }

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
    EventWriter events(Join(dir, prefix + "events.csv"), EventFormat::Csv);
    const int W = DemoScene::kWidth, H = DemoScene::kHeight, fps = DemoScene::kFps;
    ReviewOutput review(cmd.review ? Join(dir, prefix + "review.mp4") : "", "", W, H, fps, 1, areas);

    std::vector<std::vector<int>> triggers(areas.areas.size());
    std::vector<int32_t> flags(areas.areas.size());
    BgrImage img;
    Progress progress(cmd.progress, cmd.frames);
    Clock::duration detTime{}, renderTime{};
    const auto t0 = Clock::now();
    for (int i = 0; i < cmd.frames; ++i) {
        const auto r0 = Clock::now();
        scene.render(i, img);
        const auto d0 = Clock::now();
        std::fill(flags.begin(), flags.end(), 0);
        const int used = det.process(img.data.data(), W, H, 3, flags.data());
        const auto d1 = Clock::now();
        renderTime += d0 - r0;
        detTime += d1 - d0;
        if (!used) throw ToolError("the detector refused demo frame " + std::to_string(i));
        const double t = static_cast<double>(i) / fps;
        for (std::size_t c = 0; c < flags.size(); ++c)
            if (flags[c]) {
                triggers[c].push_back(i);
                events.write(Event{i, t, static_cast<int>(c), areas.areas[c].name});
            }
        review.frame(img, i, t, i == 0 ? nullptr : flags.data());
        progress.update(i + 1);
    }
    events.finish();
    review.finish();
    progress.done();
    const double total = Seconds(Clock::now() - t0);

    std::vector<int> matched;
    const std::vector<CoilScore> scores =
        ScoreTriggers(scene.entries(), triggers, cmd.frames, kHitWindow, areas, &matched);
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
    const double det_s = Seconds(detTime);
    std::printf("\nspeed: detector %.0f frames/s (%.3f ms per frame, %zu coils); scene rendering %.0f frames/s;"
                " whole demo %.0f frames/s\n",
                det_s > 0 ? cmd.frames / det_s : 0.0, det_s * 1000.0 / cmd.frames, areas.areas.size(),
                Seconds(renderTime) > 0 ? cmd.frames / Seconds(renderTime) : 0.0, total > 0 ? cmd.frames / total : 0.0);
    std::printf("output: %s (%sevents.csv, %struth.csv, %sareas.json%s)\n", dir.string().c_str(), prefix.c_str(),
                prefix.c_str(), prefix.c_str(), cmd.review ? (", " + prefix + "review.mp4").c_str() : "");
    std::fflush(stdout);
    return 0;
}

int RunVideo(const RunCommand& cmd) {
    AreasConfig areas = LoadAreasFile(cmd.areas);
    for (const std::string& w : areas.warnings) Warn(cmd.areas + ": " + w);
    VideoReader reader(cmd.video);
    bool checkedOutside = false;
    auto checkOutside = [&](int w, int h) {
        if (checkedOutside || w <= 0) return;
        checkedOutside = true;
        for (const std::string& msg : AreasOutsideFrame(areas, w, h)) Warn(cmd.areas + ": " + msg);
    };
    checkOutside(reader.width(), reader.height());

    tarvocoil::Detector det;
    ApplyAreas(det, areas);
    reader.seek(cmd.start);
    const double end = cmd.duration ? cmd.start + *cmd.duration : INFINITY;

    int64_t total = -1;
    const double length = reader.duration();
    if (length > 0) {
        const double span = std::min(length, end) - cmd.start;
        total = span > 0 ? static_cast<int64_t>(std::ceil(span * reader.frameRate() - 1e-6)) : 0;
    }

    // Review output is set up before any event is written, so that a bad
    // review path fails before the run starts (when the size is known).
    std::unique_ptr<ReviewOutput> review;
    const bool wantReview = !cmd.review.empty() || !cmd.snapshots.empty();
    if (wantReview && reader.width() > 0)
        review = std::make_unique<ReviewOutput>(cmd.review, cmd.snapshots, reader.width(), reader.height(),
                                                reader.frameRateNum(), reader.frameRateDen(), areas);
    EventWriter events(cmd.events, cmd.format);
    EventOutlet outlet(cmd.delivery);
    std::vector<int32_t> flags(areas.areas.size());
    BgrImage img;
    double t = 0.0;
    int64_t index = 0, count = 0;
    Progress progress(cmd.progress, total);
    while (reader.next(img, t)) {
        if (t >= end - 1e-9) break;
        checkOutside(img.width, img.height);
        if (!review && wantReview)
            review = std::make_unique<ReviewOutput>(cmd.review, cmd.snapshots, img.width, img.height,
                                                    reader.frameRateNum(), reader.frameRateDen(), areas);
        std::fill(flags.begin(), flags.end(), 0);
        if (!det.process(img.data.data(), img.width, img.height, 3, flags.data()))
            throw ToolError("the detector refused frame " + std::to_string(index) + " of '" + cmd.video + "'");
        const bool baseline = index == 0;
        if (!baseline)
            for (std::size_t c = 0; c < flags.size(); ++c)
                if (flags[c]) {
                    events.write(outlet.trigger(index, t, static_cast<int>(c), areas.areas[c].name));
                    ++count;
                }
        if (review) review->frame(img, index, t, baseline ? nullptr : flags.data());
        ++index;
        progress.update(index);
    }
    progress.done();
    if (index == 0) {
        if (cmd.start > 0)
            throw ToolError("'" + cmd.video + "' has no frames at or after " + Secs(cmd.start) + " s" +
                            (length > 0 ? " (it is " + Secs(length) + " s long)" : ""));
        throw ToolError("cannot decode any frame of '" + cmd.video + "'");
    }
    if (reader.damagedPackets() > 0)
        Warn("'" + cmd.video + "': skipped " + std::to_string(reader.damagedPackets()) + " damaged packets");
    events.finish();
    if (review) review->finish();
    outlet.finish();
    if (progress.on())
        std::fprintf(stderr, "tarvocoil: %lld frames, %lld events\n", static_cast<long long>(index),
                     static_cast<long long>(count));
    return 0;
}

int RenderFrame(const FrameCommand& cmd) {
    AreasConfig areas;
    if (!cmd.areas.empty()) {
        areas = LoadAreasFile(cmd.areas);
        for (const std::string& w : areas.warnings) Warn(cmd.areas + ": " + w);
    }
    VideoReader reader(cmd.video);
    const double step = 1.0 / std::max(1.0, reader.frameRate());
    reader.seek(std::max(0.0, cmd.at - 2.0 * step));
    // The frame on screen at `at`: the last one that starts at or before it.
    BgrImage shown, next;
    double shownTime = -1.0, t = 0.0;
    bool have = false;
    while (reader.next(next, t)) {
        if (have && t > cmd.at + 1e-4) break;
        std::swap(shown, next);
        shownTime = t;
        have = true;
        if (t > cmd.at + 1e-4) break;  // the video starts after `at`
    }
    if (!have && reader.lastDecodedTime() >= 0.0)  // every frame lay before `at`
        throw ToolError("'" + cmd.video + "' ends before " + Secs(cmd.at) + " s (its last frame is at " +
                        Secs(reader.lastDecodedTime()) + " s)");
    if (!have) throw ToolError("cannot decode any frame of '" + cmd.video + "'");
    if (cmd.at > shownTime + 2.0 * step)
        throw ToolError("'" + cmd.video + "' ends before " + Secs(cmd.at) + " s (its last frame is at " +
                        Secs(shownTime) + " s)");
    if (!cmd.areas.empty())
        for (const std::string& msg : AreasOutsideFrame(areas, shown.width, shown.height)) Warn(cmd.areas + ": " + msg);
    ReviewPainter painter(shown.width, shown.height, areas, reader.frameRate());
    if (!painter.textOk()) Warn("the picture carries no text: libavfilter's drawtext or a font is missing");
    // The frame index is not known after a seek; the caption gives the time.
    painter.paint(shown, -1, shownTime);
    WritePng(cmd.out, shown);
    return 0;
}

}  // namespace tarvotool
