// kernels.cpp - choosing the sweep kernels for this CPU.
#include "detect/sweep.h"

namespace tarvocoil {

const Kernels& ReferenceKernels() {
    static const Kernels k{"reference", &BaselineSweepReference, &PresenceSweepReference};
    return k;
}

int AvailableKernels(const Kernels** out, int max) {
    int n = 0;
    if (n < max) out[n++] = &ReferenceKernels();
    return n;
}

const Kernels& BestKernels() {
    const Kernels* all[8];
    const int n = AvailableKernels(all, 8);
    return *all[n - 1];
}

}  // namespace tarvocoil
