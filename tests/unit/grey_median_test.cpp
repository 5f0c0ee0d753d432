// Grey table and 3x3 median.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "image/grey_lut.h"
#include "image/median.h"

namespace tarvocoil {
namespace {

class GreyTable : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        lut_ = CreateGreyLut(Allocator{});
        BuildGreyLut(lut_);
    }
    static void TearDownTestSuite() { FreeGreyLut(Allocator{}, lut_); }
    static uint8_t grey(uint8_t b, uint8_t g, uint8_t r) {
        const uint8_t px[3] = {b, g, r};
        return LookupGrey(lut_, px);
    }
    static uint8_t* lut_;
};
uint8_t* GreyTable::lut_ = nullptr;

TEST_F(GreyTable, KnownColours) {
    EXPECT_EQ(grey(0, 0, 0), 0);
    EXPECT_EQ(grey(255, 255, 255), 254);
    EXPECT_EQ(grey(0, 0, 255), 76);   // red is byte 2
    EXPECT_EQ(grey(0, 255, 0), 149);
    EXPECT_EQ(grey(255, 0, 0), 29);   // blue is byte 0
    EXPECT_EQ(grey(200, 200, 200), 200);
    EXPECT_EQ(grey(128, 128, 128), 128);
    EXPECT_EQ(grey(201, 201, 201), 200);  // low bits dropped
}

TEST_F(GreyTable, UsesFloatWeightsNotDecimalOnes) {
    // Sums just below x.5 with the float weights; exact decimals round up.
    EXPECT_EQ(grey(8, 0, 12), 4);
    EXPECT_EQ(grey(10, 2, 14), 6);
    EXPECT_EQ(grey(12, 4, 16), 8);
}

TEST_F(GreyTable, WholeTableMatchesFixedPointFormulaAndDecimalDifferenceCount) {
    // Every entry equals an exact integer formula of the float weights, and
    // exactly 844 entries differ by one from what exact decimal weights give.
    int differing = 0;
    for (uint32_t i = 0; i < kGreyLutSize; ++i) {
        const uint64_t i2 = i >> 14, i1 = (i >> 7) & 127, i0 = i & 127;
        const uint64_t fixed = (i2 * 80262200ull + i1 * 157571616ull + i0 * 30601642ull + (1ull << 26)) >> 27;
        ASSERT_EQ(lut_[i], fixed) << "index " << i;
        // Decimal weights in exact integer arithmetic: 2*(299 i2 + 587 i1 + 114 i0) / 1000, half up.
        const uint64_t decimal = (2 * (299 * i2 + 587 * i1 + 114 * i0) + 500) / 1000;
        if (decimal != lut_[i]) {
            ++differing;
            ASSERT_EQ(decimal, lut_[i] + 1u);
        }
    }
    EXPECT_EQ(differing, 844);
}

TEST_F(GreyTable, OddAndEvenBytesShareEntries) {
    for (int v = 0; v < 256; v += 2) EXPECT_EQ(grey(v, v, v), grey(v + 1, v + 1, v + 1));
}

TEST(MedianOfNine, BubbleSortGivesFifthSmallest) {
    uint16_t equal[9] = {7, 7, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_EQ(MedianOfNineBubble(equal), 7);
    uint16_t outlier[9] = {10, 10, 10, 250, 10, 10, 10, 10, 10};
    EXPECT_EQ(MedianOfNineBubble(outlier), 10);
    uint16_t ramp[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    do {
        uint16_t copy[9];
        std::copy(ramp, ramp + 9, copy);
        ASSERT_EQ(MedianOfNineBubble(copy), 5);
    } while (std::next_permutation(ramp, ramp + 9));
}

TEST_F(GreyTable, MedianReadsTheNeighbourhoodThreeBytesApart) {
    // A 5x5 24-bit frame; the centre pixel (2,2) and its eight neighbours.
    const int stride = 16;
    uint8_t frame[5 * stride] = {};
    auto put = [&](int x, int y, uint8_t v) {
        for (int c = 0; c < 3; ++c) frame[y * stride + x * 3 + c] = v;
    };
    const uint8_t values[3][3] = {{10, 200, 30}, {40, 50, 60}, {70, 80, 90}};
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) put(2 + dx, 2 + dy, values[dy + 1][dx + 1]);
    put(0, 2, 255);  // outside the neighbourhood: ignored
    put(4, 2, 255);
    // Sorted: 10 30 40 50 60 70 80 90 200 -> 60.
    EXPECT_EQ(MedianGrey(lut_, stride, frame + 2 * stride + 2 * 3), 60);
}

}  // namespace
}  // namespace tarvocoil
