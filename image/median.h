// median.h - MedianGrey: the median grey of a pixel's 3x3 neighbourhood.
//
// Horizontal neighbours are taken 3 bytes away (one pixel of a 24-bit
// frame), vertical ones one stride away. No bounds are checked: callers
// pass only pixels with a neighbour on every side.
#ifndef TARVOCOIL_IMAGE_MEDIAN_H
#define TARVOCOIL_IMAGE_MEDIAN_H

#include <cstddef>
#include <cstdint>

namespace tarvocoil {

// Reference version: nine table lookups in a fixed order, then a bubble
// sort, returning the fifth smallest.
uint8_t MedianGrey(const uint8_t* lut, ptrdiff_t stride, const uint8_t* p);

// Fifth smallest of nine values by the reference bubble sort.
uint8_t MedianOfNineBubble(uint16_t slots[9]);

}  // namespace tarvocoil

#endif
