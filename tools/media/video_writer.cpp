// video_writer.cpp - encoding and muxing through FFmpeg's libraries.
#include "tools/media/video_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "tools/media/av_error.h"
#include "host/errors.h"

namespace tarvotool {

struct VideoWriter::Impl {
    std::string path;
    AVFormatContext* oc = nullptr;
    AVCodecContext* enc = nullptr;
    AVStream* st = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* pkt = nullptr;
    SwsContext* sws = nullptr;
    BgrImage padded;
    int64_t lastPts = INT64_MIN;
    int64_t frameTicks = 1;  // one nominal frame interval in time-base units
    bool open = false;
    bool finished = false;

    ~Impl() {
        sws_freeContext(sws);
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&enc);
        if (oc) {
            if (open && !(oc->oformat->flags & AVFMT_NOFILE)) avio_closep(&oc->pb);
            avformat_free_context(oc);
        }
    }

    void drain() {
        for (;;) {
            int err = avcodec_receive_packet(enc, pkt);
            if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
            if (err < 0) throw ToolError("cannot encode '" + path + "': " + AvError(err));
            av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
            pkt->stream_index = st->index;
            err = av_interleaved_write_frame(oc, pkt);
            if (err < 0) throw ToolError("cannot write '" + path + "': " + AvError(err));
        }
    }
};

namespace {

// The encoder named, else H.264 (libx264) where the format takes it, else
// the format's own video codec.
const AVCodec* ChooseEncoder(const std::string& path, const AVOutputFormat* of, const std::string& codecName) {
    const AVCodec* codec = nullptr;
    if (!codecName.empty()) {
        codec = avcodec_find_encoder_by_name(codecName.c_str());
        if (!codec) throw ToolError("cannot write '" + path + "': no encoder " + codecName);
    } else {
        if (avformat_query_codec(of, AV_CODEC_ID_H264, FF_COMPLIANCE_NORMAL) == 1)
            codec = avcodec_find_encoder_by_name("libx264");
        if (!codec && of->video_codec != AV_CODEC_ID_NONE) codec = avcodec_find_encoder(of->video_codec);
        if (!codec) throw ToolError("cannot write '" + path + "': no video encoder for this format");
    }
    return codec;
}

// The picture format to encode in: BGR for FFV1 and for an encoder that
// lists none; else YUV 4:2:0 where the encoder takes it, else its first.
AVPixelFormat EncoderPixelFormat(const AVCodec* codec) {
    AVPixelFormat pix = AV_PIX_FMT_BGR24;
    if (codec->id == AV_CODEC_ID_FFV1) {
        pix = AV_PIX_FMT_BGR0;
    } else if (codec->pix_fmts) {
        pix = codec->pix_fmts[0];
        for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
            if (*p == AV_PIX_FMT_YUV420P) pix = *p;
    }
    return pix;
}

}  // namespace

VideoWriter::VideoWriter(const std::string& path, int width, int height, int fpsNum, int fpsDen,
                         const std::string& codecName)
    : impl_(new Impl) {
    Impl& m = *impl_;
    m.path = path;
    int err = avformat_alloc_output_context2(&m.oc, nullptr, nullptr, path.c_str());
    if (err < 0 || !m.oc)
        throw ToolError("cannot write '" + path + "': unknown video format (use a name ending in .mp4 or .mkv)");
    const AVOutputFormat* of = m.oc->oformat;
    const AVCodec* codec = ChooseEncoder(path, of, codecName);
    const AVPixelFormat pix = EncoderPixelFormat(codec);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pix);
    const int encW = desc && desc->log2_chroma_w ? (width + 1) & ~1 : width;
    const int encH = desc && desc->log2_chroma_h ? (height + 1) & ~1 : height;

    AVRational rate{fpsNum > 0 ? fpsNum : 25, fpsDen > 0 ? fpsDen : 1};
    av_reduce(&rate.num, &rate.den, rate.num, rate.den, 65535);

    m.enc = avcodec_alloc_context3(codec);
    m.pkt = av_packet_alloc();
    m.frame = av_frame_alloc();
    if (!m.enc || !m.pkt || !m.frame) throw ToolError("out of memory");
    m.enc->width = encW;
    m.enc->height = encH;
    m.enc->pix_fmt = pix;
    // A fine time base keeps source timestamps; MPEG-4 part 2 allows at
    // most 16 bits in its denominator.
    m.enc->time_base = codec->id == AV_CODEC_ID_MPEG4 ? AVRational{1, 1000} : AVRational{1, 90000};
    m.frameTicks = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), m.enc->time_base));
    m.enc->framerate = rate;
    m.enc->sample_aspect_ratio = AVRational{1, 1};
    m.enc->thread_count = 2;
    m.enc->gop_size = 50;
    if (codec->id == AV_CODEC_ID_MPEG4) {
        m.enc->flags |= AV_CODEC_FLAG_QSCALE;
        m.enc->global_quality = FF_QP2LAMBDA * 3;
    }
    if (std::strcmp(codec->name, "libx264") == 0) {
        av_opt_set(m.enc->priv_data, "preset", "veryfast", 0);
        av_opt_set(m.enc->priv_data, "crf", "23", 0);
    }
    if (of->flags & AVFMT_GLOBALHEADER) m.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    err = avcodec_open2(m.enc, codec, nullptr);
    if (err < 0) throw ToolError("cannot write '" + path + "': the " + codec->name + " encoder refused: " + AvError(err));

    m.st = avformat_new_stream(m.oc, nullptr);
    if (!m.st) throw ToolError("out of memory");
    m.st->time_base = m.enc->time_base;
    m.st->avg_frame_rate = rate;
    avcodec_parameters_from_context(m.st->codecpar, m.enc);
    if (!(of->flags & AVFMT_NOFILE)) {
        err = avio_open(&m.oc->pb, path.c_str(), AVIO_FLAG_WRITE);
        if (err < 0) throw ToolError("cannot write '" + path + "': " + AvError(err));
    }
    m.open = true;
    err = avformat_write_header(m.oc, nullptr);
    if (err < 0) throw ToolError("cannot write '" + path + "': " + AvError(err));

    m.frame->format = pix;
    m.frame->width = encW;
    m.frame->height = encH;
    if (av_frame_get_buffer(m.frame, 0) < 0) throw ToolError("out of memory");
    m.sws = sws_getContext(encW, encH, AV_PIX_FMT_BGR24, encW, encH, pix, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!m.sws) throw ToolError("cannot write '" + path + "': no conversion to the encoder's pixel format");
    if (encW != width || encH != height) m.padded.resize(encW, encH);
}

VideoWriter::~VideoWriter() = default;

int VideoWriter::width() const { return impl_->enc->width; }
int VideoWriter::height() const { return impl_->enc->height; }

void VideoWriter::write(const BgrImage& img) {
    Impl& m = *impl_;
    const int64_t pts = m.lastPts == INT64_MIN ? 0 : m.lastPts + m.frameTicks;
    write(img, static_cast<double>(pts) * av_q2d(m.enc->time_base));
}

void VideoWriter::write(const BgrImage& img, double seconds) {
    Impl& m = *impl_;
    const double ticks = std::isfinite(seconds) ? std::clamp(seconds / av_q2d(m.enc->time_base), -1e15, 1e15) : 0.0;
    int64_t pts = std::llround(ticks);
    if (m.lastPts != INT64_MIN && pts <= m.lastPts) pts = m.lastPts + 1;
    m.lastPts = pts;
    const BgrImage* src = &img;
    if (!m.padded.data.empty()) {
        for (int y = 0; y < img.height && y < m.padded.height; ++y)
            std::memcpy(m.padded.row(y), img.row(y), static_cast<std::size_t>(std::min(img.width, m.padded.width)) * 3);
        src = &m.padded;
    }
    int err = av_frame_make_writable(m.frame);
    if (err < 0) throw ToolError("out of memory");
    const uint8_t* in[4] = {src->data.data(), nullptr, nullptr, nullptr};
    const int inStride[4] = {src->stride, 0, 0, 0};
    sws_scale(m.sws, in, inStride, 0, m.enc->height, m.frame->data, m.frame->linesize);
    m.frame->pts = pts;
    err = avcodec_send_frame(m.enc, m.frame);
    if (err < 0) throw ToolError("cannot encode '" + m.path + "': " + AvError(err));
    m.drain();
}

void VideoWriter::finish() {
    Impl& m = *impl_;
    if (m.finished) return;
    m.finished = true;
    avcodec_send_frame(m.enc, nullptr);
    m.drain();
    int err = av_write_trailer(m.oc);
    if (err < 0) throw ToolError("cannot write '" + m.path + "': " + AvError(err));
    if (!(m.oc->oformat->flags & AVFMT_NOFILE)) {
        err = avio_closep(&m.oc->pb);
        m.open = false;
        if (err < 0) throw ToolError("cannot write '" + m.path + "': " + AvError(err));
    }
}

}  // namespace tarvotool
