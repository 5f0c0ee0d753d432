// decode_only.cpp - the floor of `tarvocoil run`: a video file demuxed and
// decoded through FFmpeg's libraries with the tool's decoder settings, and
// nothing else (no colour conversion, no detector).
//
//   tarvocoil_decode_only VIDEO [THREADS]
//
// THREADS overrides the decoder's thread count (0: automatic, as the tool
// sets it) for comparisons with other settings. Prints the frames decoded and the seconds it took. scripts/bench.sh
// --tool times it, as a whole process, against `tarvocoil run` on the
// same file.
#include <chrono>
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "tools/media/decoder_threads.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s VIDEO\n", argv[0]);
        return 2;
    }
    const auto t0 = std::chrono::steady_clock::now();
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, argv[1], nullptr, nullptr) < 0 || avformat_find_stream_info(fmt, nullptr) < 0) {
        std::fprintf(stderr, "cannot read '%s'\n", argv[1]);
        return 1;
    }
    const AVCodec* codec = nullptr;
    const int stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream < 0 || !codec) {
        std::fprintf(stderr, "'%s': no video stream with a decoder\n", argv[1]);
        return 1;
    }
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, fmt->streams[stream]->codecpar);
    tarvotool::SetDecoderThreads(dec);
    if (argc > 2) dec->thread_count = std::atoi(argv[2]);
    dec->pkt_timebase = fmt->streams[stream]->time_base;
    if (avcodec_open2(dec, codec, nullptr) < 0) {
        std::fprintf(stderr, "'%s': cannot open the decoder\n", argv[1]);
        return 1;
    }
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    long long frames = 0;
    auto drain = [&] {
        while (avcodec_receive_frame(dec, frame) >= 0) {
            ++frames;
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == stream && avcodec_send_packet(dec, pkt) >= 0) drain();
        av_packet_unref(pkt);
    }
    avcodec_send_packet(dec, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%lld frames decoded in %.3f s\n", frames, s);
    return frames > 0 ? 0 : 1;
}
