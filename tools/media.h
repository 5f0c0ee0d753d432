// media.h - video in and out through FFmpeg's libraries.
//
// VideoReader decodes any file libavformat can open and hands out frames in
// the detector's layout (BGR, rows padded to 4 bytes). VideoWriter encodes
// BGR frames into any container. WritePng stores one picture. TextPainter
// draws text with libavfilter's drawtext.
#ifndef TARVOCOIL_TOOLS_MEDIA_H
#define TARVOCOIL_TOOLS_MEDIA_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "canvas.h"
#include "tarvocoil.hpp"

namespace tarvotool {

// Silences FFmpeg's own log unless verbose (the tool reports errors itself).
void SetMediaVerbose(bool verbose);

// The detector's limits on frame size.
using tarvocoil::kMaxFrameWidth;
using tarvocoil::kMaxFrameHeight;

class VideoReader {
public:
    // Opens the file and its best video stream; throws ToolError when the
    // file cannot be read, has no video or no decoder, or its frames are
    // larger than the detector accepts.
    explicit VideoReader(const std::string& path);
    ~VideoReader();
    VideoReader(const VideoReader&) = delete;
    VideoReader& operator=(const VideoReader&) = delete;

    // Size of every frame handed out (the first frame's size; frames of
    // another size later in the stream are scaled to it).
    int width() const;
    int height() const;
    // Frames per second as the container states it (25 when unknown).
    double frameRate() const;
    int frameRateNum() const;
    int frameRateDen() const;
    // Length in seconds, or a negative value when unknown.
    double duration() const;

    // Positions the reader so that next() returns the first frame whose time
    // is at or after `seconds`.
    void seek(double seconds);

    // The next frame and its presentation time in seconds from the start of
    // the video. False at the end.
    bool next(BgrImage& out, double& seconds);

    // Time of the last frame decoded, handed out or skipped (negative before
    // the first).
    double lastDecodedTime() const;

    // Packets the decoder rejected so far (damaged data is skipped).
    int64_t damagedPackets() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class VideoWriter {
public:
    // codec: an encoder name ("ffv1", "libx264", ...) or empty for the
    // container's usual choice (H.264 when available for .mp4/.mkv/.mov).
    // FFV1 stores BGR without loss.
    VideoWriter(const std::string& path, int width, int height, int fpsNum, int fpsDen,
                const std::string& codec = "");
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    void write(const BgrImage& frame);
    // Flushes the encoder and closes the file; throws on failure.
    void finish();
    // Encoded size (width and height rounded up to even numbers where the
    // pixel format needs it).
    int width() const;
    int height() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

void WritePng(const std::string& path, const BgrImage& image);

struct TextLabel {
    std::string text;
    int x = 0;
    int y = 0;
};

class TextPainter {
public:
    // Static labels are drawn on every picture; the caption given to paint()
    // goes to the top-left corner.
    TextPainter(int width, int height, const std::vector<TextLabel>& labels);
    ~TextPainter();
    TextPainter(const TextPainter&) = delete;
    TextPainter& operator=(const TextPainter&) = delete;

    // False when drawtext or a font is missing; paint() then does nothing.
    bool ok() const;
    void paint(BgrImage& image, const std::string& caption);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvotool

#endif
