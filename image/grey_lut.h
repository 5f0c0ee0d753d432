// grey_lut.h - GreyLut: colour pixel to grey through a 2 MiB table.
//
// The index keeps the seven high bits of each of a pixel's three bytes:
// bits 14..20 from byte 2 (red), 7..13 from byte 1 (green), 0..6 from byte 0
// (blue). The entry is the BT.601 luma of the even member of each byte
// pair, with the weights as 32-bit floats, rounded half up: 0..254.
#ifndef TARVOCOIL_IMAGE_GREY_LUT_H
#define TARVOCOIL_IMAGE_GREY_LUT_H

#include <cstdint>

#include "base/allocator.h"

namespace tarvocoil {

constexpr uint32_t kGreyLutSize = 1u << 21;

// The table index of the three bytes at p.
inline uint32_t GreyIndex(const uint8_t* p) {
    return (static_cast<uint32_t>(p[2] >> 1) << 14) | (static_cast<uint32_t>(p[1] >> 1) << 7) |
           static_cast<uint32_t>(p[0] >> 1);
}

// The entry for the 7-bit parts (i2, i1, i0), computed from the rule.
uint8_t GreyOfParts(uint32_t i2, uint32_t i1, uint32_t i0);

// Takes the table from the heap, all entries 0. Null when memory runs out.
uint8_t* CreateGreyLut(const Allocator& alloc);
// Writes every entry.
void BuildGreyLut(uint8_t* lut);
void FreeGreyLut(const Allocator& alloc, uint8_t* lut);

// The grey of the three bytes at p.
inline uint8_t LookupGrey(const uint8_t* lut, const uint8_t* p) { return lut[GreyIndex(p)]; }

}  // namespace tarvocoil

#endif
