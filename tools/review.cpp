// review.cpp - review video, snapshots and area drawings.
#include "review.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>

#include "common.h"

namespace tarvotool {

namespace {

constexpr Color kIdle{40, 220, 40};
constexpr Color kHit{40, 40, 255};

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

ReviewPainter::ReviewPainter(int width, int height, const AreasConfig& areas, double fps)
    : areas_(areas),
      age_(areas.areas.size(), -1),
      flashFrames_(std::max(1, static_cast<int>(std::lround(fps * 0.5)))),
      text_(width, height, Labels(areas, width, height)) {}

std::string ReviewPainter::Caption(int64_t frame, double time) {
    const double t = std::max(0.0, time);
    const long long ms = static_cast<long long>(std::llround(t * 1000.0));
    char buf[96];
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld.%03lld", ms / 3600000, (ms / 60000) % 60, (ms / 1000) % 60,
                  ms % 1000);
    if (frame < 0) return buf;
    return "frame " + std::to_string(frame) + "   " + buf;
}

void ReviewPainter::triggered(const int32_t* flags) {
    for (std::size_t i = 0; i < age_.size(); ++i) {
        if (flags && flags[i]) {
            age_[i] = 0;
        } else if (age_[i] >= 0) {
            age_[i] = age_[i] + 1 >= flashFrames_ ? -1 : age_[i] + 1;
        }
    }
}

void ReviewPainter::paint(BgrImage& img, int64_t frame, double time) {
    for (std::size_t i = 0; i < areas_.areas.size(); ++i) {
        const AreaQuad& q = areas_.areas[i].quad;
        if (age_[i] >= 0) {
            const float fade = 1.0f - static_cast<float>(age_[i]) / static_cast<float>(flashFrames_);
            FillQuad(img, q, kHit, 0.55f * fade);
            DrawQuadOutline(img, q, kHit, 3);
        } else {
            DrawQuadOutline(img, q, kIdle, 2);
        }
    }
    text_.paint(img, Caption(frame, time));
}

ReviewOutput::ReviewOutput(const std::string& videoPath, const std::string& snapshotDir, int width, int height,
                           int fpsNum, int fpsDen, const AreasConfig& areas)
    : snapshotDir_(snapshotDir),
      painter_(width, height, areas, fpsDen > 0 ? double(fpsNum) / fpsDen : 25.0),
      snapPainter_(width, height, areas, 1.0),
      areaCount_(areas.areas.size()) {
    if (!snapshotDir_.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(snapshotDir_, ec);
        if (ec || !std::filesystem::is_directory(snapshotDir_, ec))
            throw ToolError("cannot create snapshot folder '" + snapshotDir_ + "': " + ec.message());
    }
    if (!videoPath.empty()) writer_ = std::make_unique<VideoWriter>(videoPath, width, height, fpsNum, fpsDen);
    if (active() && !painter_.textOk())
        Warn("pictures carry no text: libavfilter's drawtext or a font is missing (install fonts-dejavu-core)");
}

void ReviewOutput::frame(const BgrImage& img, int64_t index, double time, const int32_t* flags) {
    if (writer_) {
        scratch_ = img;
        painter_.triggered(flags);
        painter_.paint(scratch_, index, time);
        writer_->write(scratch_);
    }
    if (!snapshotDir_.empty() && flags && std::any_of(flags, flags + areaCount_, [](int32_t f) { return f != 0; })) {
        scratch_ = img;
        snapPainter_.triggered(flags);
        snapPainter_.paint(scratch_, index, time);
        char name[64];
        std::snprintf(name, sizeof name, "frame-%06lld.png", static_cast<long long>(index));
        WritePng((std::filesystem::path(snapshotDir_) / name).string(), scratch_);
        ++snapshots_;
    }
}

void ReviewOutput::finish() {
    if (writer_) writer_->finish();
}

}  // namespace tarvotool
