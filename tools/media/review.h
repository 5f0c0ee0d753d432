// review.h - pictures for people: areas outlined and labelled exactly as
// the detector covers them, triggered areas flashing, frame number and time
// in the corner; and the review video and snapshot sinks of the frame loop.
#ifndef TARVOCOIL_TOOLS_MEDIA_REVIEW_H
#define TARVOCOIL_TOOLS_MEDIA_REVIEW_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/areas_file.h"
#include "host/canvas.h"
#include "host/coil_flash.h"
#include "tools/loop/frame_loop.h"
#include "tools/media/text_painter.h"
#include "tools/media/video_writer.h"

namespace tarvotool {

// Areas beyond this many are outlined but not labelled.
constexpr int kMaxLabels = 64;

// The rows of every area installed in `detector`, in area order.
std::vector<std::vector<tarvocoil::AreaRow>> AreaRowsOf(const tarvocoil::Detector& detector);

class ReviewPainter {
public:
    // rows: one entry per area of `areas`, as the detector covers it.
    ReviewPainter(int width, int height, const AreasConfig& areas,
                  const std::vector<std::vector<tarvocoil::AreaRow>>& rows, double fps);

    // Remembers the triggers of one processed frame (one flag per area).
    void triggered(const int32_t* flags);
    // Draws every area onto img: triggered areas filled and outlined in red,
    // fading over half a second; the caption gives frame and time.
    void paint(BgrImage& img, int64_t frame, double time);
    // Whether drawtext works (otherwise pictures carry no text).
    bool textOk() const { return text_.ok(); }

    static std::string Caption(int64_t frame, double time);

private:
    std::vector<std::vector<tarvocoil::AreaRow>> rows_;
    CoilFlash flash_;
    int flashFrames_;
    TextPainter text_;
};

// Warnings about pictures: text missing, names the font cannot show.
void WarnAboutText(const ReviewPainter& painter, const AreasConfig& areas);

// The review video: every processed frame, painted, at its source time
// (counted from the first processed frame), so that it plays at the speed
// of the source.
class ReviewVideoSink : public FrameSink {
public:
    // light: also paint the light view (tools/media/light_picture.h) with
    // these settings, the detector's blob of each frame included.
    ReviewVideoSink(const std::string& path, int width, int height, int fpsNum, int fpsDen,
                    const AreasConfig& areas, const std::vector<std::vector<tarvocoil::AreaRow>>& rows,
                    std::optional<tarvocoil::Settings> light = std::nullopt);
    bool wantsMeasurements() const override { return light_.has_value(); }
    void frame(const ProcessedFrame& f) override;
    void finish() override;
    const ReviewPainter& painter() const { return painter_; }

private:
    VideoWriter writer_;
    ReviewPainter painter_;
    BgrImage scratch_;
    double origin_ = 0.0;
    bool started_ = false;
    std::optional<tarvocoil::Settings> light_;
    std::vector<std::vector<tarvocoil::AreaRow>> rows_;  // kept for the light view only
};

// One PNG per frame with triggers, named frame-NNNNNN.png after the frame's
// index in the file (the processed-frame index when the file's is unknown).
class SnapshotSink : public FrameSink {
public:
    // The folder is created; one that holds files already is refused
    // unless `overwrite`.
    SnapshotSink(const std::string& dir, int width, int height, const AreasConfig& areas,
                 const std::vector<std::vector<tarvocoil::AreaRow>>& rows, bool overwrite);
    void frame(const ProcessedFrame& f) override;

private:
    std::string dir_;
    ReviewPainter painter_;
    BgrImage scratch_;
};

}  // namespace tarvotool

#endif
