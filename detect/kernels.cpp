// kernels.cpp - choosing the sweep kernels for this CPU.
//
// Sets are listed slowest first: the literal reference, the portable fast
// set, then the x86 vector sets this build has and this CPU runs. The last
// one listed is the default of every new detector.
#include "detect/kernel_sets.h"

namespace tarvocoil {

#if defined(TARVOCOIL_KERNELS_AVX2)
namespace {

bool cpuHasAvx2() {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_cpu_init();  // may run before the runtime's own initialisers
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

}  // namespace
#endif

const Kernels& ReferenceKernels() {
    static const Kernels k{"reference", &BaselineSweepReference, &PresenceSweepReference, &LightMaskReference, false};
    return k;
}

int AvailableKernels(const Kernels** out, int max) {
    const Kernels* all[4];
    int n = 0;
    all[n++] = &ReferenceKernels();
    all[n++] = &PortableKernels();
#if defined(TARVOCOIL_KERNELS_SSE2)
    all[n++] = &Sse2Kernels();
#endif
#if defined(TARVOCOIL_KERNELS_AVX2)
    static const bool avx2 = cpuHasAvx2();
    if (avx2) all[n++] = &Avx2Kernels();
#endif
    int given = 0;
    for (; given < n && given < max; ++given) out[given] = all[given];
    return given;
}

const Kernels& BestKernels() {
    const Kernels* all[8];
    const int n = AvailableKernels(all, 8);
    return *all[n - 1];
}

}  // namespace tarvocoil
