// frame_ref.h - FrameRef: a host's 24-bit frame for the length of one call.
//
// The pixels belong to the host and are read only during the call that
// passes them; nothing keeps a FrameRef afterwards. Rows lie `stride`
// bytes apart: the padded layout of the C calls (3 * width rounded up to a
// multiple of 4) or any larger distance a host's own buffers have, up to
// 2^31 - 1. Offsets are formed in ptrdiff_t, so a stride times a row
// number never wraps.
#ifndef TARVOCOIL_IMAGE_FRAME_REF_H
#define TARVOCOIL_IMAGE_FRAME_REF_H

#include <cstddef>
#include <cstdint>

namespace tarvocoil {

struct FrameRef {
    const uint8_t* pixels = nullptr;
    int32_t width = 0;    // pixels per row, 1 .. 10921 when processed
    int32_t height = 0;   // rows, 3 .. 32767 when processed
    ptrdiff_t stride = 0;  // bytes from one row's start to the next, >= 3 * width

    // The first byte (blue) of pixel (x, y).
    const uint8_t* at(int32_t x, int32_t y) const {
        return pixels + static_cast<ptrdiff_t>(y) * stride + 3 * static_cast<ptrdiff_t>(x);
    }
};

}  // namespace tarvocoil

#endif
