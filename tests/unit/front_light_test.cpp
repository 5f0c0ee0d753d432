// Front-light confirmation: light mask, blob search and acceptance limits.
#include <gtest/gtest.h>

#include "detect/detect.h"
#include "test_support.h"

namespace tarvocoil {
namespace {

using test::Frame;
using test::Rig;
using test::rect;

// A 200x120 black scene with one area on rows 5..109, columns 5..190; the
// test is run as the presence test would run it for a present area.
class LightBlock : public ::testing::Test {
protected:
    LightBlock() {
        rig.areas({rect(5, 5, 190, 109)}, {0.1f});
        rig.frame(black);  // baseline: planes at the frame's size
    }
    // Result of the test on a frame with a light block at columns x0..x1-1,
    // rows y0..y1-1 (grey 254).
    int32_t test(int x0, int y0, int x1, int y1, int16_t wasPresent = 0) {
        Frame f(200, 120);
        f.fillGrey(x0, y0, x1, y1, 254);
        frame = f;
        Engine& e = rig.ctx.engine();
        FrameRef ref;
        ref.pixels = frame.data();
        ref.width = 200;
        ref.height = 120;
        ref.stride = frame.stride;
        SurvArea& a = rig.area(0);
        a.present = 1;
        a.wasPresent = wasPresent;
        int32_t result = -7;
        FrontLightTest(e, ref, a, result, nullptr);
        present = a.present;
        return result;
    }
    Rig rig;
    Frame black{200, 120};
    Frame frame{200, 120};
    int16_t present = -1;
};

TEST_F(LightBlock, HeadlightSizedBlockIsAccepted) {
    EXPECT_EQ(test(40, 30, 70, 50), 1);
    EXPECT_EQ(present, 1);
    EXPECT_EQ(test(41, 30, 71, 50), 1);  // found from another wall seed
}

TEST_F(LightBlock, HeightLimitCountsTheRowAboveTheBlob) {
    EXPECT_EQ(test(40, 30, 70, 49), 1);  // 19 rows measure 20
    EXPECT_EQ(test(40, 30, 70, 48), 0);  // 18 rows measure 19
    EXPECT_EQ(present, 0);
}

TEST_F(LightBlock, MeanRunMustReachTheMinimumWidth) {
    EXPECT_EQ(test(40, 30, 60, 50), 0);  // 20 wide: mean run 19
    EXPECT_EQ(test(40, 30, 61, 50), 1);  // 21 wide: mean run 20
}

TEST_F(LightBlock, TooLargeABlobIsRejected) {
    EXPECT_EQ(test(40, 30, 120, 94), 0);  // 80x64: total 5056, width 81
}

TEST_F(LightBlock, AlreadyPresentAreaStaysPresentWithoutATrigger) {
    EXPECT_EQ(test(40, 30, 70, 50, 1), 0);
    EXPECT_EQ(present, 1);
}

TEST_F(LightBlock, ThresholdExtremes) {
    rig.ctx.setLightParam(255, 20, 80, 20, 80);  // no pixel is light
    EXPECT_EQ(test(40, 30, 70, 50), 0);
    rig.ctx.setLightParam(0, 20, 80, 20, 80);  // every pixel: one huge blob
    EXPECT_EQ(test(40, 30, 70, 50), 0);
    rig.ctx.setLightParam(0, 1, 190, 1, 150);  // ... unless the limits allow it
    EXPECT_EQ(test(40, 30, 70, 50), 1);
}

TEST_F(LightBlock, MaskIsWrittenIntoThePreviousPlane) {
    test(40, 30, 70, 50);
    const ImagePlane& prev = rig.plane(1);
    EXPECT_EQ(prev.pixels[60 * prev.stride + 100], 255);  // dark pixel
    // The block was filled while measured: its bytes are 255 now too, but
    // light pixels the seeds never reached stay 0 in the mask.
    // A dot no seed reaches: not right of a grid column, not on or just
    // below a grid row.
    test(101, 100, 102, 101);
    EXPECT_EQ(rig.plane(1).pixels[100 * prev.stride + 101], 0);
}

TEST(LightSettings, LightParamKeepsLowSixteenBits) {
    Context ctx;
    EXPECT_EQ(ctx.engine().settings.getLightMaxArea(), 5000);  // not 80*80 until set
    ctx.setLightParam(200, 20, 80, 20, 80);
    EXPECT_EQ(ctx.engine().settings.getLightMaxArea(), 6400);
    ctx.setLightParam(65556, 20, 200, 20, 200);
    EXPECT_EQ(ctx.engine().settings.getLightThresh(), 20);
    EXPECT_EQ(ctx.engine().settings.getLightMaxArea(), -25536);
    ctx.setLightParam(-1, 70000, 100000, 3, 100000);
    EXPECT_EQ(ctx.engine().settings.getLightThresh(), -1);
    EXPECT_EQ(ctx.engine().settings.getLightMinWidth(), 4464);
    EXPECT_EQ(ctx.engine().settings.getLightMaxWidth(), -31072);
    // 100000 * 100000 wraps in 32 bits to 1410065408, whose low 16 bits
    // read as signed are -7168.
    EXPECT_EQ(ctx.engine().settings.getLightMaxArea(), -7168);
}

// End to end: a car with two headlights drives into a dark coil.
class NightScene : public ::testing::Test {
protected:
    static constexpr int W = 320, H = 240;
    Frame scene(int carTop, bool lights, bool flood = false) {
        Frame f(W, H, 12, 12, 12);  // dark road
        if (carTop >= 0) {
            f.fillGrey(100, carTop, 220, carTop + 60, 40);  // car body
            if (lights) {
                f.fillGrey(110, carTop + 30, 140, carTop + 52, 250);
                f.fillGrey(180, carTop + 30, 210, carTop + 52, 250);
            }
        }
        if (flood) f.fillGrey(60, 60, 260, 200, 250);
        return f;
    }
    std::vector<int32_t> run(bool lights, bool flood = false) {
        Rig rig;
        rig.ctx.useFrontLightTrigger(1);
        rig.areas({rect(60, 100, 260, 180)}, {0.1f});
        std::vector<int32_t> triggers;
        rig.frame(scene(-1, false));
        for (int i = 0; i < 25; ++i) {
            const int top = i < 5 ? -1 : 40 + 6 * (i - 5);
            rig.frame(flood && i >= 5 ? scene(-1, false, true) : scene(top, lights));
            triggers.push_back(rig.results[0]);
        }
        return triggers;
    }
    static int count(const std::vector<int32_t>& v) {
        int n = 0;
        for (int32_t x : v) n += x;
        return n;
    }
};

TEST_F(NightScene, HeadlightsTriggerOnce) { EXPECT_EQ(count(run(true)), 1); }

TEST_F(NightScene, DarkVehicleDoesNotTrigger) { EXPECT_EQ(count(run(false)), 0); }

TEST_F(NightScene, FloodOfLightDoesNotTrigger) { EXPECT_EQ(count(run(false, true)), 0); }

TEST_F(NightScene, FrontLightValuesOtherThanOneLeaveItOff) {
    for (int32_t mode : {0, 2, -1}) {
        Rig rig;
        rig.ctx.useFrontLightTrigger(mode);
        rig.areas({rect(60, 100, 260, 180)}, {0.1f});
        rig.frame(scene(-1, false));
        int n = 0;
        for (int i = 0; i < 25; ++i) {
            rig.frame(scene(i < 5 ? -1 : 40 + 6 * (i - 5), false));
            n += rig.results[0];
        }
        EXPECT_EQ(n, 1) << mode;  // presence alone triggers
    }
}

TEST(NightAreas, FirstAreasMaskChangesWhatTheSecondReadsInTheSameFrame) {
    // Area 1 lies inside area 0's search box. Area 0's light mask writes
    // 0/255 into the previous plane where area 1 then reads its previous
    // greys, so area 1's still test sees the mask, not the last frame.
    auto stillCountOfSecond = [](int32_t frontLight) {
        Rig rig;
        rig.ctx.useFrontLightTrigger(frontLight);
        rig.ctx.setTwoFramesDisturbThresh(0.15f);
        rig.areas({rect(20, 20, 140, 100), rect(60, 40, 100, 80)}, {0.05f, 5.0f});
        Frame base(160, 120, 100, 100, 100);
        rig.frame(base);
        Frame f = base;
        f.fillGrey(20, 20, 40, 100, 200);  // area 0 present; area 1 unchanged
        rig.frame(f);
        EXPECT_EQ(rig.area(0).present, frontLight == 1 ? 0 : 1);
        return rig.area(1).stillCount;
    };
    EXPECT_EQ(stillCountOfSecond(0), 1);  // area 1 is still against the last frame
    EXPECT_EQ(stillCountOfSecond(1), 0);  // against a 255 mask it is disturbed
}

}  // namespace
}  // namespace tarvocoil
