// media.h - the tool's video and picture input and output, in one include:
// VideoReader (video_reader.h), VideoWriter (video_writer.h), PNG/JPEG
// files (picture_file.h) and text drawing (text_painter.h).
#ifndef TARVOCOIL_TOOLS_MEDIA_H
#define TARVOCOIL_TOOLS_MEDIA_H

#include "picture_file.h"
#include "text_painter.h"
#include "video_reader.h"
#include "video_writer.h"

#endif
