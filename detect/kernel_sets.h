// kernel_sets.h - the optimised sweep kernel sets beside the reference.
//
// Each set gives exactly the reference's sums and plane bytes. The files
// that hold the x86 vector sets are compiled with their own instruction-set
// flags; kernels.cpp offers a set only where the CPU runs it.
#ifndef TARVOCOIL_DETECT_KERNEL_SETS_H
#define TARVOCOIL_DETECT_KERNEL_SETS_H

#include "detect/sweep.h"

namespace tarvocoil {

// Any CPU: exact integer grey, branchless median network, scalar code.
const Kernels& PortableKernels();
// The portable light mask (exact integer grey, no table walk).
void LightMaskPortable(const uint8_t* lut, const uint8_t* pixels, int32_t count, int16_t thresh, uint8_t* out);

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define TARVOCOIL_KERNELS_SSE2 1
// SSE2: sixteen samples per vector (x86-64, and 32-bit x86 built with -msse2).
const Kernels& Sse2Kernels();
#endif

#if defined(TARVOCOIL_KERNELS_AVX2)
// AVX2: thirty-two samples per vector; offered only when the CPU has AVX2.
const Kernels& Avx2Kernels();
#endif

}  // namespace tarvocoil

#endif
