// video_reader.h - frames of a video file in the detector's pixel format.
//
// VideoReader decodes any file libavformat can open and hands out every
// frame in decode order as 24-bit BGR, converted into a buffer FFmpeg
// allocated with the alignment and padding its converters need, and viewed
// with that buffer's own row stride. A reader whose consumer looks at a few
// rows only (the detector without pictures to write) converts just those.
#ifndef TARVOCOIL_TOOLS_MEDIA_VIDEO_READER_H
#define TARVOCOIL_TOOLS_MEDIA_VIDEO_READER_H

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tarvocoil.hpp"

namespace tarvotool {

class StreamTap;

// Whether the path names a V4L2 camera (/dev/video*), opened with
// libavdevice's V4L2 input rather than as a file.
bool IsVideoDevice(const std::string& path);

// Silences FFmpeg's own log unless verbose (the tool reports errors itself).
void SetMediaVerbose(bool verbose);

// Rows begin..end-1 of a picture.
struct RowBand {
    int begin = 0;
    int end = 0;
};

// The rows a consumer reads in a picture of the given size, sorted, not
// overlapping.
using RowsRead = std::function<std::vector<RowBand>(int width, int height)>;

struct VideoReaderOptions {
    // Container stream index of the video stream to read; -1: the best one.
    int stream = -1;
    // While *stop is non-zero, reading and waiting for input give up, and
    // next() reports the end. May be null.
    const volatile std::sig_atomic_t* stop = nullptr;
    // Live input: opening, and each wait for data, give up after this many
    // seconds without any (stalled() tells); 0 waits as long as it takes.
    double stallSeconds = 0.0;
    // Size to scale every frame to (a reconnection keeps the size the
    // areas were drawn for); 0: the first frame's.
    int width = 0, height = 0;
    // When set, only these rows (widened to the colour subsampling) are
    // converted to BGR; the other rows of a handed-out picture hold zeros
    // or an earlier frame's pixels. Unset: whole frames.
    RowsRead rows;
    // With `rows`: asked before each frame is converted; true converts that
    // frame whole (a service that draws pictures only while someone
    // watches). Called on the reading thread.
    std::function<bool()> wholeFrame;
    // When set, shown the video stream once it is open, each of its
    // packets before it is decoded, and the end of the reader (recordings
    // of a stream already being decoded). Not owned; outlives the reader.
    StreamTap* tap = nullptr;
    // Hand out pictures that outlive the next call: each VideoFrame::keep
    // holds its picture's buffer, and the reader converts the next frames
    // into other buffers while it is held (a consumer on another thread
    // then needs no copy). With `rows`, the unconverted rows of such a
    // buffer hold whichever earlier frame was converted into it.
    bool sharePictures = false;
};

struct VideoFrame {
    tarvocoil::FrameView picture;  // valid until the next call on the reader
    double time = 0.0;             // seconds from the stream's start time
    // Decode-order index of the frame in the file, counted from 0. After a
    // seek the count starts from the first frame's time times the frame
    // rate (exact for constant-rate video).
    int64_t index = 0;
    // The frame's size as decoded; `picture` is scaled from it when it
    // differs from width() x height().
    int decodedWidth = 0, decodedHeight = 0;
    // With VideoReaderOptions::sharePictures: keeps `picture` valid while
    // held (on any thread); null otherwise.
    std::shared_ptr<const void> keep;
};

class VideoReader {
public:
    // Opens the file ("-" reads standard input; /dev/video* is a V4L2
    // camera) and its video stream;
    // throws ToolError when the file cannot be read, has no video (cover
    // art does not count) or no decoder, or its frames are outside the
    // detector's limits.
    explicit VideoReader(const std::string& path, const VideoReaderOptions& options = {});
    ~VideoReader();
    VideoReader(const VideoReader&) = delete;
    VideoReader& operator=(const VideoReader&) = delete;

    // Size of every frame handed out (options.width x height, or the first
    // frame's size; frames of another size later in the stream are scaled
    // to it, and VideoFrame::decodedWidth/Height tell).
    int width() const;
    int height() const;
    // Frames per second as the container states it (25 when unknown).
    double frameRate() const;
    int frameRateNum() const;
    int frameRateDen() const;
    // The container's idea of the length in seconds, or a negative value
    // when unknown: only a guess (progress display), never used in
    // messages, which speak of frames actually decoded.
    double containerDuration() const;
    // The length the file's header states (Matroska, MP4, ...), or a
    // negative value when the container only estimates it (MPEG-TS).
    double statedLength() const;
    // Whether the decoder gave out everything up to the end of the file.
    bool atEnd() const;
    // Container stream index in use, and the number of video streams.
    int streamIndex() const;
    int videoStreams() const;
    // Rotation in degrees of the file's display matrix, 0..359 (0 when
    // none), the figure ffprobe shows as "rotation".
    int rotation() const;
    // Whether the file can seek (regular files usually; pipes not).
    bool seekable() const;

    // Positions the reader on the first frame at or after `seconds`: it
    // seeks to a keyframe at or before that time and decodes forward, so
    // that the frame is the same as when reading from the start. The
    // frames before it are decoded and dropped; from that frame on every
    // frame comes in decode order, whatever its time.
    void seek(double seconds);

    // The next frame. False at the end (or when stopped).
    bool next(VideoFrame& out);

    // Time of the last frame decoded, handed out or dropped (negative
    // before the first).
    double lastDecodedTime() const;
    // Frames decoded (handed out or dropped before a seek target).
    int64_t decodedFrames() const;
    // Decoding errors: packets the decoder refused and frames it marked as
    // damaged. Errors while a seek finds its way into the stream (before
    // its first frame) are not counted.
    int64_t decodeErrors() const;
    // Packets of the stream that gave no frame, known once the end of the
    // file was reached (0 before).
    int64_t lostFrames() const;
    // Whether reading stopped because of *options.stop.
    bool stopped() const;
    // Whether reading ended because no data came for options.stallSeconds.
    bool stalled() const;
    // Why reading ended before the end of the input (a network or read
    // error), empty at a normal end.
    const std::string& readError() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvotool

#endif
