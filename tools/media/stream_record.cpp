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
    if (d->stop && *d->stop != 0) return d->stopped = true, 1;
    if (av_gettime_relative() > d->at) return d->passed = true, 1;
    return 0;
}

struct Input {
    AVFormatContext* fmt = nullptr;
    ~Input() { avformat_close_input(&fmt); }
};

struct Output {
    AVFormatContext* fmt = nullptr;
    std::string path;
    bool keep = false;
    ~Output() {
        if (fmt) {
            if (fmt->pb) avio_closep(&fmt->pb);
            avformat_free_context(fmt);
        }
        if (!keep && !path.empty()) std::remove(path.c_str());
    }
};

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

// A temporary file beside `out` for the clip, in the container `out`'s name asks for.
void OpenClip(Output& clip, const AVStream* video, const std::string& out) {
    const AVOutputFormat* format = av_guess_format(nullptr, out.c_str(), nullptr);
    if (!format) throw ToolError("cannot record into '" + out + "': no container for that name (try .mkv)");
    std::string tmpl = out + ".part-XXXXXX";
    const int fd = mkstemp(tmpl.data());
    if (fd < 0) throw ToolError("cannot record into '" + out + "': " + std::strerror(errno));
    close(fd);
    clip.path = tmpl;
    if (avformat_alloc_output_context2(&clip.fmt, format, nullptr, tmpl.c_str()) < 0 || !clip.fmt)
        throw ToolError("cannot record into '" + out + "'");
    AVStream* st = avformat_new_stream(clip.fmt, nullptr);
    if (!st || avcodec_parameters_copy(st->codecpar, video->codecpar) < 0) throw ToolError("out of memory");
    st->codecpar->codec_tag = 0;  // the output container chooses its own
    st->time_base = video->time_base;
    int err = avio_open(&clip.fmt->pb, tmpl.c_str(), AVIO_FLAG_WRITE);
    if (err < 0) throw ToolError("cannot record into '" + out + "': " + AvError(err));
    err = avformat_write_header(clip.fmt, nullptr);
    if (err < 0) throw ToolError("cannot record this stream into '" + out + "': " + AvError(err));
}

}  // namespace

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
    Output clip;
    OpenClip(clip, video, o.out);
    const AVRational outBase = clip.fmt->streams[0]->time_base;

    StreamRecording rec;
    Packet pkt;
    int64_t origin = AV_NOPTS_VALUE;  // the first keyframe's timestamp
    double lastReport = -1.0;
    // Until the first keyframe the deadline is not renewed: a source that
    // sends packets but never a picture one can start from is no source.
    deadline.at = av_gettime_relative() + stallUs;
    while (true) {
        const int err = av_read_frame(in.fmt, pkt.p);
        if (err < 0) {
            if (origin == AV_NOPTS_VALUE) {
                if (deadline.stopped) throw ToolError("recording of '" + o.source + "' stopped before its first picture");
                if (deadline.passed)
                    throw ToolError("'" + o.source + "' gave no picture within " + Secs(o.stallSeconds) +
                                    " s (--stall): nothing recorded");
                throw ToolError("'" + o.source + "' ended before its first picture: nothing recorded");
            }
            rec.cutShort = true;
            break;
        }
        if (pkt.p->stream_index != index) {
            av_packet_unref(pkt.p);
            continue;
        }
        const int64_t ts = pkt.p->dts != AV_NOPTS_VALUE ? pkt.p->dts : pkt.p->pts;
        if (origin == AV_NOPTS_VALUE) {
            if (!(pkt.p->flags & AV_PKT_FLAG_KEY) || ts == AV_NOPTS_VALUE) {
                av_packet_unref(pkt.p);
                continue;
            }
            origin = ts;
        }
        deadline.at = av_gettime_relative() + stallUs;
        const double at = ts == AV_NOPTS_VALUE ? rec.seconds : (ts - origin) * av_q2d(video->time_base);
        if (at >= o.seconds) {
            av_packet_unref(pkt.p);
            break;
        }
        rec.seconds = std::max(rec.seconds, at);
        if (pkt.p->pts != AV_NOPTS_VALUE) pkt.p->pts -= origin;
        if (pkt.p->dts != AV_NOPTS_VALUE) pkt.p->dts -= origin;
        av_packet_rescale_ts(pkt.p, video->time_base, outBase);
        pkt.p->stream_index = 0;
        pkt.p->pos = -1;
        const int werr = av_interleaved_write_frame(clip.fmt, pkt.p);  // takes the packet
        if (werr < 0) throw ToolError("cannot record into '" + o.out + "': " + AvError(werr));
        ++rec.packets;
        if (o.progress && rec.seconds - lastReport >= 0.5) {
            lastReport = rec.seconds;
            o.progress(rec.seconds);
        }
    }
    const int err = av_write_trailer(clip.fmt);
    if (err < 0) throw ToolError("cannot record into '" + o.out + "': " + AvError(err));
    avio_closep(&clip.fmt->pb);
    if (std::rename(clip.path.c_str(), o.out.c_str()) != 0)
        throw ToolError("cannot record into '" + o.out + "': " + std::strerror(errno));
    clip.keep = true;
    if (o.progress) o.progress(rec.seconds);
    return rec;
}

}  // namespace tarvotool
