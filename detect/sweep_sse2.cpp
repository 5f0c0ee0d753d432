// sweep_sse2.cpp - the vector sweeps with SSE2, sixteen samples per vector.
//
// SSE2 is part of every x86-64 CPU, and the 32-bit Windows build enables
// it, so this set needs no run-time check. Elsewhere the file is empty.
#include "detect/kernel_sets.h"

#if defined(TARVOCOIL_KERNELS_SSE2)

#include "detect/sweep_simd.h"

namespace tarvocoil {

namespace {

void baselineSse2(const SweepInput& in, SweepSums& sums) { SimdBaseline<Sse2Ops, Sse2Ops>(in, sums); }
void presenceSse2(const SweepInput& in, SweepSums& sums) { SimdPresence<Sse2Ops, Sse2Ops>(in, sums); }

// Runs of 48 pixels or more in vectors, the last one shifted back to end
// on the run's last pixel. The loads reach 7 bytes past a vector's last
// pixel: the light test's runs end two pixels before the row's end, on a
// row that is not the frame's last, so they stay inside the frame (the
// next row starts at least 3 * width bytes after this one's start).
void lightMaskSse2(const uint8_t* lut, const uint8_t* pixels, int32_t count, int16_t thresh, uint8_t* out) {
    if (count < 48) return LightMaskPortable(lut, pixels, count, thresh, out);
    const __m128i t = _mm_set1_epi8(static_cast<char>(thresh < 0 ? 0 : thresh > 255 ? 255 : thresh));
    int32_t i = 0;
    for (; i + 48 <= count; i += 48) LightMask48Sse2(pixels + 3 * i, t, out + i);
    if (i < count) LightMask48Sse2(pixels + 3 * (count - 48), t, out + count - 48);
}

}  // namespace

const Kernels& Sse2Kernels() {
    static const Kernels k{"sse2", &baselineSse2, &presenceSse2, &lightMaskSse2, true};
    return k;
}

}  // namespace tarvocoil

#endif
