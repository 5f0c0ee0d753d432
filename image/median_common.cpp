// median_common.cpp - the plain reference median of nine greys.
#include "image/grey_lut.h"
#include "image/median.h"

namespace tarvocoil {

uint8_t MedianOfNineBubble(uint16_t slots[9]) {
    for (int i = 1; i <= 8; ++i)
        for (int j = 8; j >= i; --j)
            if (slots[j] < slots[j - 1]) {
                uint16_t t = slots[j];
                slots[j] = slots[j - 1];
                slots[j - 1] = t;
            }
    return static_cast<uint8_t>(slots[4]);
}

uint8_t MedianGrey(const uint8_t* lut, ptrdiff_t stride, const uint8_t* p) {
    const ptrdiff_t s = stride;
    uint16_t slots[9];
    slots[0] = LookupGrey(lut, p);              // centre
    slots[1] = LookupGrey(lut, p - s);          // above
    slots[2] = LookupGrey(lut, p - s - 3);      // above left
    slots[3] = LookupGrey(lut, p - 3);          // left
    slots[4] = LookupGrey(lut, p + s - 3);      // below left
    slots[5] = LookupGrey(lut, p + s);          // below
    slots[6] = LookupGrey(lut, p + s + 3);      // below right
    slots[7] = LookupGrey(lut, p + 3);          // right
    slots[8] = LookupGrey(lut, p - s + 3);      // above right
    return MedianOfNineBubble(slots);
}

}  // namespace tarvocoil
