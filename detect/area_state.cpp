// area_state.cpp - the per-area detection state's block.
#include "detect/area_state.h"

#include <new>

namespace tarvocoil {

bool Detection::reset(const Allocator& alloc, int32_t count) {
    baselineReady = 0;
    count_ = 0;
    if (count <= 0) {
        release(alloc);
        return true;
    }
    // A block at most twice what the set needs: a detector holds what its
    // areas need now, not what an earlier, larger set needed.
    if (count > capacity_ || 2 * static_cast<int64_t>(count) < capacity_) {
        release(alloc);
        void* block = alloc.get(sizeof(AreaState) * static_cast<std::size_t>(count));
        if (!block) return false;
        areas_ = static_cast<AreaState*>(block);
        capacity_ = count;
    }
    for (int32_t i = 0; i < count; ++i) new (&areas_[i]) AreaState();
    count_ = count;
    return true;
}

void Detection::release(const Allocator& alloc) {
    alloc.put(areas_);
    areas_ = nullptr;
    count_ = 0;
    capacity_ = 0;
    baselineReady = 0;
}

}  // namespace tarvocoil
