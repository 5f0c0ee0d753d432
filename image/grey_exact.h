// grey_exact.h - the grey table's entries by integer arithmetic.
//
// Every entry of the grey table equals
//     (i2 * 80262200 + i1 * 157571616 + i0 * 30601642 + 2^26) >> 27
// where i2, i1, i0 are the seven high bits of bytes 2, 1, 0 (the exhaustive
// test in the unit tests checks all 2^21 indices). With b = byte & 0xFE
// (= 2 * i) the weights halve, which lets vector code mask instead of shift.
//
// The sum needs 35 bits. Vector code works in 32-bit lanes by splitting each
// weight into a high part (weight >> 15) and a low part (weight & 0x7FFF),
// both small enough for a signed 16 x 16-bit multiply-add:
//     H = sum(b * hi) + 2^11,   L = sum(b * lo)
//     grey = (H + (L >> 15)) >> 12
// which equals the 64-bit form exactly (floor division by 2^15 and then by
// 2^12 is floor division by 2^27, and 2^26 = 2^11 * 2^15).
#ifndef TARVOCOIL_IMAGE_GREY_EXACT_H
#define TARVOCOIL_IMAGE_GREY_EXACT_H

#include <cstdint>

namespace tarvocoil {
namespace grey_exact {

// Weights of the even byte values b = byte & 0xFE.
constexpr uint32_t kWeight0 = 15300821;  // byte 0 (blue)
constexpr uint32_t kWeight1 = 78785808;  // byte 1 (green)
constexpr uint32_t kWeight2 = 40131100;  // byte 2 (red)
constexpr uint64_t kRound = uint64_t{1} << 26;
constexpr int kShift = 27;

// The split form for 32-bit lanes.
constexpr int kSplit = 15;
constexpr int32_t kHigh0 = static_cast<int32_t>(kWeight0 >> kSplit);
constexpr int32_t kHigh1 = static_cast<int32_t>(kWeight1 >> kSplit);
constexpr int32_t kHigh2 = static_cast<int32_t>(kWeight2 >> kSplit);
constexpr int32_t kLow0 = static_cast<int32_t>(kWeight0 & 0x7FFF);
constexpr int32_t kLow1 = static_cast<int32_t>(kWeight1 & 0x7FFF);
constexpr int32_t kLow2 = static_cast<int32_t>(kWeight2 & 0x7FFF);
constexpr int32_t kHighRound = static_cast<int32_t>(kRound >> kSplit);
constexpr int kFinalShift = kShift - kSplit;

static_assert(kHigh0 < 32768 && kHigh1 < 32768 && kHigh2 < 32768 && kHighRound < 32768,
              "high parts must fit a signed 16-bit multiplier");
// Largest lane sums, b = 254 in every byte: both stay far below 2^31.
static_assert(254 * (kLow0 + kLow1 + kLow2) < (1 << 30), "low sum fits a 32-bit lane");
static_assert(254 * (kHigh0 + kHigh1 + kHigh2) + kHighRound < (1 << 30), "high sum fits a 32-bit lane");

// The grey of the three bytes at p, equal to LookupGrey on the table.
inline uint32_t Grey(const uint8_t* p) {
    const uint64_t n = uint64_t{static_cast<uint32_t>(p[0] & 0xFE)} * kWeight0 +
                       uint64_t{static_cast<uint32_t>(p[1] & 0xFE)} * kWeight1 +
                       uint64_t{static_cast<uint32_t>(p[2] & 0xFE)} * kWeight2 + kRound;
    return static_cast<uint32_t>(n >> kShift);
}

// The same value through the split form, as the vector kernels compute it.
inline uint32_t GreySplit(const uint8_t* p) {
    const int32_t b0 = p[0] & 0xFE, b1 = p[1] & 0xFE, b2 = p[2] & 0xFE;
    const int32_t high = b0 * kHigh0 + b1 * kHigh1 + b2 * kHigh2 + kHighRound;
    const int32_t low = b0 * kLow0 + b1 * kLow1 + b2 * kLow2;
    return static_cast<uint32_t>((high + (low >> kSplit)) >> kFinalShift);
}

}  // namespace grey_exact
}  // namespace tarvocoil

#endif
