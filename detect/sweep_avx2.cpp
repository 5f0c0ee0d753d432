// sweep_avx2.cpp - the vector sweeps with AVX2, thirty-two samples per
// vector: one row's samples, or two 16-sample windows (the rest of a row,
// short rows) side by side. Compiled with -mavx2 (cmake/Kernels.cmake) and
// offered by kernels.cpp only when the CPU reports AVX2. The SSSE3/SSE4.1
// byte shuffles that AVX2 implies also move the plane bytes every third
// column.
#include "detect/kernel_sets.h"

#if defined(TARVOCOIL_KERNELS_AVX2)

#include <immintrin.h>

#include "detect/sweep_simd.h"

namespace tarvocoil {

namespace {

constexpr char X = static_cast<char>(0x80);  // pshufb: a zero byte

// pshufb tables that take every third byte, starting at byte c, out of 48
// bytes held in three vectors A, B, C: table[c][v][s] picks lane s from
// vector v (0 = A, 1 = B, 2 = C), or zero.
struct ColumnTables {
    alignas(16) char t[3][3][16];
};
constexpr ColumnTables makeColumnTables() {
    ColumnTables tables{};
    for (int c = 0; c < 3; ++c)
        for (int s = 0; s < 16; ++s) {
            const int q = 3 * s + c;
            for (int v = 0; v < 3; ++v) tables.t[c][v][s] = q / 16 == v ? static_cast<char>(q % 16) : X;
        }
    return tables;
}
constexpr ColumnTables kColumns = makeColumnTables();

inline __m128i columnTable(int c, int v) { return _mm_load_si128(reinterpret_cast<const __m128i*>(kColumns.t[c][v])); }

// The greys of a row's pixels in pixel order, then split into the three
// pixel columns of the samples. Each group of pixels (4 per 128 bits) is
// shuffled into 32-bit lanes holding the words (b, g) and (r, 0); four
// multiply-adds give the split sums of grey_exact.h.
template <class O>
struct ShuffleChunk {
    using V = typename O::V;

    using Src = typename O::Src;

    // The greys, in pixel order, of the 4 groups of pixels from group j0.
    static V groupGreys(const Src& p, int j0) {
        using namespace grey_exact;
        const V even = O::set8(static_cast<char>(0xFE));
        const V highBG = O::set32((kHigh1 << 16) | kHigh0), highR = O::set32(kHigh2);
        const V lowBG = O::set32((kLow1 << 16) | kLow0), lowR = O::set32(kLow2);
        const V round = O::set32(kHighRound);
        V g[4];
        for (int j = 0; j < 4; ++j) {
            const V x = O::and_(O::loadPixels(p, j0 + j), even);
            const V bg = O::shuffleBG(x), r = O::shuffleR(x);
            const V high = O::add32(O::add32(O::madd(bg, highBG), O::madd(r, highR)), round);
            const V low = O::add32(O::madd(bg, lowBG), O::madd(r, lowR));
            g[j] = O::srl12(O::add32(high, O::srl15(low)));
        }
        return O::inPixelOrder(O::packus16(O::packs32(g[0], g[1]), O::packs32(g[2], g[3])));
    }

    // out[c] lane s: the grey of pixel 3s + c from p's first pixel.
    static void rowGreys(const Src& p, V out[3]) {
        const V bytes[3] = {groupGreys(p, 0), groupGreys(p, 4), groupGreys(p, 8)};
        O::splitColumns(bytes, out);
    }

    static V medians(const Src& p, ptrdiff_t stride) {
        V a[3], b[3], c[3];
        rowGreys(p, a);
        rowGreys(O::advance(p, stride), b);
        rowGreys(O::advance(p, 2 * stride), c);
        return MedianOfTriples<O>(SortTriple<O>(a[0], a[1], a[2]), SortTriple<O>(b[0], b[1], b[2]),
                                  SortTriple<O>(c[0], c[1], c[2]));
    }
};

// 128 bits, with byte shuffles: 16 samples, pixels 4 at a time.
struct Sse41Ops : Sse2Ops {
    using Src = const uint8_t*;
    static Src advance(Src p, ptrdiff_t bytes) { return p + bytes; }
    // Pixels 4j .. 4j + 3 (bytes 12j .. 12j + 11, and 4 more).
    static V loadPixels(const uint8_t* p, int j) { return load(p + 12 * j); }
    static V shuffleBG(V x) { return _mm_shuffle_epi8(x, _mm_setr_epi8(0, X, 1, X, 3, X, 4, X, 6, X, 7, X, 9, X, 10, X)); }
    static V shuffleR(V x) { return _mm_shuffle_epi8(x, _mm_setr_epi8(2, X, X, X, 5, X, X, X, 8, X, X, X, 11, X, X, X)); }
    static V inPixelOrder(V v) { return v; }
    static V darkMask(V g, V t) { return _mm_xor_si128(_mm_cmpeq_epi8(_mm_max_epu8(g, t), g), _mm_set1_epi8(-1)); }
    static V column(V a, V b, V c, int col) {
        return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, columnTable(col, 0)), _mm_shuffle_epi8(b, columnTable(col, 1))),
                            _mm_shuffle_epi8(c, columnTable(col, 2)));
    }
    static void splitColumns(const V bytes[3], V out[3]) {
        for (int c = 0; c < 3; ++c) out[c] = column(bytes[0], bytes[1], bytes[2], c);
    }
    static V medians(const uint8_t* p, ptrdiff_t stride) { return ShuffleChunk<Sse41Ops>::medians(p, stride); }

    // Bytes p[0], p[3], ..., p[45].
    static V loadEvery3(const uint8_t* p) { return column(load(p), load(p + 16), load(p + 32), 0); }
    // p[3 * s] = lane s for the lanes whose keep byte is set; the bytes
    // between keep their values.
    static void storeEvery3(uint8_t* p, V v, V keep) {
        const V s0 = _mm_setr_epi8(0, X, X, 1, X, X, 2, X, X, 3, X, X, 4, X, X, 5);
        const V s1 = _mm_setr_epi8(X, X, 6, X, X, 7, X, X, 8, X, X, 9, X, X, 10, X);
        const V s2 = _mm_setr_epi8(X, 11, X, X, 12, X, X, 13, X, X, 14, X, X, 15, X, X);
        store(p, _mm_blendv_epi8(load(p), _mm_shuffle_epi8(v, s0), _mm_shuffle_epi8(keep, s0)));
        store(p + 16, _mm_blendv_epi8(load(p + 16), _mm_shuffle_epi8(v, s1), _mm_shuffle_epi8(keep, s1)));
        store(p + 32, _mm_blendv_epi8(load(p + 32), _mm_shuffle_epi8(v, s2), _mm_shuffle_epi8(keep, s2)));
    }
};

struct Avx2Ops {
    using V = __m256i;
    using Src = const uint8_t*;
    static constexpr int kLanes = 32;
    static Src advance(Src p, ptrdiff_t bytes) { return p + bytes; }

    static V zero() { return _mm256_setzero_si256(); }
    static V set8(char v) { return _mm256_set1_epi8(v); }
    static V set32(int32_t v) { return _mm256_set1_epi32(v); }
    static void store(uint8_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    static V darkMask(V g, V t) {
        return _mm256_xor_si256(_mm256_cmpeq_epi8(_mm256_max_epu8(g, t), g), _mm256_set1_epi8(-1));
    }
    static V laneMask(int skip) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLaneMask + 32 - skip));
    }
    // Pixels 8j .. 8j + 7: one load from 4 bytes before pixel 8j puts
    // pixels 8j .. 8j + 3 at bytes 4..15 of the lower half and the next
    // four at bytes 0..11 of the upper half. (The first sample's left
    // neighbour lies at column 2 or more, so p - 4 is inside the row.)
    static V loadPixels(const uint8_t* p, int j) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 24 * j - 4));
    }
    static V shuffleBG(V x) {
        return _mm256_shuffle_epi8(x, _mm256_setr_epi8(4, X, 5, X, 7, X, 8, X, 10, X, 11, X, 13, X, 14, X,  //
                                                       0, X, 1, X, 3, X, 4, X, 6, X, 7, X, 9, X, 10, X));
    }
    static V shuffleR(V x) {
        return _mm256_shuffle_epi8(x, _mm256_setr_epi8(6, X, X, X, 9, X, X, X, 12, X, X, X, 15, X, X, X,  //
                                                       2, X, X, X, 5, X, X, X, 8, X, X, X, 11, X, X, X));
    }
    // The packs leave 4-pixel runs in the order 0 2 4 6 | 1 3 5 7.
    static V inPixelOrder(V v) { return _mm256_permutevar8x32_epi32(v, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)); }
    // bytes: pixels 0..31, 32..63, 64..95. Samples 0..15 (pixels 0..47) go
    // to the lower halves, samples 16..31 (pixels 48..95) to the upper.
    static void splitColumns(const V bytes[3], V out[3]) {
        const V a = _mm256_permute2x128_si256(bytes[0], bytes[1], 0x30);  // pixels 0..15 | 48..63
        const V b = _mm256_permute2x128_si256(bytes[0], bytes[2], 0x21);  // 16..31 | 64..79
        const V c = _mm256_permute2x128_si256(bytes[1], bytes[2], 0x30);  // 32..47 | 80..95
        for (int col = 0; col < 3; ++col) {
            const V ta = _mm256_broadcastsi128_si256(columnTable(col, 0));
            const V tb = _mm256_broadcastsi128_si256(columnTable(col, 1));
            const V tc = _mm256_broadcastsi128_si256(columnTable(col, 2));
            out[col] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(a, ta), _mm256_shuffle_epi8(b, tb)),
                                       _mm256_shuffle_epi8(c, tc));
        }
    }
    static V medians(const uint8_t* p, ptrdiff_t stride) { return ShuffleChunk<Avx2Ops>::medians(p, stride); }

    static V and_(V a, V b) { return _mm256_and_si256(a, b); }
    static V madd(V a, V b) { return _mm256_madd_epi16(a, b); }
    static V add32(V a, V b) { return _mm256_add_epi32(a, b); }
    static V add64(V a, V b) { return _mm256_add_epi64(a, b); }
    static V srl15(V a) { return _mm256_srli_epi32(a, 15); }
    static V srl12(V a) { return _mm256_srli_epi32(a, 12); }
    static V packs32(V a, V b) { return _mm256_packs_epi32(a, b); }
    static V packus16(V a, V b) { return _mm256_packus_epi16(a, b); }
    static V min(V a, V b) { return _mm256_min_epu8(a, b); }
    static V max(V a, V b) { return _mm256_max_epu8(a, b); }
    static V sad(V a, V b) { return _mm256_sad_epu8(a, b); }
    static uint64_t sum64(V v) {
        const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        return static_cast<uint64_t>(_mm_cvtsi128_si64(s)) + static_cast<uint64_t>(_mm_extract_epi64(s, 1));
    }

    // Samples 0..15 from the first 48 bytes, 16..31 from the next 48.
    static V loadEvery3(const uint8_t* p) {
        return _mm256_inserti128_si256(_mm256_castsi128_si256(Sse41Ops::loadEvery3(p)), Sse41Ops::loadEvery3(p + 48),
                                       1);
    }
    static void storeEvery3(uint8_t* p, V v, V keep) {
        Sse41Ops::storeEvery3(p, _mm256_castsi256_si128(v), _mm256_castsi256_si128(keep));
        Sse41Ops::storeEvery3(p + 48, _mm256_extracti128_si256(v, 1), _mm256_extracti128_si256(keep, 1));
    }
};

// Two 16-sample windows side by side, one per 128-bit half, each from its
// own place: the ends of two rows, or two short rows, share one vector.
// Each half works like Sse41Ops.
struct Avx2PairOps : Avx2Ops {
    struct Src {
        const uint8_t* a;  // lower half
        const uint8_t* b;  // upper half
    };
    static Src advance(const Src& p, ptrdiff_t bytes) { return Src{p.a + bytes, p.b + bytes}; }
    static V halves(__m128i a, __m128i b) { return _mm256_inserti128_si256(_mm256_castsi128_si256(a), b, 1); }
    static V loadPixels(const Src& p, int j) { return halves(Sse41Ops::loadPixels(p.a, j), Sse41Ops::loadPixels(p.b, j)); }
    static V shuffleBG(V x) {
        return _mm256_shuffle_epi8(x, _mm256_setr_epi8(0, X, 1, X, 3, X, 4, X, 6, X, 7, X, 9, X, 10, X,  //
                                                       0, X, 1, X, 3, X, 4, X, 6, X, 7, X, 9, X, 10, X));
    }
    static V shuffleR(V x) {
        return _mm256_shuffle_epi8(x, _mm256_setr_epi8(2, X, X, X, 5, X, X, X, 8, X, X, X, 11, X, X, X,  //
                                                       2, X, X, X, 5, X, X, X, 8, X, X, X, 11, X, X, X));
    }
    static V inPixelOrder(V v) { return v; }
    static void splitColumns(const V bytes[3], V out[3]) {
        for (int col = 0; col < 3; ++col) {
            const V ta = _mm256_broadcastsi128_si256(columnTable(col, 0));
            const V tb = _mm256_broadcastsi128_si256(columnTable(col, 1));
            const V tc = _mm256_broadcastsi128_si256(columnTable(col, 2));
            out[col] = _mm256_or_si256(
                _mm256_or_si256(_mm256_shuffle_epi8(bytes[0], ta), _mm256_shuffle_epi8(bytes[1], tb)),
                _mm256_shuffle_epi8(bytes[2], tc));
        }
    }
    static V pairMedians(const uint8_t* a, const uint8_t* b, ptrdiff_t stride) {
        return ShuffleChunk<Avx2PairOps>::medians(Src{a, b}, stride);
    }
    // Lanes 0..15 keep from skipA on, lanes 16..31 from skipB on (16: none).
    static V laneMask2(int skipA, int skipB) {
        return halves(Sse41Ops::laneMask(skipA), Sse41Ops::laneMask(skipB));
    }
    static V loadEvery3x2(const uint8_t* a, const uint8_t* b) {
        return halves(Sse41Ops::loadEvery3(a), Sse41Ops::loadEvery3(b));
    }
    static void storeEvery3x2(uint8_t* a, uint8_t* b, V v, V keep) {
        Sse41Ops::storeEvery3(a, _mm256_castsi256_si128(v), _mm256_castsi256_si128(keep));
        Sse41Ops::storeEvery3(b, _mm256_extracti128_si256(v, 1), _mm256_extracti128_si256(keep, 1));
    }
};

void baselineAvx2(const SweepInput& in, SweepSums& sums) { SimdBaseline<Avx2Ops, Sse41Ops, Avx2PairOps>(in, sums); }
void presenceAvx2(const SweepInput& in, SweepSums& sums) { SimdPresence<Avx2Ops, Sse41Ops, Avx2PairOps>(in, sums); }

// Light where max(grey, t) == grey, i.e. grey >= t; the mask byte is 0 there
// and 255 elsewhere. t is the threshold clamped into 0..255, which keeps
// the signed comparison's answer for every grey 0..254.
template <class O>
void lightMaskRun(const uint8_t* pixels, int32_t count, typename O::V t, uint8_t* out) {
    constexpr int32_t S = O::kLanes;
    auto one = [&](int32_t i) {
        const typename O::V g = ShuffleChunk<O>::groupGreys(pixels + 3 * static_cast<ptrdiff_t>(i), 0);
        O::store(out + i, O::darkMask(g, t));
    };
    int32_t i = 0;
    for (; i + S <= count; i += S) one(i);
    if (i < count) one(count - S);  // the last vector, shifted back
}

void lightMaskAvx2(const uint8_t* lut, const uint8_t* pixels, int32_t count, int16_t thresh, uint8_t* out) {
    if (count < 16) return LightMaskPortable(lut, pixels, count, thresh, out);
    const char t = static_cast<char>(thresh < 0 ? 0 : thresh > 255 ? 255 : thresh);
    if (count >= 32)
        lightMaskRun<Avx2Ops>(pixels, count, Avx2Ops::set8(t), out);
    else
        lightMaskRun<Sse41Ops>(pixels, count, Sse41Ops::set8(t), out);
}

}  // namespace

const Kernels& Avx2Kernels() {
    static const Kernels k{"avx2", &baselineAvx2, &presenceAvx2, &lightMaskAvx2, true};
    return k;
}

}  // namespace tarvocoil

#endif
