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
}  // namespace

const Kernels& Sse2Kernels() {
    static const Kernels k{"sse2", &baselineSse2, &presenceSse2, &LightMaskPortable};
    return k;
}

}  // namespace tarvocoil

#endif
