// area_store.h - AreaStore: the installed survey areas and their state.
#ifndef TARVOCOIL_AREAS_AREA_STORE_H
#define TARVOCOIL_AREAS_AREA_STORE_H

#include <cstdint>

#include "base/allocator.h"
#include "areas/ptr_vector.h"
#include "areas/rasterise.h"

namespace tarvocoil {

// An area's brightness history, index 0 the newest.
struct AreaStats {
    int32_t entry[5];
    int32_t& operator[](int i) { return entry[i]; }
    int32_t operator[](int i) const { return entry[i]; }
};

// One installed area.
struct SurvArea {
    SpanList spans;            // fixed at installation
    float presenceThresh;      // the host's presence ratio, unchanged
    int16_t present;           // presence decided for the latest frame
    int16_t wasPresent;        // presence of the frame before
    AreaStats stats;           // set by the baseline before anything reads it
    int32_t sampleCount;       // 1 + grid samples, fixed at the baseline
    int32_t stillCount;        // consecutive still frames
};

class AreaStore {
public:
    // Largest number of areas: counts are signed 16-bit throughout.
    static constexpr int32_t kMaxAreas = 32767;
    // Vertex coordinates must fit in signed 16 bits.
    static constexpr int32_t kMinCoord = -32768;
    static constexpr int32_t kMaxCoord = 32767;

    // Replaces all areas. Returns 1 when count > 0 areas were installed.
    // Refuses, leaving the store empty and returning 0, when count <= 0 or
    // > kMaxAreas, an array is null, a vertex lies outside the 16-bit
    // range, or memory runs out. Either way the next frame is a baseline
    // frame.
    int32_t setAreas(const Allocator& alloc, int32_t count, const AreaQuad* quads,
                     const float* sensitivities);
    // Releases every area; the flags stay as they are.
    void clearAreas(const Allocator& alloc);
    // Releases every area and the list's block.
    void discard(const Allocator& alloc);

    // Number of areas as the detector reads it: signed 16-bit.
    int16_t count() const { return static_cast<int16_t>(areas_.size()); }
    SurvArea& area(int32_t i) const { return *areas_[static_cast<std::size_t>(i)]; }
    std::size_t capacity() const { return areas_.capacity(); }

    int16_t areasSet = 0;       // 1 while a non-empty set is installed
    int16_t baselineReady = 0;  // 1 once the baseline of that set is taken

private:
    PtrVector<SurvArea> areas_;
};

}  // namespace tarvocoil

#endif
