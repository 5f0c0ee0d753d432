// stream_record.h - a clip of a live source, recorded by copying its video
// packets (no re-encoding: the clip holds the very pictures the live
// detector decodes), from the first keyframe on.
#ifndef TARVOCOIL_TOOLS_MEDIA_STREAM_RECORD_H
#define TARVOCOIL_TOOLS_MEDIA_STREAM_RECORD_H

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct AVCodecParameters;
struct AVPacket;

namespace tarvotool {

struct StreamRecordOptions {
    std::string source;   // any input `run` reads live (rtsp://, udp://, /dev/video0, ...)
    std::string out;      // the clip; its container follows the name (.mkv, .mp4, .ts)
    double seconds = 60.0;
    // Seconds the source may go without a video packet (before the first
    // keyframe: without a keyframe) before the recording fails.
    double stallSeconds = 10.0;
    bool overwrite = false;  // replace an existing `out`
    const volatile std::sig_atomic_t* stop = nullptr;
    // Called now and then with the seconds recorded so far.
    std::function<void(double recorded)> progress;
};

struct StreamRecording {
    double seconds = 0.0;  // of the source's time, first keyframe to last packet
    int64_t packets = 0;
    bool cutShort = false;  // the source ended, stalled or was stopped first
};

// Records the clip: into a temporary file beside `out`, renamed over it
// when complete, so that `out` never holds a part of a clip. Throws
// ToolError when `out` exists (unless overwrite), when the source cannot
// be read, or when it gives no keyframe within the stall time (nothing is
// written then). A source that ends, stalls or is stopped after its first
// keyframe, or whose clock jumps back, leaves the shorter clip (cutShort).
StreamRecording RecordStream(const StreamRecordOptions& options);

// The muxing side of a recording, for any supplier of a video stream's
// packets (a source opened for the recording, or one being decoded
// already): packets from the first keyframe on, timed from it, into a
// temporary file beside `out` that finish() renames over it.
class ClipWriter {
public:
    // The stream's codec parameters and time base; opens the temporary
    // file in the container `out`'s name asks for. Throws ToolError.
    ClipWriter(const AVCodecParameters* codec, int timeBaseNum, int timeBaseDen, const std::string& out,
               double seconds);
    ~ClipWriter();  // removes the temporary file unless finish() renamed it
    ClipWriter(const ClipWriter&) = delete;
    ClipWriter& operator=(const ClipWriter&) = delete;

    // Whether a keyframe has come (nothing is written before one).
    bool started() const;
    // Takes one packet (its reference, whatever the answer); false when
    // the clip ends before it: its length reached, or the stream's clock
    // jumping back (recording.cutShort tells which). Throws ToolError
    // when the file cannot be written.
    bool take(AVPacket* packet);
    const StreamRecording& recording() const;
    // Completes the file and renames it over `out`. Throws ToolError.
    StreamRecording finish();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvotool

#endif
