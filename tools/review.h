// review.h - pictures for people: areas outlined and labelled, triggered
// areas flashing, frame number and time in the corner.
#ifndef TARVOCOIL_TOOLS_REVIEW_H
#define TARVOCOIL_TOOLS_REVIEW_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "areas_file.h"
#include "canvas.h"
#include "media.h"

namespace tarvotool {

// Areas beyond this many are outlined but not labelled.
constexpr int kMaxLabels = 64;

class ReviewPainter {
public:
    ReviewPainter(int width, int height, const AreasConfig& areas, double fps);

    // Remembers the triggers of one processed frame (one flag per area).
    void triggered(const int32_t* flags);
    // Draws every area onto img: triggered areas filled and outlined in red,
    // fading over half a second; the caption gives frame and time.
    void paint(BgrImage& img, int64_t frame, double time);
    // Whether drawtext works (otherwise pictures carry no text).
    bool textOk() const { return text_.ok(); }

    static std::string Caption(int64_t frame, double time);

private:
    AreasConfig areas_;
    std::vector<int> age_;  // frames since the area's last trigger, -1 none
    int flashFrames_;
    TextPainter text_;
};

// What `run` writes besides the events: a review video and/or one PNG per
// frame with triggers.
class ReviewOutput {
public:
    ReviewOutput(const std::string& videoPath, const std::string& snapshotDir, int width, int height,
                 int fpsNum, int fpsDen, const AreasConfig& areas);
    bool active() const { return writer_ || !snapshotDir_.empty(); }
    // flags: one per area for this frame, or null for the baseline frame.
    void frame(const BgrImage& img, int64_t index, double time, const int32_t* flags);
    void finish();
    int64_t snapshots() const { return snapshots_; }

private:
    std::unique_ptr<VideoWriter> writer_;
    std::string snapshotDir_;
    ReviewPainter painter_;
    ReviewPainter snapPainter_;
    BgrImage scratch_;
    int64_t snapshots_ = 0;
    std::size_t areaCount_;
};

}  // namespace tarvotool

#endif
