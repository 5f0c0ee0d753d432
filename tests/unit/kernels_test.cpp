// The optimised sweep kernels against the literal reference: the exact
// grey arithmetic on every table index, the median network, each kernel on
// random areas and planes, and whole detectors on random sequences.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "api/context.h"
#include "detect/sweep.h"
#include "image/grey_exact.h"
#include "image/grey_lut.h"
#include "image/median.h"
#include "image/median_network.h"
#include "test_support.h"

namespace tarvocoil {
namespace {

using test::Frame;
using test::Rng;

// Every kernel set but the reference.
std::vector<const Kernels*> fastKernels() {
    const Kernels* all[8];
    const int n = AvailableKernels(all, 8);
    return std::vector<const Kernels*>(all + 1, all + n);
}

class Lut {
public:
    Lut() : lut_(CreateGreyLut(Allocator{})) { BuildGreyLut(lut_); }
    ~Lut() { FreeGreyLut(Allocator{}, lut_); }
    const uint8_t* get() const { return lut_; }

private:
    uint8_t* lut_;
};

const uint8_t* theLut() {
    static Lut lut;
    return lut.get();
}

TEST(Kernels, ListedSlowestFirstAndBestIsLast) {
    const Kernels* all[8];
    const int n = AvailableKernels(all, 8);
    ASSERT_GE(n, 2);
    EXPECT_EQ(all[0], &ReferenceKernels());
    EXPECT_STREQ(all[1]->name, "portable");
    EXPECT_EQ(all[n - 1], &BestKernels());
    std::string names;
    for (int i = 0; i < n; ++i) names += std::string(all[i]->name) + " ";
    RecordProperty("kernel_sets", names);
#if defined(__x86_64__) || defined(_M_X64) || defined(__SSE2__)
    EXPECT_NE(names.find("sse2"), std::string::npos) << names;
#endif
    EXPECT_EQ(AvailableKernels(all, 1), 1);
    Context ctx;
    EXPECT_EQ(ctx.engine().kernels, &BestKernels());
}

TEST(GreyExact, EqualsTheTableOnEveryIndexWhateverTheLowBits) {
    const uint8_t* lut = theLut();
    Rng rng(1);
    for (uint32_t i = 0; i < kGreyLutSize; ++i) {
        const uint32_t low = rng.next();
        const uint8_t px[3] = {static_cast<uint8_t>(((i & 127) << 1) | (low & 1)),
                               static_cast<uint8_t>((((i >> 7) & 127) << 1) | ((low >> 1) & 1)),
                               static_cast<uint8_t>(((i >> 14) << 1) | ((low >> 2) & 1))};
        ASSERT_EQ(grey_exact::Grey(px), lut[i]) << "index " << i;
        ASSERT_EQ(grey_exact::GreySplit(px), lut[i]) << "index " << i;
    }
}

TEST(MedianNetwork, MatchesTheBubbleSortOnAllBinaryAndManyRandomInputs) {
    // A min/max network that selects correctly on every 0/1 input does so on
    // every input; the random cases (with many ties) check it again.
    auto check = [](const uint32_t v[9]) {
        uint16_t slots[9];
        for (int k = 0; k < 9; ++k) slots[k] = static_cast<uint16_t>(v[k]);
        return MedianOfNineNetwork(v) == MedianOfNineBubble(slots);
    };
    uint32_t v[9];
    for (uint32_t bits = 0; bits < 512; ++bits) {
        for (int k = 0; k < 9; ++k) v[k] = (bits >> k) & 1;
        ASSERT_TRUE(check(v)) << bits;
    }
    Rng rng(2);
    for (int i = 0; i < 200000; ++i) {
        const uint32_t spread = i % 3 == 0 ? 4 : 255;
        for (uint32_t& x : v) x = rng.next() % (spread + 1);
        ASSERT_TRUE(check(v));
    }
}

// One area's sweep on raw buffers, for calling a kernel directly.
struct SweepCase {
    int32_t w, h;
    std::vector<uint8_t> frameBytes;  // exactly stride * h, so reads past it are caught
    FrameRef frame;
    std::vector<RowSpan> spans;
    SpanList list;
    int32_t planeStride;
    std::vector<uint8_t> planes[3];

    SweepCase(int32_t width, int32_t height) : w(width), h(height) {
        frame.width = w;
        frame.height = h;
        frame.stride = (3 * w + 3) & ~3;
        frameBytes.assign(static_cast<size_t>(frame.stride) * h, 0);
        frame.pixels = frameBytes.data();
        planeStride = (w + 3) & ~3;
        for (auto& p : planes) p.assign(static_cast<size_t>(planeStride) * h, 255);
    }
    SweepInput input() {
        frame.pixels = frameBytes.data();
        list.spans = spans.data();
        list.count = static_cast<int32_t>(spans.size());
        return SweepInput{theLut(),          &frame, &list, planes[0].data(), planes[1].data(), planes[2].data(),
                          planeStride};
    }
};

// Every kernel writes, at every one of 2^21 grid positions, the grey of a
// different colour: the frame is made of 3x3 blocks of one colour each, so
// the median is that colour's grey. The colours are shuffled so that each
// vector lane sees all kinds.
TEST(Kernels, EveryKernelComputesEveryTableEntry) {
    const int32_t perRow = 500, rows = 256;  // 500: rows end on a partial vector
    const int32_t w = 3 * perRow + 5, h = 3 * rows;
    std::vector<uint32_t> colours(kGreyLutSize);
    std::iota(colours.begin(), colours.end(), 0u);
    Rng rng(3);
    for (uint32_t i = kGreyLutSize - 1; i > 0; --i) std::swap(colours[i], colours[rng.next() % (i + 1)]);
    const uint8_t* lut = theLut();
    SweepCase c(w, h);
    c.spans.push_back(RowSpan{1, 0, w - 1});  // grid rows 1, 4, 7, ...: blocks of rows 0-2, 3-5, ...
    for (int32_t y = 2; y <= h - 2; ++y) c.spans.push_back(RowSpan{y, 0, w - 1});
    for (uint32_t first = 0; first < kGreyLutSize; first += perRow * rows) {
        const uint32_t count = std::min<uint32_t>(perRow * rows, kGreyLutSize - first);
        std::fill(c.frameBytes.begin(), c.frameBytes.end(), 0);
        for (uint32_t j = 0; j < count; ++j) {
            const uint32_t i = colours[first + j];
            // Odd low bits on some bytes: the table drops them.
            const uint8_t px[3] = {static_cast<uint8_t>(((i & 127) << 1) | (j & 1)),
                                   static_cast<uint8_t>(((i >> 7) & 127) << 1),
                                   static_cast<uint8_t>(((i >> 14) << 1) | ((j >> 1) & 1))};
            uint8_t* p = c.frameBytes.data() + 3 * static_cast<int32_t>(j / perRow) * c.frame.stride +
                         3 * (2 + 3 * static_cast<int32_t>(j % perRow));
            for (int k = 0; k < 9; ++k) std::memcpy(p + (k / 3) * c.frame.stride + 3 * (k % 3), px, 3);
        }
        for (const Kernels* k : fastKernels()) {
            SCOPED_TRACE(k->name);
            SweepSums sums;
            k->baseline(c.input(), sums);
            ASSERT_EQ(sums.samples, perRow * rows);
            for (uint32_t j = 0; j < count; ++j) {
                const int32_t x = 3 + 3 * static_cast<int32_t>(j % perRow), y = 1 + 3 * static_cast<int32_t>(j / perRow);
                ASSERT_EQ(c.planes[0][y * c.planeStride + x], lut[colours[first + j]]) << "colour " << colours[first + j];
            }
        }
    }
}

// Random spans: rows inside, above and below the frame, ends inside and
// beyond either side, empty and reversed spans, long rows.
std::vector<RowSpan> randomSpans(Rng& rng, int32_t w, int32_t h) {
    std::vector<RowSpan> spans;
    const int32_t count = rng.range(0, 3 * h / 2 + 4);
    int32_t y = rng.range(-6, h + 2);
    if (rng.range(0, 3) == 0) y = rng.range(-10, 3);
    const int32_t l0 = rng.range(-20, w + 5), width = rng.range(-5, w + 40);
    for (int32_t k = 0; k < count; ++k, ++y) {
        int32_t l = l0 + rng.range(-2, 2) * (k % 5), r = l + width + rng.range(-3, 3);
        if (rng.range(0, 20) == 0) std::swap(l, r);
        if (rng.range(0, 30) == 0) r = w + rng.range(-4, 4);
        spans.push_back(RowSpan{y, l, r});
    }
    return spans;
}

void fillRandom(Rng& rng, std::vector<uint8_t>& bytes, int mode) {
    for (uint8_t& b : bytes) {
        const uint32_t v = rng.next();
        b = mode == 0 ? static_cast<uint8_t>(v) : mode == 1 ? static_cast<uint8_t>(120 + (v & 7)) : static_cast<uint8_t>(v & 1 ? 255 : 0);
    }
}

TEST(Kernels, SweepsMatchTheReferenceOnRandomAreasAndPlanes) {
    Rng rng(4);
    const std::vector<const Kernels*> fast = fastKernels();
    for (int iter = 0; iter < 500; ++iter) {
        int32_t w = iter % 7 == 0 ? rng.range(1, 12) : rng.range(6, iter % 3 == 0 ? 420 : 120);
        int32_t h = rng.range(3, 40);
        if (iter % 100 == 99) {  // the widest frame the library takes
            w = kMaxFrameWidth - rng.range(0, 2);
            h = rng.range(3, 6);
        }
        SweepCase start(w, h);
        fillRandom(rng, start.frameBytes, rng.range(0, 2));
        for (auto& p : start.planes) fillRandom(rng, p, 0);
        start.spans = randomSpans(rng, w, h);
        const bool baseline = iter % 3 == 0;
        auto run = [&](const Kernels& k, SweepCase& c) {
            SweepSums s;
            s.greySum = 1;
            (baseline ? k.baseline : k.presence)(c.input(), s);
            return s;
        };
        SweepCase want = start;
        const SweepSums ws = run(ReferenceKernels(), want);
        for (const Kernels* k : fast) {
            SCOPED_TRACE(std::string(k->name) + " iteration " + std::to_string(iter));
            SweepCase got = start;
            const SweepSums gs = run(*k, got);
            ASSERT_EQ(gs.greySum, ws.greySum);
            ASSERT_EQ(gs.bgDiffSum, ws.bgDiffSum);
            ASSERT_EQ(gs.prevDiffSum, ws.prevDiffSum);
            ASSERT_EQ(gs.samples, ws.samples);
            for (int s = 0; s < 3; ++s) ASSERT_TRUE(got.planes[s] == want.planes[s]) << "plane " << s;
        }
    }
}

// Light masks of runs anywhere in the frame, up to its first and last
// columns the front-light test uses (1 and w - 3) on its first and last
// rows, with thresholds beyond the grey range on both sides.
TEST(Kernels, LightMasksMatchTheReference) {
    const int16_t thresholds[] = {-32768, -1, 0, 1, 2, 100, 128, 200, 253, 254, 255, 256, 300, 32767};
    Rng rng(6);
    const std::vector<const Kernels*> fast = fastKernels();
    for (int iter = 0; iter < 300; ++iter) {
        const int32_t w = rng.range(3, iter % 2 ? 90 : 400), h = rng.range(3, 8);
        SweepCase c(w, h);
        fillRandom(rng, c.frameBytes, iter % 3);
        const int32_t y = rng.range(0, 1) ? 1 : rng.range(1, h - 2);
        int32_t l = rng.range(1, w - 2), r = rng.range(1, w - 2);
        if (rng.range(0, 3) == 0) {
            l = 1;
            r = w - 2;
        }
        if (l > r) std::swap(l, r);
        const int16_t t = iter % 4 ? static_cast<int16_t>(rng.range(90, 160)) : thresholds[rng.range(0, 13)];
        const uint8_t* px = c.frameBytes.data() + y * c.frame.stride + 3 * l;
        std::vector<uint8_t> want(static_cast<size_t>(r - l)), got(want.size());
        LightMaskReference(theLut(), px, r - l, t, want.data());
        for (const Kernels* k : fast) {
            std::fill(got.begin(), got.end(), 7);
            k->lightMask(theLut(), px, r - l, t, got.data());
            ASSERT_EQ(got, want) << k->name << " iteration " << iter;
        }
    }
}

// Detectors on every kernel set, fed the same random session; each must
// stay equal to the one on the reference kernels in everything observable.
class Detectors {
public:
    Detectors() {
        const Kernels* all[8];
        const int n = AvailableKernels(all, 8);
        for (int i = 0; i < n; ++i) {
            ctx_.emplace_back(new Context());
            ctx_.back()->useKernels(*all[i]);
            ctx_.back()->coilInit();
            results_.emplace_back();
        }
    }
    template <class F>
    void each(F&& f) {
        for (auto& c : ctx_) f(*c);
    }
    void areas(const std::vector<AreaQuad>& quads, const std::vector<float>& thresholds) {
        const int32_t n = static_cast<int32_t>(quads.size());
        for (size_t i = 0; i < ctx_.size(); ++i) {
            ASSERT_EQ(ctx_[i]->setSurvAreas(n, quads.data(), thresholds.data()), 1);
            results_[i].assign(quads.size(), -5);
        }
    }
    void frame(const Frame& f) {
        const int16_t want = ctx_[0]->getSurvResults(f.data(), f.width, f.height, 3, results_[0].data());
        tally(ctx_[0]->engine(), want);
        for (size_t i = 1; i < ctx_.size(); ++i) {
            SCOPED_TRACE(ctx_[i]->engine().kernels->name);
            ASSERT_EQ(ctx_[i]->getSurvResults(f.data(), f.width, f.height, 3, results_[i].data()), want);
            ASSERT_EQ(results_[i], results_[0]);
            ASSERT_NO_FATAL_FAILURE(same(ctx_[0]->engine(), ctx_[i]->engine()));
        }
    }
    long presences() const { return presences_; }
    long lightBlobs() const { return lightBlobs_; }
    long refreshes() const { return refreshes_; }
    long unstableRefreshes() const { return unstable_; }

private:
    // What the reference detector went through on a detection frame.
    void tally(const Engine& e, int16_t done) {
        if (done != 1 || !e.detection.baselineReady) return;
        presences_ += std::count(results_[0].begin(), results_[0].end(), 1);
        for (int i = 0; i < e.store.count(); ++i) {
            const AreaState& a = e.detection.area(i);
            if (a.present && e.settings.getUseFrontLightTrigger() == 1) ++lightBlobs_;
            if (a.stillCount != e.settings.getFrameCountThresh()) continue;
            ++refreshes_;
            for (int k = 0; k < 4; ++k)
                if (!(10 * int64_t{a.stats[k]} < 11 * int64_t{a.stats[k + 1]} &&
                      10 * int64_t{a.stats[k]} > 9 * int64_t{a.stats[k + 1]})) {
                    ++unstable_;
                    break;
                }
        }
    }

    static void same(const Engine& a, const Engine& b) {
        for (int s = 0; s < 3; ++s) {
            const ImagePlane* p = a.planes.slot[s];
            const ImagePlane* q = b.planes.slot[s];
            ASSERT_EQ(p == nullptr, q == nullptr);
            if (!p) continue;
            ASSERT_EQ(p->stride, q->stride);
            ASSERT_EQ(p->height, q->height);
            const size_t bytes = static_cast<size_t>(p->stride) * p->height;
            ASSERT_EQ(std::memcmp(p->pixels, q->pixels, bytes), 0) << "plane slot " << s;
        }
        ASSERT_EQ(a.store.count(), b.store.count());
        for (int i = 0; i < a.store.count(); ++i) {
            const AreaState& x = a.detection.area(i);
            const AreaState& y = b.detection.area(i);
            ASSERT_EQ(x.present, y.present);
            ASSERT_EQ(x.wasPresent, y.wasPresent);
            ASSERT_EQ(x.sampleCount, y.sampleCount);
            ASSERT_EQ(x.stillCount, y.stillCount);
            for (int k = 0; k < 5; ++k) ASSERT_EQ(x.stats[k], y.stats[k]);
        }
    }

    std::vector<std::unique_ptr<Context>> ctx_;
    std::vector<std::vector<int32_t>> results_;
    long presences_ = 0, lightBlobs_ = 0, refreshes_ = 0, unstable_ = 0;
};

AreaQuad randomQuad(Rng& rng, int32_t w, int32_t h) {
    switch (rng.range(0, 4)) {
    case 0:  // the whole frame and beyond
        return test::rect(-rng.range(0, 5), -rng.range(0, 5), w + rng.range(-2, 5), h + rng.range(-2, 5));
    case 1: {  // a slanted lane
        const int32_t x = rng.range(-5, w), d = rng.range(-w / 2, w / 2), lw = rng.range(3, w / 2 + 4);
        return test::quad(x, rng.range(-3, 3), x + lw, 0, x + lw + d, h + rng.range(-3, 3), x + d, h - 1);
    }
    case 2: {  // a small box
        const int32_t x = rng.range(-3, w), y = rng.range(-3, h);
        return test::rect(x, y, x + rng.range(0, 20), y + rng.range(0, 20));
    }
    default: {  // anything
        AreaQuad q;
        int32_t* v = &q.x0;
        for (int k = 0; k < 8; ++k) v[k] = k % 2 ? rng.range(-8, h + 8) : rng.range(-8, w + 8);
        return q;
    }
    }
}

// A scene that changes by chance: still runs, moving light blocks (the
// front-light masks and fills), global brightness steps (unstable
// histories), black regions, fresh noise.
class Scene {
public:
    Scene(Rng* rng, int32_t w, int32_t h) : rng_(*rng), frame_(w, h) { renew(); }
    const Frame& frame() const { return frame_; }
    void step() {
        switch (rng_.range(0, 9)) {
        case 0: case 1: case 2: case 3: break;  // still
        case 4: block(static_cast<uint8_t>(rng_.range(200, 255))); break;
        case 5: block(static_cast<uint8_t>(rng_.range(0, 80))); break;
        case 6: scale(rng_.range(0, 1) ? 115 : 87); break;
        case 7: black(); break;
        case 8: noise(); break;
        default: renew(); break;
        }
    }

private:
    void renew() {
        const int32_t level = rng_.range(0, 3) == 0 ? rng_.range(0, 12) : rng_.range(20, 230);
        for (uint8_t& b : frame_.bytes) b = static_cast<uint8_t>(std::clamp<int32_t>(level + rng_.range(-6, 6), 0, 255));
        if (rng_.range(0, 2) == 0) black();
    }
    void block(uint8_t v) {
        const int32_t x = rng_.range(0, frame_.width - 1), y = rng_.range(0, frame_.height - 1);
        frame_.fillGrey(x, y, std::min(frame_.width, x + rng_.range(2, 30)), std::min(frame_.height, y + rng_.range(2, 30)), v);
    }
    void black() {
        const int32_t x = rng_.range(0, frame_.width - 1), y = rng_.range(0, frame_.height - 1);
        frame_.fillGrey(x, y, std::min(frame_.width, x + rng_.range(3, 60)), std::min(frame_.height, y + rng_.range(3, 60)), 0);
    }
    void scale(int32_t percent) {
        for (int32_t y = 0; y < frame_.height; ++y)
            for (int32_t x = 0; x < 3 * frame_.width; ++x) {
                uint8_t& b = frame_.bytes[static_cast<size_t>(y) * frame_.stride + x];
                b = static_cast<uint8_t>(std::min<int32_t>(255, b * percent / 100));
            }
    }
    void noise() {
        for (int k = 0; k < frame_.width * frame_.height / 8; ++k) {
            uint8_t* p = frame_.at(rng_.range(0, frame_.width - 1), rng_.range(0, frame_.height - 1));
            p[rng_.range(0, 2)] = static_cast<uint8_t>(rng_.next());
        }
    }

    Rng& rng_;
    Frame frame_;

};

TEST(Kernels, DetectorsMatchTheReferenceOnRandomSessions) {
    const float thresholds[] = {-0.1f, 0.0f, 0.004f, 0.02f, 0.08f, 0.3f, 2.0f};
    const float disturb[] = {0.0f, 0.01f, 0.05f, 0.15f, 0.6f};
    Detectors detectors;
    Rng rng(5);
    for (int session = 0; session < 40; ++session) {
        SCOPED_TRACE("session " + std::to_string(session));
        int32_t w = rng.range(8, session % 4 == 0 ? 260 : 110), h = rng.range(3, 70);
        const int32_t frameCount = rng.range(-1, 4);
        const float still = disturb[rng.range(0, 4)];
        const int32_t light = rng.range(0, 3) ? 1 : rng.range(0, 2) * 2;  // mostly on
        const int32_t lt = rng.range(140, 256), minW = rng.range(0, 8), maxW = rng.range(6, 50);  // 0: wall seeds accepted
        const int32_t minH = rng.range(1, 8), maxH = rng.range(6, 50);
        detectors.each([&](Context& c) {
            c.setFrameCountThresh(frameCount);
            c.setTwoFramesDisturbThresh(still);
            c.useFrontLightTrigger(light);
            c.setLightParam(lt, minW, maxW, minH, maxH);
        });
        std::unique_ptr<Scene> scene(new Scene(&rng, w, h));
        for (int f = 0; f < 30; ++f) {
            if (f == 0 || rng.range(0, 40) == 0) {
                std::vector<AreaQuad> quads;
                std::vector<float> ts;
                for (int a = rng.range(1, 6); a > 0; --a) {
                    quads.push_back(randomQuad(rng, w, h));
                    ts.push_back(thresholds[rng.range(0, 6)]);
                }
                ASSERT_NO_FATAL_FAILURE(detectors.areas(quads, ts));
            }
            if (rng.range(0, 50) == 0) {  // a new frame size: a new baseline
                w = rng.range(8, 110);
                h = rng.range(3, 70);
                scene.reset(new Scene(&rng, w, h));
            }
            ASSERT_NO_FATAL_FAILURE(detectors.frame(scene->frame()));
            scene->step();
        }
    }
    // The sessions did reach what they are for.
    EXPECT_GT(detectors.presences(), 50);
    EXPECT_GT(detectors.lightBlobs(), 20);
    EXPECT_GT(detectors.refreshes(), 50);
    EXPECT_GT(detectors.unstableRefreshes(), 10);
}

}  // namespace
}  // namespace tarvocoil
