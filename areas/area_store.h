// area_store.h - AreaStore: the installed survey areas as the host gave
// them (rows and presence threshold). What detection learns about each
// area lives beside it, in detect/area_state.h.
#ifndef TARVOCOIL_AREAS_AREA_STORE_H
#define TARVOCOIL_AREAS_AREA_STORE_H

#include <cstdint>

#include "base/allocator.h"
#include "areas/ptr_vector.h"
#include "areas/rasterise.h"
#include "tarvocoil.hpp"

namespace tarvocoil {

// One installed area.
struct SurvArea {
    SpanList spans;            // fixed at installation
    float presenceThresh;      // the host's presence ratio, unchanged
};

class AreaStore {
public:
    // Replaces all areas. Returns 1 when count > 0 areas were installed.
    // Refuses, leaving the store empty and returning 0, when count <= 0 or
    // > kMaxAreas (counts are signed 16-bit throughout), an array is null,
    // a vertex lies outside kMinCoord..kMaxCoord (16 bits), or memory runs
    // out (limits in tarvocoil.hpp).
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

private:
    PtrVector<SurvArea> areas_;
};

}  // namespace tarvocoil

#endif
