// edit_video.cpp - frames, rows and detector runs for the editor.
#include "tools/edit/edit_video.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "host/errors.h"
#include "tools/loop/frame_loop.h"
#include "tools/media/picture_file.h"
#include "tools/media/review.h"
#include "tarvocoil.hpp"
#include "tools/media/video_reader.h"
#include "tools/media/video_source.h"

namespace tarvotool {

VideoFacts ProbeVideo(const std::string& path) {
    VideoReader reader(path);
    VideoFacts f;
    f.width = reader.width();
    f.height = reader.height();
    f.fps = reader.frameRate() > 0 ? reader.frameRate() : 25.0;
    f.duration = reader.containerDuration();
    if (f.duration > 0) f.frames = static_cast<int64_t>(std::ceil(f.duration * f.fps - 1e-6));
    VideoFrame first;
    if (!reader.next(first)) throw ToolError("cannot decode any frame of '" + path + "'");
    f.firstTime = first.time;
    if (f.width <= 0) {  // the size is only known from the first frame
        f.width = first.picture.width;
        f.height = first.picture.height;
    }
    return f;
}

std::vector<double> RunFrameTimes(const std::string& video) {
    VideoReader reader(video);
    VideoSource source(reader, video, 0.0, std::nullopt, false);
    std::vector<double> times;
    SourceFrame frame;
    while (source.next(frame)) times.push_back(frame.time);
    return times;
}

int64_t RunFrameIndex(const VideoFacts& facts, double seconds) {
    return std::llround((seconds - facts.firstTime) * facts.fps);
}

void FrameAt(const std::string& path, double seconds, BgrImage& out, double& shownTime) {
    // A reader of its own each time, as `frame` reads one picture.
    VideoReader reader(path);
    const double step = 1.0 / std::max(1.0, reader.frameRate());
    reader.seek(std::max(0.0, seconds - 2.0 * step));
    VideoFrame next;
    bool have = false;
    while (reader.next(next)) {
        if (have && next.time > seconds + 1e-4) break;
        out.assign(next.picture);
        shownTime = next.time;
        have = true;
        if (next.time > seconds + 1e-4) break;  // the video starts after `seconds`
    }
    if (!have && reader.lastDecodedTime() >= 0.0)
        throw ToolError("'" + path + "' ends before " + Secs(seconds) + " s (its last frame is at " +
                        Secs(reader.lastDecodedTime()) + " s)");
    if (!have) throw ToolError("cannot decode a frame of '" + path + "' at " + Secs(seconds) + " s");
    if (seconds > shownTime + 2.0 * step)
        throw ToolError("'" + path + "' ends before " + Secs(seconds) + " s (its last frame is at " +
                        Secs(shownTime) + " s)");
}

std::string PngBytes(const BgrImage& image) {
    // WritePng is the tool's one PNG encoder and writes files: go through a
    // private temporary folder of this call's own.
    namespace fs = std::filesystem;
    std::string tmpl = (fs::temp_directory_path() / "tarvocoil-edit-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw ToolError("cannot create a temporary folder");
    struct Remove {
        fs::path dir;
        ~Remove() {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    } remove{tmpl};
    const fs::path file = remove.dir / "frame.png";
    WritePng(file.string(), image);
    std::ifstream in(file, std::ios::binary);
    std::ostringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

namespace {

// The frame-loop sink of a test run: the events as `run`'s event sink
// writes them, each frame's time and each area's margin.
class TestSink : public FrameSink {
public:
    TestSink(DetectorRun& run, const AreasConfig& areas) : run_(run), areas_(areas) {
        run_.margins.resize(areas.areas.size());
    }
    bool wantsMeasurements() const override { return true; }
    void frame(const ProcessedFrame& f) override {
        run_.times.push_back(f.time);
        if (!f.baseline)
            for (std::size_t a = 0; a < f.areaCount; ++a)
                if (f.flags[a]) run_.events.push_back(Event{f.index, f.time, static_cast<int>(a), areas_.areas[a].name});
        const std::vector<tarvocoil::AreaMeasurement>* m = f.measurements;
        if (m && !m->empty()) run_.measured = true;
        if (m && std::any_of(m->begin(), m->end(), [](const auto& am) { return am.lightTested; }))
            run_.lightTested[f.index] = *m;
        for (std::size_t a = 0; a < run_.margins.size(); ++a) {
            std::optional<double> v;
            if (m && a < m->size()) {
                const tarvocoil::AreaMeasurement& am = (*m)[a];
                if (am.kind == tarvocoil::AreaMeasurement::Kind::Detect &&
                    am.presenceLimit.state == tarvocoil::LimitValue::State::Value && am.presenceLimit.value > 0)
                    v = static_cast<double>(am.bgDiffSum) / static_cast<double>(am.presenceLimit.value);
            }
            run_.margins[a].push_back(v);
        }
    }

private:
    DetectorRun& run_;
    const AreasConfig& areas_;
};

}  // namespace

DetectorRun RunDetector(const std::string& video, const AreasConfig& areas, double start,
                        std::optional<double> duration) {
    VideoReader reader(video);
    tarvocoil::Detector det;
    ApplyAreas(det, areas);
    VideoSource source(reader, video, start, duration, false);
    DetectorRun run;
    run.start = start;
    TestSink sink(run, areas);
    TrafficTestSink traffic(areas, run.traffic);
    FrameLoop loop(det, areas.areas.size());
    loop.add(sink);
    loop.add(traffic);
    const LoopStats stats = loop.run(source);
    if (stats.processed < 2) throw ToolError(source.emptyReason());
    return run;
}

std::vector<std::vector<tarvocoil::AreaRow>> CoveredRows(const AreasConfig& areas, int width, int height) {
    tarvocoil::Detector det;
    ApplyAreas(det, areas);
    std::vector<std::vector<tarvocoil::AreaRow>> out;
    for (const auto& rows : AreaRowsOf(det)) {
        out.emplace_back();
        for (const tarvocoil::AreaRow& r : rows) {
            if (r.y < 0 || r.y >= height || r.right < 0 || r.left >= width) continue;
            out.back().push_back({r.y, std::max(r.left, 0), std::min(r.right, width - 1)});
        }
    }
    return out;
}

}  // namespace tarvotool
