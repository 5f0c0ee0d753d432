// media.cpp - decoding, encoding and text through FFmpeg's libraries.
#include "media.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "common.h"

namespace tarvotool {

namespace {

std::string AvError(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

bool IsYuv(AVPixelFormat fmt) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(fmt);
    return d && !(d->flags & AV_PIX_FMT_FLAG_RGB) && d->nb_components >= 3;
}

// Colour matrix and range of a decoded frame, so that HD video converts
// with BT.709 and full-range JPEG-style video is not crushed.
void SetSourceColorspace(SwsContext* sws, const AVFrame* f) {
    const AVPixelFormat fmt = static_cast<AVPixelFormat>(f->format);
    if (!IsYuv(fmt)) return;
    int cs = SWS_CS_DEFAULT;
    switch (f->colorspace) {
        case AVCOL_SPC_BT709: cs = SWS_CS_ITU709; break;
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M: cs = SWS_CS_ITU601; break;
        case AVCOL_SPC_SMPTE240M: cs = SWS_CS_SMPTE240M; break;
        case AVCOL_SPC_FCC: cs = SWS_CS_FCC; break;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL: cs = SWS_CS_BT2020; break;
        default: cs = f->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601; break;
    }
    const bool full = f->color_range == AVCOL_RANGE_JPEG || fmt == AV_PIX_FMT_YUVJ420P ||
                      fmt == AV_PIX_FMT_YUVJ422P || fmt == AV_PIX_FMT_YUVJ444P;
    sws_setColorspaceDetails(sws, sws_getCoefficients(cs), full ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0,
                             1 << 16, 1 << 16);
}

}  // namespace

void SetMediaVerbose(bool verbose) { av_log_set_level(verbose ? AV_LOG_INFO : AV_LOG_QUIET); }

// ---------------------------------------------------------------------------

struct VideoReader::Impl {
    std::string path;
    AVFormatContext* fmt = nullptr;
    AVCodecContext* dec = nullptr;
    AVPacket* pkt = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* sws = nullptr;
    int stream = -1;
    int width = 0, height = 0;
    AVRational tb{1, 1};
    AVRational rate{25, 1};
    int64_t start = 0;
    bool flushed = false;
    double skipBefore = -1e300;
    double lastTime = -1.0;
    int64_t damaged = 0;
    // Source geometry the conversion context was set up for.
    int swsW = 0, swsH = 0, swsFmt = -1, swsSpace = -1, swsRange = -1;

    ~Impl() {
        sws_freeContext(sws);
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&dec);
        avformat_close_input(&fmt);
    }

    void checkSize(int w, int h) const {
        if (w > kMaxFrameWidth)
            throw ToolError(path + ": frame width " + std::to_string(w) + " exceeds the detector's limit of " +
                            std::to_string(kMaxFrameWidth) + " pixels");
        if (h > kMaxFrameHeight)
            throw ToolError(path + ": frame height " + std::to_string(h) + " exceeds the detector's limit of " +
                            std::to_string(kMaxFrameHeight) + " rows");
        if (w < 1 || h < 3)
            throw ToolError(path + ": frame size " + std::to_string(w) + "x" + std::to_string(h) +
                            " is below the detector's minimum of 1x3");
    }

    void convert(BgrImage& out) {
        if (width == 0) {
            checkSize(frame->width, frame->height);
            width = frame->width;
            height = frame->height;
        }
        if (frame->width != swsW || frame->height != swsH || frame->format != swsFmt ||
            frame->colorspace != swsSpace || frame->color_range != swsRange || !sws) {
            sws = sws_getCachedContext(sws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                       width, height, AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr);
            if (!sws) {
                const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format));
                throw ToolError(path + ": cannot convert frames of pixel format " + (name ? name : "unknown") +
                                " to BGR");
            }
            SetSourceColorspace(sws, frame);
            swsW = frame->width;
            swsH = frame->height;
            swsFmt = frame->format;
            swsSpace = frame->colorspace;
            swsRange = frame->color_range;
        }
        if (out.width != width || out.height != height) out.resize(width, height);
        uint8_t* dst[4] = {out.data.data(), nullptr, nullptr, nullptr};
        int dstStride[4] = {out.stride, 0, 0, 0};
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
    }

    double frameTime() const {
        const int64_t ts = frame->best_effort_timestamp;
        if (ts == AV_NOPTS_VALUE) return lastTime < 0 ? 0.0 : lastTime + av_q2d(av_inv_q(rate));
        return static_cast<double>(ts - start) * av_q2d(tb);
    }
};

VideoReader::VideoReader(const std::string& path) : impl_(new Impl) {
    Impl& m = *impl_;
    m.path = path;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw ToolError("cannot open video '" + path + "': it is a directory");
    int err = avformat_open_input(&m.fmt, path.c_str(), nullptr, nullptr);
    if (err < 0) {
        m.fmt = nullptr;
        throw ToolError("cannot open video '" + path + "': " + AvError(err));
    }
    err = avformat_find_stream_info(m.fmt, nullptr);
    if (err < 0) throw ToolError("cannot read video '" + path + "': " + AvError(err));
    const AVCodec* codec = nullptr;
    m.stream = av_find_best_stream(m.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (m.stream == AVERROR_STREAM_NOT_FOUND) throw ToolError("'" + path + "' has no video stream");
    if (m.stream < 0 || !codec) {
        const AVStream* any = nullptr;
        for (unsigned i = 0; i < m.fmt->nb_streams; ++i)
            if (m.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) any = m.fmt->streams[i];
        throw ToolError("'" + path + "': no decoder for its video codec " +
                        (any ? avcodec_get_name(any->codecpar->codec_id) : "(unknown)"));
    }
    AVStream* st = m.fmt->streams[m.stream];
    m.tb = st->time_base;
    m.start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
    if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0)
        m.rate = st->avg_frame_rate;
    else if (st->r_frame_rate.num > 0 && st->r_frame_rate.den > 0)
        m.rate = st->r_frame_rate;
    m.dec = avcodec_alloc_context3(codec);
    if (!m.dec) throw ToolError("out of memory");
    err = avcodec_parameters_to_context(m.dec, st->codecpar);
    if (err >= 0) {
        m.dec->thread_count = 2;
        m.dec->pkt_timebase = st->time_base;
        err = avcodec_open2(m.dec, codec, nullptr);
    }
    if (err < 0) throw ToolError("cannot decode '" + path + "': " + AvError(err));
    if (st->codecpar->width > 0 && st->codecpar->height > 0) {
        m.checkSize(st->codecpar->width, st->codecpar->height);
        m.width = st->codecpar->width;
        m.height = st->codecpar->height;
    }
    m.pkt = av_packet_alloc();
    m.frame = av_frame_alloc();
    if (!m.pkt || !m.frame) throw ToolError("out of memory");
}

VideoReader::~VideoReader() = default;

int VideoReader::width() const { return impl_->width; }
int VideoReader::height() const { return impl_->height; }
double VideoReader::frameRate() const { return av_q2d(impl_->rate); }
int VideoReader::frameRateNum() const { return impl_->rate.num; }
int VideoReader::frameRateDen() const { return impl_->rate.den; }
int64_t VideoReader::damagedPackets() const { return impl_->damaged; }
double VideoReader::lastDecodedTime() const { return impl_->lastTime; }

double VideoReader::duration() const {
    const Impl& m = *impl_;
    const AVStream* st = m.fmt->streams[m.stream];
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0) return static_cast<double>(st->duration) * av_q2d(m.tb);
    if (m.fmt->duration != AV_NOPTS_VALUE && m.fmt->duration > 0)
        return static_cast<double>(m.fmt->duration) / AV_TIME_BASE;
    return -1.0;
}

void VideoReader::seek(double seconds) {
    Impl& m = *impl_;
    // Small tolerance: a frame stamped 1.9999999 s is the frame at 2 s.
    m.skipBefore = seconds - 1e-4;
    if (seconds <= 0.0) return;
    // Far beyond any real video; keeps the conversion to int64 defined.
    const double ticks = std::min(std::floor(seconds / av_q2d(m.tb)), 4e18);
    const int64_t ts = m.start + static_cast<int64_t>(ticks);
    if (av_seek_frame(m.fmt, m.stream, ts, AVSEEK_FLAG_BACKWARD) >= 0) {
        avcodec_flush_buffers(m.dec);
        m.flushed = false;
        m.lastTime = -1.0;
    }
    // If the container cannot seek, reading from where we are and skipping
    // the early frames gives the same frames, only slower.
}

bool VideoReader::next(BgrImage& out, double& seconds) {
    Impl& m = *impl_;
    int failures = 0;
    for (;;) {
        int err = avcodec_receive_frame(m.dec, m.frame);
        if (err >= 0) {
            const double t = m.frameTime();
            m.lastTime = t;
            if (t < m.skipBefore) {
                av_frame_unref(m.frame);
                continue;
            }
            m.convert(out);
            av_frame_unref(m.frame);
            seconds = t;
            return true;
        }
        if (err == AVERROR_EOF) return false;
        if (err != AVERROR(EAGAIN)) {
            ++m.damaged;
            if (m.flushed && ++failures > 1000) return false;
            if (m.flushed) continue;
        }
        if (m.flushed) return false;
        err = av_read_frame(m.fmt, m.pkt);
        if (err < 0) {
            // End of file, or a read error: let the decoder give out what it holds.
            avcodec_send_packet(m.dec, nullptr);
            m.flushed = true;
            continue;
        }
        if (m.pkt->stream_index == m.stream) {
            err = avcodec_send_packet(m.dec, m.pkt);
            if (err < 0 && err != AVERROR(EAGAIN)) ++m.damaged;
        }
        av_packet_unref(m.pkt);
    }
}

// ---------------------------------------------------------------------------

struct VideoWriter::Impl {
    std::string path;
    AVFormatContext* oc = nullptr;
    AVCodecContext* enc = nullptr;
    AVStream* st = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* pkt = nullptr;
    SwsContext* sws = nullptr;
    BgrImage padded;
    int64_t next = 0;
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

VideoWriter::VideoWriter(const std::string& path, int width, int height, int fpsNum, int fpsDen,
                         const std::string& codecName)
    : impl_(new Impl) {
    Impl& m = *impl_;
    m.path = path;
    int err = avformat_alloc_output_context2(&m.oc, nullptr, nullptr, path.c_str());
    if (err < 0 || !m.oc)
        throw ToolError("cannot write '" + path + "': unknown video format (use a name ending in .mp4 or .mkv)");
    const AVOutputFormat* of = m.oc->oformat;
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

    AVPixelFormat pix = AV_PIX_FMT_BGR24;
    if (codec->id == AV_CODEC_ID_FFV1) {
        pix = AV_PIX_FMT_BGR0;
    } else if (codec->pix_fmts) {
        pix = codec->pix_fmts[0];
        for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
            if (*p == AV_PIX_FMT_YUV420P) pix = *p;
    }
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
    m.enc->time_base = av_inv_q(rate);
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
    m.frame->pts = m.next++;
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

// ---------------------------------------------------------------------------

void WritePng(const std::string& path, const BgrImage& img) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) throw ToolError("cannot write '" + path + "': this FFmpeg has no PNG encoder");
    struct Res {
        AVCodecContext* enc = nullptr;
        AVFrame* frame = nullptr;
        AVPacket* pkt = nullptr;
        SwsContext* sws = nullptr;
        ~Res() {
            sws_freeContext(sws);
            av_packet_free(&pkt);
            av_frame_free(&frame);
            avcodec_free_context(&enc);
        }
    } r;
    r.enc = avcodec_alloc_context3(codec);
    r.frame = av_frame_alloc();
    r.pkt = av_packet_alloc();
    if (!r.enc || !r.frame || !r.pkt) throw ToolError("out of memory");
    r.enc->width = img.width;
    r.enc->height = img.height;
    r.enc->pix_fmt = AV_PIX_FMT_RGB24;
    r.enc->time_base = AVRational{1, 1};
    int err = avcodec_open2(r.enc, codec, nullptr);
    if (err < 0) throw ToolError("cannot write '" + path + "': " + AvError(err));
    r.frame->format = AV_PIX_FMT_RGB24;
    r.frame->width = img.width;
    r.frame->height = img.height;
    if (av_frame_get_buffer(r.frame, 0) < 0) throw ToolError("out of memory");
    r.sws = sws_getContext(img.width, img.height, AV_PIX_FMT_BGR24, img.width, img.height, AV_PIX_FMT_RGB24,
                           SWS_POINT, nullptr, nullptr, nullptr);
    if (!r.sws) throw ToolError("cannot write '" + path + "': no BGR to RGB conversion");
    const uint8_t* in[4] = {img.data.data(), nullptr, nullptr, nullptr};
    const int inStride[4] = {img.stride, 0, 0, 0};
    sws_scale(r.sws, in, inStride, 0, img.height, r.frame->data, r.frame->linesize);
    r.frame->pts = 0;
    err = avcodec_send_frame(r.enc, r.frame);
    if (err >= 0) err = avcodec_send_frame(r.enc, nullptr);
    if (err >= 0) err = avcodec_receive_packet(r.enc, r.pkt);
    if (err < 0) throw ToolError("cannot encode '" + path + "': " + AvError(err));
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw ToolError("cannot write '" + path + "': " + std::strerror(errno));
    const bool ok = std::fwrite(r.pkt->data, 1, static_cast<std::size_t>(r.pkt->size), f) ==
                    static_cast<std::size_t>(r.pkt->size);
    if (std::fclose(f) != 0 || !ok) throw ToolError("cannot write '" + path + "': " + std::strerror(errno));
}

// ---------------------------------------------------------------------------

namespace {

std::string FindFont() {
    static const char* const kFonts[] = {
        "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf",
        "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
        "/usr/share/fonts/truetype/liberation/LiberationMono-Regular.ttf",
        "/usr/share/fonts/truetype/freefont/FreeMono.ttf",
        "/usr/local/share/fonts/DejaVuSansMono.ttf",
        "/Library/Fonts/Arial.ttf",
    };
    std::error_code ec;
    for (const char* f : kFonts)
        if (std::filesystem::exists(f, ec)) return f;
    return "";
}

}  // namespace

struct TextPainter::Impl {
    AVFilterGraph* graph = nullptr;
    AVFilterContext* src = nullptr;
    AVFilterContext* sink = nullptr;
    AVFrame* in = nullptr;
    AVFrame* out = nullptr;
    int width = 0, height = 0;
    int64_t pts = 0;
    bool ok = false;

    ~Impl() {
        av_frame_free(&in);
        av_frame_free(&out);
        avfilter_graph_free(&graph);
    }

    AVFilterContext* addText(const std::string& name, const std::string& text, bool expand, int x, int y,
                             const std::string& font, int size) {
        const AVFilter* f = avfilter_get_by_name("drawtext");
        if (!f) return nullptr;
        AVFilterContext* c = avfilter_graph_alloc_filter(graph, f, name.c_str());
        if (!c) return nullptr;
        if (!font.empty()) av_opt_set(c, "fontfile", font.c_str(), AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "text", text.c_str(), AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "expansion", expand ? "normal" : "none", AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "fontcolor", "white", AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "fontsize", std::to_string(size).c_str(), AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "box", "1", AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "boxcolor", "black@0.6", AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "boxborderw", "3", AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "x", std::to_string(x).c_str(), AV_OPT_SEARCH_CHILDREN);
        av_opt_set(c, "y", std::to_string(y).c_str(), AV_OPT_SEARCH_CHILDREN);
        if (avfilter_init_str(c, nullptr) < 0) return nullptr;
        return c;
    }

    bool build(const std::vector<TextLabel>& labels) {
        graph = avfilter_graph_alloc();
        if (!graph) return false;
        const std::string args = "video_size=" + std::to_string(width) + "x" + std::to_string(height) +
                                 ":pix_fmt=" + std::to_string(static_cast<int>(AV_PIX_FMT_BGR24)) +
                                 ":time_base=1/25:pixel_aspect=1/1";
        if (avfilter_graph_create_filter(&src, avfilter_get_by_name("buffer"), "in", args.c_str(), nullptr, graph) < 0)
            return false;
        if (avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph) < 0)
            return false;
        const std::string font = FindFont();
        const int size = std::max(10, height / 40);
        AVFilterContext* last = src;
        AVFilterContext* caption = addText("caption", "%{metadata:caption}", true, 6, 6, font, size);
        if (!caption || avfilter_link(last, 0, caption, 0) < 0) return false;
        last = caption;
        int i = 0;
        for (const TextLabel& l : labels) {
            AVFilterContext* c = addText("label" + std::to_string(i++), l.text, false, l.x, l.y, font, size);
            if (!c || avfilter_link(last, 0, c, 0) < 0) return false;
            last = c;
        }
        if (avfilter_link(last, 0, sink, 0) < 0) return false;
        if (avfilter_graph_config(graph, nullptr) < 0) return false;
        in = av_frame_alloc();
        out = av_frame_alloc();
        return in && out;
    }
};

TextPainter::TextPainter(int width, int height, const std::vector<TextLabel>& labels) : impl_(new Impl) {
    impl_->width = width;
    impl_->height = height;
    impl_->ok = impl_->build(labels);
}

TextPainter::~TextPainter() = default;

bool TextPainter::ok() const { return impl_->ok; }

void TextPainter::paint(BgrImage& img, const std::string& caption) {
    Impl& m = *impl_;
    if (!m.ok || img.width != m.width || img.height != m.height) return;
    m.in->format = AV_PIX_FMT_BGR24;
    m.in->width = img.width;
    m.in->height = img.height;
    if (av_frame_get_buffer(m.in, 0) < 0) return;
    for (int y = 0; y < img.height; ++y)
        std::memcpy(m.in->data[0] + static_cast<std::ptrdiff_t>(y) * m.in->linesize[0], img.row(y),
                    static_cast<std::size_t>(img.width) * 3);
    av_dict_set(&m.in->metadata, "caption", caption.c_str(), 0);
    m.in->pts = m.pts++;
    if (av_buffersrc_add_frame(m.src, m.in) < 0) {
        av_frame_unref(m.in);
        return;
    }
    if (av_buffersink_get_frame(m.sink, m.out) < 0) return;
    for (int y = 0; y < img.height; ++y)
        std::memcpy(img.row(y), m.out->data[0] + static_cast<std::ptrdiff_t>(y) * m.out->linesize[0],
                    static_cast<std::size_t>(img.width) * 3);
    av_frame_unref(m.out);
}

}  // namespace tarvotool
