// av_error.h - FFmpeg error codes as text, for the tool's messages.
#ifndef TARVOCOIL_TOOLS_MEDIA_AV_ERROR_H
#define TARVOCOIL_TOOLS_MEDIA_AV_ERROR_H

#include <string>

extern "C" {
#include <libavutil/error.h>
}

namespace tarvotool {

inline std::string AvError(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

}  // namespace tarvotool

#endif
