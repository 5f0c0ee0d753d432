// video_reader.cpp - demuxing, decoding and BGR conversion through FFmpeg.
#include "tools/media/video_reader.h"

#include "tools/media/stream_tap.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
#include <libswscale/swscale.h>
}

#include "tools/media/av_error.h"
#include "host/errors.h"
#include "tools/media/decoder_threads.h"
#include "tools/loop/frame_loop.h"

namespace tarvotool {

namespace {

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

// What FFmpeg's blocking calls check while they wait: the stop flag, and
// for live input a deadline by which the next packet must have come.
struct Watch {
    const volatile std::sig_atomic_t* stop = nullptr;
    int64_t stallUs = 0;     // 0: no deadline
    int64_t deadlineUs = 0;  // av_gettime_relative() by which data must come
    bool stalled = false;

    void arm() {
        if (stallUs > 0) deadlineUs = av_gettime_relative() + stallUs;
    }
};

int Interrupted(void* opaque) {
    Watch* w = static_cast<Watch*>(opaque);
    if (StopRequested(w->stop)) return 1;
    if (w->stallUs > 0 && av_gettime_relative() > w->deadlineUs) {
        w->stalled = true;
        return 1;
    }
    return 0;
}

bool IsCoverArt(const AVStream* st) { return (st->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0; }

// The input format to force: V4L2 for camera devices, which libavformat
// does not recognise by their name; null lets it probe.
const AVInputFormat* ForcedFormat(const std::string& path) {
    if (!IsVideoDevice(path)) return nullptr;
    static const bool registered = [] {
        avdevice_register_all();
        return true;
    }();
    (void)registered;
    return av_find_input_format("video4linux2");
}

// The bands widened to multiples of `align` rows (the converter works on
// whole chroma rows; the last band may end at the picture's end), clipped
// to the picture and merged where they meet.
std::vector<RowBand> AlignedBands(const std::vector<RowBand>& bands, int align, int height) {
    std::vector<RowBand> out;
    for (const RowBand& b : bands) {
        const int begin = std::max(0, b.begin) / align * align;
        const int end = std::min(height, (std::min(b.end, height) + align - 1) / align * align);
        if (end <= begin) continue;
        if (!out.empty() && begin <= out.back().end)
            out.back().end = std::max(out.back().end, end);
        else
            out.push_back({begin, end});
    }
    return out;
}

}  // namespace

bool IsVideoDevice(const std::string& path) { return path.rfind("/dev/video", 0) == 0; }

void SetMediaVerbose(bool verbose) { av_log_set_level(verbose ? AV_LOG_INFO : AV_LOG_QUIET); }

struct VideoReader::Impl {
    std::string path;
    VideoReaderOptions opt;
    AVFormatContext* fmt = nullptr;
    AVCodecContext* dec = nullptr;
    AVPacket* pkt = nullptr;
    AVFrame* frame = nullptr;  // as decoded
    AVFrame* bgr = nullptr;    // converted, in FFmpeg's own aligned buffer
    // opt.sharePictures: buffers set aside while a consumer held them.
    std::vector<AVFrame*> spares;
    SwsContext* sws = nullptr;
    int stream = -1;
    int videoStreams = 0;
    int width = 0, height = 0;
    int rotation = 0;
    AVRational tb{1, 1};
    AVRational rate{25, 1};
    int64_t start = 0;
    bool flushed = false;   // the decoder was told the input ended
    bool eof = false;       // and it gave out everything
    bool held = false;      // `frame` holds a decoded frame not yet taken
    bool skipping = false;  // dropping frames before a seek target
    double skipBefore = 0.0;
    bool warmup = false;    // after a seek, before its first frame
    bool seeked = false;
    bool stopped = false;
    Watch watch;
    std::string readError;  // why reading ended early, when not at the end
    double lastTime = -1.0;
    int64_t nextIndex = 0;
    int64_t decoded = 0, errors = 0, packetsIn = 0, framesOut = 0, lost = 0;
    // Source geometry the conversion context was set up for.
    int swsW = 0, swsH = 0, swsFmt = -1, swsSpace = -1, swsRange = -1;
    // The rows converted (opt.rows set): aligned for the current context.
    // wholeRows: they cover so much that one whole conversion is cheaper.
    std::vector<RowBand> bands;
    bool wholeRows = true;

    ~Impl() {
        if (opt.tap && fmt && stream >= 0) opt.tap->closed(fmt->streams[stream]);
        sws_freeContext(sws);
        av_frame_free(&bgr);
        for (AVFrame*& f : spares) av_frame_free(&f);
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&dec);
        avformat_close_input(&fmt);
    }

    bool stopRequested() {
        if (StopRequested(opt.stop)) stopped = true;
        return stopped;
    }

    void checkSize(int w, int h) const {
        if (w > tarvocoil::kMaxFrameWidth)
            throw ToolError(path + ": frame width " + std::to_string(w) + " exceeds the detector's limit of " +
                            std::to_string(tarvocoil::kMaxFrameWidth) + " pixels");
        if (h > tarvocoil::kMaxFrameHeight)
            throw ToolError(path + ": frame height " + std::to_string(h) + " exceeds the detector's limit of " +
                            std::to_string(tarvocoil::kMaxFrameHeight) + " rows");
        if (w < tarvocoil::kMinFrameWidth || h < tarvocoil::kMinFrameHeight)
            throw ToolError(path + ": frame size " + std::to_string(w) + "x" + std::to_string(h) +
                            " is below the detector's minimum of 1x3");
    }

    void damaged() {
        if (!warmup) ++errors;
    }

    // The next frame from the decoder into `frame`; false at the end.
    bool decodeOne() {
        int failures = 0;
        for (;;) {
            int err = avcodec_receive_frame(dec, frame);
            if (err >= 0) {
                ++decoded;
                ++framesOut;
                if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT)) damaged();
                warmup = false;
                return true;
            }
            if (err == AVERROR_EOF) {
                if (!eof && !seeked && !stopped) lost = std::max<int64_t>(0, packetsIn - framesOut);
                eof = true;
                return false;
            }
            if (err != AVERROR(EAGAIN)) {
                damaged();
                if (flushed) {
                    if (++failures > 1000) return false;
                    continue;
                }
            }
            if (flushed) return false;
            if (stopRequested()) return false;
            watch.arm();
            err = av_read_frame(fmt, pkt);
            if (err < 0) {
                if (watch.stalled) return false;
                if (err == AVERROR_EXIT || stopRequested()) {
                    stopped = true;
                    return false;
                }
                if (err != AVERROR_EOF) readError = AvError(err);
                // End of file, or a read error: let the decoder give out what it holds.
                avcodec_send_packet(dec, nullptr);
                flushed = true;
                continue;
            }
            if (pkt->stream_index == stream) {
                ++packetsIn;
                if (opt.tap) opt.tap->packet(pkt);
                err = avcodec_send_packet(dec, pkt);
                if (err < 0 && err != AVERROR(EAGAIN)) damaged();
            }
            av_packet_unref(pkt);
        }
    }

    double frameTime() const {
        const int64_t ts = frame->best_effort_timestamp;
        if (ts == AV_NOPTS_VALUE) return lastTime < 0 ? 0.0 : lastTime + av_q2d(av_inv_q(rate));
        return static_cast<double>(ts - start) * av_q2d(tb);
    }

    void convert() {
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
            chooseBands();
        }
        if (opt.sharePictures) takeFreeBuffer();
        if (!bgr) {
            // FFmpeg's own allocation: rows aligned and padded as its
            // converters write them (they store whole vectors past the
            // last pixel of a row).
            bgr = av_frame_alloc();
            if (!bgr) throw ToolError("out of memory");
            bgr->format = AV_PIX_FMT_BGR24;
            bgr->width = width;
            bgr->height = height;
            if (av_frame_get_buffer(bgr, 0) < 0) throw ToolError("out of memory");
            // Rows left unconverted then hold zeros, not stale heap.
            std::memset(bgr->data[0], 0, static_cast<std::size_t>(bgr->linesize[0]) * height);
        }
        if (wholeRows || (opt.wholeFrame && opt.wholeFrame())) {
            sws_scale(sws, frame->data, frame->linesize, 0, frame->height, bgr->data, bgr->linesize);
            return;
        }
        // The whole decoded picture goes in; only the bands come out. The
        // converter computes each output row from the same input rows as in
        // a whole conversion, so the bands hold the same bytes.
        if (sws_frame_start(sws, bgr, frame) < 0 || sws_send_slice(sws, 0, frame->height) < 0)
            throw ToolError(path + ": cannot convert a frame to BGR");
        for (const RowBand& b : bands)
            if (sws_receive_slice(sws, b.begin, b.end - b.begin) < 0) {
                sws_frame_end(sws);
                throw ToolError(path + ": cannot convert a frame to BGR");
            }
        sws_frame_end(sws);
    }

    // A picture handed out still held elsewhere is never written again:
    // the next frame goes into a buffer nobody holds, a new one when every
    // spare is held (as many as the consumer holds at once). Buffers a
    // consumer that fell behind needed are given back once it caught up:
    // one free spare is kept, so that a steady hand-over allocates nothing.
    void takeFreeBuffer() {
        if (bgr && av_buffer_is_writable(bgr->buf[0])) return;
        if (bgr) spares.push_back(bgr);
        bgr = nullptr;
        // Sorted in place: this runs for every frame.
        AVFrame* spare = nullptr;
        std::size_t held = 0;
        for (std::size_t i = 0; i < spares.size(); ++i) {
            AVFrame* f = spares[i];
            if (!av_buffer_is_writable(f->buf[0]))
                spares[held++] = f;
            else if (!bgr)
                bgr = f;
            else if (!spare)
                spare = f;
            else
                av_frame_free(&f);
        }
        spares.resize(held);
        if (spare) spares.push_back(spare);
    }

    // A handle on the buffer of the picture just converted.
    std::shared_ptr<const void> holdPicture() const {
        AVBufferRef* ref = av_buffer_ref(bgr->buf[0]);
        if (!ref) throw ToolError("out of memory");
        return std::shared_ptr<const void>(ref, [](const void* p) {
            AVBufferRef* b = const_cast<AVBufferRef*>(static_cast<const AVBufferRef*>(p));
            av_buffer_unref(&b);
        });
    }

    // The bands of opt.rows for the output size and the converter just set
    // up: both the converter's slice alignment and the source's chroma
    // rows, so that a band never starts between two luma rows that share
    // their chroma.
    void chooseBands() {
        wholeRows = true;
        bands.clear();
        if (!opt.rows) return;
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(swsFmt));
        const int align = std::max<int>(static_cast<int>(sws_receive_slice_alignment(sws)),
                                        1 << (d ? d->log2_chroma_h : 0));
        bands = AlignedBands(opt.rows(width, height), align, height);
        int64_t covered = 0;
        for (const RowBand& b : bands) covered += b.end - b.begin;
        wholeRows = 4 * covered > 3 * static_cast<int64_t>(height);
    }

    // Opens the container and reads its stream information, within the
    // stop flag's and the stall limit's watch.
    void openInput() {
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) throw ToolError("cannot open video '" + path + "': it is a directory");
        fmt = avformat_alloc_context();
        if (!fmt) throw ToolError("out of memory");
        watch.stop = opt.stop;
        watch.stallUs = static_cast<int64_t>(opt.stallSeconds * 1e6);
        watch.arm();
        fmt->interrupt_callback.callback = Interrupted;
        fmt->interrupt_callback.opaque = &watch;
        const AVInputFormat* forced = ForcedFormat(path);
        if (IsVideoDevice(path) && !forced)
            throw ToolError("cannot open video '" + path + "': this FFmpeg has no V4L2 input");
        int err = avformat_open_input(&fmt, path == "-" ? "pipe:0" : path.c_str(), forced, nullptr);
        if (err < 0) {
            fmt = nullptr;  // freed by avformat_open_input
            if (watch.stalled)
                throw ToolError("cannot open video '" + path + "': no answer for " +
                                std::to_string(static_cast<long long>(std::ceil(opt.stallSeconds))) + " s");
            throw ToolError("cannot open video '" + path + "': " + AvError(err));
        }
        watch.arm();
        err = avformat_find_stream_info(fmt, nullptr);
        if (err < 0) throw ToolError("cannot read video '" + path + "': " + AvError(err));
    }

    // The video stream to read: the one asked for, else FFmpeg's best one
    // (cover pictures are no video).
    void chooseStream() {
        std::vector<int> video;
        bool coverArt = false;
        for (unsigned i = 0; i < fmt->nb_streams; ++i) {
            const AVStream* st = fmt->streams[i];
            if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
            if (IsCoverArt(st)) {
                coverArt = true;
                continue;
            }
            video.push_back(static_cast<int>(i));
        }
        videoStreams = static_cast<int>(video.size());
        if (video.empty())
            throw ToolError("'" + path + "' has no video stream" + (coverArt ? " (only a cover picture)" : ""));
        auto list = [&] {
            std::string s;
            for (int v : video) s += (s.empty() ? "" : ", ") + std::to_string(v);
            return s;
        };
        if (opt.stream >= 0) {
            if (std::find(video.begin(), video.end(), opt.stream) == video.end())
                throw ToolError("'" + path + "': stream " + std::to_string(opt.stream) +
                                " is no video stream (its video streams: " + list() + ")");
            stream = opt.stream;
        } else {
            const int best = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
            stream = std::find(video.begin(), video.end(), best) != video.end() ? best : video.front();
        }
    }

    // The stream's time base, start, frame rate and rotation, its decoder,
    // and the frame size.
    void openDecoder() {
        AVStream* st = fmt->streams[stream];
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        if (!codec)
            throw ToolError("'" + path + "': no decoder for its video codec " + avcodec_get_name(st->codecpar->codec_id));
        tb = st->time_base;
        start = st->start_time == AV_NOPTS_VALUE ? 0 : st->start_time;
        if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0)
            rate = st->avg_frame_rate;
        else if (st->r_frame_rate.num > 0 && st->r_frame_rate.den > 0)
            rate = st->r_frame_rate;
        if (const uint8_t* matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr)) {
            const double deg = av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
            if (std::isfinite(deg)) rotation = static_cast<int>(((std::lround(deg) % 360) + 360) % 360);
        }
        dec = avcodec_alloc_context3(codec);
        if (!dec) throw ToolError("out of memory");
        int err = avcodec_parameters_to_context(dec, st->codecpar);
        if (err >= 0) {
            SetDecoderThreads(dec);
            dec->pkt_timebase = st->time_base;
            err = avcodec_open2(dec, codec, nullptr);
        }
        if (err < 0) throw ToolError("cannot decode '" + path + "': " + AvError(err));
        if (opt.width > 0 && opt.height > 0) {
            checkSize(opt.width, opt.height);
            width = opt.width;
            height = opt.height;
        } else if (st->codecpar->width > 0 && st->codecpar->height > 0) {
            checkSize(st->codecpar->width, st->codecpar->height);
            width = st->codecpar->width;
            height = st->codecpar->height;
        }
    }
};

VideoReader::VideoReader(const std::string& path, const VideoReaderOptions& options) : impl_(new Impl) {
    Impl& m = *impl_;
    m.path = path;
    m.opt = options;
    m.openInput();
    m.chooseStream();
    m.openDecoder();
    m.pkt = av_packet_alloc();
    m.frame = av_frame_alloc();
    if (!m.pkt || !m.frame) throw ToolError("out of memory");
    if (m.opt.tap) m.opt.tap->opened(m.fmt->streams[m.stream]);
}

VideoReader::~VideoReader() = default;

int VideoReader::width() const { return impl_->width; }
int VideoReader::height() const { return impl_->height; }
double VideoReader::frameRate() const { return av_q2d(impl_->rate); }
int VideoReader::frameRateNum() const { return impl_->rate.num; }
int VideoReader::frameRateDen() const { return impl_->rate.den; }
int VideoReader::streamIndex() const { return impl_->stream; }
int VideoReader::videoStreams() const { return impl_->videoStreams; }
int VideoReader::rotation() const { return impl_->rotation; }
bool VideoReader::seekable() const { return impl_->fmt->pb && (impl_->fmt->pb->seekable & AVIO_SEEKABLE_NORMAL); }
double VideoReader::lastDecodedTime() const { return impl_->lastTime; }
int64_t VideoReader::decodedFrames() const { return impl_->decoded; }
int64_t VideoReader::decodeErrors() const { return impl_->errors; }
int64_t VideoReader::lostFrames() const { return impl_->lost; }
bool VideoReader::stopped() const { return impl_->stopped; }
bool VideoReader::stalled() const { return impl_->watch.stalled; }
const std::string& VideoReader::readError() const { return impl_->readError; }

double VideoReader::statedLength() const {
    const Impl& m = *impl_;
    if (m.fmt->duration_estimation_method != AVFMT_DURATION_FROM_STREAM) return -1.0;
    return containerDuration();
}

bool VideoReader::atEnd() const { return impl_->eof; }

double VideoReader::containerDuration() const {
    const Impl& m = *impl_;
    const AVStream* st = m.fmt->streams[m.stream];
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0) return static_cast<double>(st->duration) * av_q2d(m.tb);
    if (m.fmt->duration != AV_NOPTS_VALUE && m.fmt->duration > 0)
        return static_cast<double>(m.fmt->duration) / AV_TIME_BASE;
    return -1.0;
}

void VideoReader::seek(double seconds) {
    Impl& m = *impl_;
    if (!(seconds > 0.0)) return;
    // Small tolerance: a frame stamped 1.9999999 s is the frame at 2 s.
    m.skipBefore = seconds - 1e-4;
    m.skipping = true;
    if (!seekable()) return;  // decoding forward and dropping gives the same frames, only slower
    // Some demuxers (MPEG-TS) land anywhere, and the decoder then waits for
    // the next keyframe: step back until the first frame decoded lies at or
    // before the target, then decode forward to it.
    // A target past the container's length would land at the end of some
    // files (MPEG-TS) on every attempt: step back from the length instead.
    const double length = containerDuration();
    const double from = length > 0.0 ? std::min(seconds, length) : seconds;
    double back = 0.0;
    for (int attempt = 0; attempt < 12; ++attempt) {
        const double target = from - back;
        // Far beyond any real video; keeps the conversion to int64 defined.
        const double ticks = std::min(std::floor(std::max(0.0, target) / av_q2d(m.tb)), 4e18);
        const int64_t ts = m.start + static_cast<int64_t>(ticks);
        if (av_seek_frame(m.fmt, m.stream, ts, AVSEEK_FLAG_BACKWARD) < 0) {
            if (attempt > 0) av_seek_frame(m.fmt, m.stream, m.start, AVSEEK_FLAG_BACKWARD);
            break;
        }
        avcodec_flush_buffers(m.dec);
        m.flushed = m.eof = m.held = false;
        m.warmup = m.seeked = true;
        if (m.decodeOne()) {
            m.held = true;
            m.lastTime = m.frameTime();
            if (m.lastTime <= seconds + 1e-4 || target <= 0.0) break;
        } else if (target <= 0.0 || m.stopped) {
            break;
        }
        back = back > 0.0 ? back * 2.0 : 1.0;
    }
    m.warmup = false;
    if (m.held) m.nextIndex = std::llround(std::max(0.0, m.lastTime) * av_q2d(m.rate));
}

bool VideoReader::next(VideoFrame& out) {
    Impl& m = *impl_;
    for (;;) {
        if (m.held) {
            m.held = false;
        } else if (m.stopRequested() || !m.decodeOne()) {
            return false;
        }
        const double t = m.frameTime();
        m.lastTime = t;
        const int64_t index = m.nextIndex++;
        if (m.skipping && t < m.skipBefore) {
            av_frame_unref(m.frame);
            continue;
        }
        m.skipping = false;
        out.decodedWidth = m.frame->width;
        out.decodedHeight = m.frame->height;
        m.convert();
        av_frame_unref(m.frame);
        out.picture = tarvocoil::FrameView{m.bgr->data[0], m.width, m.height, m.bgr->linesize[0]};
        out.keep = m.opt.sharePictures ? m.holdPicture() : nullptr;
        out.time = t;
        out.index = index;
        return true;
    }
}

}  // namespace tarvotool
