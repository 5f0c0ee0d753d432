// Frames with their own row stride: every kernel set, on random sessions,
// against the same pictures in the padded layout; refusals; views mixed
// with padded frames; strides beyond 16 and 31 bits of offset.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/context.h"
#include "detect/sweep.h"
#include "tarvocoil.hpp"
#include "test_support.h"

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
#include <sys/mman.h>
#define TRV_TEST_MMAP 1
#endif

namespace tarvocoil {
namespace {

using test::Frame;
using test::Rng;

// The picture of a padded frame copied into a buffer of exactly
// (height - 1) * stride + 3 * width bytes, so that a read past the last
// pixel is caught by the sanitizers; the gaps between rows hold junk.
struct Strided {
    std::vector<uint8_t> bytes;
    FrameView view;

    Strided(const Frame& f, int32_t stride, uint8_t junk) {
        const size_t row = static_cast<size_t>(3 * f.width);
        bytes.assign(static_cast<size_t>(f.height - 1) * static_cast<size_t>(stride) + row, junk);
        for (int32_t y = 0; y < f.height; ++y)
            std::memcpy(bytes.data() + static_cast<size_t>(y) * static_cast<size_t>(stride),
                        f.data() + static_cast<size_t>(y) * static_cast<size_t>(f.stride), row);
        view.pixels = bytes.data();
        view.width = f.width;
        view.height = f.height;
        view.stride = stride;
    }
};

int32_t randomStride(Rng& rng, int32_t width) {
    const int32_t row = 3 * width;
    switch (rng.range(0, 5)) {
    case 0: return row;                           // OpenCV: no padding at all
    case 1: return row + rng.range(1, 3);         // not a multiple of 4
    case 2: return (row + 63) & ~63;              // FFmpeg's alignment
    case 3: return row + rng.range(4, 200);       // any gap
    case 4: return 3 * row + rng.range(0, 7);     // far wider than the row
    default: return row + 40000 + rng.range(0, 9);  // beyond 16 bits
    }
}

// Moving blocks of random grey on a noisy background, some bright enough
// for the light test; brightness steps now and then.
void paint(Rng& rng, Frame& f, int32_t t) {
    const uint8_t level = static_cast<uint8_t>(40 + (t / 7 % 3) * 50);
    for (int32_t y = 0; y < f.height; ++y)
        for (int32_t x = 0; x < f.width; ++x) {
            const uint8_t v = static_cast<uint8_t>(level + rng.range(0, 5));
            f.set(x, y, v, static_cast<uint8_t>(v + 3), static_cast<uint8_t>(v + 1));
        }
    for (int b = rng.range(0, 3); b > 0; --b) {
        const int32_t x = rng.range(-5, f.width), y = rng.range(-5, f.height);
        const uint8_t v = static_cast<uint8_t>(rng.range(0, 3) == 0 ? 250 : rng.range(0, 255));
        f.fillGrey(std::max(0, x), std::max(0, y), std::min(f.width, x + rng.range(3, 40)),
                   std::min(f.height, y + rng.range(3, 30)), v);
    }
}

AreaQuad randomArea(Rng& rng, int32_t w, int32_t h) {
    const int32_t x = rng.range(-4, w), y = rng.range(-4, h);
    if (rng.range(0, 2) == 0) return test::rect(-2, -2, w + 2, h + 2);
    return test::quad(x, y, x + rng.range(2, w), y + rng.range(-3, 3), x + rng.range(0, w), y + rng.range(3, h),
                      x - rng.range(0, 9), y + rng.range(3, h));
}

// Everything observable of a detector, for comparing two of them.
void expectSameState(const Context& a, const Context& b) {
    const Engine& x = a.engine();
    const Engine& y = b.engine();
    ASSERT_EQ(0, std::memcmp(&x.inputFrame, &y.inputFrame, sizeof x.inputFrame));
    for (int s = 0; s < 3; ++s) {
        const ImagePlane* p = x.planes.slot[s];
        const ImagePlane* q = y.planes.slot[s];
        ASSERT_EQ(p == nullptr, q == nullptr);
        if (!p) continue;
        ASSERT_EQ(p->stride, q->stride);
        ASSERT_EQ(p->height, q->height);
        ASSERT_EQ(0, std::memcmp(p->pixels, q->pixels, static_cast<size_t>(p->stride) * p->height)) << "slot " << s;
    }
    ASSERT_EQ(x.store.count(), y.store.count());
    for (int i = 0; i < x.store.count(); ++i) {
        const SurvArea& u = x.store.area(i);
        const SurvArea& v = y.store.area(i);
        ASSERT_EQ(u.present, v.present);
        ASSERT_EQ(u.wasPresent, v.wasPresent);
        ASSERT_EQ(u.sampleCount, v.sampleCount);
        ASSERT_EQ(u.stillCount, v.stillCount);
        for (int k = 0; k < 5; ++k) ASSERT_EQ(u.stats[k], v.stats[k]);
    }
}

// Per kernel set: one detector on padded frames, one on views of the same
// pictures with random strides, one that mixes both at random.
TEST(FrameView, EqualsThePaddedLayoutOnEveryKernelSet) {
    const Kernels* sets[8];
    const int n = AvailableKernels(sets, 8);
    for (int k = 0; k < n; ++k) {
        SCOPED_TRACE(sets[k]->name);
        Rng rng(40 + static_cast<uint64_t>(k));
        Context padded, viewed, mixed;
        Context* all[] = {&padded, &viewed, &mixed};
        for (Context* c : all) {
            c->useKernels(*sets[k]);
            c->coilInit();
        }
        long triggers = 0, views = 0;
        for (int session = 0; session < 12; ++session) {
            SCOPED_TRACE("session " + std::to_string(session));
            int32_t w = rng.range(0, 3) == 0 ? rng.range(1, 9) : rng.range(9, session % 3 ? 97 : 301);
            if (w % 2 == 0 && rng.range(0, 1)) ++w;  // mostly odd widths
            const int32_t h = rng.range(3, 60);
            const int32_t light = rng.range(0, 1), frameCount = rng.range(1, 3);
            std::vector<AreaQuad> quads;
            std::vector<float> thresholds;
            for (int a = rng.range(1, 4); a > 0; --a) {
                quads.push_back(randomArea(rng, w, h));
                thresholds.push_back(rng.range(0, 3) * 0.04f);
            }
            for (Context* c : all) {
                c->useFrontLightTrigger(light);
                c->setLightParam(200, 3, 60, 3, 60);
                c->setFrameCountThresh(frameCount);
                ASSERT_EQ(c->setSurvAreas(static_cast<int32_t>(quads.size()), quads.data(), thresholds.data()), 1);
            }
            Frame f(w, h);
            for (int32_t t = 0; t < 14; ++t) {
                paint(rng, f, t);
                std::vector<int32_t> want(quads.size(), -3), got(quads.size(), -3), mix(quads.size(), -3);
                const int16_t r = padded.getSurvResults(f.data(), w, h, 3, want.data());
                const Strided s(f, randomStride(rng, w), static_cast<uint8_t>(rng.next()));
                ASSERT_EQ(viewed.processView(s.view, got.data()), r);
                int16_t m;
                if (rng.range(0, 1)) {
                    m = mixed.processView(s.view, mix.data());
                    ++views;
                } else {
                    // The size stays within a session: any declared depth.
                    m = mixed.getSurvResults(f.data(), w, h, t > 0 && rng.range(0, 2) == 0 ? 0 : 3, mix.data());
                }
                ASSERT_EQ(m, r);
                ASSERT_EQ(got, want) << "frame " << t << " " << w << "x" << h << " stride " << s.view.stride;
                ASSERT_EQ(mix, want);
                ASSERT_NO_FATAL_FAILURE(expectSameState(padded, viewed));
                ASSERT_NO_FATAL_FAILURE(expectSameState(padded, mixed));
                triggers += std::count(want.begin(), want.end(), 1);
            }
        }
        EXPECT_GT(triggers, 20);  // the sessions did decide something
        EXPECT_GT(views, 50);
    }
}

TEST(FrameView, RefusedViewsChangeNothing) {
    Context ctx;
    ctx.coilInit();
    const AreaQuad q = test::rect(2, 2, 60, 40);
    const float t = 0.05f;
    ASSERT_EQ(ctx.setSurvAreas(1, &q, &t), 1);
    Frame f(64, 48, 90, 90, 90);
    int32_t results[1] = {-7};
    ASSERT_EQ(ctx.getSurvResults(f.data(), 64, 48, 3, results), 1);  // baseline
    const ImagePlane before = ctx.engine().inputFrame;
    const ImagePlane* plane = ctx.engine().planes.slot[0];
    std::vector<uint8_t> big(size_t{192} * 70000, 200);
    auto view = [&](int32_t w, int32_t h, int32_t stride) {
        FrameView v;
        v.pixels = big.data();
        v.width = w;
        v.height = h;
        v.stride = stride;
        return v;
    };
    const FrameView bad[] = {view(64, 48, 191), view(64, 48, 0),     view(64, 48, -192), view(0, 48, 192),
                             view(-64, 48, 192), view(10922, 3, 40000), view(64 + 65536, 48, 192),
                             view(64, 2, 192),   view(64, 32768, 192), view(64, 48 - 65536, 192)};
    for (const FrameView& v : bad) {
        EXPECT_EQ(ctx.processView(v, results), 0) << v.width << "x" << v.height << " stride " << v.stride;
        EXPECT_EQ(results[0], -7);
        EXPECT_EQ(0, std::memcmp(&ctx.engine().inputFrame, &before, sizeof before));
        EXPECT_EQ(ctx.engine().planes.slot[0], plane);
    }
    FrameView nullPixels = view(64, 48, 192);
    nullPixels.pixels = nullptr;
    EXPECT_EQ(ctx.processView(nullPixels, results), 0);
    EXPECT_EQ(ctx.processView(view(64, 48, 192), nullptr), 0);
    EXPECT_EQ(results[0], -7);
    // The same through the C++ interface; then a good view is taken.
    Detector det;
    ASSERT_TRUE(det.setAreas(1, &q, &t));
    EXPECT_FALSE(det.process(view(64, 48, 191), results));
    EXPECT_TRUE(det.process(view(64, 48, 192), results));
    EXPECT_EQ(results[0], -7);  // its baseline
    EXPECT_TRUE(det.process(view(64, 48, 192 * 3), results));
    EXPECT_EQ(results[0], 0);
}

// A view carries its own stride on every call; the detector keeps only the
// size (as the padded layout of that size), so a same-size frame of either
// kind continues the same baseline, and a new size starts a new one.
TEST(FrameView, ViewsAndPaddedFramesFollowEachOther) {
    Context ctx;
    ctx.coilInit();
    const AreaQuad q = test::rect(2, 2, 40, 30);
    const float t = 0.05f;
    ASSERT_EQ(ctx.setSurvAreas(1, &q, &t), 1);
    Frame dark(45, 33, 60, 60, 60), lit(45, 33, 60, 60, 60);
    lit.fillGrey(5, 5, 35, 25, 200);
    int32_t r[1] = {-7};
    const Strided darkWide(dark, 3 * 45 + 1001, 9), litWide(lit, 3 * 45 + 7, 1), litTight(lit, 3 * 45, 3);
    ASSERT_EQ(ctx.processView(darkWide.view, r), 1);  // baseline
    EXPECT_EQ(ctx.engine().inputFrame.stride, 136);   // the padded layout of width 45
    EXPECT_EQ(ctx.engine().inputFrame.bytesPerPixel, 3);
    EXPECT_EQ(r[0], -7);
    ASSERT_EQ(ctx.getSurvResults(lit.data(), 45, 33, 0, r), 1);  // same size: stored layout, no baseline
    EXPECT_EQ(r[0], 1);
    ASSERT_EQ(ctx.processView(litTight.view, r), 1);  // still present, another stride
    EXPECT_EQ(r[0], 0);
    ASSERT_EQ(ctx.getSurvResults(dark.data(), 45, 33, 3, r), 1);
    EXPECT_EQ(r[0], 0);
    ASSERT_EQ(ctx.processView(litWide.view, r), 1);
    EXPECT_EQ(r[0], 1);
    // A view of another size takes a new baseline, like a padded frame.
    Frame small(30, 20, 60, 60, 60);
    const Strided smallView(small, 3 * 30 + 5, 0);
    r[0] = -7;
    ASSERT_EQ(ctx.processView(smallView.view, r), 1);
    EXPECT_EQ(r[0], -7);
    EXPECT_EQ(ctx.engine().planes.slot[0]->width, 30);
    EXPECT_EQ(ctx.engine().inputFrame.width, 30);
    EXPECT_EQ(ctx.engine().inputFrame.stride, 92);
}

// Offsets of row y are y * stride in ptrdiff_t: with a stride of 2^31 - 1
// the third row lies 4 GiB after the first. Only the three rows' pages
// are made readable; the rest of the range stays reserved and unreadable.
TEST(FrameView, StrideUpToTwoToTheThirtyOneMinusOne) {
    const int32_t stride = 0x7FFFFFFF;
    const int32_t w = 40, h = 3;
    Frame f(w, h, 50, 50, 50);
    Frame lit(w, h, 50, 50, 50);
    lit.fillGrey(0, 0, w, h, 220);
    const AreaQuad q = test::rect(0, 0, w, h);
    const float t = 0.05f;
    if (sizeof(ptrdiff_t) < 8) {
        // 32-bit hosts: such a frame cannot be addressed, and is refused.
        Detector det;
        ASSERT_TRUE(det.setAreas(1, &q, &t));
        std::vector<uint8_t> row(size_t{3} * w);
        FrameView v{row.data(), w, h, stride};
        int32_t r[1] = {-7};
        EXPECT_FALSE(det.process(v, r));
        return;
    }
#if defined(TRV_TEST_MMAP)
    const size_t page = 4096;
    const size_t span = static_cast<size_t>(h - 1) * static_cast<size_t>(stride) + 3 * w;
    const size_t reserved = (span + 2 * page) & ~(page - 1);
    void* base = mmap(nullptr, reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) GTEST_SKIP() << "no address space for the test";
    uint8_t* px = static_cast<uint8_t*>(base);
    auto rowAt = [&](int32_t y) { return px + static_cast<size_t>(y) * static_cast<size_t>(stride); };
    for (int32_t y = 0; y < h; ++y) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(rowAt(y)) & ~(uintptr_t{page} - 1);
        ASSERT_EQ(0, mprotect(reinterpret_cast<void*>(start), 2 * page, PROT_READ | PROT_WRITE));
    }
    auto show = [&](const Frame& picture) {
        for (int32_t y = 0; y < h; ++y) std::memcpy(rowAt(y), picture.data() + y * picture.stride, size_t{3} * w);
    };
    const Kernels* sets[8];
    const int n = AvailableKernels(sets, 8);
    for (int k = 0; k < n; ++k) {
        SCOPED_TRACE(sets[k]->name);
        Context viewed, padded;
        for (Context* c : {&viewed, &padded}) {
            c->useKernels(*sets[k]);
            c->coilInit();
            c->useFrontLightTrigger(1);
            c->setLightParam(200, 1, 60, 1, 60);
            ASSERT_EQ(c->setSurvAreas(1, &q, &t), 1);
        }
        const FrameView v{px, w, h, stride};
        int32_t got[1] = {-7}, want[1] = {-7};
        for (const Frame* picture : {&f, &lit, &f, &lit}) {
            show(*picture);
            ASSERT_EQ(viewed.processView(v, got), padded.getSurvResults(picture->data(), w, h, 3, want));
            ASSERT_EQ(got[0], want[0]);
            ASSERT_NO_FATAL_FAILURE(expectSameState(viewed, padded));
        }
        EXPECT_EQ(got[0], 1);
    }
    munmap(base, reserved);
#else
    GTEST_SKIP() << "needs a 64-bit Linux address space";
#endif
}

}  // namespace
}  // namespace tarvocoil
