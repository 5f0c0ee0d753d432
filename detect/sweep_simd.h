// sweep_simd.h - the vector sweep, written once over a set of vector
// operations. Included only by the x86 kernel files (sweep_sse2.cpp,
// sweep_avx2.cpp), each compiled with its own instruction-set flags.
//
// Everything here lives in an unnamed namespace and uses no inline function
// of the shared headers: a function compiled with AVX2 enabled must never
// be merged with, and then stand in for, the copy another file compiled
// for plain SSE2.
//
// One vector holds one byte per sample: S samples of one grid row side by
// side. The neighbourhoods of neighbouring samples do not overlap, so the
// three rows of a grid row's neighbourhoods are 9 * S consecutive bytes
// each, and every pixel is turned into grey once. The operations type
// supplies the medians of S samples (Ops::medians: the exact greys of the
// nine pixels of each sample, sorted per row, then the median network);
// TransposeChunk below is the SSE2 one, sweep_avx2.cpp has a byte-shuffle
// one. psadbw gives the three sums in 64-bit lanes.
//
// A row's last, partial vector is shifted left to end on the row's last
// sample (for a short row, to before its first sample); the lanes already
// done or outside the row are masked out of the sums and of the plane
// writes. With AVX2 the rest of each row after its full 32-sample vectors
// goes in 16-sample windows, two to a vector, so that short rows share
// vectors. Only near the frame's left edge, where no shifted vector fits,
// do samples go through a small zero-padded copy on the stack. Nothing is
// allocated.
#ifndef TARVOCOIL_DETECT_SWEEP_SIMD_H
#define TARVOCOIL_DETECT_SWEEP_SIMD_H

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "detect/sweep.h"
#include "image/grey_exact.h"
#include "image/median_network.h"

namespace tarvocoil {
namespace {  // one private copy per instruction set (see above)

// How many grid rows ahead the sweep asks for the bytes it will read (one
// measured best on 1920x1080 areas; two helps 352x288 a little).
constexpr int32_t kPrefetchRows = 1;

// Bytes 0..31 are 0, 32..63 are 0xFF: 16 or 32 bytes loaded from 32 - skip
// clear the first skip lanes.
alignas(64) const uint8_t kLaneMask[64] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// 128-bit operations with SSE2 only. Plane bytes every third column are
// moved one by one (SSE2 has no byte shuffle).
struct Sse2Ops {
    using V = __m128i;
    static constexpr int kLanes = 16;

    static V zero() { return _mm_setzero_si128(); }
    static V set8(char v) { return _mm_set1_epi8(v); }
    static V set32(int32_t v) { return _mm_set1_epi32(v); }
    static V load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void store(uint8_t* p, V v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    // The 16 bytes at p, one sample's neighbourhood row (and 7 bytes more).
    static V loadGroup(const uint8_t* p) { return load(p); }
    static V laneMask(int skip) { return load(kLaneMask + 32 - skip); }

    static V lo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
    static V hi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
    static V lo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
    static V hi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
    static V lo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
    static V hi32(V a, V b) { return _mm_unpackhi_epi32(a, b); }
    static V lo64(V a, V b) { return _mm_unpacklo_epi64(a, b); }
    static V hi64(V a, V b) { return _mm_unpackhi_epi64(a, b); }
    static V and_(V a, V b) { return _mm_and_si128(a, b); }
    static V madd(V a, V b) { return _mm_madd_epi16(a, b); }
    static V add32(V a, V b) { return _mm_add_epi32(a, b); }
    static V add64(V a, V b) { return _mm_add_epi64(a, b); }
    static V srl15(V a) { return _mm_srli_epi32(a, 15); }
    static V srl12(V a) { return _mm_srli_epi32(a, 12); }
    static V packs32(V a, V b) { return _mm_packs_epi32(a, b); }
    static V packus16(V a, V b) { return _mm_packus_epi16(a, b); }
    static V min(V a, V b) { return _mm_min_epu8(a, b); }
    static V max(V a, V b) { return _mm_max_epu8(a, b); }
    static V sad(V a, V b) { return _mm_sad_epu8(a, b); }
    static uint64_t sum64(V v) {
        alignas(16) uint64_t lanes[2];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
        return lanes[0] + lanes[1];
    }

    // Bytes p[0], p[3], ..., p[45].
    static V loadEvery3(const uint8_t* p) {
        alignas(16) uint8_t t[16];
        for (int s = 0; s < 16; ++s) t[s] = p[3 * s];
        return _mm_load_si128(reinterpret_cast<const __m128i*>(t));
    }
    // p[3 * s] = lane s for the lanes s = 0..15 whose keep byte is set.
    static void storeEvery3(uint8_t* p, V v, V keep) {
        alignas(16) uint8_t t[16], k[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(t), v);
        _mm_store_si128(reinterpret_cast<__m128i*>(k), keep);
        for (int s = 0; s < 16; ++s)
            if (k[s]) p[3 * s] = t[s];
    }

    // The medians of 16 samples (below).
    static V medians(const uint8_t* p, ptrdiff_t stride);
};

// The medians by transposition, with SSE2 alone (it has no byte shuffle):
//   1. load 16 bytes at each sample's left neighbour (9 bytes apart) and
//      transpose them, so that vector k holds byte k of every sample's
//      three pixels (k = 0..8);
//   2. compute the exact grey of each pixel column in 32-bit lanes (the
//      split form of grey_exact.h, four multiply-adds per four pixels);
//   3. sort each sample's three greys of the row; after three rows the
//      median network gives the medians.
template <class O>
struct TransposeChunk {
    using V = typename O::V;

    // The exact greys of S pixels whose bytes 0, 1, 2 lie in b, g, r.
    static V quarterGrey(V bg, V r1) {
        using namespace grey_exact;
        const V highBG = O::set32((kHigh1 << 16) | kHigh0);
        const V highR = O::set32((kHighRound << 16) | kHigh2);
        const V lowBG = O::set32((kLow1 << 16) | kLow0);
        const V lowR = O::set32(kLow2);
        const V high = O::add32(O::madd(bg, highBG), O::madd(r1, highR));
        const V low = O::add32(O::madd(bg, lowBG), O::madd(r1, lowR));
        return O::srl12(O::add32(high, O::srl15(low)));
    }

    static V grey(V b, V g, V r) {
        const V z = O::zero();
        const V one = O::set8(1);
        // Words (b, g) and (r, 1) side by side in each 32-bit lane, so that
        // one multiply-add gives b*wb + g*wg and another r*wr + rounding.
        const V bgLo = O::lo8(b, g), bgHi = O::hi8(b, g);
        const V r1Lo = O::lo8(r, one), r1Hi = O::hi8(r, one);
        const V q0 = quarterGrey(O::lo8(bgLo, z), O::lo8(r1Lo, z));
        const V q1 = quarterGrey(O::hi8(bgLo, z), O::hi8(r1Lo, z));
        const V q2 = quarterGrey(O::lo8(bgHi, z), O::lo8(r1Hi, z));
        const V q3 = quarterGrey(O::hi8(bgHi, z), O::hi8(r1Hi, z));
        return O::packus16(O::packs32(q0, q1), O::packs32(q2, q3));
    }

    // out[c]: the grey of each sample's pixel c (0 left, 1 centre, 2 right)
    // on one row; p is the first byte of sample 0's left neighbour.
    static void columnGreys(const uint8_t* p, V out[3]) {
        V x[16];
        for (int i = 0; i < 16; ++i) x[i] = O::loadGroup(p + 9 * i);
        // Transpose: afterwards t[k] holds byte k of every sample's 9 bytes.
        // Stage 1: byte pairs of two samples (bytes 0..7, and 8..15).
        V pairLo[8], pairHi[8];
        for (int i = 0; i < 8; ++i) {
            pairLo[i] = O::lo8(x[2 * i], x[2 * i + 1]);
            pairHi[i] = O::hi8(x[2 * i], x[2 * i + 1]);
        }
        // Stage 2: four samples; bytes 0..3, 4..7 and 8..11.
        V q03[4], q47[4], q8[4];
        for (int g = 0; g < 4; ++g) {
            q03[g] = O::lo16(pairLo[2 * g], pairLo[2 * g + 1]);
            q47[g] = O::hi16(pairLo[2 * g], pairLo[2 * g + 1]);
            q8[g] = O::lo16(pairHi[2 * g], pairHi[2 * g + 1]);
        }
        // Stage 3: eight samples; two bytes per vector.
        V o01[2], o23[2], o45[2], o67[2], o8[2];
        for (int h = 0; h < 2; ++h) {
            o01[h] = O::lo32(q03[2 * h], q03[2 * h + 1]);
            o23[h] = O::hi32(q03[2 * h], q03[2 * h + 1]);
            o45[h] = O::lo32(q47[2 * h], q47[2 * h + 1]);
            o67[h] = O::hi32(q47[2 * h], q47[2 * h + 1]);
            o8[h] = O::lo32(q8[2 * h], q8[2 * h + 1]);
        }
        // Stage 4: all sixteen samples.
        V t[9];
        t[0] = O::lo64(o01[0], o01[1]);
        t[1] = O::hi64(o01[0], o01[1]);
        t[2] = O::lo64(o23[0], o23[1]);
        t[3] = O::hi64(o23[0], o23[1]);
        t[4] = O::lo64(o45[0], o45[1]);
        t[5] = O::hi64(o45[0], o45[1]);
        t[6] = O::lo64(o67[0], o67[1]);
        t[7] = O::hi64(o67[0], o67[1]);
        t[8] = O::lo64(o8[0], o8[1]);
        // The table drops each byte's lowest bit.
        const V even = O::set8(static_cast<char>(0xFE));
        for (int k = 0; k < 9; ++k) t[k] = O::and_(t[k], even);
        out[0] = grey(t[0], t[1], t[2]);
        out[1] = grey(t[3], t[4], t[5]);
        out[2] = grey(t[6], t[7], t[8]);
    }

    static SortedTriple<O> rowGreys(const uint8_t* p) {
        V g[3];
        columnGreys(p, g);
        return SortTriple<O>(g[0], g[1], g[2]);
    }

    // S medians; p as for rowGreys on the row above the grid row.
    static V medians(const uint8_t* p, ptrdiff_t stride) {
        const SortedTriple<O> above = rowGreys(p);
        const SortedTriple<O> centre = rowGreys(p + stride);
        const SortedTriple<O> below = rowGreys(p + 2 * stride);
        return MedianOfTriples<O>(above, centre, below);
    }
};

inline Sse2Ops::V Sse2Ops::medians(const uint8_t* p, ptrdiff_t stride) {
    return TransposeChunk<Sse2Ops>::medians(p, stride);
}

// Sums of one vector width, in 64-bit lanes.
template <class O>
struct SimdSums {
    typename O::V grey = O::zero(), bg = O::zero(), prev = O::zero();
};

// Grid arithmetic, kept local for the reason given at the top.
struct SimdGridRow {
    int32_t y, a, b;
};

inline SimdGridRow simdGridRow(const RowSpan& span, int32_t w, int32_t h) {
    SimdGridRow g;
    g.y = span.y;
    if (g.y <= 1) g.y = 1;
    if (g.y >= h - 2) g.y = h - 2;
    const int32_t l = span.left > 1 ? span.left : 1;
    const int32_t r = span.right < w - 2 ? span.right : w - 2;
    g.a = 3 * (l / 3);
    if (g.a == 0) g.a = 3;
    g.b = 3 * (r / 3);
    return g;
}

// No pairing of 16-sample windows (see SimdSweep).
struct NoPairs {};

// Wide: vectors of one row's samples. Narrow: 16-sample vectors for what
// is left of a row. Pair (optional): two 16-sample windows, from anywhere
// in the area, in one vector; then the rest of every row is cut into
// windows and they are paired, so that short rows share vectors.
template <class Wide, class Narrow, class Pair, bool kBaseline>
struct SimdSweep {
    static constexpr int kWide = Wide::kLanes;
    static constexpr int kNarrow = Narrow::kLanes;
    static constexpr bool kPairs = !std::is_same<Pair, NoPairs>::value;
    // A zero-padded copy of one row's bytes for kNarrow samples, with room
    // for the 4 bytes vector loads may read before the first sample's left
    // neighbour and the 7 after the last sample's right neighbour.
    static constexpr int kTailPad = 16;
    static constexpr int kTailRow = kTailPad + 9 * kNarrow + 32;

    const SweepInput& in;
    ptrdiff_t stride;
    SimdSums<Wide> wide;
    SimdSums<Narrow> narrow;
    uint64_t greySum = 0, bgDiffSum = 0, prevDiffSum = 0, samples = 0;

    // Row state: the top-left neighbour of sample 0, and its plane offset.
    const uint8_t* top = nullptr;
    ptrdiff_t plane = 0;

    // A window waiting for its partner (with Pair only).
    bool waiting = false;
    const uint8_t* waitTop = nullptr;
    ptrdiff_t waitPlane = 0;
    int waitSkip = 0;

    explicit SimdSweep(const SweepInput& input) : in(input), stride(input.frame->stride) {}

    // Samples s0 .. s0 + S - 1 of the row; the first `skip` lanes are done
    // already, or lie left of the row's first sample (s0 < 0): they stay
    // out of the sums and their plane bytes are not written.
    template <class O>
    void chunk(SimdSums<O>& acc, int32_t s0, int skip) {
        using V = typename O::V;
        const V m = O::medians(top + 9 * static_cast<ptrdiff_t>(s0), stride);
        const ptrdiff_t at = plane + 3 * static_cast<ptrdiff_t>(s0);
        const V keep = O::laneMask(skip);
        const V counted = O::and_(m, keep);
        acc.grey = O::add64(acc.grey, O::sad(counted, O::zero()));
        if (kBaseline) {
            O::storeEvery3(in.current + at, m, keep);
            O::storeEvery3(in.previous + at, m, keep);
            O::storeEvery3(in.background + at, m, keep);
        } else {
            const V bg = O::and_(O::loadEvery3(in.background + at), keep);
            const V prev = O::and_(O::loadEvery3(in.previous + at), keep);
            O::storeEvery3(in.current + at, m, keep);
            acc.bg = O::add64(acc.bg, O::sad(counted, bg));
            acc.prev = O::add64(acc.prev, O::sad(counted, prev));
        }
    }

    // Two windows of 16 samples (frame bytes from ta and tb, plane offsets
    // pa and pb), their first ka and kb lanes left out. The halves' plane
    // bytes are written one after the other, so windows that overlap, or
    // repeat a row, leave the same bytes as the reference.
    template <class P = Pair>
    void pairChunk(const uint8_t* ta, ptrdiff_t pa, int ka, const uint8_t* tb, ptrdiff_t pb, int kb) {
        using V = typename P::V;
        const V m = P::pairMedians(ta, tb, stride);
        const V keep = P::laneMask2(ka, kb);
        const V counted = P::and_(m, keep);
        wide.grey = P::add64(wide.grey, P::sad(counted, P::zero()));
        if (kBaseline) {
            P::storeEvery3x2(in.current + pa, in.current + pb, m, keep);
            P::storeEvery3x2(in.previous + pa, in.previous + pb, m, keep);
            P::storeEvery3x2(in.background + pa, in.background + pb, m, keep);
        } else {
            const V bg = P::and_(P::loadEvery3x2(in.background + pa, in.background + pb), keep);
            const V prev = P::and_(P::loadEvery3x2(in.previous + pa, in.previous + pb), keep);
            P::storeEvery3x2(in.current + pa, in.current + pb, m, keep);
            wide.bg = P::add64(wide.bg, P::sad(counted, bg));
            wide.prev = P::add64(wide.prev, P::sad(counted, prev));
        }
    }

    // Samples s0 .. s0 + 15 of the current row as a window.
    void window(int32_t s0, int skip) {
        const uint8_t* t = top + 9 * static_cast<ptrdiff_t>(s0);
        const ptrdiff_t p = plane + 3 * static_cast<ptrdiff_t>(s0);
        if (!waiting) {
            waiting = true;
            waitTop = t;
            waitPlane = p;
            waitSkip = skip;
            return;
        }
        waiting = false;
        pairChunk(waitTop, waitPlane, waitSkip, t, p, skip);
    }

    // A window left alone goes with a copy of itself that counts nothing.
    void flushWindow() {
        if (!waiting) return;
        waiting = false;
        pairChunk(waitTop, waitPlane, waitSkip, waitTop, waitPlane, 16);
    }

    // Samples s0 .. s0 + count - 1 (count <= kNarrow) through a padded copy.
    void tail(int32_t s0, int32_t count) {
        alignas(16) uint8_t rows[3 * kTailRow + kTailPad];
        std::memset(rows, 0, sizeof rows);
        const uint8_t* src = top + 9 * static_cast<ptrdiff_t>(s0);
        for (int r = 0; r < 3; ++r) std::memcpy(rows + kTailPad + r * kTailRow, src + r * stride, static_cast<size_t>(9 * count));
        alignas(16) uint8_t m[kNarrow];
        Narrow::store(m, Narrow::medians(rows + kTailPad, kTailRow));
        uint8_t* cur = in.current + plane + 3 * static_cast<ptrdiff_t>(s0);
        uint8_t* prevRow = in.previous + plane + 3 * static_cast<ptrdiff_t>(s0);
        uint8_t* bgRow = in.background + plane + 3 * static_cast<ptrdiff_t>(s0);
        for (int32_t s = 0; s < count; ++s) {
            const uint32_t g = m[s];
            greySum += g;
            if (kBaseline) {
                cur[3 * s] = m[s];
                prevRow[3 * s] = m[s];
                bgRow[3 * s] = m[s];
            } else {
                const uint32_t bg = bgRow[3 * s], prev = prevRow[3 * s];
                cur[3 * s] = m[s];
                bgDiffSum += g > bg ? g - bg : bg - g;
                prevDiffSum += g > prev ? g - prev : prev - g;
            }
        }
    }

    // Samples [done, n) of the row that starts at column a, in vectors of
    // O. The last vector is shifted left to end on sample n - 1, even to
    // before the row's first sample, as long as its first lane's left
    // neighbour stays at column 2 or more: the loads may start up to 4
    // bytes before it.
    template <class O>
    int32_t vectors(SimdSums<O>& acc, int32_t a, int32_t done, int32_t n) {
        constexpr int32_t S = O::kLanes;
        for (; done + S <= n; done += S) chunk<O>(acc, done, 0);
        const int32_t s0 = n - S;
        if (done < n && a + 3 * s0 >= 3) {
            chunk<O>(acc, s0, static_cast<int>(done - s0));
            done = n;
        }
        return done;
    }

    void row(const SimdGridRow& g) {
        const int32_t n = (g.b - g.a + 2) / 3;
        samples += static_cast<uint64_t>(n);
        top = in.frame->pixels + (g.y - 1) * stride + 3 * static_cast<ptrdiff_t>(g.a - 1);
        plane = static_cast<ptrdiff_t>(g.y) * in.planeStride + g.a;
        // A vector's loads reach from 4 bytes before its first lane's left
        // neighbour to 7 bytes after its last lane's right neighbour. The
        // last grid column lies at most at w - 5 (it is below b, a
        // multiple of 3 no larger than w - 2), so even on the frame's last
        // row the loads end inside that row's pixels; and the first lane's
        // left neighbour lies at column 2 or more (see vectors()). Vector
        // loads thus never leave the host's buffer.
        int32_t done = 0;
        if constexpr (kPairs) {
            for (; done + kWide <= n; done += kWide) chunk<Wide>(wide, done, 0);
            for (; done + 16 <= n; done += 16) window(done, 0);
            const int32_t s0 = n - 16;
            if (done < n && g.a + 3 * s0 >= 3) {
                window(s0, static_cast<int>(done - s0));
                done = n;
            }
        } else {
            done = vectors<Wide>(wide, g.a, 0, n);
            if (kNarrow != kWide) done = vectors<Narrow>(narrow, g.a, done, n);
        }
        for (; done < n; done += kNarrow) tail(done, n - done < kNarrow ? n - done : kNarrow);
    }

    // Asks for the frame and plane bytes of a later grid row, so that they
    // arrive from memory while this one is computed: an area's short runs
    // per row are too short for the hardware prefetchers, and one vector's
    // work is longer than the window in which the core runs ahead to later
    // loads. (Always inlined: GCC finds that a function doing nothing but
    // prefetch has no effect and drops the calls.)
    __attribute__((always_inline)) void prefetch(const SimdGridRow& g) {
        if (g.a >= g.b) return;
        const ptrdiff_t n = (g.b - g.a + 2) / 3;
        const ptrdiff_t bytes = 9 * n + 8;  // what the loads of the row read
        const uint8_t* first = in.frame->pixels + (g.y - 1) * stride + 3 * static_cast<ptrdiff_t>(g.a - 1) - 4;
        for (int r = 0; r < 3; ++r) {
            const uint8_t* row = first + r * stride;
            for (ptrdiff_t o = 0; o < bytes; o += 64) _mm_prefetch(reinterpret_cast<const char*>(row + o), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(row + bytes - 1), _MM_HINT_T0);
        }
        const ptrdiff_t at = static_cast<ptrdiff_t>(g.y) * in.planeStride + g.a;
        uint8_t* const planes[3] = {in.current, in.previous, in.background};
        for (int p = 0; p < 3; ++p) {
            const uint8_t* row = planes[p] + at;
            for (ptrdiff_t o = 0; o < 3 * n; o += 64) _mm_prefetch(reinterpret_cast<const char*>(row + o), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(row + 3 * n - 1), _MM_HINT_T0);
        }
    }

    void run(SweepSums& sums) {
        const int32_t w = in.frame->width, h = in.frame->height;
        const int32_t count = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(in.spans->count)));
        const int32_t ahead = 3 * kPrefetchRows;
        for (int32_t k = 0; k < ahead && k < count; k += 3) prefetch(simdGridRow(in.spans->spans[k], w, h));
        for (int32_t k = 0; k < count; k += 3) {
            if (k + ahead < count) prefetch(simdGridRow(in.spans->spans[k + ahead], w, h));
            const SimdGridRow g = simdGridRow(in.spans->spans[k], w, h);
            if (g.a < g.b) row(g);
        }
        if constexpr (kPairs) flushWindow();
        greySum += Wide::sum64(wide.grey) + Narrow::sum64(narrow.grey);
        bgDiffSum += Wide::sum64(wide.bg) + Narrow::sum64(narrow.bg);
        prevDiffSum += Wide::sum64(wide.prev) + Narrow::sum64(narrow.prev);
        sums.greySum += static_cast<int64_t>(greySum);
        sums.bgDiffSum += static_cast<int64_t>(bgDiffSum);
        sums.prevDiffSum += static_cast<int64_t>(prevDiffSum);
        sums.samples += static_cast<int64_t>(samples);
    }
};

template <class Wide, class Narrow, class Pair = NoPairs>
void SimdBaseline(const SweepInput& in, SweepSums& sums) {
    SimdSweep<Wide, Narrow, Pair, true>(in).run(sums);
}

template <class Wide, class Narrow, class Pair = NoPairs>
void SimdPresence(const SweepInput& in, SweepSums& sums) {
    SimdSweep<Wide, Narrow, Pair, false>(in).run(sums);
}

// The light mask of 48 pixels from p with SSE2 alone: the greys of 16
// groups of three pixels, compared with t (the threshold clamped into
// 0..255, which keeps the signed comparison's answer for every grey), put
// back into pixel order one byte at a time.
inline void LightMask48Sse2(const uint8_t* p, __m128i t, uint8_t* out) {
    __m128i g[3];
    TransposeChunk<Sse2Ops>::columnGreys(p, g);
    alignas(16) uint8_t mask[3][16];
    const __m128i ones = _mm_set1_epi8(-1);
    for (int c = 0; c < 3; ++c)
        _mm_store_si128(reinterpret_cast<__m128i*>(mask[c]),
                        _mm_xor_si128(_mm_cmpeq_epi8(_mm_max_epu8(g[c], t), g[c]), ones));
    for (int s = 0; s < 16; ++s) {
        out[3 * s] = mask[0][s];
        out[3 * s + 1] = mask[1][s];
        out[3 * s + 2] = mask[2][s];
    }
}

}  // namespace
}  // namespace tarvocoil

#endif
