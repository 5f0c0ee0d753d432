// detector_rows.cpp - the rows of a frame the detector reads.
#include "tools/media/detector_rows.h"

#include <algorithm>

namespace tarvotool {

std::vector<RowBand> RowsTheDetectorReads(const std::vector<std::vector<tarvocoil::AreaRow>>& areas, int height) {
    std::vector<RowBand> rows;
    if (height < tarvocoil::kMinFrameHeight) return rows;
    for (const auto& area : areas)
        for (const tarvocoil::AreaRow& r : area) {
            // The sampled row is kept one row inside the frame, so that the
            // median has a row above and below it.
            const int y = std::clamp(r.y, 1, height - 2);
            rows.push_back({y - 1, y + 2});
        }
    std::sort(rows.begin(), rows.end(), [](const RowBand& a, const RowBand& b) { return a.begin < b.begin; });
    std::vector<RowBand> merged;
    for (const RowBand& b : rows) {
        if (!merged.empty() && b.begin <= merged.back().end)
            merged.back().end = std::max(merged.back().end, b.end);
        else
            merged.push_back(b);
    }
    return merged;
}

}  // namespace tarvotool
