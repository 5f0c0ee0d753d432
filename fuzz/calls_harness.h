// calls_harness.h - call sequences through one library instance.
//
// The input is a mode byte and then a list of operations: init, release,
// area replacement, frame, the four setters, and changes to the allocation
// failure plan. Area sets have arbitrary counts (including negative, above
// 32767 and 32767 itself), vertices up to the extremes of 32 bits, and
// thresholds including NaN, the infinities and negatives. Frames have
// arbitrary width, height and bytes per pixel; each comes in a real buffer
// of exactly the size the geometry it takes needs (a frame of the stored
// width and height keeps the stored 24-bit geometry whatever bytes per
// pixel it declares), and the result array has exactly one entry per area
// last given. That is the host's side of the contract, and the harness
// keeps it and nothing more. (A refused frame gets a buffer of its declared
// size; a declaration with a size or depth of 0 or below describes no
// buffer at all, and gets an empty one, which the library must refuse
// without reading.)
//
// Mode bit 0 drives the process-wide instance through the exported
// functions instead of a Context of its own; the allocation-failure plan
// then has no effect (that instance uses the system heap). Otherwise mode
// bits 1-2 choose the Context's sweep kernels among those the CPU runs:
// 0 the fastest (what hosts get), then the slower sets down to the
// reference, so that every set meets the hostile geometry.
//
// Checked after every call, against a model of the call protocol:
// return values; results untouched on every call but a detection frame,
// and every entry 0 or 1 there; refused frames and calls outside the
// calling order change nothing; the frame geometry the instance keeps; the
// store's areas and flags; planes made at the frame's size on a baseline
// frame; areas whose threshold can never (NaN, +inf, huge) or must always
// (-inf, <= -0.1) give a presence report exactly that; setters store what
// they should. Memory: every block handed out is given back by a release
// and by destruction, no block is released twice or unknown, and while
// initialised the live bytes stay within what the areas, planes, grey table
// and fill stack need.
//
// Time and memory per input are bounded: at most 48 operations, frames of
// at most 256 KiB, budgets of grey-table builds, frame bytes, rasterised
// rows and sampling work. An operation over budget is skipped.
#ifndef TARVOCOIL_FUZZ_CALLS_HARNESS_H
#define TARVOCOIL_FUZZ_CALLS_HARNESS_H

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "api/context.h"
#include "detect/sweep.h"
#include "fuzz/fuzz_support.h"
#include "tarvocoil.h"

namespace trvfuzz {

namespace calls_detail {

constexpr int kMaxOps = 48;
constexpr uint32_t kMaxSmallAreas = 24;
constexpr int64_t kMaxFrameBytes = int64_t{1} << 18;
constexpr int64_t kFrameByteBudget = int64_t{1} << 20;
constexpr int64_t kWorkBudget = 1000000;
constexpr int kMaxTableBuilds = 3;
constexpr int64_t kRowBudget = 1000000;
constexpr int32_t kSentinel = 0x7E7E7E7E;

inline int16_t low16(int64_t v) {
    const uint16_t u = static_cast<uint16_t>(static_cast<uint64_t>(v));
    return static_cast<int16_t>(u >= 0x8000u ? static_cast<int32_t>(u) - 0x10000 : u);
}

struct Geometry {
    int16_t width = 0, height = 0, bpp = 0, stride = 0;
    bool operator==(const Geometry& o) const {
        return width == o.width && height == o.height && bpp == o.bpp && stride == o.stride;
    }
};

inline Geometry geometryOf(int32_t w, int32_t h, int32_t bpp) {
    Geometry g;
    g.width = low16(w);
    g.height = low16(h);
    g.bpp = low16(bpp);
    const uint32_t bytes = static_cast<uint32_t>(static_cast<int32_t>(g.width) * g.bpp) + 3u;
    g.stride = low16(static_cast<int64_t>(bytes & ~3u));
    return g;
}

// What the presence test must say for an area, whatever the picture: a
// threshold whose limit is NaN or beyond the 64-bit range can never be
// exceeded; one at or below -0.1 gives a limit of at most -1 (the product's
// other factor is at least 10), which any sum exceeds.
enum class Verdict { kDepends, kNever, kAlways };

inline Verdict verdictOf(float t) {
    if (std::isnan(t) || t >= 1e18f) return Verdict::kNever;
    if (t <= -0.1f) return Verdict::kAlways;
    return Verdict::kDepends;
}

struct AreaModel {
    int64_t rows;
    Verdict verdict;
    int wasPresent;  // -1 unknown
};

struct Model {
    bool storeReady = false;
    bool initialised = false;
    bool lut = false;
    Geometry frame;
    bool planes = false;
    int16_t planeW = 0, planeH = 0;
    bool pending = false;
    std::vector<AreaModel> areas;
    int32_t hostCount = 0;
    int32_t frontLight = 0;
    // The last frame's declaration, for frames that repeat it.
    int32_t lastW = 32, lastH = 24, lastBpp = 3;

    Geometry peek(int32_t w, int32_t h, int32_t bpp) const {
        if (w == frame.width && h == frame.height) return frame;
        return geometryOf(w, h, bpp);
    }
};

// One instance: a Context of the harness's own, or the process-wide one
// behind the exported functions.
class Target {
public:
    Target(bool exports, AllocBook& book) : exports_(exports) {
        if (!exports_) ctx_.reset(new tarvocoil::Context(book.allocator()));
    }
    bool exports() const { return exports_; }
    tarvocoil::Context& ctx() { return exports_ ? tarvocoil::ProcessContext() : *ctx_; }
    void destroy() { ctx_.reset(); }

    int32_t init() { return exports_ ? TRVCoilInit() : ctx_->coilInit(); }
    void release() { exports_ ? TRVCoilRelease() : ctx_->coilRelease(); }
    int32_t setAreas(int32_t n, const AreaQuad* q, const float* s) {
        return exports_ ? TRVSetSurvAreas(n, q, s) : ctx_->setSurvAreas(n, q, s);
    }
    int16_t frame(const uint8_t* px, int32_t w, int32_t h, int32_t bpp, int32_t* results) {
        return exports_ ? TRVGetSurvResults(px, w, h, 0x5EED, bpp, results)
                        : ctx_->getSurvResults(px, w, h, bpp, results);
    }
    void frameCount(int32_t v) { exports_ ? TRVSetFrameCountThresh(v) : ctx_->setFrameCountThresh(v); }
    void disturb(float v) { exports_ ? TRVSetTwoFramesDisturbThresh(v) : ctx_->setTwoFramesDisturbThresh(v); }
    void frontLight(int32_t v) { exports_ ? TRVUseFrontLightTrigger(v) : ctx_->useFrontLightTrigger(v); }
    void lightParam(int32_t a, int32_t b, int32_t c, int32_t d, int32_t e) {
        exports_ ? TRVSetLightParam(a, b, c, d, e) : ctx_->setLightParam(a, b, c, d, e);
    }

private:
    bool exports_;
    std::unique_ptr<tarvocoil::Context> ctx_;
};

inline int32_t coordinate(Reader& in) {
    static const int32_t extremes[] = {-32768, 32767,     -32769,    32768,    INT32_MIN,
                                       INT32_MAX, -1,     0,         65535,    -65536};
    switch (in.below(8)) {
        case 5: return in.i16();
        case 6: return in.pick(extremes);
        case 7: return in.i32();
        default: return static_cast<int32_t>(in.u8()) - 32;  // around a small frame
    }
}

inline float ratio(Reader& in) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    static const float specials[] = {nan,   -nan,   inf,   -inf,  0.0f, -0.0f, 1e-45f, 3.4e38f,
                                     -1.0f, -0.1f,  1e18f, 1e20f, 0.15f, 1.0f, -3.4e38f, 2e-38f};
    switch (in.below(8)) {
        case 4: case 5: return in.pick(specials);
        case 6: case 7: return in.f32();
        default: return static_cast<float>(in.u8()) / 512.0f;  // 0 .. 0.5
    }
}

inline int32_t setting(Reader& in) {
    static const int32_t specials[] = {0, 1, 2, 3, 20, 80, 200, -1, -20, 32767, 32768, 65535, 65536,
                                       INT32_MIN, INT32_MAX};
    switch (in.below(4)) {
        case 0: return in.pick(specials);
        case 1: return in.i32();
        default: return in.u8();
    }
}

// Rows a rasterised quadrilateral has, or 0 when the store refuses it.
inline int64_t rowsOf(const AreaQuad& q) {
    const int32_t v[8] = {q.x0, q.y0, q.x1, q.y1, q.x2, q.y2, q.x3, q.y3};
    for (int32_t c : v)
        if (c < -32768 || c > 32767) return 0;
    const int32_t lo = std::min(std::min(q.y0, q.y1), std::min(q.y2, q.y3));
    const int32_t hi = std::max(std::max(q.y0, q.y1), std::max(q.y2, q.y3));
    return static_cast<int64_t>(hi) - lo + 1;
}

class Run {
public:
    Run(Reader& in, bool exports, uint32_t kernelChoice) : in_(in), target_(exports, book_) {
        if (exports) {
            canonicalProcessInstance();
            return;
        }
        const tarvocoil::Kernels* sets[8];
        const int n = tarvocoil::AvailableKernels(sets, 8);
        ctx().useKernels(*sets[n - 1 - static_cast<int>(kernelChoice % static_cast<uint32_t>(n))]);
    }

    void go() {
        for (int op = 0; op < kMaxOps && !in_.empty(); ++op) {
            switch (in_.below(12)) {
                case 0: init(); break;
                case 1: release(); break;
                case 2: case 3: setAreas(); break;
                case 4: case 5: case 6: case 7: frame(); break;
                case 8: setters(); break;
                case 9: frontLight(); break;
                case 10: allocPlan(); break;
                default: frame(); break;
            }
            invariants();
        }
        finish();
    }

private:
    tarvocoil::Context& ctx() { return target_.ctx(); }

    // The process-wide instance outlives inputs: start every input from
    // the same released state with the load-time settings.
    void canonicalProcessInstance() {
        TRVCoilRelease();
        loadTimeSettings();
        model_.storeReady = ctx().storeReady() != 0;
    }

    // Also restored when an input ends, so that whatever runs next in the
    // process (another input, another test) finds the load-time values.
    void loadTimeSettings() {
        TRVSetFrameCountThresh(20);
        TRVSetTwoFramesDisturbThresh(0.15f);
        TRVUseFrontLightTrigger(0);
        TRVSetLightParam(200, 20, 80, 20, 80);
        ctx().engine().settings.lightMaxArea.store(5000);
    }

    void init() {
        if (tableBuilds_ == kMaxTableBuilds) return;  // the one costly call
        const uint64_t refused = book_.refused();
        TRV_FUZZ_CHECK(target_.init() == 1);
        if (model_.initialised) model_.storeReady = false;  // a second init releases first
        model_.initialised = true;
        model_.lut = book_.refused() == refused;  // the table is the only allocation
        if (model_.lut) ++tableBuilds_;
        TRV_FUZZ_CHECK((ctx().engine().greyLut != nullptr) == model_.lut);
        model_.frame = Geometry{};
        model_.planes = false;
        model_.pending = false;
        model_.areas.clear();
        if (!target_.exports()) TRV_FUZZ_CHECK(book_.liveBlocks() == (model_.lut ? 1u : 0u));
    }

    void release() {
        target_.release();
        // Releasing holds frames off; they stay off until areas are set again.
        if (model_.initialised) model_.storeReady = false;
        model_.initialised = false;
        model_.lut = false;
        model_.frame = Geometry{};
        model_.planes = false;
        model_.pending = false;
        model_.areas.clear();
        if (!target_.exports()) TRV_FUZZ_CHECK(book_.liveBlocks() == 0);
    }

    void setAreas() {
        uint32_t count = 0;
        bool nullQuads = false, nullSens = false;
        int32_t declared = 0;
        switch (in_.below(16)) {
            case 10: {
                static const int32_t negatives[] = {-1, -2, -32767, INT32_MIN};
                declared = in_.pick(negatives);
                break;
            }
            case 11: declared = 32768; count = 32768; break;     // one too many
            case 12: declared = 32767; count = 32767; break;     // the most there may be
            case 13: declared = 1 + static_cast<int32_t>(in_.below(4)); count = declared; nullQuads = true; break;
            case 14: declared = 1 + static_cast<int32_t>(in_.below(4)); count = declared; nullSens = true; break;
            default: count = in_.below(kMaxSmallAreas + 1); declared = static_cast<int32_t>(count); break;
        }
        std::vector<AreaQuad> quads(count);
        std::vector<float> sens(count);
        if (count > kMaxSmallAreas) {
            // Many small areas from one pattern, so the input stays short.
            const int32_t x = static_cast<int32_t>(in_.u8()) - 8, y = static_cast<int32_t>(in_.u8()) - 8;
            const int32_t w = in_.u8() % 8, h = in_.u8() % 4;
            const float t = ratio(in_);
            for (uint32_t i = 0; i < count; ++i) {
                const int32_t dx = static_cast<int32_t>(i % 61), dy = static_cast<int32_t>(i % 7);
                quads[i] = AreaQuad{x + dx, y + dy, x + dx + w, y + dy, x + dx + w, y + dy + h, x + dx, y + dy + h};
                sens[i] = t;
            }
        } else {
            for (uint32_t i = 0; i < count; ++i) {
                int32_t* c = &quads[i].x0;
                if (in_.below(4) == 0) {  // a rectangle, the usual shape
                    const int32_t x0 = coordinate(in_), y0 = coordinate(in_), x1 = coordinate(in_),
                                  y1 = coordinate(in_);
                    quads[i] = AreaQuad{x0, y0, x1, y0, x1, y1, x0, y1};
                } else {
                    for (int k = 0; k < 8; ++k) c[k] = coordinate(in_);
                }
                sens[i] = ratio(in_);
            }
        }

        bool refuse = declared <= 0 || declared > 32767 || nullQuads || nullSens;
        int64_t rows = 0;
        std::vector<AreaModel> next;
        if (!refuse) {
            for (uint32_t i = 0; i < count; ++i) {
                const int64_t r = rowsOf(quads[i]);
                if (r == 0) refuse = true;
                rows += r;
                next.push_back(AreaModel{r, verdictOf(sens[i]), 0});
            }
        }
        if (refuse) next.clear();
        if (model_.initialised && !refuse) {
            if (rowsUsed_ + rows > kRowBudget) return;
            rowsUsed_ += rows;
        }

        const uint64_t refused = book_.refused();
        const int32_t result = target_.setAreas(declared, nullQuads ? nullptr : quads.data(),
                                                nullSens ? nullptr : sens.data());
        model_.hostCount = declared;
        if (!model_.initialised) {
            TRV_FUZZ_CHECK(result == 0);
            return;
        }
        model_.storeReady = true;
        model_.pending = true;
        if (refuse || book_.refused() != refused) {
            TRV_FUZZ_CHECK(result == 0);
            model_.areas.clear();
        } else {
            TRV_FUZZ_CHECK(result == 1);
            model_.areas = next;
        }
        TRV_FUZZ_CHECK(ctx().engine().store.baselineReady == 0);
    }

    void frame() {
        static const int32_t bpps[] = {0, 1, 2, 3, 4, -3, 6, 65539, 3, 3};
        static const int32_t widths[] = {10921, 10922, 10920, 65536 + 7, 65536 + 10921, 131072 + 3, 1, 2, 0, -1};
        static const int32_t heights[] = {3, 2, 1, 0, 4, 65539, 65536 + 2, -1, 32767, 32768};
        int32_t w, h, bpp;
        switch (in_.below(8)) {
            case 2: case 3:
                w = 1 + static_cast<int32_t>(in_.below(96));
                h = 1 + static_cast<int32_t>(in_.below(64));
                bpp = 3;
                break;
            case 4:
                w = 1 + static_cast<int32_t>(in_.below(96));
                h = 1 + static_cast<int32_t>(in_.below(64));
                bpp = in_.pick(bpps);
                break;
            case 5: w = in_.pick(widths); h = in_.pick(heights); bpp = 3; break;
            case 6: w = in_.i32(); h = in_.i32(); bpp = in_.i32(); break;
            case 7: w = model_.frame.width; h = model_.frame.height; bpp = in_.pick(bpps); break;  // kept size
            default: w = model_.lastW; h = model_.lastH; bpp = model_.lastBpp; break;
        }
        // The scene: a noisy background and one rectangle, in grey with a
        // tint per channel.
        const uint8_t base = in_.u8(), noise = in_.u8() % 32, value = in_.u8(), tint = in_.u8() % 16;
        const int32_t rx = in_.u8(), ry = in_.u8(), rw = in_.u8(), rh = in_.u8();
        const uint32_t flags = in_.u8();
        model_.lastW = w;
        model_.lastH = h;
        model_.lastBpp = bpp;

        // Only the geometry the frame takes decides: a frame of the stored
        // size keeps the stored 24-bit layout whatever it declares.
        const Geometry next = model_.peek(w, h, bpp);
        const bool valid = next.height >= 3 && next.width >= 1 && next.width <= 10921 && next.bpp == 3;
        // The buffer: what the geometry the frame takes covers, as a host
        // that keeps the contract passes it; for a refused frame, what its
        // declaration describes (nothing, for a size or depth of 0 or less).
        int64_t need = 0, stride = 0, depth = 3;
        if (valid) {
            stride = next.stride;
            need = stride * next.height;
        } else if (w > 0 && h > 0 && bpp > 0) {
            depth = bpp;
            stride = (static_cast<int64_t>(w) * bpp + 3) & ~int64_t{3};
            need = stride > kMaxFrameBytes ? kMaxFrameBytes + 1 : stride * h;
        }
        if (need > kMaxFrameBytes || frameBytes_ + need > kFrameByteBudget) return;

        if (valid && !model_.areas.empty() && model_.initialised && model_.storeReady) {
            int64_t work = 1;
            const int64_t perRow = static_cast<int64_t>(next.width) + 2;
            for (const AreaModel& a : model_.areas) {
                const int64_t spans = std::min<int64_t>(a.rows, 32767) + 2;
                work += model_.frontLight == 1 ? spans * perRow : spans * perRow / 9 + 1;
            }
            if (workUsed_ + work > kWorkBudget) return;
            workUsed_ += work;
        }
        frameBytes_ += need;

        std::unique_ptr<uint8_t[]> pixels(new uint8_t[static_cast<std::size_t>(need)]);
        Mix mix(flags * 131u + base);
        for (int64_t y = 0; y * stride < need; ++y) {
            uint8_t* row = pixels.get() + y * stride;
            const bool rectRow = y >= ry && y < ry + rh;
            for (int64_t col = 0, x = 0; col < stride; ++x) {
                const bool inRect = rectRow && x >= rx && x < rx + rw;
                const uint32_t grey = inRect ? value : base + (noise ? mix.next() % (noise + 1u) : 0u);
                for (int64_t channel = 0; channel < depth && col < stride; ++channel, ++col)
                    row[col] = static_cast<uint8_t>(grey + tint * channel);
            }
        }
        const std::size_t slots =
            model_.hostCount > 0 && model_.hostCount <= 32767 ? static_cast<std::size_t>(model_.hostCount) : 1;
        std::unique_ptr<int32_t[]> results(new int32_t[slots]);
        std::fill(results.get(), results.get() + slots, kSentinel);
        const bool nullPixels = (flags & 0x1F) == 0x1F, nullResults = (flags & 0x1F) == 0x1E;

        const Geometry before = model_.frame;
        const bool accepted = model_.storeReady && model_.initialised && model_.lut && !nullPixels &&
                              !nullResults && valid;
        const uint64_t refused = book_.refused();
        const int16_t result = target_.frame(nullPixels ? nullptr : pixels.get(), w, h, bpp,
                                             nullResults ? nullptr : results.get());
        const bool allocFailed = book_.refused() != refused;
        auto untouched = [&] {
            for (std::size_t i = 0; i < slots; ++i)
                if (results[i] != kSentinel) return false;
            return true;
        };

        if (!accepted) {
            TRV_FUZZ_CHECK(result == 0);
            TRV_FUZZ_CHECK(untouched());
            TRV_FUZZ_CHECK(model_.frame == before);
            return;
        }
        model_.frame = next;
        if (model_.areas.empty()) {
            TRV_FUZZ_CHECK(result == 0);
            TRV_FUZZ_CHECK(untouched());
            return;
        }
        if (model_.pending || !model_.planes || model_.planeW != next.width || model_.planeH != next.height) {
            TRV_FUZZ_CHECK(untouched());
            if (allocFailed) {  // no planes: the baseline stays pending
                TRV_FUZZ_CHECK(result == 0);
                model_.planes = false;
                return;
            }
            TRV_FUZZ_CHECK(result == 1);
            TRV_FUZZ_CHECK(ctx().engine().store.baselineReady == 1);
            model_.planes = true;
            model_.planeW = next.width;
            model_.planeH = next.height;
            model_.pending = false;
            for (AreaModel& a : model_.areas) a.wasPresent = 0;
            return;
        }
        TRV_FUZZ_CHECK(result == 1);
        const std::size_t n = model_.areas.size();
        for (std::size_t i = 0; i < slots; ++i) {
            if (i >= n) {
                TRV_FUZZ_CHECK(results[i] == kSentinel);
                continue;
            }
            TRV_FUZZ_CHECK(results[i] == 0 || results[i] == 1);
            AreaModel& a = model_.areas[i];
            if (a.verdict == Verdict::kNever) {
                TRV_FUZZ_CHECK(results[i] == 0);
                a.wasPresent = 0;
            } else if (a.verdict == Verdict::kAlways && model_.frontLight != 1) {
                if (a.wasPresent >= 0) TRV_FUZZ_CHECK(results[i] == (a.wasPresent == 0 ? 1 : 0));
                a.wasPresent = 1;
            } else {
                a.wasPresent = results[i] == 1 ? 1 : -1;
            }
        }
    }

    void setters() {
        tarvocoil::DetectorSettings& s = ctx().engine().settings;
        switch (in_.below(3)) {
            case 0: {
                const int32_t v = setting(in_);
                target_.frameCount(v);
                TRV_FUZZ_CHECK(s.getFrameCountThresh() == v);
                break;
            }
            case 1: {
                const float v = ratio(in_);
                target_.disturb(v);
                const float got = s.getTwoFramesDisturbThresh();
                TRV_FUZZ_CHECK(std::memcmp(&got, &v, sizeof v) == 0);
                break;
            }
            default: {
                int32_t v[5];
                for (int32_t& x : v) x = setting(in_);
                target_.lightParam(v[0], v[1], v[2], v[3], v[4]);
                TRV_FUZZ_CHECK(s.getLightThresh() == low16(v[0]));
                TRV_FUZZ_CHECK(s.getLightMinWidth() == low16(v[1]));
                TRV_FUZZ_CHECK(s.getLightMaxWidth() == low16(v[2]));
                TRV_FUZZ_CHECK(s.getLightMinHeight() == low16(v[3]));
                TRV_FUZZ_CHECK(s.getLightMaxHeight() == low16(v[4]));
                const uint32_t area = static_cast<uint32_t>(v[2]) * static_cast<uint32_t>(v[4]);
                TRV_FUZZ_CHECK(s.getLightMaxArea() == low16(area));
                break;
            }
        }
    }

    void frontLight() {
        static const int32_t values[] = {1, 1, 0, 2, -1};
        const int32_t v = in_.below(4) == 0 ? in_.i32() : in_.pick(values);
        target_.frontLight(v);
        model_.frontLight = v;
        TRV_FUZZ_CHECK(ctx().engine().settings.getUseFrontLightTrigger() == v);
    }

    void allocPlan() {
        switch (in_.below(4)) {
            case 0: book_.failNth(in_.below(16)); break;
            case 1: book_.failAll(true); break;
            case 2: book_.failNone(); break;
            default: book_.failAbove(std::size_t{1} << in_.below(24)); break;
        }
    }

    void invariants() {
        tarvocoil::Context& c = ctx();
        const tarvocoil::Engine& e = c.engine();
        TRV_FUZZ_CHECK(c.initialised() == model_.initialised);
        TRV_FUZZ_CHECK((c.storeReady() != 0) == model_.storeReady);
        TRV_FUZZ_CHECK(c.resultsBusy() == 0);
        TRV_FUZZ_CHECK(e.store.count() == static_cast<int32_t>(model_.areas.size()));
        TRV_FUZZ_CHECK(e.store.areasSet == (model_.areas.empty() ? 0 : 1));
        const Geometry kept{e.inputFrame.width, e.inputFrame.height, e.inputFrame.bytesPerPixel, e.inputFrame.stride};
        TRV_FUZZ_CHECK(kept == model_.frame);
        TRV_FUZZ_CHECK(e.planes.ready() == model_.planes);
        if (model_.planes) {
            for (const tarvocoil::ImagePlane* p : e.planes.slot)
                TRV_FUZZ_CHECK(p->width == model_.planeW && p->height == model_.planeH && p->bytesPerPixel == 1);
        } else {
            for (const tarvocoil::ImagePlane* p : e.planes.slot) TRV_FUZZ_CHECK(p == nullptr);
        }
        if (target_.exports()) return;
        TRV_FUZZ_CHECK(!book_.badRelease());
        if (!model_.initialised) {
            TRV_FUZZ_CHECK(book_.liveBlocks() == 0);
            return;
        }
        // Live memory is what the instance needs now, not what it once had
        // (the fixed part: the grey table, and room for an index of the fill
        // stack by row, one int32 per possible row).
        std::size_t bound = 4096 + (std::size_t{1} << 18) + (model_.lut ? std::size_t{1} << 21 : 0);
        if (model_.planes) {
            const std::size_t plane = static_cast<std::size_t>(e.planes.slot[0]->stride) * model_.planeH;
            bound += 3 * (plane + 64) + 32 * (static_cast<std::size_t>(model_.planeW) * model_.planeH + 128);
        }
        for (const AreaModel& a : model_.areas) bound += static_cast<std::size_t>(a.rows) * 12 + 128;
        bound += 16 * e.store.capacity();
        TRV_FUZZ_CHECK(e.store.capacity() <= 32768);
        TRV_FUZZ_CHECK(book_.liveBytes() <= bound);
    }

    void finish() {
        if (target_.exports()) {
            TRVCoilRelease();
            loadTimeSettings();
            return;
        }
        target_.destroy();
        TRV_FUZZ_CHECK(book_.liveBlocks() == 0 && !book_.badRelease());
    }

    Reader& in_;
    AllocBook book_;
    Target target_;
    Model model_;
    int64_t rowsUsed_ = 0;
    int64_t workUsed_ = 0;
    int64_t frameBytes_ = 0;
    int tableBuilds_ = 0;
};

}  // namespace calls_detail

inline void RunCallsInput(const uint8_t* data, std::size_t size) {
    Reader in(data, size);
    const uint8_t mode = in.u8();
    calls_detail::Run run(in, (mode & 1) != 0, (mode >> 1) & 3u);
    run.go();
}

}  // namespace trvfuzz

#endif
