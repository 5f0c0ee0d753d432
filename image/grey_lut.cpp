// grey_lut.cpp - building the grey table.
#include "image/grey_lut.h"

#include <cstring>

namespace tarvocoil {

namespace {
// BT.601 luma weights as the nearest 32-bit floats. Widened to double the
// sum is exact enough that the table equals exact arithmetic on these three
// values; the exact decimal weights would give 844 different entries.
constexpr float kWeightByte2 = 0.299f;  // red
constexpr float kWeightByte1 = 0.587f;  // green
constexpr float kWeightByte0 = 0.114f;  // blue
}  // namespace

uint8_t GreyOfParts(uint32_t i2, uint32_t i1, uint32_t i0) {
    double sum = static_cast<double>(2 * i2) * static_cast<double>(kWeightByte2) +
                 static_cast<double>(2 * i1) * static_cast<double>(kWeightByte1) +
                 static_cast<double>(2 * i0) * static_cast<double>(kWeightByte0) + 0.5;
    return static_cast<uint8_t>(static_cast<int32_t>(sum));
}

uint8_t* CreateGreyLut(const Allocator& alloc) {
    uint8_t* lut = static_cast<uint8_t*>(alloc.get(kGreyLutSize));
    if (lut) std::memset(lut, 0, kGreyLutSize);
    return lut;
}

void BuildGreyLut(uint8_t* lut) {
    for (uint32_t i2 = 0; i2 < 128; ++i2)
        for (uint32_t i1 = 0; i1 < 128; ++i1)
            for (uint32_t i0 = 0; i0 < 128; ++i0) lut[(i2 << 14) | (i1 << 7) | i0] = GreyOfParts(i2, i1, i0);
}

void FreeGreyLut(const Allocator& alloc, uint8_t* lut) { alloc.put(lut); }

}  // namespace tarvocoil
