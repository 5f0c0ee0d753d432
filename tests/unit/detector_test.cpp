// Baseline, presence test, background refresh and the frame call's rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "detect/sampling_grid.h"
#include "test_support.h"

namespace tarvocoil {
namespace {

using test::Frame;
using test::Rig;
using test::rect;

// The float ratio whose limit against p is exactly `limit`.
float ratioGiving(float p, int64_t limit) {
    float t = static_cast<float>(static_cast<double>(limit) / p);
    while (static_cast<int64_t>(static_cast<double>(p) * t) < limit) t = std::nextafter(t, 2.0f);
    while (static_cast<int64_t>(static_cast<double>(p) * std::nextafter(t, 0.0f)) >= limit) t = std::nextafter(t, 0.0f);
    return t;
}

// 64x48 frames; area 0 covers columns 10..40 of rows 10..30: 7 grid rows
// (10, 13, ... 28) of 10 samples (x = 9, 12, ... 36), sampleCount 71.
class Detect : public ::testing::Test {
protected:
    Rig rig;
    Frame grey(uint8_t v) { return Frame(64, 48, v, v, v); }
    void install(float threshold = 0.5f) { ASSERT_EQ(rig.areas({rect(10, 10, 40, 30)}, {threshold}), 1); }
};

TEST_F(Detect, BaselineFrameTakesStartValuesAndLeavesResults) {
    install();
    EXPECT_EQ(rig.frame(grey(100)), 1);
    EXPECT_EQ(rig.results[0], -7);  // untouched
    const SurvArea& a = rig.area(0);
    EXPECT_EQ(a.sampleCount, 71);
    for (int k = 0; k < 5; ++k) EXPECT_EQ(a.stats[k], 98);  // (1 + 70*100) / 71
    EXPECT_EQ(rig.ctx.engine().store.baselineReady, 1);
    for (int32_t y = 10; y <= 28; y += 3)
        for (int32_t x = 9; x <= 36; x += 3)
            for (int s = 0; s < 3; ++s) ASSERT_EQ(rig.planeByte(s, x, y), 100);
    EXPECT_EQ(rig.planeByte(0, 10, 10), 255);  // off the grid: never written
    EXPECT_EQ(rig.planeByte(2, 39, 10), 255);  // the end column is not sampled
    EXPECT_EQ(rig.frame(grey(100)), 1);
    EXPECT_EQ(rig.results[0], 0);
    EXPECT_EQ(rig.results[1], -7);
}

TEST_F(Detect, BaselineBrightnessEdgeCases) {
    // One sample at (3, 5); none at all; many; a black frame.
    ASSERT_EQ(rig.areas({rect(3, 5, 6, 5), rect(4, 5, 5, 5), rect(1, 1, 62, 46)}, {0.1f, 0.1f, 0.1f}), 1);
    rig.frame(grey(200));
    EXPECT_EQ(rig.area(0).sampleCount, 2);
    EXPECT_EQ(rig.area(0).stats[0], 100);  // (1 + 200) / 2
    EXPECT_EQ(rig.area(1).sampleCount, 1);
    EXPECT_EQ(rig.area(1).stats[0], 10);   // mean 1, raised to 10
    EXPECT_GE(rig.area(2).sampleCount, 199);
    EXPECT_EQ(rig.area(2).stats[4], 199);

    ASSERT_EQ(rig.areas({rect(10, 10, 40, 30)}, {0.1f}), 1);
    rig.frame(grey(0));
    EXPECT_EQ(rig.area(0).stats[0], 10);
}

TEST_F(Detect, GridClampsRowsAndColumnsIntoTheFrame) {
    // Spans -5..5: visited rows -5, -2, 1, 4 sample rows 1, 1, 1, 4; columns
    // 0..20 start at 3 and stop before 18: 5 samples each.
    ASSERT_EQ(rig.areas({rect(0, -5, 20, 5), rect(4, 40, 5000, 60)}, {0.1f, 0.1f}), 1);
    rig.frame(grey(50));
    EXPECT_EQ(rig.area(0).sampleCount, 21);
    // Rows 40, 43, 46, 49, 52, 55, 58 sample rows 40, 43 and five times
    // h - 2 = 46, each visit counted; columns 3 .. below 3*(62/3) = 60.
    EXPECT_EQ(rig.area(1).sampleCount, 1 + 7 * 19);
    EXPECT_EQ(rig.planeByte(0, 57, 46), 50);
    EXPECT_EQ(rig.planeByte(0, 60, 46), 255);
}

TEST_F(Detect, PresenceLimitIsExclusiveAndTruncated) {
    // Frame of grey 110 after a baseline of 100: mean 108, P = 108 * 71,
    // bgDiffSum = 70 * 10 = 700.
    const float p = 108.0f * 71.0f;
    const float atLimit = ratioGiving(p, 700);
    for (float t : {atLimit, std::nextafter(atLimit, 0.0f)}) {
        Rig r;
        ASSERT_EQ(r.areas({rect(10, 10, 40, 30)}, {t}), 1);
        r.frame(grey(100));
        r.frame(grey(110));
        EXPECT_EQ(r.results[0], t == atLimit ? 0 : 1) << t;
    }
}

TEST_F(Detect, StillLimitIsInclusive) {
    const float atLimit = ratioGiving(108.0f * 71.0f, 700);
    for (float t : {atLimit, std::nextafter(atLimit, 0.0f)}) {
        Rig r;
        r.ctx.setTwoFramesDisturbThresh(t);
        ASSERT_EQ(r.areas({rect(10, 10, 40, 30)}, {5.0f}), 1);
        r.frame(grey(100));
        r.frame(grey(110));
        EXPECT_EQ(r.area(0).stillCount, t == atLimit ? 1 : 0) << t;
    }
}

TEST_F(Detect, ResultsFollowTheRisingEdgeOfPresence) {
    install(0.05f);
    rig.frame(grey(100));
    const uint8_t levels[] = {100, 160, 160, 100, 160, 160, 160, 100};
    const int32_t expected[] = {0, 1, 0, 0, 1, 0, 0, 0};
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(rig.frame(grey(levels[i])), 1);
        EXPECT_EQ(rig.results[0], expected[i]) << "frame " << i;
    }
}

TEST_F(Detect, ZeroThresholdsAndIdenticalFrames) {
    rig.ctx.setTwoFramesDisturbThresh(0.0f);
    install(0.0f);
    rig.frame(grey(100));
    rig.frame(grey(100));
    EXPECT_EQ(rig.results[0], 0);  // bgDiffSum 0 is not a presence
    EXPECT_EQ(rig.area(0).stillCount, 1);
    Frame f = grey(100);
    f.fillGrey(8, 8, 11, 11, 102);  // one sample's neighbourhood moves by 2
    rig.frame(f);
    EXPECT_EQ(rig.results[0], 1);
    EXPECT_EQ(rig.area(0).stillCount, 0);
}

TEST_F(Detect, LargeProductIsRoundedToFloatBeforeTheRatio) {
    // 376 grid rows of 460 samples: sampleCount 172961, reference 97, so
    // P = 16777217, which as a float is 16777216. With ratio 1 the limit is
    // 16777216 and a sum of 16777217 is a presence; computed exactly it
    // would not be.
    const int32_t w = 1400, h = 1134;
    for (int extra : {96, 97}) {
        Rig r;
        ASSERT_EQ(r.areas({rect(3, 3, 1383, 1128)}, {1.0f}), 1);
        Frame base(w, h, 98, 98, 98);
        r.frame(base);
        ASSERT_EQ(r.area(0).sampleCount, 172961);
        ASSERT_EQ(r.area(0).stats[4], 97);
        Frame dark(w, h, 0, 0, 2);  // grey 1 everywhere: every sample differs by 97
        for (int i = 0; i < extra; ++i) {
            const int32_t x = 3 + 3 * i, y = 3;
            dark.fill(x - 1, y - 1, x + 2, y + 2, 0, 0, 0);  // this sample differs by 98
        }
        r.frame(dark);
        EXPECT_EQ(r.results[0], extra == 97 ? 1 : 0) << extra;
    }
}

TEST_F(Detect, LimitsThatDoNotFitSixtyFourBits) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float threshold;
        int32_t first, second;
    } cases[] = {{nan, 0, 0}, {inf, 0, 0}, {1e30f, 0, 0}, {-inf, 1, 0}, {-1e30f, 1, 0}};
    for (const Case& c : cases) {
        Rig r;
        ASSERT_EQ(r.areas({rect(10, 10, 40, 30)}, {c.threshold}), 1);
        r.frame(grey(100));
        r.frame(grey(250));
        EXPECT_EQ(r.results[0], c.first) << c.threshold;
        r.frame(grey(250));
        EXPECT_EQ(r.results[0], c.second) << c.threshold;
    }
    // A NaN still ratio never lets an area be still; infinity always does.
    for (float t : {nan, inf}) {
        Rig r;
        r.ctx.setTwoFramesDisturbThresh(t);
        ASSERT_EQ(r.areas({rect(10, 10, 40, 30)}, {0.5f}), 1);
        r.frame(grey(100));
        r.frame(grey(100));
        EXPECT_EQ(r.area(0).stillCount, std::isnan(t) ? 0 : 1);
    }
}

TEST_F(Detect, SteadyRefreshCopiesTheCurrentPictureIntoTheBackground) {
    rig.ctx.setFrameCountThresh(1);
    install(0.5f);
    rig.frame(grey(100));
    rig.frame(grey(104));  // still (within 15%), first still frame: refresh
    const SurvArea& a = rig.area(0);
    EXPECT_EQ(a.stats[0], 102);  // the plain mean (1 + 70*104) / 71
    EXPECT_EQ(a.stats[1], 98);
    EXPECT_EQ(a.stats[4], 98);
    EXPECT_EQ(rig.planeByte(2, 9, 10), 104);
    EXPECT_EQ(rig.planeByte(1, 9, 10), 104);  // the frame just processed
    rig.frame(grey(104));  // still run goes on: no second refresh
    EXPECT_EQ(a.stillCount, 2);
    EXPECT_EQ(a.stats[1], 98);
}

TEST_F(Detect, TrendingHistoryExchangesPlanesInsteadOfCopying) {
    rig.ctx.setFrameCountThresh(1);
    rig.ctx.setTwoFramesDisturbThresh(1.0f);  // 100 -> 120 still counts as still
    install(5.0f);
    rig.frame(grey(100));
    rig.frame(grey(120));  // mean 118 after 98: a trend
    EXPECT_EQ(rig.area(0).stats[0], 118);
    EXPECT_EQ(rig.planeByte(2, 9, 10), 100);  // background kept
    // The refresh exchange and the closing exchange cancel: the previous
    // plane is still the baseline's, the current one holds this frame.
    EXPECT_EQ(rig.planeByte(1, 9, 10), 100);
    EXPECT_EQ(rig.planeByte(0, 9, 10), 120);
}

TEST_F(Detect, OneUnstableRefreshMakesLaterAreasOfTheFrameExchangeToo) {
    rig.ctx.setFrameCountThresh(1);
    rig.ctx.setTwoFramesDisturbThresh(1.0f);
    ASSERT_EQ(rig.areas({rect(4, 4, 28, 40), rect(34, 4, 58, 40)}, {5.0f, 5.0f}), 1);
    rig.frame(grey(100));
    Frame f = grey(100);
    f.fillGrey(0, 0, 31, 48, 120);   // area 0: a trend
    f.fillGrey(31, 0, 64, 48, 104);  // area 1: steady on its own
    rig.frame(f);
    EXPECT_EQ(rig.area(1).stats[0], 103);
    EXPECT_EQ(rig.planeByte(2, 36, 4), 100);  // not copied: the frame is unstable
    // Area 1 sampled into the plane that area 0's exchange made current;
    // its second exchange and the closing one leave that plane current, so
    // the next frame compares area 1 with the baseline's picture.
    EXPECT_EQ(rig.planeByte(0, 36, 4), 104);
    EXPECT_EQ(rig.planeByte(1, 36, 4), 100);
    EXPECT_EQ(rig.planeByte(1, 9, 4), 120);
    // Alone, the same area refreshes its background.
    Rig alone;
    alone.ctx.setFrameCountThresh(1);
    alone.ctx.setTwoFramesDisturbThresh(1.0f);
    ASSERT_EQ(alone.areas({rect(34, 4, 58, 40)}, {5.0f}), 1);
    alone.frame(grey(100));
    alone.frame(f);
    EXPECT_EQ(alone.planeByte(2, 36, 4), 104);
}

TEST_F(Detect, FrameCountThresholdZeroAndNegative) {
    for (int32_t fct : {0, -1}) {
        Rig r;
        r.ctx.setFrameCountThresh(fct);
        r.ctx.setTwoFramesDisturbThresh(0.0f);
        ASSERT_EQ(r.areas({rect(10, 10, 40, 30)}, {5.0f}), 1);
        r.frame(grey(100));
        r.frame(grey(104));  // disturbed: stillCount 0
        EXPECT_EQ(r.area(0).stats[0], fct == 0 ? 102 : 98) << fct;
    }
}

TEST_F(Detect, AreaWithoutGridPositionsIsNeverPresentAndAlwaysUnstable) {
    rig.ctx.setFrameCountThresh(3);
    ASSERT_EQ(rig.areas({rect(4, 5, 5, 9)}, {0.0f}), 1);
    rig.frame(grey(100));
    for (int i = 0; i < 3; ++i) {
        rig.frame(grey(static_cast<uint8_t>(200 - 50 * i)));
        EXPECT_EQ(rig.results[0], 0);
    }
    EXPECT_EQ(rig.area(0).stillCount, 3);
    EXPECT_EQ(rig.area(0).stats[0], 1);  // plain mean after the refresh attempt
}

// The frame call's own rules.

TEST_F(Detect, RefusedFramesChangeNothing) {
    install(0.05f);
    rig.frame(grey(100));
    rig.frame(grey(100));
    const ImagePlane frameBefore = rig.ctx.engine().inputFrame;
    const ImagePlane* planeBefore = rig.ctx.engine().planes.slot[0];
    Frame wide(10922, 4, 200, 200, 200);
    Frame big = grey(200);
    struct Bad {
        const uint8_t* px;
        int32_t w, h, bpp;
        bool nullResults;
    } bad[] = {{nullptr, 64, 48, 3, false}, {big.data(), 64, 48, 3, true}, {big.data(), 64, 2, 3, false},
               {big.data(), 0, 48, 3, false}, {big.data(), -64, 48, 3, false}, {wide.data(), 10922, 4, 3, false},
               {big.data(), 32, 48, 4, false}, {big.data(), 64, 65536 + 2, 3, false},
               // Heights of 32768 or more read as negative 16-bit values.
               {big.data(), 64, 32768, 3, false}, {big.data(), 64, 65535, 3, false},
               // A new size declaring fewer than 3 bytes per pixel.
               {big.data(), 32, 48, 2, false}, {big.data(), 32, 48, 0, false}, {big.data(), 32, 48, -3, false}};
    for (const Bad& b : bad) {
        rig.results[0] = -7;
        EXPECT_EQ(rig.ctx.getSurvResults(b.px, b.w, b.h, b.bpp, b.nullResults ? nullptr : rig.results.data()), 0);
        EXPECT_EQ(rig.results[0], -7);
        const ImagePlane& now = rig.ctx.engine().inputFrame;
        EXPECT_EQ(0, std::memcmp(&now, &frameBefore, sizeof now));
        EXPECT_EQ(rig.ctx.engine().planes.slot[0], planeBefore);
    }
    EXPECT_EQ(rig.frame(big), 1);  // the area state was not touched either
    EXPECT_EQ(rig.results[0], 1);
}

TEST_F(Detect, SameSizeKeepsGeometryWhateverBytesPerPixelSays) {
    install(0.05f);
    Frame f = grey(100);
    Frame moved = grey(100);
    moved.fillGrey(10, 10, 40, 40, 220);
    rig.frame(f);
    // Whatever a frame of the stored size declares, it is processed with the
    // stored 24-bit layout: results as for bytes per pixel 3.
    const int32_t declared[] = {4, 0, 1, 2, -3, INT32_MIN, 65539};
    for (int32_t bpp : declared) {
        rig.results[0] = -7;
        EXPECT_EQ(rig.ctx.getSurvResults(moved.data(), 64, 48, bpp, rig.results.data()), 1) << bpp;
        EXPECT_EQ(rig.results[0], 1) << bpp;
        EXPECT_EQ(rig.ctx.engine().inputFrame.bytesPerPixel, 3);
        EXPECT_EQ(rig.ctx.engine().inputFrame.stride, 192);
        EXPECT_EQ(rig.ctx.getSurvResults(f.data(), 64, 48, bpp, rig.results.data()), 1);
        EXPECT_EQ(rig.results[0], 0);
    }
    // Sizes beyond 16 bits keep their low 16 bits, also from negative
    // 32-bit values: 64 + 65536 and 64 - 65536 are width 64. Differing from
    // the stored value, they bring their own geometry (here the same).
    EXPECT_EQ(rig.ctx.getSurvResults(f.data(), 64 + 65536, 48, 3, rig.results.data()), 1);
    EXPECT_EQ(rig.ctx.engine().inputFrame.width, 64);
    EXPECT_EQ(rig.ctx.getSurvResults(f.data(), 64 - 65536, 48, 3, rig.results.data()), 1);
    EXPECT_EQ(rig.ctx.getSurvResults(f.data(), 64, 48 - 65536, 3, rig.results.data()), 1);
    EXPECT_EQ(rig.ctx.engine().inputFrame.height, 48);
    // ... but a differing size with another depth is refused.
    EXPECT_EQ(rig.ctx.getSurvResults(f.data(), 64 + 65536, 48, 1, rig.results.data()), 0);
}

TEST_F(Detect, NewFrameSizeTakesANewBaseline) {
    install(0.05f);
    rig.frame(grey(100));
    rig.frame(grey(100));
    Frame small(48, 40, 200, 200, 200);
    rig.results[0] = -7;
    EXPECT_EQ(rig.frame(small), 1);
    EXPECT_EQ(rig.results[0], -7);
    EXPECT_EQ(rig.plane(0).width, 48);
    EXPECT_EQ(rig.plane(2).height, 40);
    EXPECT_EQ(rig.area(0).stats[0], 197);  // (1 + 70*200)/71 on the new frame
    EXPECT_EQ(rig.frame(small), 1);
    EXPECT_EQ(rig.results[0], 0);
}

TEST_F(Detect, NoAreasTakesGeometryButReturnsZero) {
    Frame f = grey(100);
    EXPECT_EQ(rig.frame(f), 0);  // nothing installed yet: nothing changes
    EXPECT_EQ(rig.ctx.engine().inputFrame.width, 0);
    EXPECT_EQ(rig.areas({}, {}), 0);
    EXPECT_EQ(rig.ctx.storeReady(), 1);
    EXPECT_EQ(rig.frame(f), 0);
    EXPECT_EQ(rig.ctx.engine().inputFrame.width, 64);
    EXPECT_EQ(rig.ctx.engine().inputFrame.stride, 192);
}

TEST(Lifecycle, CallsOutsideTheCallingOrder) {
    test::FailingAllocator counting;
    {
        Context ctx(counting.allocator());
        Frame f(64, 48, 100, 100, 100);
        int32_t results[2] = {-7, -7};
        const AreaQuad q = rect(10, 10, 40, 30);
        const float t = 0.05f;
        EXPECT_EQ(ctx.setSurvAreas(1, &q, &t), 0);  // before init
        EXPECT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 0);
        ctx.setFrameCountThresh(7);  // setters work any time
        EXPECT_EQ(ctx.coilInit(), 1);
        EXPECT_EQ(ctx.setSurvAreas(1, &q, &t), 1);
        EXPECT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 1);
        ctx.coilRelease();
        ctx.coilRelease();  // twice: nothing
        EXPECT_EQ(ctx.setSurvAreas(1, &q, &t), 0);
        EXPECT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 0);
        EXPECT_EQ(ctx.coilInit(), 1);
        EXPECT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 0);  // until areas come again
        EXPECT_EQ(ctx.engine().settings.getFrameCountThresh(), 7);
        EXPECT_EQ(ctx.setSurvAreas(1, &q, &t), 1);
        EXPECT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 1);  // baseline
        EXPECT_EQ(ctx.coilInit(), 1);  // again without release: afresh
        EXPECT_EQ(ctx.engine().store.count(), 0);
        EXPECT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 0);
        EXPECT_EQ(results[0], -7);
    }
    EXPECT_EQ(counting.live, 0);  // nothing leaked
}

TEST(Lifecycle, OutOfMemoryIsSurvived) {
    Frame f(64, 48, 100, 100, 100);
    int32_t results[1] = {-7};
    const AreaQuad q = rect(10, 10, 40, 30);
    const float t = 0.05f;
    // No grey table: init still answers 1, frames answer 0.
    test::FailingAllocator none;
    none.budget = 0;
    {
        Context ctx(none.allocator());
        EXPECT_EQ(ctx.coilInit(), 1);
        EXPECT_EQ(ctx.setSurvAreas(1, &q, &t), 0);
        EXPECT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 0);
    }
    // Memory for the table and the area, none for the planes: the baseline
    // stays pending until memory comes back.
    test::FailingAllocator some;
    some.budget = 4;  // table, area record, spans, list block
    {
        Context ctx(some.allocator());
        ctx.coilInit();
        ASSERT_EQ(ctx.setSurvAreas(1, &q, &t), 1);
        EXPECT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 0);
        EXPECT_EQ(ctx.engine().store.baselineReady, 0);
        EXPECT_EQ(some.live, 4);
        some.budget = -1;
        EXPECT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 1);
        EXPECT_EQ(ctx.engine().store.baselineReady, 1);
        EXPECT_EQ(results[0], -7);
    }
    EXPECT_EQ(some.live, 0);
}

}  // namespace
}  // namespace tarvocoil
