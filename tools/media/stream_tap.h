// stream_tap.h - a clip recorded from a stream that a reader decodes
// already, from the packets it reads: no second connection to the source,
// which many cameras refuse or pay for.
//
// The reader (the decoding thread) tells the tap of each connection's video
// stream and hands it every packet of that stream before decoding it; a
// recording, asked for on another thread, copies them into a clip while it
// runs. Between recordings a packet costs a lock and a test.
#ifndef TARVOCOIL_TOOLS_MEDIA_STREAM_TAP_H
#define TARVOCOIL_TOOLS_MEDIA_STREAM_TAP_H

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "tools/media/stream_record.h"

struct AVStream;

namespace tarvotool {

class StreamTap {
public:
    StreamTap();
    ~StreamTap();
    StreamTap(const StreamTap&) = delete;
    StreamTap& operator=(const StreamTap&) = delete;

    // The reader's side. opened(): a connection's video stream, before its
    // first packet; closed(): that connection ended (a recording running
    // keeps what it has).
    void opened(const AVStream* video);
    void packet(const AVPacket* packet);
    void closed(const AVStream* video);
    // No more connections: a recording running ends with what it has,
    // later ones fail at once.
    void shutDown();

    // Records options.seconds from the next keyframe into options.out (a
    // temporary file beside it, renamed over it when complete); blocks
    // until then. options.source names the stream in messages; stallSeconds
    // bounds the wait for a connection, for its first keyframe and between
    // packets; stop and progress as for RecordStream. A connection that
    // ends, a stall or a stop after the first keyframe leave the shorter
    // clip (cutShort). Throws ToolError when nothing could be recorded,
    // and when a recording runs already.
    StreamRecording record(const StreamRecordOptions& options);
    // Whether a recording takes the packets now (its clip is open).
    bool recording() const;

private:
    struct Params;
    // Why the running recording should end now, or nothing.
    bool ended(const StreamRecordOptions& o, std::chrono::steady_clock::time_point waitingSince) const;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::unique_ptr<Params> params_;  // the open connection's stream; null between connections
    bool shut_ = false;
    bool recording_ = false;
    std::unique_ptr<ClipWriter> clip_;  // while a recording takes packets
    bool clipComplete_ = false;         // it reached its length (or the clock jumped back)
    bool connectionEnded_ = false;      // the connection it records ended
    std::string writeError_;
    std::chrono::steady_clock::time_point lastPacket_{};
    AVPacket* copy_ = nullptr;  // a reference to the packet being written
};

}  // namespace tarvotool

#endif
