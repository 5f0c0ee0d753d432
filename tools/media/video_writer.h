// video_writer.h - BGR pictures into a video file through FFmpeg's libraries.
#ifndef TARVOCOIL_TOOLS_MEDIA_VIDEO_WRITER_H
#define TARVOCOIL_TOOLS_MEDIA_VIDEO_WRITER_H

#include <cstdint>
#include <memory>
#include <string>

#include "host/canvas.h"

namespace tarvotool {

class VideoWriter {
public:
    // codec: an encoder name ("ffv1", "libx264", ...) or empty for the
    // container's usual choice (H.264 when available for .mp4/.mkv/.mov).
    // FFV1 stores BGR without loss. fpsNum/fpsDen is the nominal frame
    // rate: the spacing of frames written without a time, and the rate the
    // encoder plans for.
    VideoWriter(const std::string& path, int width, int height, int fpsNum, int fpsDen,
                const std::string& codec = "");
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    // The next frame, one nominal frame interval after the previous one.
    void write(const BgrImage& frame);
    // A frame shown from `seconds` on, so that the file plays at the speed
    // of its source (variable frame rates included). A time not after the
    // previous frame's is moved just after it.
    void write(const BgrImage& frame, double seconds);
    // Flushes the encoder and closes the file; throws on failure. The file
    // is playable afterwards; without finish() it may lack its index.
    void finish();
    // Encoded size (width and height rounded up to even numbers where the
    // pixel format needs it).
    int width() const;
    int height() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvotool

#endif
