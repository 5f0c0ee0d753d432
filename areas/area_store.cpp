// area_store.cpp - installing and releasing survey areas.
#include "areas/area_store.h"

#include <new>

namespace tarvocoil {

namespace {

bool vertexInRange(int32_t v) { return v >= kMinCoord && v <= kMaxCoord; }

bool quadInRange(const AreaQuad& q) {
    return vertexInRange(q.x0) && vertexInRange(q.y0) && vertexInRange(q.x1) && vertexInRange(q.y1) &&
           vertexInRange(q.x2) && vertexInRange(q.y2) && vertexInRange(q.x3) && vertexInRange(q.y3);
}

void releaseArea(const Allocator& alloc, SurvArea* area) {
    releaseSpans(alloc, area->spans);
    area->~SurvArea();
    alloc.put(area);
}

}  // namespace

void AreaStore::clearAreas(const Allocator& alloc) {
    for (SurvArea* area : areas_) releaseArea(alloc, area);
    areas_.clear();
}

void AreaStore::discard(const Allocator& alloc) {
    clearAreas(alloc);
    areas_.discard(alloc);
}

int32_t AreaStore::setAreas(const Allocator& alloc, int32_t count, const AreaQuad* quads,
                            const float* sensitivities) {
    clearAreas(alloc);
    areasSet = 0;
    if (count <= 0 || count > kMaxAreas || !quads || !sensitivities) return 0;
    for (int32_t i = 0; i < count; ++i)
        if (!quadInRange(quads[i])) return 0;

    for (int16_t i = 0; i < count; ++i) {
        void* block = alloc.get(sizeof(SurvArea));
        if (!block) break;
        SurvArea* area = new (block) SurvArea{};
        area->presenceThresh = sensitivities[i];
        if (!rasteriseQuad(quads[i], alloc, area->spans) || !areas_.append(alloc, area)) {
            releaseArea(alloc, area);
            break;
        }
    }
    if (static_cast<int32_t>(areas_.size()) != count) {  // out of memory
        clearAreas(alloc);
        return 0;
    }
    areasSet = 1;
    return 1;
}

}  // namespace tarvocoil
