// review.cpp - review video, snapshots and area drawings.
#include "tools/media/review.h"

#include "tools/media/light_picture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "host/errors.h"
#include "tools/media/picture_file.h"

namespace tarvotool {

namespace {

std::vector<TextLabel> Labels(const AreasConfig& areas, int width, int height) {
    std::vector<TextLabel> out;
    const int size = std::max(10, height / 40);
    for (std::size_t i = 0; i < areas.areas.size() && i < static_cast<std::size_t>(kMaxLabels); ++i) {
        const AreaQuad& q = areas.areas[i].quad;
        // Above the topmost vertex, kept inside the picture.
        const int32_t xs[4] = {q.x0, q.x1, q.x2, q.x3}, ys[4] = {q.y0, q.y1, q.y2, q.y3};
        int best = 0;
        for (int k = 1; k < 4; ++k)
            if (ys[k] < ys[best] || (ys[k] == ys[best] && xs[k] < xs[best])) best = k;
        const int x = std::clamp<int>(xs[best], 2, std::max(2, width - 8 * size));
        const int y = std::clamp<int>(ys[best] - size - 8, 2, std::max(2, height - size - 6));
        out.push_back(TextLabel{std::to_string(i) + " " + areas.areas[i].name, x, y});
    }
    return out;
}

}  // namespace

std::vector<std::vector<tarvocoil::AreaRow>> AreaRowsOf(const tarvocoil::Detector& detector) {
    std::vector<std::vector<tarvocoil::AreaRow>> out(static_cast<std::size_t>(std::max(0, detector.areaCount())));
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = detector.areaRows(static_cast<int32_t>(i));
    return out;
}

ReviewPainter::ReviewPainter(int width, int height, const AreasConfig& areas,
                             const std::vector<std::vector<tarvocoil::AreaRow>>& rows, double fps)
    : rows_(rows),
      flash_(rows.size()),
      flashFrames_(std::max(1, static_cast<int>(std::lround(fps * 0.5)))),
      text_(width, height, Labels(areas, width, height)) {}

std::string ReviewPainter::Caption(int64_t frame, double time) {
    const double t = std::max(0.0, time);
    const long long ms = static_cast<long long>(std::llround(std::min(t, 1e15) * 1000.0));
    char buf[96];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld.%03lld", ms / 3600000, (ms / 60000) % 60, (ms / 1000) % 60,
                  ms % 1000);
    if (frame < 0) return buf;
    return "frame " + std::to_string(frame) + "   " + buf;
}

void ReviewPainter::triggered(const int32_t* flags) { flash_.advance(flags, flashFrames_); }

void ReviewPainter::paint(BgrImage& img, int64_t frame, double time) {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const int age = flash_.age(i);
        if (age >= 0) {
            const float fade = 1.0f - static_cast<float>(age) / static_cast<float>(flashFrames_);
            FillRows(img, rows_[i], kCoilTriggered, 0.55f * fade);
            DrawRowsOutline(img, rows_[i], kCoilTriggered, 3);
        } else {
            DrawRowsOutline(img, rows_[i], kCoilIdle, 2);
        }
    }
    text_.paint(img, Caption(frame, time));
}

void WarnAboutText(const ReviewPainter& painter, const AreasConfig& areas) {
    if (!painter.textOk()) {
        Warn("pictures carry no text: libavfilter's drawtext or a font is missing (install fonts-dejavu-core)");
        return;
    }
    for (std::size_t i = 0; i < areas.areas.size() && i < static_cast<std::size_t>(kMaxLabels); ++i)
        if (!TextPainter::FontCovers(areas.areas[i].name)) {
            Warn("area " + std::to_string(i) + "'s name has characters beyond Latin, Greek and Cyrillic; the "
                 "pictures' font shows them as boxes");
            return;
        }
}

ReviewVideoSink::ReviewVideoSink(const std::string& path, int width, int height, int fpsNum, int fpsDen,
                                 const AreasConfig& areas, const std::vector<std::vector<tarvocoil::AreaRow>>& rows,
                                 std::optional<tarvocoil::Settings> light)
    : writer_(path, width, height, fpsNum, fpsDen),
      painter_(width, height, areas, rows, fpsDen > 0 && fpsNum > 0 ? double(fpsNum) / fpsDen : 25.0),
      light_(light),
      rows_(light ? rows : std::vector<std::vector<tarvocoil::AreaRow>>{}) {}

void ReviewVideoSink::frame(const ProcessedFrame& f) {
    if (!started_) {
        started_ = true;
        origin_ = f.time;
    }
    scratch_.assign(f.picture);
    painter_.triggered(f.baseline ? nullptr : f.flags);
    painter_.paint(scratch_, f.index, f.time);
    if (light_) PaintLightPicture(scratch_, f.picture, rows_, f.measurements, *light_);
    writer_.write(scratch_, f.time - origin_);
}

void ReviewVideoSink::finish() { writer_.finish(); }

SnapshotSink::SnapshotSink(const std::string& dir, int width, int height, const AreasConfig& areas,
                           const std::vector<std::vector<tarvocoil::AreaRow>>& rows, bool overwrite)
    : dir_(dir), painter_(width, height, areas, rows, 1.0) {
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (ec || !std::filesystem::is_directory(dir_, ec))
        throw ToolError("cannot create snapshot folder '" + dir_ + "': " + ec.message());
    if (!overwrite && !std::filesystem::is_empty(dir_, ec))
        throw ToolError("snapshot folder '" + dir_ +
                        "' is not empty (its pictures would mix with this run's; use --overwrite to write into it)");
}

void SnapshotSink::frame(const ProcessedFrame& f) {
    if (f.baseline || !f.anyTrigger()) return;
    scratch_.assign(f.picture);
    painter_.triggered(f.flags);
    painter_.paint(scratch_, f.index, f.time);
    char name[64];
    std::snprintf(name, sizeof name, "frame-%06lld.png", static_cast<long long>(f.fileIndex >= 0 ? f.fileIndex : f.index));
    WritePng((std::filesystem::path(dir_) / name).string(), scratch_);
}

}  // namespace tarvotool
