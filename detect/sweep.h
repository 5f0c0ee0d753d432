// sweep.h - the per-area sampling kernels and their dispatch.
//
// A sweep walks one area's sampling grid, takes the 3x3 median grey of the
// frame at each position, writes it into the planes and sums what the
// detector needs. The reference versions (sweep_reference.cpp) are the literal
// algorithm; faster versions must give identical sums and plane bytes.
#ifndef TARVOCOIL_DETECT_SWEEP_H
#define TARVOCOIL_DETECT_SWEEP_H

#include <cstdint>

#include "areas/rasterise.h"
#include "image/frame_ref.h"

namespace tarvocoil {

struct SweepInput {
    const uint8_t* lut;           // the grey table
    const FrameRef* frame;        // the host's 24-bit frame
    const SpanList* spans;        // the area's spans
    uint8_t* current;             // plane rows share planeStride
    uint8_t* previous;
    uint8_t* background;
    int32_t planeStride;
};

struct SweepSums {
    int64_t greySum = 0;      // sum of the greys
    int64_t bgDiffSum = 0;    // sum of |grey - background|
    int64_t prevDiffSum = 0;  // sum of |grey - previous|
    int64_t samples = 0;      // grid positions visited
};

// Baseline: writes each grey into current, previous and background.
using BaselineSweepFn = void (*)(const SweepInput&, SweepSums&);
// Presence test: writes each grey into current; sums all three.
using PresenceSweepFn = void (*)(const SweepInput&, SweepSums&);
// Front-light mask of one run of pixels: out[i] = 0 where the plain grey of
// the 24-bit pixel at pixels + 3 * i is at least thresh, else 255.
using LightMaskFn = void (*)(const uint8_t* lut, const uint8_t* pixels, int32_t count, int16_t thresh,
                             uint8_t* out);

struct Kernels {
    const char* name;
    BaselineSweepFn baseline;
    PresenceSweepFn presence;
    LightMaskFn lightMask;
    // The front-light test passes over grid seeds that lie on walls without
    // a fill call for each (NextOpenSeed); the literal set fills from
    // every seed step by step (SeedFillLiteral).
    bool skipWallSeeds;
};

void BaselineSweepReference(const SweepInput& in, SweepSums& sums);
void PresenceSweepReference(const SweepInput& in, SweepSums& sums);
void LightMaskReference(const uint8_t* lut, const uint8_t* pixels, int32_t count, int16_t thresh, uint8_t* out);

// The literal kernels.
const Kernels& ReferenceKernels();
// The fastest kernels this CPU runs.
const Kernels& BestKernels();
// Every kernel set this CPU runs, reference first (for tests and benchmarks).
int AvailableKernels(const Kernels** out, int max);

}  // namespace tarvocoil

#endif
