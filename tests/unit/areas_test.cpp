// Rasterisation of quadrilaterals and the area store.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "areas/area_store.h"
#include "areas/rasterise.h"
#include "detect/engine.h"
#include "test_support.h"

namespace tarvocoil {
namespace {

using test::quad;
using Spans = std::vector<std::vector<int32_t>>;  // (y, left, right) per row

Spans raster(const AreaQuad& q) {
    SpanList list;
    EXPECT_TRUE(rasteriseQuad(q, Allocator{}, list));
    Spans out;
    for (int32_t i = 0; i < list.count; ++i) out.push_back({list.spans[i].y, list.spans[i].left, list.spans[i].right});
    releaseSpans(Allocator{}, list);
    return out;
}

TEST(Rasterise, DegenerateQuadsGiveOneSpanPerRow) {
    EXPECT_EQ(raster(quad(4, 7, 4, 7, 4, 7, 4, 7)), (Spans{{7, 4, 4}}));
    EXPECT_EQ(raster(quad(5, 3, -2, 3, 9, 3, 0, 3)), (Spans{{3, -2, 9}}));
    // Four vertices on one slanted line: a line one pixel wide.
    EXPECT_EQ(raster(quad(0, 0, 4, 8, 4, 8, 0, 0)),
              (Spans{{0, 0, 0}, {1, 0, 0}, {2, 1, 1}, {3, 1, 1}, {4, 2, 2}, {5, 2, 2}, {6, 3, 3}, {7, 3, 3}, {8, 4, 4}}));
}

TEST(Rasterise, RectangleAndFilledShapes) {
    Spans rectangle;
    for (int y = 2; y <= 6; ++y) rectangle.push_back({y, 2, 8});
    EXPECT_EQ(raster(quad(2, 2, 8, 2, 8, 6, 2, 6)), rectangle);

    Spans crossing;  // a bow-tie is filled in on each row
    for (int y = 0; y <= 10; ++y) crossing.push_back({y, 0, 10});
    EXPECT_EQ(raster(quad(0, 0, 10, 10, 10, 0, 0, 10)), crossing);

    EXPECT_EQ(raster(quad(0, 0, 9, 3, 0, 6, 3, 3)),  // concave notch filled
              (Spans{{0, 0, 0}, {1, 1, 3}, {2, 2, 6}, {3, 3, 9}, {4, 2, 6}, {5, 1, 3}, {6, 0, 0}}));

    // Edges one row apart contribute only their vertices.
    EXPECT_EQ(raster(quad(0, 0, 6, 1, 0, 2, -6, 1)), (Spans{{0, 0, 0}, {1, -6, 6}, {2, 0, 0}}));
}

TEST(Rasterise, EdgesRoundTowardZeroWhicheverWayTheyLean) {
    Spans expected{{0, 0, 0}};
    const int lefts[] = {0, -1, -1, -2, -2, -3, -3, -4, -4};
    for (int i = 0; i < 9; ++i) expected.push_back({i + 1, lefts[i], 0});
    expected.push_back({10, -5, 0});
    EXPECT_EQ(raster(quad(0, 0, -5, 10, -5, 10, 0, 10)), expected);

    Spans right = raster(quad(0, 0, 5, 10, 5, 10, 0, 10));
    const int rights[] = {0, 1, 1, 2, 2, 3, 3, 4, 4};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(right[i + 1][2], rights[i]);
}

TEST(Rasterise, VertexOrderDoesNotMatter) {
    test::Rng rng(5);
    for (int trial = 0; trial < 300; ++trial) {
        int32_t v[8];
        for (int32_t& c : v) c = rng.range(-40, 40);
        const Spans base = raster(quad(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]));
        EXPECT_EQ(raster(quad(v[6], v[7], v[4], v[5], v[2], v[3], v[0], v[1])), base);  // reversed
        EXPECT_EQ(raster(quad(v[2], v[3], v[4], v[5], v[6], v[7], v[0], v[1])), base);  // rotated
        // Rows are consecutive and every span is ordered.
        for (size_t k = 0; k < base.size(); ++k) {
            EXPECT_EQ(base[k][0], base[0][0] + static_cast<int32_t>(k));
            EXPECT_LE(base[k][1], base[k][2]);
        }
    }
}

TEST(Rasterise, ExtremeCoordinatesWrapTheRunningProductLikeA32BitRegister) {
    // 65536 rows; the product i * dx passes 2^31, and the quotient of the
    // wrapped product is what the outline takes.
    SpanList list;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(rasteriseQuad(quad(-32768, -32768, 32767, 32767, 32767, 32767, -32768, -32768), Allocator{}, list));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // linear, not rows x points
    ASSERT_EQ(list.count, 65536);
    const int64_t dx = 65535, n = 65535;
    for (int64_t i : {int64_t{1}, int64_t{32768}, int64_t{40000}, int64_t{65534}}) {
        const int32_t wrapped = static_cast<int32_t>(static_cast<uint32_t>(i * dx));
        const int32_t x = -32768 + wrapped / static_cast<int32_t>(n);
        EXPECT_EQ(list.spans[i].left, x) << i;
        EXPECT_EQ(list.spans[i].y, -32768 + i);
    }
    releaseSpans(Allocator{}, list);
}

TEST(PtrVector, CapacityDoublesAndSurvivesClear) {
    Allocator alloc;
    PtrVector<int> v;
    int items[16];
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(v.append(alloc, &items[i]));
    EXPECT_EQ(v.capacity(), 8u);
    v.clear();
    EXPECT_EQ(v.size(), 0u);
    EXPECT_EQ(v.capacity(), 8u);
    test::FailingAllocator failing;
    failing.budget = 0;  // any new block would fail
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(v.append(failing.allocator(), &items[i]));
    EXPECT_FALSE(v.append(failing.allocator(), &items[8]));
    EXPECT_EQ(v.size(), 8u);
    EXPECT_EQ(v[7], &items[7]);
    v.discard(alloc);
}

class Store : public ::testing::Test {
protected:
    ~Store() override { store.discard(alloc); }
    Allocator alloc;
    AreaStore store;
    std::vector<AreaQuad> quads{test::rect(2, 2, 8, 6), quad(0, 0, 10, 10, 10, 0, 0, 10), quad(5, 5, 5, 5, 5, 5, 5, 5)};
    std::vector<float> thresholds{0.25f, -1.5f, std::nanf("")};
};

TEST_F(Store, InstallsAreasWithCreationValues) {
    EXPECT_EQ(store.setAreas(alloc, 3, quads.data(), thresholds.data()), 1);
    EXPECT_EQ(store.count(), 3);
    EXPECT_EQ(store.areasSet, 1);
    EXPECT_EQ(store.area(0).spans.count, 5);
    EXPECT_EQ(store.area(1).spans.count, 11);
    EXPECT_EQ(store.area(2).spans.count, 1);
    EXPECT_EQ(store.area(0).presenceThresh, 0.25f);
    EXPECT_EQ(store.area(1).presenceThresh, -1.5f);
    EXPECT_TRUE(std::isnan(store.area(2).presenceThresh));
}

// Beside the store, detection starts every new set with the creation
// values and its baseline pending; a refused set leaves no state.
TEST_F(Store, DetectionStateStartsAfreshWithEverySet) {
    Engine e;
    ASSERT_EQ(e.setAreas(3, quads.data(), thresholds.data()), 1);
    e.detection.baselineReady = 1;
    e.detection.area(1).stillCount = 9;
    e.detection.area(1).present = 1;
    ASSERT_EQ(e.setAreas(2, quads.data(), thresholds.data()), 1);
    EXPECT_EQ(e.detection.baselineReady, 0);
    ASSERT_EQ(e.detection.count(), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(e.detection.area(i).present, 0);
        EXPECT_EQ(e.detection.area(i).wasPresent, 0);
        EXPECT_EQ(e.detection.area(i).sampleCount, 1);
        EXPECT_EQ(e.detection.area(i).stillCount, 0);
    }
    EXPECT_EQ(e.setAreas(-1, quads.data(), thresholds.data()), 0);
    EXPECT_EQ(e.detection.count(), 0);
    e.releaseAll();
    // Out of memory anywhere, the state's block last of all: areas and
    // state together, or neither.
    bool succeeded = false;
    for (long budget = 0; budget < 16 && !succeeded; ++budget) {
        test::FailingAllocator failing;
        failing.budget = budget;
        Engine small;
        small.alloc = failing.allocator();
        succeeded = small.setAreas(3, quads.data(), thresholds.data()) == 1;
        EXPECT_EQ(small.store.count(), succeeded ? 3 : 0) << budget;
        EXPECT_EQ(small.detection.count(), succeeded ? 3 : 0) << budget;
        EXPECT_EQ(small.store.areasSet, succeeded ? 1 : 0);
        small.releaseAll();
        EXPECT_EQ(failing.live, 0) << budget;
    }
    EXPECT_TRUE(succeeded);
}

TEST_F(Store, EmptyAndRefusedSetsLeaveNothingInstalled) {
    const AreaQuad far = quad(0, 0, 40000, 0, 1, 1, 0, 1);
    struct Case {
        int32_t count;
        const AreaQuad* q;
        const float* t;
    } cases[] = {
        {0, quads.data(), thresholds.data()},      {-4, quads.data(), thresholds.data()},
        {32768, quads.data(), thresholds.data()},  {3, nullptr, thresholds.data()},
        {3, quads.data(), nullptr},                {1, &far, thresholds.data()},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(store.setAreas(alloc, 3, quads.data(), thresholds.data()), 1);
        EXPECT_EQ(store.setAreas(alloc, c.count, c.q, c.t), 0) << c.count;
        EXPECT_EQ(store.count(), 0);
        EXPECT_EQ(store.areasSet, 0);
    }
}

TEST_F(Store, ReinstallingKeepsTheListBlock) {
    ASSERT_EQ(store.setAreas(alloc, 3, quads.data(), thresholds.data()), 1);
    const size_t capacity = store.capacity();
    test::FailingAllocator counting;
    Allocator a = counting.allocator();
    store.clearAreas(alloc);
    ASSERT_EQ(store.setAreas(a, 3, quads.data(), thresholds.data()), 1);
    EXPECT_EQ(store.capacity(), capacity);
    EXPECT_EQ(counting.taken, 6);  // an area record and its spans each, no list block
    store.clearAreas(a);
    EXPECT_EQ(counting.live, 0);
}

TEST_F(Store, RunningOutOfMemoryAnywhereLeavesAnEmptyConsistentStore) {
    for (long budget = 0; budget < 8; ++budget) {
        test::FailingAllocator failing;
        failing.budget = budget;
        AreaStore s;
        const int32_t r = s.setAreas(failing.allocator(), 3, quads.data(), thresholds.data());
        if (r == 1) {
            EXPECT_EQ(s.count(), 3);
        } else {
            EXPECT_EQ(s.count(), 0) << budget;
            EXPECT_EQ(s.areasSet, 0);
        }
        s.discard(failing.allocator());
        EXPECT_EQ(failing.live, 0) << budget;
    }
}

}  // namespace
}  // namespace tarvocoil
