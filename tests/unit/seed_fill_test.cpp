// Seed fill: filled bytes, the measured box, total and mean run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "image/seed_fill.h"
#include "test_support.h"

namespace tarvocoil {
namespace {

// A one-byte plane of walls (255) with open (zero) bytes painted in.
struct Plane {
    std::vector<uint8_t> bytes;
    ImagePlane plane;
    Plane(int w, int h, uint8_t v = 255) {
        plane = CreateImageHeader(w, h, 1);
        bytes.assign(static_cast<size_t>(plane.stride) * h, v);
        plane.pixels = bytes.data();
    }
    void open(int x0, int y0, int x1, int y1) {  // inclusive
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) at(x, y) = 0;
    }
    uint8_t& at(int x, int y) { return bytes[y * plane.stride + x]; }
    int count(uint8_t v) const {
        int n = 0;
        for (int y = 0; y < plane.height; ++y)
            for (int x = 0; x < plane.width; ++x) n += bytes[y * plane.stride + x] == v;
        return n;
    }
};

struct Fill {
    int32_t result;
    PixelRect rect;
    int32_t total;
};

Fill fill(Plane& p, PixelRect limits, int sx, int sy) {
    SpanStack stack;
    Fill f{0, {-9, -9, -9, -9}, -9};
    f.result = SeedFill(p.plane, limits, static_cast<int16_t>(sx), static_cast<int16_t>(sy), &f.rect, &f.total,
                        stack, Allocator{});
    stack.release(Allocator{});
    return f;
}

void expectRect(const PixelRect& r, int x, int y, int w, int h) {
    EXPECT_EQ(r.x, x);
    EXPECT_EQ(r.y, y);
    EXPECT_EQ(r.width, w);
    EXPECT_EQ(r.height, h);
}

class BlockPlane : public ::testing::Test {
protected:
    // 64x48 with a 30x20 open block at columns 10..39, rows 10..29.
    BlockPlane() : p(64, 48) { p.open(10, 10, 39, 29); }
    Plane p;
};

TEST_F(BlockPlane, SeedInsideFillsTheBlockWhereverItStarts) {
    for (auto seed : {std::pair<int, int>{10, 10}, {25, 20}}) {
        Plane q = p;
        q.plane.pixels = q.bytes.data();
        Fill f = fill(q, {1, 1, 62, 46}, seed.first, seed.second);
        EXPECT_EQ(q.count(0), 0);
        expectRect(f.rect, 10, 9, 30, 21);  // one row above the blob counts
        EXPECT_EQ(f.total, 580);            // 600 bytes less 20 runs
        EXPECT_EQ(f.result, 29);
    }
}

TEST_F(BlockPlane, WallSeedLeftOfBlockFillsFromItsRightNeighbour) {
    Fill f = fill(p, {1, 1, 62, 46}, 9, 15);
    EXPECT_EQ(p.count(0), 0);
    expectRect(f.rect, 9, 9, 31, 21);
    EXPECT_EQ(f.total, 580);
    EXPECT_EQ(f.result, 29);
}

TEST_F(BlockPlane, WallSeedWithWallsAroundFillsNothing) {
    Fill f = fill(p, {1, 1, 62, 46}, 50, 40);
    EXPECT_EQ(p.count(0), 600);
    expectRect(f.rect, 50, 40, 1, 1);
    EXPECT_EQ(f.total, 0);
    EXPECT_EQ(f.result, 0);
}

TEST_F(BlockPlane, SeedOutsideLimitsChangesNothing) {
    const std::vector<uint8_t> before = p.bytes;
    Fill f = fill(p, {20, 20, 10, 5}, 10, 10);
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(p.bytes, before);
    expectRect(f.rect, -9, -9, -9, -9);
    EXPECT_EQ(f.total, -9);
}

TEST_F(BlockPlane, LimitsAreInclusiveOfXPlusWidthAndYPlusHeight) {
    Fill f = fill(p, {20, 15, 10, 5}, 25, 17);
    EXPECT_EQ(p.count(0), 600 - 66);  // columns 20..30 of rows 15..20
    for (int y = 15; y <= 20; ++y) {
        EXPECT_EQ(p.at(19, y), 0);
        EXPECT_EQ(p.at(20, y), 255);
        EXPECT_EQ(p.at(30, y), 255);
        EXPECT_EQ(p.at(31, y), 0);
    }
    expectRect(f.rect, 20, 15, 11, 5);
    EXPECT_EQ(f.total, 60);
    EXPECT_EQ(f.result, 10);
}

TEST(SeedFill, SingleByteAndDefaultLimits) {
    Plane p(16, 16);
    p.open(5, 5, 5, 5);
    Fill f = fill(p, {0, 0, 0, 0}, 5, 5);
    EXPECT_EQ(p.count(0), 0);
    expectRect(f.rect, 5, 4, 1, 2);
    EXPECT_EQ(f.total, 0);
    EXPECT_EQ(f.result, 0);
}

TEST(SeedFill, DefaultLimitsNeverReachRowZeroOrColumnZero) {
    Plane p(20, 10, 0);
    Fill f = fill(p, {0, 0, 0, 0}, 5, 5);
    EXPECT_EQ(p.count(255), 171);  // columns 1..19, rows 1..9
    for (int x = 0; x < 20; ++x) EXPECT_EQ(p.at(x, 0), 0);
    for (int y = 0; y < 10; ++y) EXPECT_EQ(p.at(0, y), 0);
    expectRect(f.rect, 1, 1, 19, 8);
    EXPECT_EQ(f.total, 162);
    EXPECT_EQ(f.result, 18);
}

TEST(SeedFill, TriangleBoxDependsOnTheSeed) {
    // Row y of 5..24 holds columns 30-(y-5) .. 30+(y-5): 400 bytes.
    auto make = [] {
        Plane p(64, 48);
        for (int y = 5; y <= 24; ++y) p.open(30 - (y - 5), y, 30 + (y - 5), y);
        return p;
    };
    Plane apex = make();
    Fill a = fill(apex, {1, 1, 62, 46}, 30, 5);
    EXPECT_EQ(apex.count(0), 0);
    expectRect(a.rect, 11, 4, 20, 21);
    EXPECT_EQ(a.total, 380);
    EXPECT_EQ(a.result, 19);

    Plane base = make();
    Fill b = fill(base, {1, 1, 62, 46}, 30, 24);
    EXPECT_EQ(base.count(0), 0);
    expectRect(b.rect, 11, 4, 39, 21);
    EXPECT_EQ(b.total, 380);
    EXPECT_EQ(b.result, 19);
}

TEST(SeedFill, WallSeedsAroundASmallBlock) {
    auto make = [] {
        Plane p(32, 32);
        p.open(11, 11, 15, 14);
        return p;
    };
    Plane diag = make();
    Fill d = fill(diag, {0, 0, 0, 0}, 10, 10);  // lower-right neighbour is open
    EXPECT_EQ(diag.count(0), 0);
    expectRect(d.rect, 10, 10, 6, 5);
    EXPECT_EQ(d.result, 4);

    Plane above = make();
    Fill a = fill(above, {0, 0, 0, 0}, 12, 10);
    EXPECT_EQ(above.count(0), 0);
    expectRect(a.rect, 11, 10, 5, 5);
    EXPECT_EQ(a.result, 4);

    Plane below = make();
    Fill b = fill(below, {0, 0, 0, 0}, 10, 15);
    EXPECT_EQ(below.count(0), 20);
    expectRect(b.rect, 10, 15, 1, 1);
    EXPECT_EQ(b.result, 0);
}

TEST(SeedFill, WallSeedAtTheRightLimitNeverFillsBeyondIt) {
    // Open bytes just right of the limit rectangle must stay untouched.
    Plane p(40, 20);
    p.open(21, 5, 30, 12);
    Fill f = fill(p, {5, 5, 15, 6}, 20, 8);  // maxX = 20, seed on the wall at 20
    EXPECT_EQ(p.count(0), 80);
    EXPECT_EQ(f.total, 0);
    EXPECT_EQ(f.result, 0);
    // Same at the plane's last column with default limits.
    Plane q(16, 8);
    q.open(1, 1, 14, 6);
    Fill g = fill(q, {0, 0, 0, 0}, 15, 3);
    EXPECT_EQ(q.count(0), 14 * 6);
    EXPECT_EQ(g.result, 0);
}

// The order in which pending spans are taken shapes the box. On this plane
// a plain last-in-first-out stack measures a box one column narrower.
TEST(SeedFill, PopPrefersTheRowGivenOutLast) {
    const char* rows[] = {
        "#.......#.#..#.#.", ".#.###..##..#####", "###.....#.#.#..#.", "##.#.###.###.....",
        "#..##..##..#.#...", "...#.######.#####", "#.......#.#..#..#", "###.#..###...#.##",
        ".....#..####.#.##", ".###.#..#..##.#.#", "..#####.#..##....", "#####...######..#",
        "#.##.##...###..#.", "#.#..#.####.#..#.",
    };
    Plane p(17, 14);
    for (int y = 0; y < 14; ++y)
        for (int x = 0; x < 17; ++x) p.at(x, y) = rows[y][x] == '#' ? 255 : 0;
    Fill f = fill(p, {0, 0, 0, 0}, 15, 11);
    expectRect(f.rect, 13, 8, 4, 5);
    EXPECT_EQ(f.total, 6);
    EXPECT_EQ(f.result, 1);
}

TEST(SpanStack, FailedAllocationDropsTheSpanAndTheFillGoesOn) {
    Plane p(64, 48);
    p.open(10, 10, 39, 29);
    SpanStack stack;
    Allocator none;
    none.allocate = [](void*, std::size_t) -> void* { return nullptr; };
    PixelRect rect{};
    int32_t total = -1;
    EXPECT_EQ(SeedFill(p.plane, {1, 1, 62, 46}, 25, 20, &rect, &total, stack, none), 0);
    EXPECT_EQ(total, 0);
    EXPECT_EQ(p.count(0), 600);  // nothing could be explored
}

TEST(SpanStack, PoolIsReusedAcrossFills) {
    SpanStack stack;
    Plane p(64, 48);
    PixelRect rect{};
    int32_t total = 0;
    p.open(10, 10, 39, 29);
    SeedFill(p.plane, {1, 1, 62, 46}, 25, 20, &rect, &total, stack, Allocator{});
    const int32_t pool = stack.poolSize();
    EXPECT_GT(pool, 0);
    p.open(10, 10, 39, 29);
    SeedFill(p.plane, {1, 1, 62, 46}, 25, 20, &rect, &total, stack, Allocator{});
    EXPECT_EQ(stack.poolSize(), pool);
    stack.release(Allocator{});
}


// The per-row index must give out exactly the entries the plain walk down
// the stack gives: same filled bytes, same box, total and mean run.
TEST(SpanStack, RowIndexPopsWhatTheLinearSearchPops) {
    test::Rng rng(12345);
    auto next = [&rng] { return rng.next(); };
    SpanStack indexed, linear;
    linear.useLinearSearch(true);
    for (int trial = 0; trial < 3000; ++trial) {
        const int w = 8 + next() % 40, h = 6 + next() % 30;
        Plane a(w, h);
        const uint32_t density = 30 + next() % 60;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) a.at(x, y) = next() % 100 < density ? 0 : 255;
        Plane b = a;
        b.plane.pixels = b.bytes.data();
        const PixelRect limits{static_cast<int16_t>(next() % w), static_cast<int16_t>(next() % h),
                               static_cast<int16_t>(next() % w), static_cast<int16_t>(next() % h)};
        const int16_t sx = static_cast<int16_t>(next() % w), sy = static_cast<int16_t>(next() % h);
        PixelRect ra{}, rb{};
        int32_t ta = 0, tb = 0;
        const int32_t ma = SeedFill(a.plane, limits, sx, sy, &ra, &ta, indexed, Allocator{});
        const int32_t mb = SeedFill(b.plane, limits, sx, sy, &rb, &tb, linear, Allocator{});
        ASSERT_EQ(ma, mb) << trial;
        ASSERT_EQ(ta, tb) << trial;
        ASSERT_EQ(0, std::memcmp(&ra, &rb, sizeof ra)) << trial;
        ASSERT_EQ(a.bytes, b.bytes) << trial;
    }
    indexed.release(Allocator{});
    linear.release(Allocator{});
}


// The same random pushes and pops on both: every pop gives the same entry.
TEST(SpanStack, RowIndexGivesOutTheSameEntriesAsTheWalk) {
    test::Rng rng(99);
    auto next = [&rng] { return rng.next(); };
    SpanStack indexed, linear;
    linear.useLinearSearch(true);
    for (int round = 0; round < 200; ++round) {
        indexed.reset(Allocator{}, 8);
        linear.reset(Allocator{}, 8);
        int depth = 0;
        for (int op = 0; op < 300; ++op) {
            if (depth > 0 && next() % 3 == 0) {
                const PendingSpan a = indexed.pop(), b = linear.pop();
                ASSERT_EQ(0, std::memcmp(&a, &b, sizeof a)) << round << " " << op;
                --depth;
            } else {
                const PendingSpan s{static_cast<int16_t>(op), 0, static_cast<int16_t>(next() % 9), 1};
                ASSERT_TRUE(indexed.push(Allocator{}, s));
                ASSERT_TRUE(linear.push(Allocator{}, s));
                ++depth;
            }
        }
    }
    indexed.release(Allocator{});
    linear.release(Allocator{});
}

}  // namespace
}  // namespace tarvocoil

namespace tarvocoil {
namespace {

struct CountingAlloc {
    int gets = 0;
    static void* get(void* u, std::size_t n) {
        ++static_cast<CountingAlloc*>(u)->gets;
        return std::malloc(n ? n : 1);
    }
    static void put(void*, void* b) { std::free(b); }
    Allocator alloc() { return Allocator{&get, &put, this}; }
};

// SeedFill answers wall seeds in walls without filling; on random planes of
// every density, with random limits (also beyond the plane) and the stack
// both fresh and warm, it must give exactly what the step-by-step fill gives:
// return value, box, total, every plane byte, and the same allocations.
TEST(SeedFill, ShortcutMatchesTheLiteralFillOnRandomPlanes) {
    std::mt19937 rng(1515);
    int shortcuts = 0;
    for (int round = 0; round < 400; ++round) {
        const int w = 3 + static_cast<int>(rng() % 40), h = 3 + static_cast<int>(rng() % 30);
        const unsigned openPercent = rng() % 4 == 0 ? 0 : rng() % 100;
        Plane a(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (rng() % 100 < openPercent) a.at(x, y) = 0;
        Plane b(w, h);
        b.bytes = a.bytes;
        b.plane.pixels = b.bytes.data();
        CountingAlloc ca, cb;
        SpanStack sa, sb;
        const bool warm = rng() % 2 == 0;
        if (warm) {  // grow both pools with one fill on a scratch plane
            Plane s(w, h, 0);
            PixelRect r;
            int32_t t;
            SeedFillLiteral(s.plane, PixelRect{0, 0, 0, 0}, 1, 1, &r, &t, sa, ca.alloc());
            SeedFillLiteral(s.plane, PixelRect{0, 0, 0, 0}, 1, 1, &r, &t, sb, cb.alloc());
        }
        for (int k = 0; k < 20; ++k) {
            const PixelRect lim{static_cast<int16_t>(static_cast<int>(rng() % (w + 4)) - 2),
                                static_cast<int16_t>(static_cast<int>(rng() % (h + 4)) - 2),
                                static_cast<int16_t>(rng() % (w + 2)), static_cast<int16_t>(rng() % (h + 2))};
            const int16_t sx = static_cast<int16_t>(rng() % (w + 1)), sy = static_cast<int16_t>(rng() % (h + 1));
            const bool wall = sx < w && sy < h && a.at(sx, sy) != 0;
            Fill fa{0, {-9, -9, -9, -9}, -9}, fb = fa;
            const int before = cb.gets;
            fa.result = SeedFill(a.plane, lim, sx, sy, &fa.rect, &fa.total, sa, ca.alloc());
            fb.result = SeedFillLiteral(b.plane, lim, sx, sy, &fb.rect, &fb.total, sb, cb.alloc());
            ASSERT_EQ(fa.result, fb.result) << round << "/" << k;
            expectRect(fa.rect, fb.rect.x, fb.rect.y, fb.rect.width, fb.rect.height);
            ASSERT_EQ(fa.total, fb.total);
            ASSERT_EQ(a.bytes, b.bytes);
            ASSERT_EQ(ca.gets, cb.gets);
            shortcuts += wall && fb.result == 0 && fb.total == 0 && cb.gets == before && sa.poolSize() > 0;
        }
        sa.release(ca.alloc());
        sb.release(cb.alloc());
    }
    EXPECT_GT(shortcuts, 100);  // the comparison really covered the shortcut
}

// A row of seeds as the front-light test walks it: NextOpenSeed passes over
// wall seeds, SeedFill fills from the rest. Every seed passed over must be
// one whose step-by-step fill gives the wall answer, every seed visited the
// literal fill's measures, and the plane bytes and allocations must match
// after each row. Sparse planes, wide enough for the eight-seed checks.
TEST(SeedFill, SeedRowsPassOverOnlyWallSeeds) {
    std::mt19937 rng(2715);
    int passedOver = 0, visited = 0;
    for (int round = 0; round < 300; ++round) {
        const int w = 3 + static_cast<int>(rng() % 150), h = 3 + static_cast<int>(rng() % 20);
        const unsigned openPerMille = rng() % 3 == 0 ? 0 : rng() % 60;
        Plane a(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (rng() % 1000 < openPerMille) a.at(x, y) = 0;
        Plane b(w, h);
        b.bytes = a.bytes;
        b.plane.pixels = b.bytes.data();
        CountingAlloc ca, cb;
        SpanStack sa, sb;
        const PixelRect box{static_cast<int16_t>(static_cast<int>(rng() % (w + 2)) - 1),
                            static_cast<int16_t>(static_cast<int>(rng() % (h + 2)) - 1),
                            static_cast<int16_t>(rng() % (w + 2)), static_cast<int16_t>(rng() % (h + 2))};
        const FillLimits lim = SeedFillLimits(a.plane, box);
        for (int k = 0; k < 8; ++k) {
            const int16_t y = static_cast<int16_t>(lim.minY + static_cast<int>(rng() % (lim.maxY - lim.minY + 1)));
            const int32_t x0 = lim.minX + static_cast<int32_t>(rng() % 3);
            const int32_t end = std::min<int32_t>(lim.maxX + 1, x0 + static_cast<int32_t>(rng() % (w + 1)));
            std::vector<Fill> literal;
            for (int32_t x = x0; x < end; x += 3) {
                Fill f{0, {-9, -9, -9, -9}, -9};
                f.result = SeedFillLiteral(b.plane, box, static_cast<int16_t>(x), y, &f.rect, &f.total, sb, cb.alloc());
                literal.push_back(f);
            }
            int32_t x = x0;
            for (; x < end; x += 3) {
                const int32_t next = NextOpenSeed(a.plane, lim, x, end, y, sa);
                for (; x < next && x < end; x += 3) {  // passed over: the wall answer
                    const Fill& f = literal[static_cast<size_t>((x - x0) / 3)];
                    ASSERT_EQ(f.result, 0) << round << "/" << k << " x " << x;
                    expectRect(f.rect, x, y, 1, 1);
                    ASSERT_EQ(f.total, 0);
                    ++passedOver;
                }
                if (x >= end) break;
                Fill f{0, {-9, -9, -9, -9}, -9};
                f.result = SeedFill(a.plane, box, static_cast<int16_t>(x), y, &f.rect, &f.total, sa, ca.alloc());
                const Fill& g = literal[static_cast<size_t>((x - x0) / 3)];
                ASSERT_EQ(f.result, g.result) << round << "/" << k << " x " << x;
                expectRect(f.rect, g.rect.x, g.rect.y, g.rect.width, g.rect.height);
                ASSERT_EQ(f.total, g.total);
                ++visited;
            }
            ASSERT_EQ(a.bytes, b.bytes) << round << "/" << k;
            ASSERT_EQ(ca.gets, cb.gets);
        }
        sa.release(ca.alloc());
        sb.release(cb.alloc());
    }
    EXPECT_GT(passedOver, 2000);
    EXPECT_GT(visited, 200);
}

}  // namespace
}  // namespace tarvocoil
