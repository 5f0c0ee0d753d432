// sweep_portable.cpp - portable fast sweeps for any CPU.
//
// The same grid walk as the reference, with two changes that keep every
// result bit: the grey comes from the exact integer form of the table (no
// 2 MiB table walk, one pass over each pixel since the 3x3 neighbourhoods
// of neighbouring grid positions do not overlap), and the median comes from
// a branchless network instead of a bubble sort whose branches mispredict
// on noisy pictures.
#include <cstddef>

#include "detect/kernel_sets.h"
#include "detect/sampling_grid.h"
#include "image/grey_exact.h"
#include "image/median_network.h"

namespace tarvocoil {

namespace {

using Ops = ScalarMinMax;

// The sorted greys of three neighbouring pixels starting at p.
inline SortedTriple<Ops> rowTriple(const uint8_t* p) {
    return SortTriple<Ops>(grey_exact::Grey(p), grey_exact::Grey(p + 3), grey_exact::Grey(p + 6));
}

template <bool kBaseline>
void sweep(const SweepInput& in, SweepSums& sums) {
    const FrameRef& f = *in.frame;
    const ptrdiff_t stride = f.stride;
    const ptrdiff_t planeStride = in.planeStride;
    uint64_t greySum = 0, bgDiffSum = 0, prevDiffSum = 0, samples = 0;
    const int32_t n = spanCount16(*in.spans);
    for (int32_t k = 0; k < n; k += 3) {
        const GridRow g = gridRow(in.spans->spans[k], f.width, f.height);
        if (g.a >= g.b) continue;
        // p: the left neighbour of the grid position, on the row above.
        const uint8_t* p = f.at(g.a - 1, g.y - 1);
        const ptrdiff_t row = g.y * planeStride;
        for (int32_t x = g.a; x < g.b; x += 3, p += 9) {
            const uint32_t m = MedianOfTriples<Ops>(rowTriple(p), rowTriple(p + stride), rowTriple(p + 2 * stride));
            const ptrdiff_t at = row + x;
            in.current[at] = static_cast<uint8_t>(m);
            greySum += m;
            samples += 1;
            if (kBaseline) {
                in.previous[at] = static_cast<uint8_t>(m);
                in.background[at] = static_cast<uint8_t>(m);
            } else {
                const uint32_t bg = in.background[at];
                const uint32_t prev = in.previous[at];
                bgDiffSum += m > bg ? m - bg : bg - m;
                prevDiffSum += m > prev ? m - prev : prev - m;
            }
        }
    }
    sums.greySum += static_cast<int64_t>(greySum);
    sums.bgDiffSum += static_cast<int64_t>(bgDiffSum);
    sums.prevDiffSum += static_cast<int64_t>(prevDiffSum);
    sums.samples += static_cast<int64_t>(samples);
}

void baselinePortable(const SweepInput& in, SweepSums& sums) { sweep<true>(in, sums); }
void presencePortable(const SweepInput& in, SweepSums& sums) { sweep<false>(in, sums); }

}  // namespace

void LightMaskPortable(const uint8_t*, const uint8_t* pixels, int32_t count, int16_t thresh, uint8_t* out) {
    for (int32_t i = 0; i < count; ++i)
        out[i] = static_cast<int32_t>(grey_exact::Grey(pixels + 3 * static_cast<ptrdiff_t>(i))) >= thresh ? 0 : 255;
}

const Kernels& PortableKernels() {
    static const Kernels k{"portable", &baselinePortable, &presencePortable, &LightMaskPortable, true};
    return k;
}

}  // namespace tarvocoil
