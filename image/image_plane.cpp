// image_plane.cpp - creating, following and freeing image records.
#include "image/image_plane.h"

#include <cstring>
#include <new>

namespace tarvocoil {

int16_t strideFor(int16_t width, int16_t bytesPerPixel) {
    uint32_t bytes = static_cast<uint32_t>(static_cast<int32_t>(width) * bytesPerPixel) + 3u;
    return low16(static_cast<int32_t>(bytes & ~3u));
}

void SetImageGeometry(ImagePlane& plane, int32_t width, int32_t height, int32_t bytesPerPixel) {
    plane.width = low16(width);
    plane.height = low16(height);
    plane.bytesPerPixel = low16(bytesPerPixel);
    plane.stride = strideFor(plane.width, plane.bytesPerPixel);
    for (int16_t& r : plane.reserved) r = 0;
}

ImagePlane CreateImageHeader(int32_t width, int32_t height, int32_t bytesPerPixel) {
    ImagePlane header;
    SetImageGeometry(header, width, height, bytesPerPixel);
    header.pixels = nullptr;
    return header;
}

ImagePlane* CreateImagePlane(const Allocator& alloc, int32_t width, int32_t height,
                             int32_t bytesPerPixel) {
    void* record = alloc.get(sizeof(ImagePlane));
    if (!record) return nullptr;
    ImagePlane* plane = new (record) ImagePlane(CreateImageHeader(width, height, bytesPerPixel));
    int64_t bytes = static_cast<int64_t>(plane->stride) * plane->height;
    if (bytes < 0) bytes = 0;
    plane->pixels = static_cast<uint8_t*>(alloc.get(static_cast<std::size_t>(bytes)));
    if (!plane->pixels) {
        alloc.put(record);
        return nullptr;
    }
    std::memset(plane->pixels, 255, static_cast<std::size_t>(bytes));
    return plane;
}

void DestroyImagePlane(const Allocator& alloc, ImagePlane* plane) {
    if (!plane) return;
    alloc.put(plane->pixels);
    plane->~ImagePlane();
    alloc.put(plane);
}

ImagePlane PeekInputFrame(const ImagePlane& frame, int32_t width, int32_t height, int32_t bytesPerPixel) {
    ImagePlane next = frame;
    if (static_cast<int32_t>(frame.width) != width || static_cast<int32_t>(frame.height) != height)
        SetImageGeometry(next, width, height, bytesPerPixel);
    next.pixels = nullptr;
    return next;
}

void FramePlanes::release(const Allocator& alloc) {
    for (ImagePlane*& plane : slot) {
        DestroyImagePlane(alloc, plane);
        plane = nullptr;
    }
}

bool FramePlanes::create(const Allocator& alloc, int16_t width, int16_t height) {
    release(alloc);
    for (ImagePlane*& plane : slot) {
        plane = CreateImagePlane(alloc, width, height, 1);
        if (!plane) {
            release(alloc);
            return false;
        }
    }
    return true;
}

}  // namespace tarvocoil
