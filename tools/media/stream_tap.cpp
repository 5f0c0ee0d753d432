// stream_tap.cpp - packets of a stream being decoded, copied into a clip.
#include "tools/media/stream_tap.h"

#include <filesystem>

extern "C" {
#include <libavformat/avformat.h>
}

#include "host/errors.h"
#include "tools/loop/frame_loop.h"
#include "tools/media/video_source.h"

namespace tarvotool {

using Steady = std::chrono::steady_clock;

struct StreamTap::Params {
    const AVStream* stream = nullptr;  // which connection's
    AVCodecParameters* codec = avcodec_parameters_alloc();
    AVRational timeBase{1, 1};
    ~Params() { avcodec_parameters_free(&codec); }
};

StreamTap::StreamTap() : copy_(av_packet_alloc()) {
    if (!copy_) throw ToolError("out of memory");
}

StreamTap::~StreamTap() { av_packet_free(&copy_); }

void StreamTap::opened(const AVStream* video) {
    auto p = std::make_unique<Params>();
    if (!p->codec || avcodec_parameters_copy(p->codec, video->codecpar) < 0) return;  // recordings wait, then fail
    p->stream = video;
    p->timeBase = video->time_base;
    std::lock_guard<std::mutex> lock(mu_);
    params_ = std::move(p);
    cv_.notify_all();
}

void StreamTap::closed(const AVStream* video) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!params_ || params_->stream != video) return;
    params_.reset();
    if (clip_) connectionEnded_ = true;
    cv_.notify_all();
}

void StreamTap::shutDown() {
    std::lock_guard<std::mutex> lock(mu_);
    shut_ = true;
    cv_.notify_all();
}

void StreamTap::packet(const AVPacket* pkt) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!clip_ || clipComplete_ || connectionEnded_ || !writeError_.empty()) return;
    lastPacket_ = Steady::now();
    if (av_packet_ref(copy_, pkt) < 0) {
        writeError_ = "out of memory";
    } else {
        try {
            if (!clip_->take(copy_)) clipComplete_ = true;  // the reference is taken either way
        } catch (const ToolError& e) {
            writeError_ = e.what();
        }
    }
    if (clipComplete_ || !writeError_.empty()) cv_.notify_all();
}

bool StreamTap::recording() const {
    std::lock_guard<std::mutex> lock(mu_);
    return clip_ != nullptr;
}

bool StreamTap::ended(const StreamRecordOptions& o, Steady::time_point waitingSince) const {
    if (clipComplete_ || connectionEnded_ || shut_ || !writeError_.empty() || StopRequested(o.stop)) return true;
    const auto stall = std::chrono::duration<double>(o.stallSeconds);
    // Before the first keyframe the wait is not renewed by packets: a
    // stream that never sends a picture one can start from gives no clip.
    return Steady::now() - (clip_->started() ? lastPacket_ : waitingSince) > stall;
}

StreamRecording StreamTap::record(const StreamRecordOptions& o) {
    std::error_code ec;
    if (!o.overwrite && std::filesystem::exists(o.out, ec))
        throw ToolError("'" + o.out + "' exists: not recorded over");
    const auto stall = std::chrono::duration<double>(o.stallSeconds);
    std::unique_lock<std::mutex> lock(mu_);
    if (recording_) throw ToolError("a recording of '" + o.source + "' runs already");
    if (shut_) throw ToolError("'" + o.source + "' stopped: nothing recorded");
    recording_ = true;
    struct Release {
        std::unique_lock<std::mutex>& lock;
        StreamTap& tap;
        ~Release() {
            if (!lock.owns_lock()) lock.lock();
            tap.recording_ = false;
            tap.clip_.reset();
        }
    } release{lock, *this};

    const Steady::time_point asked = Steady::now();
    while (!params_) {
        if (shut_ || StopRequested(o.stop)) throw ToolError("'" + o.source + "' stopped: nothing recorded");
        if (Steady::now() - asked > stall)
            throw ToolError("'" + o.source + "' has no stream now (lost or reconnecting): nothing recorded");
        cv_.wait_for(lock, std::chrono::milliseconds(100));
    }
    clip_ = std::make_unique<ClipWriter>(params_->codec, params_->timeBase.num, params_->timeBase.den, o.out,
                                         o.seconds);
    clipComplete_ = connectionEnded_ = false;
    writeError_.clear();
    const Steady::time_point since = Steady::now();
    double reported = -1.0;
    while (!ended(o, since)) {
        cv_.wait_for(lock, std::chrono::milliseconds(100));
        const double seconds = clip_->recording().seconds;
        if (o.progress && clip_->started() && seconds - reported >= 0.5) o.progress(reported = seconds);
    }
    std::unique_ptr<ClipWriter> clip = std::move(clip_);  // no packet reaches it from here on
    const std::string error = writeError_;
    const bool complete = clipComplete_;
    const bool stopped = shut_ || StopRequested(o.stop), lost = connectionEnded_;
    lock.unlock();
    if (!error.empty()) throw ToolError(error);
    if (!clip->started()) {
        if (stopped) throw ToolError("recording of '" + o.source + "' stopped before its first picture");
        if (lost) throw ToolError("'" + o.source + "' ended before its first picture: nothing recorded");
        throw ToolError("'" + o.source + "' gave no picture within " + Secs(o.stallSeconds) + " s: nothing recorded");
    }
    StreamRecording rec = clip->finish();
    rec.cutShort = rec.cutShort || !complete;
    if (o.progress) o.progress(rec.seconds);
    return rec;
}

}  // namespace tarvotool
