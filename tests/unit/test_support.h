// test_support.h - frames, areas and small helpers shared by the unit tests.
#ifndef TARVOCOIL_TESTS_TEST_SUPPORT_H
#define TARVOCOIL_TESTS_TEST_SUPPORT_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "api/context.h"
#include "tarvocoil.h"

namespace tarvocoil {
namespace test {

// A 24-bit BGR frame with rows padded to 4 bytes.
struct Frame {
    int32_t width;
    int32_t height;
    int32_t stride;
    std::vector<uint8_t> bytes;

    Frame(int32_t w, int32_t h, uint8_t b = 0, uint8_t g = 0, uint8_t r = 0)
        : width(w), height(h), stride((w * 3 + 3) & ~3), bytes(static_cast<size_t>(stride) * h, 0) {
        fill(0, 0, w, h, b, g, r);
    }
    uint8_t* at(int32_t x, int32_t y) { return bytes.data() + y * stride + x * 3; }
    void set(int32_t x, int32_t y, uint8_t b, uint8_t g, uint8_t r) {
        uint8_t* p = at(x, y);
        p[0] = b;
        p[1] = g;
        p[2] = r;
    }
    // Columns x0..x1-1 of rows y0..y1-1.
    void fill(int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint8_t b, uint8_t g, uint8_t r) {
        for (int32_t y = y0; y < y1; ++y)
            for (int32_t x = x0; x < x1; ++x) set(x, y, b, g, r);
    }
    void fillGrey(int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint8_t v) { fill(x0, y0, x1, y1, v, v, v); }
    void greyAll(uint8_t v) { fillGrey(0, 0, width, height, v); }
    const uint8_t* data() const { return bytes.data(); }
};

inline AreaQuad rect(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    return AreaQuad{x0, y0, x1, y0, x1, y1, x0, y1};
}

inline AreaQuad quad(int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t x3, int32_t y3) {
    return AreaQuad{x0, y0, x1, y1, x2, y2, x3, y3};
}

// An initialised context with areas installed.
struct Rig {
    Context ctx;
    std::vector<int32_t> results;

    Rig() { ctx.coilInit(); }
    explicit Rig(const Allocator& alloc) : ctx(alloc) { ctx.coilInit(); }
    int32_t areas(const std::vector<AreaQuad>& quads, const std::vector<float>& thresholds) {
        results.assign(quads.size() + 1, -7);
        return ctx.setSurvAreas(static_cast<int32_t>(quads.size()), quads.data(), thresholds.data());
    }
    int16_t frame(const Frame& f) {
        return ctx.getSurvResults(f.data(), f.width, f.height, 3, results.data());
    }
    // Area i's detection state.
    AreaState& area(int i) { return ctx.engine().detection.area(i); }
    const ImagePlane& plane(int slot) { return *ctx.engine().planes.slot[slot]; }
    uint8_t planeByte(int slot, int32_t x, int32_t y) { return plane(slot).pixels[y * plane(slot).stride + x]; }
};

// An allocator that fails every allocation once `budget` have succeeded.
struct FailingAllocator {
    long budget = -1;  // < 0: never fail
    long taken = 0;
    long live = 0;
    std::vector<void*> blocks;

    static void* get(void* user, std::size_t bytes) {
        auto* self = static_cast<FailingAllocator*>(user);
        if (self->budget >= 0 && self->taken >= self->budget) return nullptr;
        self->taken += 1;
        self->live += 1;
        return std::malloc(bytes ? bytes : 1);
    }
    static void put(void* user, void* block) {
        static_cast<FailingAllocator*>(user)->live -= 1;
        std::free(block);
    }
    Allocator allocator() {
        Allocator a;
        a.allocate = &get;
        a.release = &put;
        a.user = this;
        return a;
    }
};

// A deterministic generator (xorshift), so scenes are reproducible.
struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 2654435761u + 0x9E3779B97F4A7C15ull) {}
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> 11);
    }
    int32_t range(int32_t lo, int32_t hi) { return lo + static_cast<int32_t>(next() % static_cast<uint32_t>(hi - lo + 1)); }
};

}  // namespace test
}  // namespace tarvocoil

#endif
