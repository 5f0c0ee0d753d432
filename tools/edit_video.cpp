// edit_video.cpp - frames, rows and detector runs for the editor.
#include "edit_video.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common.h"
#include "media.h"
#include "tarvocoil.hpp"

namespace tarvotool {

namespace {

std::string Secs(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", s);
    return buf;
}

}  // namespace

VideoFacts ProbeVideo(const std::string& path) {
    VideoReader reader(path);
    VideoFacts f;
    f.width = reader.width();
    f.height = reader.height();
    f.fps = reader.frameRate() > 0 ? reader.frameRate() : 25.0;
    f.duration = reader.duration();
    if (f.duration > 0) f.frames = static_cast<int64_t>(std::ceil(f.duration * f.fps - 1e-6));
    if (f.width <= 0) {  // the size is only known from the first frame
        BgrImage img;
        double t = 0;
        if (!reader.next(img, t)) throw ToolError("cannot decode any frame of '" + path + "'");
        f.width = img.width;
        f.height = img.height;
    }
    return f;
}

void FrameAt(const std::string& path, double seconds, BgrImage& out, double& shownTime) {
    // A reader of its own each time: seeking back to the start is not
    // possible on every reader once it has moved on.
    VideoReader reader(path);
    const double step = 1.0 / std::max(1.0, reader.frameRate());
    reader.seek(std::max(0.0, seconds - 2.0 * step));
    BgrImage next;
    double t = 0.0;
    bool have = false;
    while (reader.next(next, t)) {
        if (have && t > seconds + 1e-4) break;
        std::swap(out, next);
        shownTime = t;
        have = true;
        if (t > seconds + 1e-4) break;  // the video starts after `seconds`
    }
    if (!have && reader.lastDecodedTime() >= 0.0)
        throw ToolError("'" + path + "' ends before " + Secs(seconds) + " s (its last frame is at " +
                        Secs(reader.lastDecodedTime()) + " s)");
    if (!have && reader.duration() > 0 && seconds >= reader.duration())
        throw ToolError("'" + path + "' ends before " + Secs(seconds) + " s (it is " + Secs(reader.duration()) +
                        " s long)");
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

DetectorRun RunDetector(const std::string& video, const AreasConfig& areas, double start,
                        std::optional<double> duration) {
    VideoReader reader(video);
    tarvocoil::Detector det;
    ApplyAreas(det, areas);
    det.setMeasuring(true);
    reader.seek(start);
    const double end = duration ? start + *duration : INFINITY;
    DetectorRun run;
    run.start = start;
    run.margins.resize(areas.areas.size());
    std::vector<int32_t> flags(areas.areas.size());
    BgrImage img;
    double t = 0.0;
    int64_t index = 0;
    while (reader.next(img, t)) {
        if (t >= end - 1e-9) break;
        std::fill(flags.begin(), flags.end(), 0);
        if (!det.process(img.data.data(), img.width, img.height, 3, flags.data()))
            throw ToolError("the detector refused frame " + std::to_string(index) + " of '" + video + "'");
        run.times.push_back(t);
        if (index > 0)
            for (std::size_t c = 0; c < flags.size(); ++c)
                if (flags[c]) run.events.push_back(Event{index, t, static_cast<int>(c), areas.areas[c].name});
        const auto& m = det.measurements();
        if (!m.empty()) run.measured = true;
        for (std::size_t c = 0; c < run.margins.size(); ++c) {
            std::optional<double> v;
            if (c < m.size() && m[c].kind == tarvocoil::AreaMeasurement::Kind::Detect &&
                m[c].presenceLimit.state == tarvocoil::LimitValue::State::Value && m[c].presenceLimit.value > 0)
                v = static_cast<double>(m[c].bgDiffSum) / static_cast<double>(m[c].presenceLimit.value);
            run.margins[c].push_back(v);
        }
        ++index;
    }
    if (index == 0) throw ToolError("'" + video + "' has no frames at or after " + Secs(start) + " s");
    return run;
}

std::vector<std::vector<tarvocoil::AreaRow>> CoveredRows(const AreasConfig& areas, int width, int height) {
    tarvocoil::Detector det;
    ApplyAreas(det, areas);
    std::vector<std::vector<tarvocoil::AreaRow>> out(areas.areas.size());
    for (std::size_t i = 0; i < out.size(); ++i)
        for (const tarvocoil::AreaRow& r : det.areaRows(static_cast<int32_t>(i))) {
            if (r.y < 0 || r.y >= height || r.right < 0 || r.left >= width) continue;
            out[i].push_back({r.y, std::max(r.left, 0), std::min(r.right, width - 1)});
        }
    return out;
}

}  // namespace tarvotool
