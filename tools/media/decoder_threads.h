// decoder_threads.h - how the tool lets FFmpeg's decoders use threads.
//
// One place for the setting, so that the decode-only benchmark decodes
// exactly as the tool does.
#ifndef TARVOCOIL_TOOLS_MEDIA_DECODER_THREADS_H
#define TARVOCOIL_TOOLS_MEDIA_DECODER_THREADS_H

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace tarvotool {

// Before avcodec_open2: as many threads as the decoder finds cores for
// (FFmpeg's automatic count), across frames and within them where the
// codec supports either. Frame threads hold back about one frame each
// before the first comes out; a live stream's events wait that long.
inline void SetDecoderThreads(AVCodecContext* dec) {
    dec->thread_count = 0;
    dec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
}

}  // namespace tarvotool

#endif
