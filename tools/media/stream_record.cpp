// stream_record.cpp - live video copied into a clip with libavformat.
#include "tools/media/stream_record.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/time.h>
}

#include "host/errors.h"
#include "tools/loop/frame_loop.h"
#include "tools/media/av_error.h"
#include "tools/media/video_source.h"

namespace tarvotool {

namespace {

struct Deadline {
    const volatile std::sig_atomic_t* stop = nullptr;
    int64_t at = 0;  // av_gettime_relative() by which the next packet must come
    bool passed = false;
    bool stopped = false;
};

int Interrupted(void* opaque) {
    Deadline* d = static_cast<Deadline*>(opaque);
    if (StopRequested(d->stop)) return d->stopped = true, 1;
    if (av_gettime_relative() > d->at) return d->passed = true, 1;
    return 0;
}

struct Input {
    AVFormatContext* fmt = nullptr;
    ~Input() { avformat_close_input(&fmt); }
};

// b - a for stream timestamps, which a hostile or wrapped stream may put
// far apart: computed without signed overflow.
int64_t Since(int64_t b, int64_t a) {
    return static_cast<int64_t>(static_cast<uint64_t>(b) - static_cast<uint64_t>(a));
}

struct Packet {
    AVPacket* p = av_packet_alloc();
    ~Packet() { av_packet_free(&p); }
};

void OpenSource(Input& in, Deadline& deadline, const StreamRecordOptions& o, int64_t stallUs) {
    in.fmt = avformat_alloc_context();
    if (!in.fmt) throw ToolError("out of memory");
    in.fmt->interrupt_callback.callback = Interrupted;
    in.fmt->interrupt_callback.opaque = &deadline;
    deadline.at = av_gettime_relative() + stallUs;
    int err = avformat_open_input(&in.fmt, o.source.c_str(), nullptr, nullptr);
    if (err < 0) {
        in.fmt = nullptr;  // freed by avformat_open_input
        if (deadline.passed)
            throw ToolError("'" + o.source + "' gave no picture within " + Secs(o.stallSeconds) +
                            " s (--stall): nothing recorded");
        throw ToolError("cannot record '" + o.source + "': " + AvError(err));
    }
    deadline.at = av_gettime_relative() + stallUs;
    err = avformat_find_stream_info(in.fmt, nullptr);
    if (err < 0 && deadline.passed)
        throw ToolError("'" + o.source + "' gave no picture within " + Secs(o.stallSeconds) + " s (--stall): nothing recorded");
    if (err < 0) throw ToolError("cannot record '" + o.source + "': " + AvError(err));
}

}  // namespace

namespace {

// Why nothing was recorded when the source gives no keyframe.
[[noreturn]] void NoFirstPicture(const Deadline& deadline, const StreamRecordOptions& o) {
    if (deadline.stopped) throw ToolError("recording of '" + o.source + "' stopped before its first picture");
    if (deadline.passed)
        throw ToolError("'" + o.source + "' gave no picture within " + Secs(o.stallSeconds) + " s (--stall): nothing recorded");
    throw ToolError("'" + o.source + "' ended before its first picture: nothing recorded");
}

}  // namespace

struct ClipWriter::Impl {
    AVFormatContext* fmt = nullptr;
    std::string out, path;  // the clip, and the temporary file it is written into
    AVRational timeBase{1, 1};
    double seconds = 0.0;
    bool keep = false;
    int64_t origin = AV_NOPTS_VALUE;  // the first keyframe's timestamp
    int64_t lastDts = AV_NOPTS_VALUE;
    StreamRecording rec;

    ~Impl() {
        if (fmt) {
            if (fmt->pb) avio_closep(&fmt->pb);
            avformat_free_context(fmt);
        }
        if (!keep && !path.empty()) std::remove(path.c_str());
    }

    void open(const AVCodecParameters* codec) {
        const AVOutputFormat* format = av_guess_format(nullptr, out.c_str(), nullptr);
        if (!format) throw ToolError("cannot record into '" + out + "': no container for that name (try .mkv)");
        std::string tmpl = out + ".part-XXXXXX";
        const int fd = mkstemp(tmpl.data());
        if (fd < 0) throw ToolError("cannot record into '" + out + "': " + std::strerror(errno));
        close(fd);
        path = tmpl;
        if (avformat_alloc_output_context2(&fmt, format, nullptr, tmpl.c_str()) < 0 || !fmt)
            throw ToolError("cannot record into '" + out + "'");
        AVStream* st = avformat_new_stream(fmt, nullptr);
        if (!st || avcodec_parameters_copy(st->codecpar, codec) < 0) throw ToolError("out of memory");
        st->codecpar->codec_tag = 0;  // the output container chooses its own
        st->time_base = timeBase;
        int err = avio_open(&fmt->pb, tmpl.c_str(), AVIO_FLAG_WRITE);
        if (err < 0) throw ToolError("cannot record into '" + out + "': " + AvError(err));
        err = avformat_write_header(fmt, nullptr);
        if (err < 0) throw ToolError("cannot record this stream into '" + out + "': " + AvError(err));
    }
};

ClipWriter::ClipWriter(const AVCodecParameters* codec, int timeBaseNum, int timeBaseDen, const std::string& out,
                       double seconds)
    : impl_(new Impl) {
    impl_->out = out;
    impl_->timeBase = AVRational{timeBaseNum, timeBaseDen};
    impl_->seconds = seconds;
    impl_->open(codec);
}

ClipWriter::~ClipWriter() = default;

bool ClipWriter::started() const { return impl_->origin != AV_NOPTS_VALUE; }
const StreamRecording& ClipWriter::recording() const { return impl_->rec; }

bool ClipWriter::take(AVPacket* pkt) {
    Impl& m = *impl_;
    const int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    if (!started()) {
        if (!(pkt->flags & AV_PKT_FLAG_KEY) || ts == AV_NOPTS_VALUE) {
            av_packet_unref(pkt);
            return true;
        }
        m.origin = ts;
    }
    const double at = ts == AV_NOPTS_VALUE ? m.rec.seconds : Since(ts, m.origin) * av_q2d(m.timeBase);
    // A clip ends at its length, and where the stream's clock jumps back
    // (a restarted camera): a muxer takes no earlier packet.
    const bool back = pkt->dts != AV_NOPTS_VALUE && m.lastDts != AV_NOPTS_VALUE && pkt->dts <= m.lastDts;
    if (at >= m.seconds || at < 0 || back) {
        m.rec.cutShort = at < m.seconds;
        av_packet_unref(pkt);
        return false;
    }
    if (pkt->dts != AV_NOPTS_VALUE) m.lastDts = pkt->dts;
    m.rec.seconds = std::max(m.rec.seconds, at);
    if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = Since(pkt->pts, m.origin);
    if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = Since(pkt->dts, m.origin);
    av_packet_rescale_ts(pkt, m.timeBase, m.fmt->streams[0]->time_base);
    pkt->stream_index = 0;
    pkt->pos = -1;
    const int err = av_interleaved_write_frame(m.fmt, pkt);  // takes the packet
    if (err < 0) throw ToolError("cannot record into '" + m.out + "': " + AvError(err));
    ++m.rec.packets;
    return true;
}

StreamRecording ClipWriter::finish() {
    Impl& m = *impl_;
    const int err = av_write_trailer(m.fmt);
    if (err < 0) throw ToolError("cannot record into '" + m.out + "': " + AvError(err));
    avio_closep(&m.fmt->pb);
    if (std::rename(m.path.c_str(), m.out.c_str()) != 0)
        throw ToolError("cannot record into '" + m.out + "': " + std::strerror(errno));
    m.keep = true;
    return m.rec;
}

StreamRecording RecordStream(const StreamRecordOptions& o) {
    std::error_code ec;
    if (!o.overwrite && std::filesystem::exists(o.out, ec))
        throw ToolError("'" + o.out + "' exists: not recorded over (--overwrite replaces it)");
    const int64_t stallUs = static_cast<int64_t>(o.stallSeconds * 1e6);
    Deadline deadline;
    deadline.stop = o.stop;
    Input in;
    OpenSource(in, deadline, o, stallUs);
    const int index = av_find_best_stream(in.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (index < 0) throw ToolError("cannot record '" + o.source + "': it has no video stream");
    const AVStream* video = in.fmt->streams[index];
    ClipWriter clip(video->codecpar, video->time_base.num, video->time_base.den, o.out, o.seconds);

    Packet pkt;
    double lastReport = -1.0;
    bool sourceEnded = false;
    // Until the first keyframe the deadline is not renewed: a source that
    // sends packets but never a picture one can start from is no source.
    deadline.at = av_gettime_relative() + stallUs;
    while (true) {
        if (av_read_frame(in.fmt, pkt.p) < 0) {
            if (!clip.started()) NoFirstPicture(deadline, o);
            sourceEnded = true;
            break;
        }
        if (pkt.p->stream_index != index) {
            av_packet_unref(pkt.p);
            continue;
        }
        if (!clip.take(pkt.p)) break;
        if (clip.started()) deadline.at = av_gettime_relative() + stallUs;
        if (o.progress && clip.recording().seconds - lastReport >= 0.5) {
            lastReport = clip.recording().seconds;
            o.progress(lastReport);
        }
    }
    StreamRecording rec = clip.finish();
    rec.cutShort = rec.cutShort || sourceEnded;  // it ended, stalled or was stopped first
    if (o.progress) o.progress(rec.seconds);
    return rec;
}

}  // namespace tarvotool
