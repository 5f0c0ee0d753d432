// Long runs: detectors on several threads beside the process-wide instance,
// and the heap across thousands of frames and area replacements.
//
// Run under ThreadSanitizer by the test command (ctest -R '^(Threads|Soak)\.').
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tarvocoil.h"
#include "tarvocoil.hpp"
#include "test_support.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TRV_SOAK_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TRV_SOAK_SANITIZER_HEAP 1
#endif
#endif
#if defined(TRV_SOAK_SANITIZER_HEAP)
// The sanitizers' allocators replace glibc's, whose mallinfo2 then sees
// nothing; their runtimes count the bytes themselves. (Declared here: GCC
// does not ship the header that declares it.)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace tarvocoil {
namespace {

using test::rect;
using test::Rng;

constexpr int32_t kW = 48, kH = 32;
constexpr int32_t kStride = (kW * 3 + 3) & ~3;
constexpr int32_t kSlots = 4;  // never more than 3 areas per detector
constexpr int32_t kSentinel = -7;

// A small road scene, the same for a given variant and frame index: a
// drifting background with a little noise, and every 40 frames a vehicle
// crossing (a bright body by day, two headlights on a dark road by night).
void Render(int variant, int frame, bool night, std::vector<uint8_t>& px) {
    px.assign(static_cast<std::size_t>(kStride) * kH, 0);
    Rng rng(static_cast<uint64_t>(variant) * 100003u + static_cast<uint64_t>(frame));
    const int32_t base = (night ? 25 : 90) + (frame / 50) % 12;
    auto put = [&](int32_t x, int32_t y, int32_t v) {
        uint8_t* p = px.data() + y * kStride + x * 3;
        const uint8_t g = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
        p[0] = g;
        p[1] = g;
        p[2] = static_cast<uint8_t>(g > 250 ? 255 : g + 3);
    };
    for (int32_t y = 0; y < kH; ++y)
        for (int32_t x = 0; x < kW; ++x) put(x, y, base + rng.range(-2, 2));
    const int32_t phase = frame % 40;
    if (phase >= 24) return;  // the road is empty between vehicles
    const int32_t vx = -14 + phase * 3, vy = 6 + variant * 3 % 10;
    for (int32_t y = vy; y < vy + 12 && y < kH; ++y)
        for (int32_t x = vx; x < vx + 14; ++x) {
            if (x < 0 || x >= kW) continue;
            const bool lamp = night && y >= vy + 8 && y < vy + 11 && ((x >= vx + 1 && x < vx + 5) || (x >= vx + 9 && x < vx + 13));
            put(x, y, night ? (lamp ? 255 : base - 10) : 215);
        }
}

struct Variant {
    int32_t frameCount;
    float disturb;
    int32_t frontLight;
    bool night;
};

const Variant kVariants[4] = {{20, 0.15f, 0, false}, {3, 0.3f, 0, false}, {20, 0.15f, 1, true}, {0, 0.05f, 1, true}};

// Two area sets each detector switches between.
const AreaQuad kSetA[3] = {rect(2, 2, 22, 29), rect(24, 2, 46, 29), test::quad(5, 20, 40, 14, 44, 30, 2, 31)};
const float kThrA[3] = {0.1f, 0.15f, 0.05f};
const AreaQuad kSetB[2] = {rect(10, 5, 38, 25), rect(0, 0, 47, 31)};
const float kThrB[2] = {0.08f, 0.2f};

// Every return value and result slot of one detector over `frames` frames,
// then whether its settings stayed its own, then its number of triggers.
std::vector<int32_t> RunVariant(int v, int frames) {
    const Variant& var = kVariants[v];
    Detector det;
    det.setFrameCountThresh(var.frameCount);
    det.setTwoFramesDisturbThresh(var.disturb);
    det.useFrontLightTrigger(var.frontLight);
    det.setLightParam(200, 2, 10, 2, 8);
    std::vector<int32_t> trace;
    trace.reserve(static_cast<std::size_t>(frames) * (kSlots + 1));
    std::vector<uint8_t> px;
    int32_t results[kSlots];
    int32_t triggers = 0;
    for (int f = 0; f < frames; ++f) {
        if (f % 700 == 0) {
            const bool a = (f / 700) % 2 == 0;
            const bool ok = a ? det.setAreas(3, kSetA, kThrA) : det.setAreas(2, kSetB, kThrB);
            trace.push_back(ok ? 100 : -100);
        }
        Render(v, f, var.night, px);
        for (int32_t& r : results) r = kSentinel;
        trace.push_back(det.process(px.data(), kW, kH, 3, results));
        trace.insert(trace.end(), results, results + kSlots);
        for (int32_t r : results) triggers += r == 1;
    }
    const Settings s = det.settings();  // nothing from other threads leaked in
    trace.push_back(s.frameCountThresh == var.frameCount && s.useFrontLightTrigger == var.frontLight &&
                    s.twoFramesDisturbThresh == var.disturb && s.lightMaxWidth == 10);
    trace.push_back(triggers);
    return trace;
}

// The load-time settings of the process-wide instance, for the tests that
// run after these in the same process.
void RestoreProcessInstance() {
    TRVCoilRelease();
    TRVSetFrameCountThresh(20);
    TRVSetTwoFramesDisturbThresh(0.15f);
    TRVUseFrontLightTrigger(0);
    TRVSetLightParam(200, 20, 80, 20, 80);
    ProcessContext().engine().settings.lightMaxArea.store(5000);
}

TEST(Soak, FourDetectorsBesideTheProcessInstance) {
    constexpr int kFrames = 3000;
    std::vector<int32_t> traces[4];
    std::atomic<int> running{4};
    std::atomic<bool> hostDone{false};

    // The process-wide instance: one thread replaces areas and changes every
    // setting, another passes frames.
    ASSERT_EQ(TRVCoilInit(), 1);
    const AreaQuad pq[4] = {rect(4, 4, 30, 28), rect(20, 2, 46, 20), rect(0, 0, 47, 31), rect(8, 10, 12, 14)};
    const float pt[4] = {0.1f, 0.2f, 0.05f, 0.3f};
    long replacements = 0, accepted = 0, attempts = 0;
    std::string hostFault;
    std::thread replacer([&] {
        for (int i = 0; !hostDone.load(); ++i) {
            const int n = i % 6;
            if (n == 5)
                TRVSetSurvAreas(40000, pq, pt);  // refused: too many, leaves the store empty
            else
                TRVSetSurvAreas(n, pq, pt);
            ++replacements;
            TRVSetFrameCountThresh(i % 30);
            TRVSetTwoFramesDisturbThresh(0.05f * static_cast<float>(i % 7));
            TRVUseFrontLightTrigger(i & 1);
            TRVSetLightParam(150 + i % 100, 2, 10 + i % 5, 2, 8);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    std::thread host([&] {
        std::vector<uint8_t> px;
        int32_t results[8];
        // Until the detectors are done, and at least 100 frames got through.
        for (int f = 0; (running.load() > 0 || accepted < 100) && attempts < 1000000; ++f, ++attempts) {
            Render(7, f, (f / 200) % 2 == 1, px);
            for (int32_t& r : results) r = kSentinel;
            const int16_t done = TRVGetSurvResults(px.data(), kW, kH, 0, 3, results);
            if (done == 1) ++accepted;
            bool ok = done == 0 || done == 1;
            for (int k = 0; k < 8; ++k)
                ok = ok && (k < 4 ? (results[k] == kSentinel || results[k] == 0 || results[k] == 1)
                                  : results[k] == kSentinel);
            if (!ok && hostFault.empty()) hostFault = "frame " + std::to_string(f) + " returned " + std::to_string(done);
        }
        hostDone = true;
    });

    std::vector<std::thread> detectors;
    for (int v = 0; v < 4; ++v)
        detectors.emplace_back([&, v] {
            traces[v] = RunVariant(v, kFrames);
            --running;
        });
    for (std::thread& t : detectors) t.join();
    host.join();
    replacer.join();
    RestoreProcessInstance();

    EXPECT_EQ(hostFault, "");
    EXPECT_GE(accepted, 100);
    EXPECT_GT(replacements, 0);
    // Each detector gave exactly what it gives alone, and saw some triggers.
    for (int v = 0; v < 4; ++v) {
        SCOPED_TRACE("variant " + std::to_string(v));
        const std::vector<int32_t> alone = RunVariant(v, kFrames);
        ASSERT_EQ(traces[v].size(), alone.size());
        std::size_t firstDiff = alone.size();
        for (std::size_t i = 0; i < alone.size() && firstDiff == alone.size(); ++i)
            if (traces[v][i] != alone[i]) firstDiff = i;
        EXPECT_EQ(firstDiff, alone.size()) << "threaded run differs from the lone run at trace entry " << firstDiff;
        EXPECT_EQ(alone[alone.size() - 2], 1) << "settings changed under the detector";
        EXPECT_GT(alone.back(), kFrames / 40) << "the scene hardly triggers: the run tests little";
    }
}

#if defined(__GLIBC__)

// Bytes the process holds on the heap now.
std::size_t HeapInUse() {
#if defined(TRV_SOAK_SANITIZER_HEAP)
    return __sanitizer_get_current_allocated_bytes();
#else
    // Large blocks (the 2 MiB grey table) may be mapped on their own rather
    // than carved from the heap: count both.
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// A host running for months: 10,000 frames and 1,000 area replacements on
// the process-wide instance, with size changes, front light on and off,
// refused area sets and a few init/release cycles. The heap in use at the
// same point of the cycle must not grow.
TEST(Soak, HeapStaysFlatOverThousandsOfFramesAndReplacements) {
    const AreaQuad sets[4][3] = {
        {rect(2, 2, 22, 29), rect(24, 2, 46, 29), test::quad(5, 20, 40, 14, 44, 30, 2, 31)},
        {rect(10, 5, 38, 25), rect(0, 0, 47, 31), rect(-100, -50, 300, 200)},
        {rect(1, 1, 4, 4), rect(30, 20, 32, 22), rect(0, 0, 20, 10)},
        {test::quad(-32768, -32768, 32767, -32768, 32767, 32767, -32768, 32767), rect(5, 5, 6, 6), rect(0, 0, 1, 1)}};
    const float thr[3] = {0.1f, 0.05f, 0.2f};
    std::vector<uint8_t> px;
    int32_t results[3];
    std::vector<std::size_t> checkpoints;
    std::size_t frames = 0, replacements = 0;

    ASSERT_EQ(TRVCoilInit(), 1);
    for (int cycle = 0; cycle < 1000; ++cycle) {
        if (cycle % 250 == 249) {  // a restart now and then
            TRVCoilRelease();
            TRVCoilInit();
        }
        // Everything that decides what the instance holds repeats every 20
        // cycles, so the checkpoints below see the same state.
        const int phase = cycle % 20;
        const int32_t count = cycle % 50 == 7 ? 32768 : 1 + phase % 3;  // now and then refused
        TRVSetSurvAreas(count, sets[phase % 4], thr);
        ++replacements;
        TRVUseFrontLightTrigger((phase / 2) % 2);
        TRVSetFrameCountThresh(phase % 5);
        const bool big = phase >= 10;  // the size changes every ten cycles
        for (int f = 0; f < 10; ++f) {
            Render(phase % 3, cycle * 10 + f, (phase / 3) % 2 == 1, px);
            const int32_t w = big ? kW : kW - 8, h = big ? kH : kH - 6;
            TRVGetSurvResults(px.data(), w, h, 0, 3, results);
            ++frames;
        }
        if (phase == 19) checkpoints.push_back(HeapInUse());
    }
    RestoreProcessInstance();

    EXPECT_EQ(frames, 10000u);
    EXPECT_EQ(replacements, 1000u);
    // After a warm-up (span stacks and vectors at their working size), the
    // heap is the same at every checkpoint: a leak of one small block per
    // replacement would add 25 KiB, one per frame 250 KiB.
    ASSERT_EQ(checkpoints.size(), 50u);
    const std::size_t reference = checkpoints[5];
    std::size_t highest = 0;
    for (std::size_t i = 5; i < checkpoints.size(); ++i) highest = std::max(highest, checkpoints[i]);
    EXPECT_LE(highest, reference + 16 * 1024) << "heap grew from " << reference << " to " << highest << " bytes";
}

#endif  // __GLIBC__

}  // namespace
}  // namespace tarvocoil
