// The exported C functions and the process-wide instance behind them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

#include "api/context.h"
#include "tarvocoil.h"
#include "test_support.h"

namespace tarvocoil {
namespace {

using test::Frame;
using test::rect;

TEST(Exports, AreaQuadLayoutIsFixed) {
    static_assert(sizeof(AreaQuad) == 32, "hosts pass packed 32-byte records");
    EXPECT_EQ(offsetof(AreaQuad, y0), 4u);
    EXPECT_EQ(offsetof(AreaQuad, x3), 24u);
}

TEST(Exports, SettersWorkBeforeInitAndSurviveRelease) {
    const DetectorSettings& s = ProcessContext().engine().settings;
    TRVSetFrameCountThresh(33);
    TRVSetTwoFramesDisturbThresh(0.25f);
    TRVUseFrontLightTrigger(2);
    TRVSetLightParam(180, 10, 60, 12, 50);
    TRVCoilInit();
    TRVCoilRelease();
    EXPECT_EQ(s.getFrameCountThresh(), 33);
    EXPECT_EQ(s.getTwoFramesDisturbThresh(), 0.25f);
    EXPECT_EQ(s.getUseFrontLightTrigger(), 2);
    EXPECT_EQ(s.getLightThresh(), 180);
    EXPECT_EQ(s.getLightMaxArea(), 3000);
    // Back to the defaults for the other tests.
    TRVSetFrameCountThresh(20);
    TRVSetTwoFramesDisturbThresh(0.15f);
    TRVUseFrontLightTrigger(0);
    TRVSetLightParam(200, 20, 80, 20, 80);
}

TEST(Exports, AFullHostSession) {
    Frame road(96, 64, 90, 90, 90);
    Frame car = road;
    car.fillGrey(10, 10, 50, 40, 220);
    const AreaQuad quads[2] = {rect(8, 8, 52, 42), rect(60, 8, 90, 42)};
    const float thresholds[2] = {0.1f, 0.1f};
    int32_t results[2] = {-7, -7};

    EXPECT_EQ(TRVCoilInit(), 1);
    EXPECT_EQ(TRVGetSurvResults(road.data(), 96, 64, 0, 3, results), 0);  // no areas yet
    EXPECT_EQ(TRVSetSurvAreas(2, quads, thresholds), 1);
    EXPECT_EQ(TRVGetSurvResults(road.data(), 96, 64, 0, 3, results), 1);  // baseline
    EXPECT_EQ(results[0], -7);
    EXPECT_EQ(TRVGetSurvResults(car.data(), 96, 64, 12345, 3, results), 1);
    EXPECT_EQ(results[0], 1);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(TRVGetSurvResults(car.data(), 96, 64, 0, 3, results), 1);
    EXPECT_EQ(results[0], 0);  // still present: no new trigger
    EXPECT_EQ(TRVSetSurvAreas(0, quads, thresholds), 0);
    results[0] = -7;
    EXPECT_EQ(TRVGetSurvResults(car.data(), 96, 64, 0, 3, results), 0);
    EXPECT_EQ(results[0], -7);
    TRVCoilRelease();
    EXPECT_EQ(TRVGetSurvResults(car.data(), 96, 64, 0, 3, results), 0);
}

// Blocks inside the allocator until released, to hold a call in the middle.
struct Gate {
    std::atomic<bool> armed{false};
    std::atomic<bool> entered{false};
    std::atomic<bool> open{false};
    static void* get(void* user, std::size_t bytes) {
        auto* g = static_cast<Gate*>(user);
        if (g->armed.exchange(false)) {
            g->entered = true;
            while (!g->open) std::this_thread::yield();
        }
        return std::malloc(bytes);
    }
    static void put(void*, void* block) { std::free(block); }
    Allocator allocator() {
        Allocator a;
        a.allocate = &get;
        a.release = &put;
        a.user = this;
        return a;
    }
};

TEST(Threads, ReplacementWaitsForTheRunningFrame) {
    Gate gate;
    Context ctx(gate.allocator());
    ctx.coilInit();
    Frame f(64, 48, 100, 100, 100);
    const AreaQuad q[2] = {rect(10, 10, 40, 30), rect(20, 20, 50, 40)};
    const float t[2] = {0.1f, 0.1f};
    ASSERT_EQ(ctx.setSurvAreas(1, q, t), 1);
    int32_t results[2] = {-7, -7};
    gate.armed = true;  // the baseline frame stops when it takes its planes
    std::thread frame([&] { EXPECT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 1); });
    while (!gate.entered) std::this_thread::yield();
    std::atomic<bool> replaced{false};
    std::thread replace([&] {
        EXPECT_EQ(ctx.setSurvAreas(2, q, t), 1);
        replaced = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(replaced.load());  // still waiting for the frame
    gate.open = true;
    frame.join();
    replace.join();
    EXPECT_TRUE(replaced.load());
    EXPECT_EQ(ctx.engine().store.count(), 2);
    EXPECT_EQ(ctx.engine().detection.baselineReady, 0);  // the old frame's baseline is gone with the old areas
}

TEST(Threads, FrameDuringReplacementReturnsZeroAtOnce) {
    Gate gate;
    Context ctx(gate.allocator());
    ctx.coilInit();
    Frame f(64, 48, 100, 100, 100);
    const AreaQuad q = rect(10, 10, 40, 30);
    const float t = 0.1f;
    gate.armed = true;  // the replacement stops while building its first area
    std::thread replace([&] { EXPECT_EQ(ctx.setSurvAreas(1, &q, &t), 1); });
    while (!gate.entered) std::this_thread::yield();
    int32_t results[1] = {-7};
    EXPECT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 0);
    EXPECT_EQ(ctx.engine().inputFrame.width, 0);  // not even the geometry was taken
    gate.open = true;
    replace.join();
    EXPECT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 1);
}

TEST(Threads, ReplacementsAndSettersRaceWithFrames) {
    Context ctx;
    ctx.coilInit();
    Frame a(64, 48, 100, 100, 100), b(64, 48, 100, 100, 100);
    b.fillGrey(10, 10, 60, 40, 230);
    std::atomic<bool> stop{false};
    std::thread host([&] {
        int32_t results[8];
        for (int i = 0; i < 3000; ++i) {
            for (int32_t& r : results) r = -7;
            const int16_t done = ctx.getSurvResults((i & 4 ? b : a).data(), 64, 48, 3, results);
            ASSERT_TRUE(done == 0 || done == 1);
            for (int k = 4; k < 8; ++k) ASSERT_EQ(results[k], -7);  // never more than 4 areas written
            for (int k = 0; k < 4; ++k) ASSERT_TRUE(results[k] == -7 || results[k] == 0 || results[k] == 1);
        }
        stop = true;
    });
    const AreaQuad quads[4] = {rect(10, 10, 40, 30), rect(5, 5, 60, 44), rect(30, 0, 63, 47), rect(0, 20, 20, 30)};
    const float t[4] = {0.1f, 0.2f, 0.05f, 0.3f};
    for (int n = 0; !stop; n = (n + 1) % 5) {
        ctx.setSurvAreas(n, quads, t);
        ctx.setFrameCountThresh(n);
        ctx.setTwoFramesDisturbThresh(0.1f * n);
        ctx.useFrontLightTrigger(n & 1);
        ctx.setLightParam(150 + n, 5, 60, 5, 60);
        std::this_thread::yield();
    }
    host.join();
}

}  // namespace
}  // namespace tarvocoil

namespace tarvocoil {
namespace {

// What the C++ header promises beyond the C calls.
TEST(CppApi, SettingsStrideSizesAndRefusedAreaSets) {
    Detector det;
    det.useFrontLightTrigger(2);
    EXPECT_EQ(det.settings().useFrontLightTrigger, 2);  // what was stored
    EXPECT_FALSE(det.settings().frontLightOn());         // ... and what is done
    det.useFrontLightTrigger(1);
    EXPECT_TRUE(det.settings().frontLightOn());
    det.useFrontLightTrigger(0);

    EXPECT_EQ(Detector::frameStride(5), 16);
    EXPECT_EQ(Detector::frameStride(4), 12);
    EXPECT_EQ(Detector::frameStride(0), 0);
    EXPECT_EQ(Detector::frameStride(-1), 0);
    EXPECT_EQ(Detector::frameStride((INT64_MAX - 3) / 3), ((INT64_MAX - 3) / 3 * 3 + 3) & ~int64_t{3});
    EXPECT_EQ(Detector::frameStride(INT64_MAX), 0);

    // Width and height keep their low 16 bits: 65856 is 320.
    const AreaQuad q = test::rect(10, 10, 300, 200);
    const float t = 0.1f;
    ASSERT_TRUE(det.setAreas(1, &q, &t));
    test::Frame f(320, 240, 80, 80, 80);
    int32_t r[1] = {-7};
    EXPECT_TRUE(det.process(f.data(), 65856, 240, 3, r));  // baseline at 320 x 240
    f.fillGrey(20, 20, 200, 150, 250);
    EXPECT_TRUE(det.process(f.data(), 320, 240 + 65536, 3, r));
    EXPECT_EQ(r[0], 1);
    EXPECT_FALSE(det.process(f.data(), 320, 32768 + 240, 3, r));  // reads as a negative height

    // A refused set releases what was installed, like count 0.
    const AreaQuad far = test::rect(0, 0, 40000, 10);
    EXPECT_FALSE(det.setAreas(1, &far, &t));
    EXPECT_EQ(det.areaCount(), 0);
    r[0] = -7;
    EXPECT_FALSE(det.process(f.data(), 320, 240, 3, r));
    EXPECT_EQ(r[0], -7);
}

}  // namespace
}  // namespace tarvocoil
