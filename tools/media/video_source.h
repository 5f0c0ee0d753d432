// video_source.h - a video file as the frame loop's source: the frames of a
// time window, in decode order.
#ifndef TARVOCOIL_TOOLS_MEDIA_VIDEO_SOURCE_H
#define TARVOCOIL_TOOLS_MEDIA_VIDEO_SOURCE_H

#include <optional>
#include <string>

#include "tools/loop/frame_loop.h"
#include "tools/media/video_reader.h"

namespace tarvotool {

class VideoSource : public FrameSource {
public:
    // The window starts at the first frame at or after `start` seconds
    // (the reader seeks there) and ends before the first frame at or after
    // start + duration. strict: a decoding error ends the run with a
    // ToolError.
    VideoSource(VideoReader& reader, const std::string& name, double start, std::optional<double> duration,
                bool strict);
    // A frame whose decoded size differs from the one before asks for a
    // new baseline (the reader scales it to the first frame's size).
    bool next(SourceFrame& out) override;
    // Reads the window's first frame ahead and keeps it for next(), so that
    // outputs are only made once the input has given a frame. False when
    // the window holds none (emptyReason() says why; or the run was
    // stopped).
    bool prime();

    // Frames the window should give, guessed from the container's duration;
    // -1 when it does not say.
    int64_t expectedFrames() const;
    // Before the run: warnings about several video streams (unless one was
    // chosen) and a display rotation the tool does not apply.
    void warnAboutInput(bool streamChosen) const;
    // After the run: an error when fewer than two frames were processed
    // (unless stopped), warnings for damage and a file cut short.
    void checkEnd(const LoopStats& stats) const;
    // When the file ended well before the length its header states (it
    // was cut short): a warning naming both times, else empty.
    std::string truncation() const;
    // Why nothing (or only one frame) was delivered, as a message naming
    // the file: "no frames between ...", "ends before ...", "cannot decode
    // any frame ...".
    std::string emptyReason() const;

private:
    // The reader's next frame, with the --strict checks.
    bool read(VideoFrame& f);
    VideoReader& reader_;
    VideoFrame primed_;
    bool havePrimed_ = false;
    bool ended_ = false;  // the window's end was seen
    std::string name_;
    double start_;
    double end_;
    bool strict_;
    int64_t delivered_ = 0;
    bool beyond_ = false;  // stopped at a frame at or after the end
    double beyondTime_ = 0.0;
    PictureSizeWatch sizes_;
};

// A decoded frame as the loop's SourceFrame: picture, time, index in the
// file and decoded size (the baseline fields are the source's to set).
void ToSourceFrame(const VideoFrame& f, SourceFrame& out);

// Seconds for messages: 12.5, 4.76, 1e+300.
std::string Secs(double s);

}  // namespace tarvotool

#endif
