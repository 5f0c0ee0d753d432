// area_state.h - what detection keeps per area between frames.
//
// The area store holds what the host gave (each area's rows and presence
// threshold); this is the detector's own per-area state beside it, in the
// same order, and the flag that says whether the baseline of the installed
// set has been taken.
#ifndef TARVOCOIL_DETECT_AREA_STATE_H
#define TARVOCOIL_DETECT_AREA_STATE_H

#include <cstdint>

#include "base/allocator.h"

namespace tarvocoil {

// An area's brightness history, index 0 the newest.
struct AreaStats {
    int32_t entry[5];
    int32_t& operator[](int i) { return entry[i]; }
    int32_t operator[](int i) const { return entry[i]; }
};

// One area's detection state, with its values as a new area gets them.
struct AreaState {
    int16_t present = 0;       // presence decided for the latest frame
    int16_t wasPresent = 0;    // presence of the frame before
    AreaStats stats{};         // set by the baseline before anything reads it
    int32_t sampleCount = 1;   // 1 + grid samples, fixed at the baseline
    int32_t stillCount = 0;    // consecutive still frames
};

class Detection {
public:
    Detection() = default;
    Detection(const Detection&) = delete;
    Detection& operator=(const Detection&) = delete;

    // State for a new set of `count` areas, each with the values of a new
    // area, and the baseline pending. Keeps its block when it is large
    // enough but not more than twice the size needed. False, with no state,
    // when memory runs out.
    bool reset(const Allocator& alloc, int32_t count);
    // Gives the block back; the baseline is pending again.
    void release(const Allocator& alloc);

    AreaState& area(int32_t i) const { return areas_[i]; }
    int32_t count() const { return count_; }

    int16_t baselineReady = 0;  // 1 once the baseline of the installed set is taken

private:
    AreaState* areas_ = nullptr;
    int32_t count_ = 0;
    int32_t capacity_ = 0;
};

}  // namespace tarvocoil

#endif
