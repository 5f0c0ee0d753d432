// Measurement records: what they hold against an independent recomputation
// of the sums and limits, the light test's blob, the limit states, and
// that measuring never changes a result.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "detect/sampling_grid.h"
#include "image/grey_lut.h"
#include "image/median.h"
#include "tarvocoil.hpp"
#include "test_support.h"

namespace tarvocoil {
namespace {

using test::Frame;
using test::Rng;
using test::rect;
using Kind = AreaMeasurement::Kind;
using Refresh = AreaMeasurement::Refresh;
using State = LimitValue::State;

// The sums of one area recomputed from the frame with the literal median,
// against the test's own record of the background and previous greys.
struct Recomputed {
    int64_t greySum = 1, bgDiffSum = 0, prevDiffSum = 0, samples = 0;
};

class Greys {
public:
    Greys() : lut_(CreateGreyLut(Allocator{})) { BuildGreyLut(lut_); }
    ~Greys() { FreeGreyLut(Allocator{}, lut_); }
    int32_t at(const Frame& f, int32_t x, int32_t y) const { return MedianGrey(lut_, f.stride, f.data() + y * f.stride + 3 * x); }

private:
    uint8_t* lut_;
};

int64_t truncated(float p, float ratio) { return static_cast<int64_t>(static_cast<double>(p) * static_cast<double>(ratio)); }

// Four areas on a 64x48 scene: A sees a small bright block come and stay,
// B stays unchanged, C and D have thresholds whose limits saturate high
// and low, E one that is NaN. Frame count 2: every still area refreshes
// once its second still frame comes, and each history stays steady, so
// every refresh copies.
TEST(Measurements, MatchAnIndependentRecomputation) {
    const std::vector<AreaQuad> quads = {rect(10, 10, 40, 30), rect(44, 5, 60, 40), rect(2, 34, 30, 44),
                                         rect(32, 34, 60, 44), rect(2, 2, 8, 8)};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> thresholds = {0.05f, 0.05f, 1e30f, -1e30f, nan};
    Detector det;
    det.setFrameCountThresh(2);
    ASSERT_TRUE(det.setAreas(quads, thresholds));
    EXPECT_FALSE(det.measuring());
    det.setMeasuring(true);
    EXPECT_TRUE(det.measuring());

    Frame still(64, 48, 100, 100, 100), block(64, 48, 100, 100, 100);
    // Three of A's grid positions (row 16, columns 18, 21, 24) with their
    // neighbourhoods: present, but its mean stays within 10% of the
    // baseline's, so its refresh copies too.
    block.fillGrey(17, 15, 26, 18, 255);
    const Frame* frames[] = {&still, &block, &block, &block, &block, &still};

    const Greys greys;
    std::vector<std::map<std::pair<int32_t, int32_t>, int32_t>> background(quads.size()), previous(quads.size());
    std::vector<int32_t> oldest(quads.size()), stillCount(quads.size(), 0), wasPresent(quads.size(), 0);
    std::vector<int32_t> results(quads.size(), -7);
    int copies = 0, presences = 0;
    for (int t = 0; t < 6; ++t) {
        SCOPED_TRACE("frame " + std::to_string(t));
        const Frame& f = *frames[t];
        ASSERT_TRUE(det.process(f.data(), f.width, f.height, 3, results.data()));
        const std::vector<AreaMeasurement>& ms = det.measurements();
        ASSERT_EQ(ms.size(), quads.size());
        for (size_t i = 0; i < quads.size(); ++i) {
            SCOPED_TRACE("area " + std::to_string(i));
            const AreaMeasurement& m = ms[i];
            Recomputed r;
            std::map<std::pair<int32_t, int32_t>, int32_t> now;
            const std::vector<AreaRow> rows = det.areaRows(static_cast<int32_t>(i));
            std::vector<RowSpan> spans;
            for (const AreaRow& row : rows) spans.push_back(RowSpan{row.y, row.left, row.right});
            const SpanList list{spans.data(), static_cast<int32_t>(spans.size())};
            forEachGridPosition(list, f.width, f.height, [&](int32_t x, int32_t y) {
                const int32_t g = greys.at(f, x, y);
                now[{x, y}] = g;
                r.greySum += g;
                r.samples += 1;
                if (t > 0) {
                    r.bgDiffSum += std::abs(g - background[i][{x, y}]);
                    r.prevDiffSum += std::abs(g - previous[i][{x, y}]);
                }
            });
            const int64_t n = 1 + r.samples;
            EXPECT_EQ(m.sampleCount, n);
            EXPECT_EQ(det.gridSampleCount(static_cast<int32_t>(i), f.width, f.height), r.samples);
            EXPECT_EQ(m.greySum, r.greySum);
            if (t == 0) {
                EXPECT_EQ(m.kind, Kind::Baseline);
                EXPECT_EQ(m.mean, std::max<int64_t>(10, r.greySum / n));
                EXPECT_EQ(m.bgDiffSum, 0);
                EXPECT_EQ(m.result, 0);
                oldest[i] = static_cast<int32_t>(m.mean);
                background[i] = now;
                previous[i] = now;
                continue;
            }
            EXPECT_EQ(m.kind, Kind::Detect);
            const int64_t mean = r.greySum / n;
            const int64_t reference = std::max<int64_t>(10, std::max<int64_t>(mean, oldest[i]));
            const float p = static_cast<float>(reference * n);
            EXPECT_EQ(m.mean, mean);
            EXPECT_EQ(m.referenceGrey, reference);
            EXPECT_EQ(m.bgDiffSum, r.bgDiffSum);
            EXPECT_EQ(m.prevDiffSum, r.prevDiffSum);
            EXPECT_EQ(m.stillLimit.state, State::Value);
            EXPECT_EQ(m.stillLimit.value, truncated(p, 0.15f));
            bool present = false;
            switch (i) {
            case 2:
                EXPECT_EQ(m.presenceLimit.state, State::SaturatedHigh);
                EXPECT_EQ(m.presenceLimit.value, INT64_MAX);
                break;
            case 3:
                EXPECT_EQ(m.presenceLimit.state, State::SaturatedLow);
                EXPECT_EQ(m.presenceLimit.value, INT64_MIN);
                present = true;
                break;
            case 4:
                EXPECT_EQ(m.presenceLimit.state, State::NotANumber);
                break;
            default:
                EXPECT_EQ(m.presenceLimit.state, State::Value);
                EXPECT_EQ(m.presenceLimit.value, truncated(p, thresholds[i]));
                present = r.bgDiffSum > truncated(p, thresholds[i]);
            }
            EXPECT_EQ(m.present, present);
            EXPECT_EQ(m.result, present && !wasPresent[i] ? 1 : 0);
            EXPECT_EQ(m.result, results[i]);
            wasPresent[i] = present;
            presences += present;
            stillCount[i] = r.prevDiffSum <= m.stillLimit.value ? stillCount[i] + 1 : 0;
            EXPECT_EQ(m.stillCount, stillCount[i]);
            EXPECT_EQ(m.refresh, stillCount[i] == 2 ? Refresh::Copy : Refresh::None);
            if (m.refresh == Refresh::Copy) {
                background[i] = now;
                ++copies;
            }
            EXPECT_FALSE(m.lightTested);
            previous[i] = now;
        }
    }
    EXPECT_EQ(copies, 5);  // every area refreshed once
    EXPECT_GE(presences, 6);
}

// The light test's part of the record, on the scene whose blob is known:
// 200x120 black, a 30x20 block of grey 254 at columns 40..69, rows 30..49.
TEST(Measurements, RecordTheLightTestAndItsFirstBlob) {
    Detector det;
    det.useFrontLightTrigger(1);
    det.setMeasuring(true);
    const AreaQuad q = rect(5, 5, 190, 109);
    const float t = 0.1f;
    ASSERT_TRUE(det.setAreas(1, &q, &t));
    Frame black(200, 120), lit(200, 120), small(200, 120);
    lit.fillGrey(40, 30, 70, 50, 254);
    small.fillGrey(40, 30, 50, 40, 254);  // too small a blob
    int32_t r[1] = {-7};
    ASSERT_TRUE(det.process(black.data(), 200, 120, 3, r));
    EXPECT_FALSE(det.measurements()[0].lightTested);
    ASSERT_TRUE(det.process(lit.data(), 200, 120, 3, r));
    AreaMeasurement m = det.measurements()[0];
    EXPECT_TRUE(m.lightTested);
    EXPECT_TRUE(m.blobFound);
    EXPECT_TRUE(m.present);
    EXPECT_EQ(m.result, 1);
    EXPECT_EQ(m.blob.x, 39);
    EXPECT_EQ(m.blob.y, 29);
    EXPECT_EQ(m.blob.width, 31);
    EXPECT_EQ(m.blob.height, 21);
    EXPECT_EQ(m.blob.total, 580);
    EXPECT_EQ(m.blob.meanRun, 29);
    ASSERT_TRUE(det.process(black.data(), 200, 120, 3, r));
    EXPECT_FALSE(det.measurements()[0].lightTested);  // no presence, no test
    ASSERT_TRUE(det.process(small.data(), 200, 120, 3, r));
    m = det.measurements()[0];
    EXPECT_TRUE(m.lightTested);
    EXPECT_FALSE(m.blobFound);
    EXPECT_FALSE(m.present);
    EXPECT_EQ(m.result, 0);
    EXPECT_GT(m.bgDiffSum, m.presenceLimit.value);  // present by the sums alone
}

// A brightness step: on the first still frame after it the history shows
// a trend, so the first area's refresh exchanges the planes; the second
// area then compares with the plane of two frames before, and is not
// still.
TEST(Measurements, NameTheRefreshThatExchanges) {
    Detector det;
    det.setFrameCountThresh(1);
    det.setMeasuring(true);
    const AreaQuad q[2] = {rect(2, 2, 30, 30), rect(30, 2, 60, 30)};
    const float t[2] = {0.1f, 0.1f};
    ASSERT_TRUE(det.setAreas(2, q, t));
    Frame dim(64, 48, 100, 100, 100), bright(64, 48, 150, 150, 150);
    int32_t r[2];
    ASSERT_TRUE(det.process(dim.data(), 64, 48, 3, r));
    ASSERT_TRUE(det.process(bright.data(), 64, 48, 3, r));
    EXPECT_EQ(det.measurements()[0].refresh, Refresh::None);  // disturbed
    ASSERT_TRUE(det.process(bright.data(), 64, 48, 3, r));
    EXPECT_EQ(det.measurements()[0].stillCount, 1);
    EXPECT_EQ(det.measurements()[0].refresh, Refresh::Exchange);
    EXPECT_EQ(det.measurements()[1].stillCount, 0);
    EXPECT_EQ(det.measurements()[1].refresh, Refresh::None);
}

// Records exist only for calls that returned true while measuring was on.
TEST(Measurements, OnlyForUsedFramesWhileOn) {
    Detector det;
    Frame f(64, 48, 90, 90, 90);
    int32_t r[2] = {-7, -7};
    det.setMeasuring(true);
    EXPECT_FALSE(det.process(f.data(), 64, 48, 3, r));  // no areas yet
    EXPECT_TRUE(det.measurements().empty());
    const AreaQuad q[2] = {rect(2, 2, 30, 30), rect(30, 2, 60, 30)};
    const float t[2] = {0.1f, 0.1f};
    ASSERT_TRUE(det.setAreas(2, q, t));
    ASSERT_TRUE(det.process(f.data(), 64, 48, 3, r));
    EXPECT_EQ(det.measurements().size(), 2u);
    EXPECT_FALSE(det.process(f.data(), 64, 2, 3, r));  // refused
    EXPECT_TRUE(det.measurements().empty());
    ASSERT_TRUE(det.process(f.data(), 64, 48, 3, r));
    EXPECT_EQ(det.measurements().size(), 2u);
    det.setMeasuring(false);
    ASSERT_TRUE(det.process(f.data(), 64, 48, 3, r));
    EXPECT_TRUE(det.measurements().empty());
}

// Two detectors on the same random session, one measuring (switched off
// and on now and then), must agree in every return value and result.
TEST(Measurements, NeverChangeAResult) {
    Rng rng(77);
    for (int session = 0; session < 8; ++session) {
        const int32_t w = rng.range(20, 150), h = rng.range(10, 90);
        Detector plain, measured;
        measured.setMeasuring(true);
        std::vector<AreaQuad> quads;
        std::vector<float> thresholds;
        for (int a = rng.range(1, 6); a > 0; --a) {
            const int32_t x = rng.range(-5, w), y = rng.range(-5, h);
            quads.push_back(test::quad(x, y, x + rng.range(3, w), y + rng.range(-4, 4), x + rng.range(0, w),
                                       y + rng.range(3, h), x - rng.range(0, 9), y + rng.range(3, h)));
            thresholds.push_back(rng.range(0, 4) * 0.03f);
        }
        const int32_t light = session % 2;
        for (Detector* d : {&plain, &measured}) {
            d->useFrontLightTrigger(light);
            d->setLightParam(180, 2, 60, 2, 60);
            d->setFrameCountThresh(session % 3 + 1);
            ASSERT_TRUE(d->setAreas(quads, thresholds));
        }
        Frame f(w, h);
        std::vector<int32_t> a(quads.size(), -7), b(quads.size(), -7);
        for (int t = 0; t < 25; ++t) {
            const uint8_t level = static_cast<uint8_t>(rng.range(0, 4) == 0 ? rng.range(0, 255) : 80);
            for (uint8_t& byte : f.bytes) byte = static_cast<uint8_t>(level + rng.range(0, 6));
            const int32_t x = rng.range(0, w - 1), y = rng.range(0, h - 1);
            f.fillGrey(x, y, std::min(w, x + rng.range(2, 40)), std::min(h, y + rng.range(2, 30)),
                       static_cast<uint8_t>(rng.range(150, 255)));
            if (rng.range(0, 9) == 0) measured.setMeasuring(!measured.measuring());
            const bool ra = plain.process(f.data(), w, h, 3, a.data());
            ASSERT_EQ(measured.process(f.data(), w, h, 3, b.data()), ra);
            ASSERT_EQ(a, b) << "session " << session << " frame " << t;
            if (!measured.measuring() || !ra) continue;
            const std::vector<AreaMeasurement>& ms = measured.measurements();
            ASSERT_EQ(ms.size(), quads.size());
            for (size_t i = 0; i < ms.size(); ++i)
                if (ms[i].kind == Kind::Detect) ASSERT_EQ(ms[i].result, b[i]);
        }
    }
}

}  // namespace
}  // namespace tarvocoil
