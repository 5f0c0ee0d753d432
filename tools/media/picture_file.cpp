// picture_file.cpp - PNG and JPEG through FFmpeg's image encoders.
#include "tools/media/picture_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "tools/media/av_error.h"
#include "host/errors.h"

namespace tarvotool {

namespace {

enum class PictureKind { Png, Jpeg, Unknown };

PictureKind KindOf(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext.empty() || ext == ".png") return PictureKind::Png;
    if (ext == ".jpg" || ext == ".jpeg") return PictureKind::Jpeg;
    return PictureKind::Unknown;
}

void Encode(const std::string& path, const BgrImage& img, PictureKind kind) {
    const bool jpeg = kind == PictureKind::Jpeg;
    const AVCodec* codec = avcodec_find_encoder(jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG);
    if (!codec)
        throw ToolError("cannot write '" + path + "': this FFmpeg has no " + (jpeg ? "JPEG" : "PNG") + " encoder");
    const AVPixelFormat pix = jpeg ? AV_PIX_FMT_YUVJ444P : AV_PIX_FMT_RGB24;
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
    r.enc->pix_fmt = pix;
    r.enc->time_base = AVRational{1, 1};
    if (jpeg) {
        r.enc->flags |= AV_CODEC_FLAG_QSCALE;
        r.enc->global_quality = FF_QP2LAMBDA * 2;
        r.enc->color_range = AVCOL_RANGE_JPEG;
    }
    int err = avcodec_open2(r.enc, codec, nullptr);
    if (err < 0) throw ToolError("cannot write '" + path + "': " + AvError(err));
    r.frame->format = pix;
    r.frame->width = img.width;
    r.frame->height = img.height;
    if (av_frame_get_buffer(r.frame, 0) < 0) throw ToolError("out of memory");
    r.sws = sws_getContext(img.width, img.height, AV_PIX_FMT_BGR24, img.width, img.height, pix,
                           SWS_POINT, nullptr, nullptr, nullptr);
    if (!r.sws) throw ToolError("cannot write '" + path + "': no conversion from BGR");
    if (jpeg) {
        const int* coef = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(r.sws, coef, 1, coef, 1, 0, 1 << 16, 1 << 16);
    }
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

}  // namespace

void CheckPictureName(const std::string& path) {
    if (KindOf(path) == PictureKind::Unknown)
        throw ToolError("cannot write '" + path + "': unknown picture format (use a name ending in .png or .jpg)");
}

void WritePicture(const std::string& path, const BgrImage& img) {
    CheckPictureName(path);
    Encode(path, img, KindOf(path));
}

void WritePng(const std::string& path, const BgrImage& img) { Encode(path, img, PictureKind::Png); }

}  // namespace tarvotool
