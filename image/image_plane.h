// image_plane.h - ImagePlane: the one record for frames and working planes.
//
// Geometry fields are signed 16-bit, as hosts and the detector's arithmetic
// expect: a width or height is at most 32767 and a row stride at most 32764
// (a 24-bit frame is at most 10921 pixels wide). Pixel (x, y) begins at
// pixels + y * stride + x * bytesPerPixel. The stride is the row length in
// bytes rounded up to a multiple of 4.
#ifndef TARVOCOIL_IMAGE_IMAGE_PLANE_H
#define TARVOCOIL_IMAGE_IMAGE_PLANE_H

#include <cstdint>

#include "base/allocator.h"
#include "base/low16.h"

namespace tarvocoil {

struct ImagePlane {
    int16_t bytesPerPixel = 0;
    int16_t stride = 0;
    int16_t width = 0;
    int16_t height = 0;
    int16_t reserved[4] = {0, 0, 0, 0};
    uint8_t* pixels = nullptr;

    // Byte offset of pixel (x, y), in signed 32-bit terms.
    int32_t offset(int32_t x, int32_t y) const { return y * stride + x * bytesPerPixel; }
    uint8_t* at(int32_t x, int32_t y) const { return pixels + offset(x, y); }
};

// width * bytesPerPixel + 3 with the two low bits cleared, low 16 bits kept.
int16_t strideFor(int16_t width, int16_t bytesPerPixel);

// Sets a header's geometry (each argument's low 16 bits) without pixels.
void SetImageGeometry(ImagePlane& plane, int32_t width, int32_t height, int32_t bytesPerPixel);

// A header with geometry and no buffer (pixels are borrowed).
ImagePlane CreateImageHeader(int32_t width, int32_t height, int32_t bytesPerPixel);

// A plane with its own buffer of stride * height bytes, every byte 255 so
// that bytes nothing has written are walls for the seed fill. Null when
// memory cannot be had.
ImagePlane* CreateImagePlane(const Allocator& alloc, int32_t width, int32_t height,
                             int32_t bytesPerPixel);

// Frees the buffer, then the record. Null is ignored.
void DestroyImagePlane(const Allocator& alloc, ImagePlane* plane);

// How the stored frame geometry follows the host's frames: the geometry is
// taken again (each argument's low 16 bits, the stride from the rule) only
// when width or height differs from the stored one, each stored value
// sign-extended and compared with the whole argument; otherwise the stored
// geometry stays and bytesPerPixel is not looked at. Returns the geometry
// the frame takes without changing the stored one (the caller stores it
// once the frame is accepted). The pixels are not part of it: they travel
// with the call, never in the stored record.
ImagePlane PeekInputFrame(const ImagePlane& frame, int32_t width, int32_t height, int32_t bytesPerPixel);

// The three grey working planes: slot 0 current, slot 1 previous, slot 2
// background. The roles belong to the slots; exchanging slots 0 and 1 moves
// two pointers, never pixels.
struct FramePlanes {
    ImagePlane* slot[3] = {nullptr, nullptr, nullptr};

    ImagePlane* current() const { return slot[0]; }
    ImagePlane* previous() const { return slot[1]; }
    ImagePlane* background() const { return slot[2]; }
    bool ready() const { return slot[0] && slot[1] && slot[2]; }
    void exchange() {
        ImagePlane* t = slot[0];
        slot[0] = slot[1];
        slot[1] = t;
    }
    // Destroys every plane, slot 0 first.
    void release(const Allocator& alloc);
    // Makes three new planes of the given size; false (and all slots empty)
    // when memory runs out.
    bool create(const Allocator& alloc, int16_t width, int16_t height);
};

}  // namespace tarvocoil

#endif
